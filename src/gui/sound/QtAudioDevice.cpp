#include "QtAudioDevice.h"

#include "core/sound/MonoMixer.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QAudioSource>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QPointer>
#include <QTimer>

#include <cstring>
#include <deque>
#include <limits>

namespace {

// What the sink reads: the clip, then silence for as long as it asks. The
// sink goes idle as soon as its data has been handed to the sound server,
// and stopping it then drops what the server still holds (the last tenth
// of a second); with silence behind the clip the stream keeps running
// until the clip's last sample has been played.
class ClipFeed : public QIODevice {
public:
    using QIODevice::QIODevice;
    void begin(const char *data, qint64 length, char silence)
    {
        close();
        m_data = data;
        m_length = length;
        m_position = 0;
        m_silence = silence;
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return std::numeric_limits<int>::max(); }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 n = qBound<qint64>(0, m_length - m_position, max);
        std::memcpy(out, m_data + m_position, size_t(n));
        std::memset(out + n, m_silence, size_t(max - n));
        m_position += n;
        return max;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const char *m_data = nullptr;
    qint64 m_length = 0;
    qint64 m_position = 0;
    char m_silence = 0;
};

// How often the sink's played time is looked at, and how long past the
// clip's own length a playback may take before it counts as played (a
// server that stalls must not keep the window waiting).
constexpr int kDrainPollMs = 20;
constexpr qint64 kDrainSlackMs = 3000;

} // namespace

class QtAudioDevice::Worker : public QObject {
public:
    // Capture: the source writes into the buffer at the front of the queue.
    bool openCapture(const PcmFormat &format, BufferCallback done)
    {
        closeCapture();
        const QAudioDevice device = QMediaDevices::defaultAudioInput();
        if (device.isNull())
            return false;
        QAudioFormat f = toQt(format);
        // Mono is taken in the device's own channel layout and mixed here:
        // PipeWire's own stereo-to-mono mix adds the channels (at -3 dB
        // each) where PulseAudio averages them, so a loud voice would clip.
        const int own = device.preferredFormat().channelCount();
        if (format.channels == 1 && own > 1 && own <= MonoMixer::kMaxChannels) {
            QAudioFormat taken = f;
            taken.setChannelCount(own);
            if (device.isFormatSupported(taken))
                f = taken;
        }
        if (!device.isFormatSupported(f))
            return false;
        // Without mixing, the bytes are copied as they come.
        m_mixer = f.channelCount() == format.channels
                      ? MonoMixer(1, 8)
                      : MonoMixer(f.channelCount(), format.bitsPerSample);
        m_source = new QAudioSource(device, f, this);
        m_captureDone = std::move(done);
        // An audio server that goes away stops the source: the buffers come
        // back with what they hold, as after a reset.
        connect(m_source, &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && m_source->error() != QAudio::NoError)
                returnQueuedBuffers();
        });
        return true;
    }
    bool addBuffer(WaveBuffer *buffer)
    {
        if (!m_source)
            return false;
        buffer->done = false;
        buffer->recorded = 0;
        m_queue.push_back(buffer);
        return true;
    }
    bool startCapture()
    {
        if (!m_source)
            return false;
        m_input = m_source->start();
        if (!m_input)
            return false;
        connect(m_input, &QIODevice::readyRead, this, &Worker::readCapture);
        return true;
    }
    void readCapture()
    {
        // The input device does not report what it holds: read until it
        // gives nothing.
        const int sampleBytes = m_mixer.sampleBytes();
        while (m_input) {
            if (m_queue.empty()) {
                // No buffer queued: the sound is not wanted (but goes
                // through the mixer, which keeps count of the frames).
                const qint64 n = m_input->read(m_scratch, sizeof m_scratch);
                if (n <= 0)
                    break;
                m_mixer.mix(m_scratch, n, m_discard);
                continue;
            }
            WaveBuffer *b = m_queue.front();
            // As many frames as the buffer has room for once mixed.
            const qint64 room = (b->length - b->recorded) / sampleBytes;
            const qint64 want =
                qMin<qint64>(room * m_mixer.frameBytes() - m_mixer.pending(), sizeof m_scratch);
            if (want > 0) {
                const qint64 n = m_input->read(m_scratch, want);
                if (n <= 0)
                    break;
                b->recorded += quint32(m_mixer.mix(m_scratch, n, b->data + b->recorded));
            }
            if (b->length - b->recorded < quint32(sampleBytes)) {
                m_queue.pop_front();
                b->done = true;
                m_captureDone(b); // may queue it again
            }
        }
    }
    void resetCapture()
    {
        if (!m_source)
            return;
        readCapture();
        // stop() deletes the device start() returned.
        m_input = nullptr;
        m_source->stop();
        returnQueuedBuffers();
    }
    void closeCapture()
    {
        resetCapture();
        delete m_source;
        m_source = nullptr;
    }
    bool isCaptureOpen() const { return m_source != nullptr; }

    // Playback: the sink reads the one buffer it was given.
    bool openPlayback(const PcmFormat &format, BufferCallback done)
    {
        closePlayback();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        const QAudioFormat f = toQt(format);
        if (device.isNull() || !device.isFormatSupported(f))
            return false;
        m_sink = new QAudioSink(device, f, this);
        m_playFormat = format;
        m_playbackDone = std::move(done);
        // An audio server that goes away stops the sink: the buffer comes
        // back as after its end.
        connect(m_sink, &QAudioSink::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState)
                finishPlayback();
        });
        m_drainTimer.setInterval(kDrainPollMs);
        connect(&m_drainTimer, &QTimer::timeout, this, &Worker::checkDrained, Qt::UniqueConnection);
        return true;
    }
    bool write(WaveBuffer *buffer)
    {
        if (!m_sink)
            return false;
        m_feed.begin(buffer->data, qint64(buffer->length),
                     m_playFormat.bitsPerSample == 8 ? char(0x80) : char(0));
        m_clipUSecs = qint64(buffer->length) * 1000000 / qMax(1, m_playFormat.bytesPerSecond());
        m_playing = buffer;
        m_sink->start(&m_feed);
        if (m_sink->error() != QAudio::NoError) {
            m_playing = nullptr;
            return false;
        }
        m_playClock.start();
        m_drainTimer.start();
        return true;
    }
    // The buffer is done when the server says it has played as much as
    // the clip holds, or, should it stall, a while after it should have.
    void checkDrained()
    {
        if (!m_playing || !m_sink) {
            m_drainTimer.stop();
            return;
        }
        if (m_sink->processedUSecs() >= m_clipUSecs ||
            m_playClock.elapsed() > m_clipUSecs / 1000 + kDrainSlackMs)
            finishPlayback();
    }
    void resetPlayback() { finishPlayback(); }
    void closePlayback()
    {
        resetPlayback();
        delete m_sink;
        m_sink = nullptr;
    }
    bool isPlaybackOpen() const { return m_sink != nullptr; }

