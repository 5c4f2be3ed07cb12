#pragma once

#include "core/sound/AudioDevice.h"

#include <QByteArray>

#include <algorithm>
#include <deque>
#include <mutex>

// A wave device whose buffers come back when the test says so: the thread
// that calls deliver() or finish() plays the device's own thread.
class FakeAudioDevice : public AudioDevice {
public:
    struct State {
        bool captureAvailable = true;
        bool playbackAvailable = true;
        int captureOpens = 0;
        int playbackOpens = 0;
        int captureResets = 0;
        int playbackResets = 0;
        PcmFormat format;
        QByteArray played; // what the last write handed over
    };

    explicit FakeAudioDevice(State *state) : m_state(state) {}

    bool openCapture(const PcmFormat &format, BufferCallback done) override
    {
        std::lock_guard lock(m_mutex);
        if (!m_state->captureAvailable)
            return false;
        ++m_state->captureOpens;
        m_state->format = format;
        m_captureDone = std::move(done);
        m_captureOpen = true;
        return true;
    }
    bool addBuffer(WaveBuffer *buffer) override
    {
        std::lock_guard lock(m_mutex);
        // A buffer still with the device cannot be queued again.
        if (std::find(m_queue.begin(), m_queue.end(), buffer) != m_queue.end())
            return false;
        buffer->done = false;
        buffer->recorded = 0;
        m_queue.push_back(buffer);
        return true;
    }
    bool startCapture() override { return true; }
    void resetCapture() override
    {
        std::deque<WaveBuffer *> returned;
        {
            std::lock_guard lock(m_mutex);
            ++m_state->captureResets;
            returned.swap(m_queue);
        }
        for (WaveBuffer *b : returned) {
            b->done = true;
            m_captureDone(b);
        }
    }
    void closeCapture() override
    {
        std::lock_guard lock(m_mutex);
        m_captureOpen = false;
    }
    bool isCaptureOpen() const override
    {
        std::lock_guard lock(m_mutex);
        return m_captureOpen;
    }

    // The device fills the next queued buffer with `bytes` bytes of a
    // counting pattern and hands it back; false when none is queued.
    bool deliver(quint32 bytes)
    {
        WaveBuffer *b = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty())
                return false;
            b = m_queue.front();
            m_queue.pop_front();
        }
        bytes = qMin(bytes, b->length);
        for (quint32 i = 0; i < bytes; ++i)
            b->data[i] = char((m_pattern++) & 0x7f);
        b->recorded = bytes;
        b->done = true;
        m_captureDone(b);
        return true;
    }
    int queued() const
    {
        std::lock_guard lock(m_mutex);
        return int(m_queue.size());
    }

    bool openPlayback(const PcmFormat &format, BufferCallback done) override
    {
        std::lock_guard lock(m_mutex);
        if (!m_state->playbackAvailable)
            return false;
        ++m_state->playbackOpens;
        m_state->format = format;
        m_playbackDone = std::move(done);
        m_playbackOpen = true;
        return true;
    }
    bool write(WaveBuffer *buffer) override
    {
        std::lock_guard lock(m_mutex);
        m_playing = buffer;
        m_state->played = QByteArray(buffer->data, buffer->length);
        return true;
    }
    void resetPlayback() override
    {
        WaveBuffer *b;
        {
            std::lock_guard lock(m_mutex);
            ++m_state->playbackResets;
            b = m_playing;
            m_playing = nullptr;
        }
        if (b) {
            b->done = true;
            m_playbackDone(b);
        }
    }
    void closePlayback() override
    {
        std::lock_guard lock(m_mutex);
        m_playbackOpen = false;
    }
    bool isPlaybackOpen() const override
    {
        std::lock_guard lock(m_mutex);
        return m_playbackOpen;
    }

    // The device has played everything it was given.
    bool finish()
    {
        WaveBuffer *b;
        {
            std::lock_guard lock(m_mutex);
            b = m_playing;
            m_playing = nullptr;
        }
        if (!b)
            return false;
        b->done = true;
        m_playbackDone(b);
        return true;
    }

private:
    State *m_state;
    mutable std::mutex m_mutex;
    BufferCallback m_captureDone;
    BufferCallback m_playbackDone;
    std::deque<WaveBuffer *> m_queue;
    WaveBuffer *m_playing = nullptr;
    bool m_captureOpen = false;
    bool m_playbackOpen = false;
    quint32 m_pattern = 0;
};
