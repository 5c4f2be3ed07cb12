#pragma once

#include "core/base/Ipv4Address.h"
#include "core/net/MessagePort.h"

#include <QString>

class Cancellation;
class MessageLog;
class MessengerService;

// Sending one text message, as the compose window and the command line do:
// blocking, so off the GUI thread. A delivered message gains its outgoing
// entry in the log, when there is one.
namespace OutgoingMessage {

// The longest text and sender name a message may have (the compose
// window's fields).
constexpr qsizetype kMaxTextChars = 65535;
constexpr qsizetype kMaxSenderChars = 255;
// The messenger service carries at most this many characters.
constexpr qsizetype kMessengerChars = 80;

// Over the recipient's message port, headed with this computer's name.
// The system's error of a connection that could not be made goes to
// connectError (may be null).
MessagePort::SendResult sendDirectly(const Ipv4Address &recipient, quint16 port,
                                     const QString &hostName, const QString &text, MessageLog *log,
                                     Cancellation *cancellation = nullptr,
                                     int *connectError = nullptr);

// Through the messenger service, the text cut to kMessengerChars; the
// service's status, 0 when it delivered.
int sendViaMessenger(MessengerService &messenger, const Ipv4Address &recipient,
                     const QString &senderName, const QString &text, MessageLog *log);

} // namespace OutgoingMessage
