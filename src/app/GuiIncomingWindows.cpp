#include "GuiIncomingWindows.h"

#include "messaging/IncomingMessageWindow.h"

#include <future>

GuiIncomingWindows::GuiIncomingWindows(QObject *parent) : QObject(parent) {}

void GuiIncomingWindows::showMessage(const QString &text)
{
    std::promise<void> closed;
    QMetaObject::invokeMethod(
        this,
        [&closed, text] {
            auto *window = new IncomingMessageWindow(text);
            window->setAttribute(Qt::WA_DeleteOnClose);
            QObject::connect(
                window, &QDialog::finished, window, [&closed] { closed.set_value(); },
                Qt::SingleShotConnection);
            window->show();
            window->raise();
            window->activateWindow();
        },
        Qt::QueuedConnection);
    closed.get_future().wait();
}
