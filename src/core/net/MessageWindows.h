#pragma once

#include <QString>

// Where received text messages are shown. The GUI implementation opens the
// window on the GUI thread and blocks the calling thread (the one that
// shows queued messages one at a time) until the user has closed it. Tests
// answer these calls without any window.
class MessageWindows {
public:
    virtual ~MessageWindows() = default;

    // A received text message; returns when its window has been closed:
    // true, or false (at once) when no window may open any more because the
    // session is ending; the message then stays queued.
    virtual bool showMessage(const QString &text) = 0;
};
