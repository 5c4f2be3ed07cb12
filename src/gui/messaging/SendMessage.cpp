#include "SendMessage.h"

#include "ComposeWindow.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/base/StringTable.h"
#include "core/messaging/OutgoingMessage.h"
#include "core/net/Cancellation.h"
#include "core/platform/ComputerName.h"
#include "core/sound/SoundClip.h"
#include "core/sound/SoundMessage.h"
#include "gui/ui/ModalState.h"
#include "gui/ui/PromptService.h"
#include "gui/ui/WaitCursor.h"
#include "gui/ui/WaitFor.h"

namespace {

void showSuccess()
{
    PromptService::instance().ask(
        nullptr, PromptService::Icon::Information, StringTable::text(StringId::ProgramName),
        StringTable::text(StringId::SentSuccessfully), PromptService::Buttons::Ok);
}

// Sends over the message port; true when it was delivered (and logged).
bool sendDirectly(const UserEntry &recipient, const QString &text,
                  const MessagingServices &services, bool *noConnection)
{
    const quint16 port = services.settings->get().messagePort();
    MessagePort::SendResult result;
    Cancellation cancellation;
    {
        WaitCursor wait;
        result = runOffGuiThread<MessagePort::SendResult>(
            [&] {
                return OutgoingMessage::sendDirectly(recipient.address, port,
                                                     ComputerName::localHostName(), text,
                                                     services.log, &cancellation);
            },
            &cancellation);
    }
    // The program is ending: nothing more to ask.
    *noConnection = result == MessagePort::SendResult::NoConnection && !cancellation.isCancelled();
    return result == MessagePort::SendResult::Delivered;
}

// Sends the recorded clip to the recipient's data port; true when it was
// delivered (and logged), else the warning.
bool sendSound(const UserEntry &recipient, const SoundClip &clip, const MessagingServices &services)
{
    const quint16 port = services.settings->get().dataPort();
    bool sent;
    Cancellation cancellation;
    {
        WaitCursor wait;
        sent = runOffGuiThread<bool>(
            [&] {
                return SoundMessage::send(recipient.address, port, ComputerName::localHostName(),
                                          clip.samples(), clip.length(), &cancellation);
            },
            &cancellation);
    }
    if (!sent) {
        // Not said when the program is ending.
        if (!cancellation.isCancelled())
            showNotice(nullptr, StringId::CannotConnect);
        return false;
    }
    services.log->append(StringTable::text(StringId::SoundMessage), LogDirection::Outgoing,
                         recipient.dottedAddress());
    return true;
}

// The messenger step; true (and logged) when the service delivered it, else
// the warning.
bool sendViaMessenger(const UserEntry &recipient, const QString &senderName, const QString &text,
                      const MessagingServices &services)
{
    int status;
    {
        WaitCursor wait;
        status = runOffGuiThread<int>([&] {
            return OutgoingMessage::sendViaMessenger(*services.messenger, recipient.address,
                                                     senderName, text, services.log);
        });
    }
    if (status != 0) {
        showNotice(nullptr, StringId::CannotConnect);
        return false;
    }
    return true;
}

} // namespace

void sendMessageTo(const UserEntry &recipient, const MessagingServices &services)
{
    ModalState &modal = ModalState::instance();
    modal.begin();
    ComposeWindow window(recipient.displayText, ComputerName::netBiosName(),
                         services.settings->get().UseNetSendByDeault);
    const int result = runDialog(window);
    bool delivered = false;
    if (result == ComposeWindow::SendText && !window.text().isEmpty()) {
        bool useMessenger = window.isAnonymous();
        if (!useMessenger) {
            bool noConnection = false;
            delivered = sendDirectly(recipient, window.text(), services, &noConnection);
            if (noConnection) {
                useMessenger = PromptService::instance().ask(
                                   nullptr, PromptService::Icon::Question,
                                   StringTable::text(StringId::Warning),
                                   StringTable::text(StringId::NoConnectionAskMessenger),
                                   PromptService::Buttons::YesNo) == PromptService::Answer::Yes;
            }
        }
        if (useMessenger)
            delivered = sendViaMessenger(recipient, window.senderName(), window.text(), services);
    }
    if (result == ComposeWindow::SendSound)
        delivered = sendSound(recipient, window.clip(), services);
    if (delivered)
        showSuccess();
    modal.end();
}
