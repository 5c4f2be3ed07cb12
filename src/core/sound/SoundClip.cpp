#include "SoundClip.h"

#include <cstring>

SoundClip::SoundClip(std::unique_ptr<AudioDevice> device) : m_device(std::move(device)) {}

SoundClip::~SoundClip()
{
    closeDevices();
}

bool SoundClip::startRecording(int deviceId, int channels, int samplesPerSecond, int bitsPerSample)
{
    if (m_recording)
        return false;
    closeDevices();
    m_format = PcmFormat{channels, samplesPerSecond, bitsPerSample};
    m_deviceId = deviceId;
    if (!m_device->openCapture(m_format, [this](WaveBuffer *b) { captureDone(b); }))
        return false;
    m_length = 0;
    m_samples.fill(0);
    m_headerA = WaveBuffer{m_captureA.data(), kCaptureBufferSize, 0, false};
    m_headerB = WaveBuffer{m_captureB.data(), kCaptureBufferSize, 0, false};
    m_captured = 0;
    m_toggle = 0;
    // Set before capturing starts, so that a buffer that comes back at once
    // is queued again.
    m_recording = true;
    if (!m_device->addBuffer(&m_headerA) || !m_device->addBuffer(&m_headerB) ||
        !m_device->startCapture()) {
        m_recording = false;
        closeDevices();
        return false;
    }
    return true;
}

void SoundClip::captureDone(WaveBuffer *buffer)
{
    const quint32 n = buffer->recorded;
    if (n > 0) {
        const quint32 captured = m_captured;
        if (captured + n < kCapacity) {
            std::memcpy(m_samples.data() + captured, buffer->data, n);
            m_captured = captured + n;
        }
    }
    if (m_recording && buffer->done && m_captured + buffer->recorded < kCapacity) {
        // Buffers come back in the order they were queued: A, B, A, B ...
        if (m_toggle == 0) {
            m_toggle = 1;
            m_device->addBuffer(&m_headerA);
        } else {
            m_toggle = 0;
            m_device->addBuffer(&m_headerB);
        }
        return;
    }
    m_length = m_captured.load();
    if (m_recording)
        stopRecording();
}

void SoundClip::stopRecording()
{
    // Once only, whichever thread gets here first.
    if (!m_recording.exchange(false))
        return;
    emit recordingStopped(m_length);
}

bool SoundClip::startPlayback(int channels, int samplesPerSecond, int bitsPerSample)
{
    if (m_length == 0 || m_playing)
        return false;
    closeDevices();
    m_format = PcmFormat{channels, samplesPerSecond, bitsPerSample};
    if (!m_device->openPlayback(m_format, [this](WaveBuffer *b) { playbackDone(b); }))
        return false;
    m_headerA = WaveBuffer{m_samples.data(), m_length, 0, false};
    m_playing = true;
    if (!m_device->write(&m_headerA)) {
        m_playing = false;
        closeDevices();
        return false;
    }
    return true;
}

void SoundClip::playbackDone(WaveBuffer *)
{
    if (m_playing)
        stopPlayback(true);
}

void SoundClip::stopPlayback(bool fromDevice)
{
    if (!m_playing.exchange(false))
        return;
    emit playbackStopped();
    if (!fromDevice)
        m_device->resetPlayback();
}

void SoundClip::closeDevices()
{
    if (m_device->isCaptureOpen()) {
        // A recording still running ends here without a word: its owner is
        // leaving. The buffers come back, are kept if they fit, and are not
        // queued again.
        m_recording = false;
        m_device->resetCapture();
        m_device->closeCapture();
    }
    if (m_device->isPlaybackOpen()) {
        m_playing = false;
        m_device->resetPlayback();
        m_device->closePlayback();
    }
}
