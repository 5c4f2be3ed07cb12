#pragma once

#include "AudioDevice.h"

#include <QObject>

#include <array>
#include <atomic>
#include <memory>

// One sound message of at most 524,288 bytes of samples, with its capture
// and playback. Recording fills the clip through two quarter-second capture
// buffers that take turns with the device; playback plays the whole clip as
// one buffer. Everything it needs is part of the object: nothing is
// allocated while it records or plays. The end of a recording and of a
// playback are signalled once each, from whichever thread ends them.
class SoundClip : public QObject {
    Q_OBJECT

public:
    static constexpr quint32 kCapacity = 0x80000;       // 524,288 bytes
    static constexpr quint32 kCaptureBufferSize = 5512; // a quarter second
    static constexpr int maxSeconds() { return 23; }

    explicit SoundClip(std::unique_ptr<AudioDevice> device = AudioDevice::create());
    // Brings the devices to rest first: no callback reaches a destroyed clip.
    ~SoundClip() override;

    bool startRecording(int deviceId, int channels, int samplesPerSecond, int bitsPerSample);
    void stopRecording();
    bool startPlayback(int channels, int samplesPerSecond, int bitsPerSample);
    void stopPlayback(bool fromDevice);
    // Resets and closes whatever device is open: a capture device returns
    // both its buffers first, a playback stops.
    void closeDevices();

    bool isRecording() const { return m_recording; }
    bool isPlaying() const { return m_playing; }
    quint32 length() const { return m_length; }
    const char *samples() const { return m_samples.data(); }

    // The receiver of a sound message fills the clip directly.
    char *sampleBuffer() { return m_samples.data(); }
    void setLength(quint32 length) { m_length = qMin(length, kCapacity); }

    int deviceId() const { return m_deviceId; }
    void setDeviceId(int id) { m_deviceId = id; }

signals:
    // A recording ended (by stopRecording or because the clip is full);
    // the clip's length at that moment.
    void recordingStopped(quint32 length);
    // A playback ended (by stopPlayback or because everything was played).
    void playbackStopped();

private:
    void captureDone(WaveBuffer *buffer);
    void playbackDone(WaveBuffer *buffer);

    std::unique_ptr<AudioDevice> m_device;
    std::atomic<bool> m_recording{false};
    std::atomic<bool> m_playing{false};
    int m_deviceId = -1;
    PcmFormat m_format;
    WaveBuffer m_headerA;
    WaveBuffer m_headerB;
    std::atomic<quint32> m_captured{0};
    std::atomic<int> m_toggle{0};
    std::atomic<quint32> m_length{0};
    std::array<char, kCapacity> m_samples{};
    std::array<char, kCaptureBufferSize> m_captureA{};
    std::array<char, kCaptureBufferSize> m_captureB{};
};
