#pragma once

#include "core/messaging/OutgoingMessage.h"

#include "gui/ui/ProgramDialog.h"

#include <memory>

class SoundClip;

namespace Ui {
class ComposeWindow;
}

// The window in which the user writes a text message (or records a sound
// message) to one user. Its result says what to send.
class ComposeWindow : public ProgramDialog {
    Q_OBJECT

public:
    // Never one of Qt's own results (0 and 1), nor kDialogNotFinished.
    enum Result { SendText = 100, SendSound = 101, Cancelled = 102 };

    // Fields longer than this fail the reading with a beep.
    static constexpr qsizetype kMaxSenderChars = OutgoingMessage::kMaxSenderChars;
    static constexpr qsizetype kMaxTextChars = OutgoingMessage::kMaxTextChars;

    ComposeWindow(const QString &recipientName, const QString &senderName, bool messengerByDefault,
                  QWidget *parent = nullptr);
    ~ComposeWindow() override;

    // What the fields held when they were last read; the text with CR LF
    // line breaks.
    QString text() const { return m_text; }
    QString senderName() const { return m_senderName; }
    bool isAnonymous() const { return m_anonymous; }
    // The recorded sound message.
    SoundClip &clip() { return *m_clip; }
    // A recording stops by itself after this long, a second before the clip
    // is full.
    static constexpr int kRecordingLimitMs = 22000;
    void setRecordingLimit(int ms) { m_recordingLimitMs = ms; }

public slots:
    void accept() override; // "Отправить текстовое сообщение", Enter
    void reject() override; // "Отменить", Escape, the close box
    // Any end: a playback stops, a recording ends, the devices come to rest.
    void done(int result) override;

protected:
    void opened() override;
    void paintEvent(QPaintEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    bool readFields();
    void anonymousClicked();
    void sendSoundClicked();
    void recordClicked();
    void recordingStopped();
    void playClicked();
    void playbackStopped();
    void fillControls();

    std::unique_ptr<Ui::ComposeWindow> m_ui;
    QString m_text;
    QString m_senderName;
    bool m_anonymous = false;
    std::unique_ptr<SoundClip> m_clip;
    int m_recordingTimer = 0;
    int m_recordingLimitMs = kRecordingLimitMs;
};