private:
    void returnQueuedBuffers()
    {
        std::deque<WaveBuffer *> returned;
        returned.swap(m_queue);
        for (WaveBuffer *b : returned) {
            b->done = true;
            m_captureDone(b);
        }
    }

    static QAudioFormat toQt(const PcmFormat &format)
    {
        QAudioFormat f;
        f.setSampleRate(format.samplesPerSecond);
        f.setChannelCount(format.channels);
        f.setSampleFormat(format.bitsPerSample == 8 ? QAudioFormat::UInt8 : QAudioFormat::Int16);
        return f;
    }

    // Hands the buffer back once: played to its end, or stopped.
    void finishPlayback()
    {
        WaveBuffer *b = m_playing;
        if (!b)
            return;
        m_playing = nullptr;
        m_drainTimer.stop();
        // Played or not, what follows the clip is silence: stop it.
        if (m_sink)
            m_sink->stop();
        b->done = true;
        m_playbackDone(b);
    }

    QAudioSource *m_source = nullptr;
    // The source deletes its device when it stops, also by itself when the
    // audio server goes away.
    QPointer<QIODevice> m_input;
    std::deque<WaveBuffer *> m_queue;
    BufferCallback m_captureDone;
    MonoMixer m_mixer;
    char m_scratch[4096];
    char m_discard[4096];

    QAudioSink *m_sink = nullptr;
    PcmFormat m_playFormat;
    ClipFeed m_feed{this};
    qint64 m_clipUSecs = 0;
    QElapsedTimer m_playClock;
    QTimer m_drainTimer{this};
    WaveBuffer *m_playing = nullptr;
    BufferCallback m_playbackDone;
};

template <typename F> auto QtAudioDevice::onDeviceThread(F &&f) const
{
    using R = decltype(f());
    if (QThread::currentThread() == &m_thread)
        return f();
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(m_worker, std::forward<F>(f), Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(
            m_worker, [&] { result = f(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

QtAudioDevice::QtAudioDevice() : m_worker(new Worker)
{
    m_thread.setObjectName(QStringLiteral("tv-audio"));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

QtAudioDevice::~QtAudioDevice()
{
    onDeviceThread([this] {
        m_worker->closeCapture();
        m_worker->closePlayback();
        m_worker->deleteLater();
    });
    m_thread.quit();
    m_thread.wait();
}

bool QtAudioDevice::openCapture(const PcmFormat &format, BufferCallback bufferDone)
{
    return onDeviceThread([&] { return m_worker->openCapture(format, std::move(bufferDone)); });
}

bool QtAudioDevice::addBuffer(WaveBuffer *buffer)
{
    return onDeviceThread([&] { return m_worker->addBuffer(buffer); });
}

bool QtAudioDevice::startCapture()
{
    return onDeviceThread([&] { return m_worker->startCapture(); });
}

void QtAudioDevice::resetCapture()
{
    onDeviceThread([&] { m_worker->resetCapture(); });
}

void QtAudioDevice::closeCapture()
{
    onDeviceThread([&] { m_worker->closeCapture(); });
}

bool QtAudioDevice::isCaptureOpen() const
{
    return onDeviceThread([&] { return m_worker->isCaptureOpen(); });
}

bool QtAudioDevice::openPlayback(const PcmFormat &format, BufferCallback bufferDone)
{
    return onDeviceThread([&] { return m_worker->openPlayback(format, std::move(bufferDone)); });
}

bool QtAudioDevice::write(WaveBuffer *buffer)
{
    return onDeviceThread([&] { return m_worker->write(buffer); });
}

void QtAudioDevice::resetPlayback()
{
    onDeviceThread([&] { m_worker->resetPlayback(); });
}

void QtAudioDevice::closePlayback()
{
    onDeviceThread([&] { m_worker->closePlayback(); });
}

bool QtAudioDevice::isPlaybackOpen() const
{
    return onDeviceThread([&] { return m_worker->isPlaybackOpen(); });
}
