#pragma once

#include "core/sound/AudioDevice.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <memory>

// Stands in for the system's Beep(frequency, duration): a sine tone played
// through the audio output, never blocking the caller. Tones sound one
// after the other, each to its end, as the system's synchronous Beep has
// them; a sound that is to follow them can wait for them. Without an
// output device the desktop's own beep sounds instead.
class Beeper : public QObject {
    Q_OBJECT

public:
    struct Tone {
        int frequencyHz;
        int durationMs;
    };

    // Plays the tones one after the other, after those asked for before
    // (which play to their end); once the last of them has been heard,
    // calls `then` on the GUI thread unless `context` is gone by then.
    // Call on the GUI thread.
    static void beep(const QList<Tone> &tones, QObject *context = nullptr,
                     std::function<void()> then = {});
    static void beep(int frequencyHz, int durationMs) { beep({{frequencyHz, durationMs}}); }

    // The samples played for the tones: mono, 16-bit signed, at the given
    // rate, each tone faded in and out over 5 ms so it starts and ends
    // without a click.
    static QByteArray render(const QList<Tone> &tones, int sampleRate);

    static constexpr int kSampleRate = 22050;

private:
    struct Request {
        QList<Tone> tones;
        QPointer<QObject> context;
        std::function<void()> then;
    };

    explicit Beeper(QObject *parent = nullptr);
    ~Beeper() override;
    void playNext();
    void played();

    std::unique_ptr<AudioDevice> m_device;
    std::deque<Request> m_queue;
    bool m_playing = false;
    QByteArray m_samples;
    WaveBuffer m_buffer;
};
