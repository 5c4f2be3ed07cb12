#include "ProgramDialog.h"

#include "ModalState.h"
#include "WindowPlacement.h"

ProgramDialog::ProgramDialog(int options, QWidget *parent, Qt::WindowFlags flags)
    : QDialog(parent, flags), m_options(options)
{
    if (options & Resizable)
        setSizeGripEnabled(true);
}

void ProgramDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_options & TellsTheTray)
        ModalState::instance().track(this);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    if (m_options & Resizable)
        fixMinimumSizeAndCentre(this);
    else
        centreWindow(this);
    if (m_options & ComesToFront)
        bringToFront(this);
    opened();
}
