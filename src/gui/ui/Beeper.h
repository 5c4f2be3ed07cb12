#pragma once

#include <QList>
#include <QObject>

#include <memory>

class QAudioSink;
class QBuffer;

// Stands in for the system's Beep(frequency, duration): a sine tone played
// through the audio output, never blocking the caller. Without an output
// device the desktop's own beep sounds instead.
class Beeper : public QObject {
    Q_OBJECT

public:
    struct Tone {
        int frequencyHz;
        int durationMs;
    };

    // Plays the tones one after the other; a call while tones still play
    // replaces them. Call on the GUI thread.
    static void beep(const QList<Tone> &tones);
    static void beep(int frequencyHz, int durationMs) { beep({{frequencyHz, durationMs}}); }

    // The samples played for the tones: mono, 16-bit signed, at the given
    // rate, each tone faded in and out over 5 ms so it starts and ends
    // without a click.
    static QByteArray render(const QList<Tone> &tones, int sampleRate);

private:
    explicit Beeper(QObject *parent = nullptr);
    ~Beeper() override;
    void play(const QList<Tone> &tones);

    std::unique_ptr<QAudioSink> m_sink;
    std::unique_ptr<QBuffer> m_buffer;
};
