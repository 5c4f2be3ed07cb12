#include "ResizableDialog.h"

#include "ModalState.h"
#include "WindowPlacement.h"

ResizableDialog::ResizableDialog(QWidget *parent) : QDialog(parent)
{
    setSizeGripEnabled(true);
}

void ResizableDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    ModalState::instance().ModalWindowHandle = this;
    fixMinimumSizeAndCentre(this);
    opened();
}
