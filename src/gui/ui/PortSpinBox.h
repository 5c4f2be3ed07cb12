#pragma once

#include <QAbstractSpinBox>
#include <QLineEdit>

// A port edit with its up-down arrows: any text can be typed (it is read
// when saving), while the arrows and arrow keys step within their range.
class PortSpinBox : public QAbstractSpinBox {
    Q_OBJECT

public:
    explicit PortSpinBox(QWidget *parent = nullptr);

    void setRange(int minimum, int maximum);
    // The arrows' position; shown as the edit's text.
    void setPosition(int value);
    int position() const { return m_position; }

    QString text() const { return lineEdit()->text(); }
    void setText(const QString &text) { lineEdit()->setText(text); }

    void stepBy(int steps) override;
    QValidator::State validate(QString &, int &) const override { return QValidator::Acceptable; }

protected:
    StepEnabled stepEnabled() const override { return StepUpEnabled | StepDownEnabled; }

private:
    int m_minimum = 0;
    int m_maximum = 99;
    int m_position = 0;
};
