#pragma once

#include "core/directory/UserEntry.h"

#include <QString>

class LiveSettings;
class MessageLog;
class MessengerService;

// What the send-message command works with.
struct MessagingServices {
    LiveSettings *settings = nullptr;
    MessageLog *log = nullptr;
    MessengerService *messenger = nullptr;
};

// The send-message command for one user: the compose window, then the text
// over the message port, or through the messenger service when asked for or
// when no connection can be made; the outgoing log entry and the success
// box.
void sendMessageTo(const UserEntry &recipient, const MessagingServices &services);
