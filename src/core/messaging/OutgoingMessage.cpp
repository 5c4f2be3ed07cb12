#include "OutgoingMessage.h"

#include "core/base/MessageLog.h"
#include "core/platform/MessengerService.h"

namespace OutgoingMessage {

MessagePort::SendResult sendDirectly(const Ipv4Address &recipient, quint16 port,
                                     const QString &hostName, const QString &text, MessageLog *log,
                                     Cancellation *cancellation, int *connectError)
{
    const MessagePort::SendResult result =
        MessagePort::sendMessage(recipient, port, hostName, text, cancellation, connectError);
    if (result == MessagePort::SendResult::Delivered && log)
        log->append(text, LogDirection::Outgoing, recipient.dotted());
    return result;
}

int sendViaMessenger(MessengerService &messenger, const Ipv4Address &recipient,
                     const QString &senderName, const QString &text, MessageLog *log)
{
    const QString cut = text.left(kMessengerChars);
    const int status = messenger.send(recipient.dotted(), senderName, cut);
    if (status == 0 && log)
        log->append(cut, LogDirection::Outgoing, recipient.dotted());
    return status;
}

} // namespace OutgoingMessage
