#include "ProgramDialog.h"

#include "ModalState.h"
#include "ToggleButtonAccessible.h"
#include "WindowPlacement.h"

ProgramDialog::ProgramDialog(int options, QWidget *parent, Qt::WindowFlags flags)
    : QDialog(parent, flags), m_options(options)
{
    // Before any of the window's buttons is asked for its interface.
    static const bool toggleButtonsKnown = [] {
        ToggleButtonAccessible::install();
        return true;
    }();
    Q_UNUSED(toggleButtonsKnown);
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
