#pragma once

#include <QString>

// What the message listener shows. The GUI implementation opens the window
// on the GUI thread and blocks the calling listener until the user has
// closed it, so a listener accepts nothing while its window is open. Tests
// answer these calls without any window.
class MessageWindows {
public:
    virtual ~MessageWindows() = default;

    // A received text message; returns when its window has been closed.
    virtual void showMessage(const QString &text) = 0;
};
