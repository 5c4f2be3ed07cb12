#pragma once

#include <QString>

class SoundClip;

// Where a received sound message is shown (see MessageWindows).
class SoundWindows {
public:
    virtual ~SoundWindows() = default;

    // A received sound message in its clip; returns when its window has been
    // closed (see MessageWindows::showMessage). The clip outlives the window.
    virtual bool showSound(const QString &senderName, SoundClip &clip) = 0;
};
