#pragma once

#include "gui/ui/ProgramDialog.h"

#include <memory>

class LiveSettings;
class SoundClip;

namespace Ui {
class IncomingSoundWindow;
}

// Shows a received sound message and plays it, by itself when auto-play is
// switched on (the window then closes when the sound ends).
class IncomingSoundWindow : public ProgramDialog {
    Q_OBJECT

public:
    // The clip must outlive the window.
    IncomingSoundWindow(const QString &senderName, SoundClip &clip, const LiveSettings &settings,
                        QWidget *parent = nullptr);
    ~IncomingSoundWindow() override;

public slots:
    void playClicked();
    // "Закрыть", Escape and the close box: a playback stops first.
    void done(int result) override;

protected:
    void opened() override;

private:
    void playbackStopped();

    std::unique_ptr<Ui::IncomingSoundWindow> m_ui;
    SoundClip &m_clip;
    const LiveSettings &m_settings;
};
