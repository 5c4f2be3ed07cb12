#include "AudioDevice.h"

#include <mutex>

namespace {

// No sound hardware at all: nothing opens.
class NoAudioDevice : public AudioDevice {
public:
    bool openCapture(const PcmFormat &, BufferCallback) override { return false; }
    bool addBuffer(WaveBuffer *) override { return false; }
    bool startCapture() override { return false; }
    void resetCapture() override {}
    void closeCapture() override {}
    bool isCaptureOpen() const override { return false; }
    bool openPlayback(const PcmFormat &, BufferCallback) override { return false; }
    bool write(WaveBuffer *) override { return false; }
    void resetPlayback() override {}
    void closePlayback() override {}
    bool isPlaybackOpen() const override { return false; }
};

std::mutex g_mutex;
std::function<std::unique_ptr<AudioDevice>()> g_factory;

} // namespace

std::unique_ptr<AudioDevice> AudioDevice::create()
{
    std::function<std::unique_ptr<AudioDevice>()> factory;
    {
        std::lock_guard lock(g_mutex);
        factory = g_factory;
    }
    if (factory)
        return factory();
    return std::make_unique<NoAudioDevice>();
}

void AudioDevice::setFactory(std::function<std::unique_ptr<AudioDevice>()> factory)
{
    std::lock_guard lock(g_mutex);
    g_factory = std::move(factory);
}
