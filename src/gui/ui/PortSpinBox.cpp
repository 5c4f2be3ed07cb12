#include "PortSpinBox.h"

#include <QLineEdit>

PortSpinBox::PortSpinBox(QWidget *parent) : QAbstractSpinBox(parent)
{
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(true);
}

void PortSpinBox::setRange(int minimum, int maximum)
{
    m_minimum = minimum;
    m_maximum = maximum;
}

void PortSpinBox::setPosition(int value)
{
    m_position = value;
    lineEdit()->setText(QString::number(value)); // no thousands separators
}

void PortSpinBox::stepBy(int steps)
{
    // Like an up-down control with a buddy: start from the number in the
    // edit when there is one, and stay within the range.
    bool ok = false;
    const int typed = lineEdit()->text().trimmed().toInt(&ok);
    const int from = ok ? typed : m_position;
    setPosition(qBound(m_minimum, from + steps, m_maximum));
}
