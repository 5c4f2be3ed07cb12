#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>

// The fixed PCM format a device is opened for.
struct PcmFormat {
    int channels = 1;
    int samplesPerSecond = 11025;
    int bitsPerSample = 16;

    int blockAlign() const { return channels * bitsPerSample / 8; }
    int bytesPerSecond() const { return blockAlign() * samplesPerSecond; }
};

// A buffer handed to a device, as the wave calls hand theirs: the device
// fills a capture buffer (or plays a playback buffer) and gives it back
// marked done.
struct WaveBuffer {
    char *data = nullptr;
    quint32 length = 0;   // bytes the buffer holds
    quint32 recorded = 0; // bytes the device put into it
    bool done = false;
};

// An audio device shaped like the wave calls: open for one fixed format,
// queue fixed buffers that come back filled, play one buffer with a
// completion notice, reset. Buffers come back through the callback given
// at opening, on a thread of the device's own, in the order they were
// queued. After reset (or close) returns, no callback is running or will
// come for the buffers it returned.
class AudioDevice {
public:
    using BufferCallback = std::function<void(WaveBuffer *)>;

    virtual ~AudioDevice() = default;

    // Capture (the wave input device).
    virtual bool openCapture(const PcmFormat &format, BufferCallback bufferDone) = 0;
    virtual bool addBuffer(WaveBuffer *buffer) = 0;
    virtual bool startCapture() = 0;
    // Stops capturing and returns every queued buffer, partly filled.
    virtual void resetCapture() = 0;
    virtual void closeCapture() = 0;
    virtual bool isCaptureOpen() const = 0;

    // Playback (the wave output device).
    virtual bool openPlayback(const PcmFormat &format, BufferCallback bufferDone) = 0;
    virtual bool write(WaveBuffer *buffer) = 0;
    // Stops the output at once and returns the buffer.
    virtual void resetPlayback() = 0;
    virtual void closePlayback() = 0;
    virtual bool isPlaybackOpen() const = 0;

    // The device the program uses: what the registered factory makes, or a
    // device that cannot be opened when none is registered.
    static std::unique_ptr<AudioDevice> create();
    static void setFactory(std::function<std::unique_ptr<AudioDevice>()> factory);
};
