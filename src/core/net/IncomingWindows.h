#pragma once

#include <QString>

class SoundClip;

// What the listener threads show. The GUI implementation opens each window on
// the GUI thread and blocks the calling listener until the user has closed
// it, so a listener accepts nothing while its window is open. Tests answer
// these calls without any window.
class IncomingWindows {
public:
    virtual ~IncomingWindows() = default;

    // A received text message; returns when its window has been closed.
    virtual void showMessage(const QString &text) = 0;
    // A received sound message in its clip; returns when its window has been
    // closed. The clip outlives the window.
    virtual void showSound(const QString &senderName, SoundClip &clip) = 0;
    // A file offer: the countdown prompt, then where to save it. Returns the
    // chosen full path, or an empty text when the offer is refused.
    virtual QString askFileOffer(const QString &senderName, const QString &fileName,
                                 quint32 size) = 0;
};
