#pragma once

#include "core/sound/AudioDevice.h"

#include <QThread>

// The wave device on Qt Multimedia (PulseAudio or PipeWire on Linux): the
// default input and output, driven on a thread of the device's own, where
// the buffers also come back.
class QtAudioDevice : public AudioDevice {
public:
    QtAudioDevice();
    ~QtAudioDevice() override;

    bool openCapture(const PcmFormat &format, BufferCallback bufferDone) override;
    bool addBuffer(WaveBuffer *buffer) override;
    bool startCapture() override;
    void resetCapture() override;
    void closeCapture() override;
    bool isCaptureOpen() const override;

    bool openPlayback(const PcmFormat &format, BufferCallback bufferDone) override;
    bool write(WaveBuffer *buffer) override;
    void resetPlayback() override;
    void closePlayback() override;
    bool isPlaybackOpen() const override;

    class Worker;

private:
    // Runs on the device's thread and waits for it (directly when already
    // there, as from a buffer callback).
    template <typename F> auto onDeviceThread(F &&f) const;

    QThread m_thread;
    Worker *m_worker;
};
