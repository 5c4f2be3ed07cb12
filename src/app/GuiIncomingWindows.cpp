#include "GuiIncomingWindows.h"

#include "messaging/IncomingMessageWindow.h"
#include "sound/IncomingSoundWindow.h"

#include <future>

GuiIncomingWindows::GuiIncomingWindows(const LiveSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
}

void GuiIncomingWindows::showAndWait(const std::function<QDialog *()> &makeWindow)
{
    std::promise<void> closed;
    QMetaObject::invokeMethod(
        this,
        [&closed, &makeWindow] {
            QDialog *window = makeWindow();
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

void GuiIncomingWindows::showMessage(const QString &text)
{
    showAndWait([&text] { return new IncomingMessageWindow(text); });
}

void GuiIncomingWindows::showSound(const QString &senderName, SoundClip &clip)
{
    showAndWait([&] { return new IncomingSoundWindow(senderName, clip, m_settings); });
}
