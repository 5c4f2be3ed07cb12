#include "QtAudioDevice.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QAudioSource>
#include <QBuffer>
#include <QMediaDevices>
#include <QPointer>

#include <deque>

class QtAudioDevice::Worker : public QObject {
public:
    // Capture: the source writes into the buffer at the front of the queue.
    bool openCapture(const PcmFormat &format, BufferCallback done)
    {
        closeCapture();
        const QAudioDevice device = QMediaDevices::defaultAudioInput();
        const QAudioFormat f = toQt(format);
        if (device.isNull() || !device.isFormatSupported(f))
            return false;
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
        while (m_input) {
            if (m_queue.empty()) {
                // No buffer queued: the sound is not wanted.
                if (m_input->read(m_discard, sizeof m_discard) <= 0)
                    break;
                continue;
            }
            WaveBuffer *b = m_queue.front();
            const qint64 n = m_input->read(b->data + b->recorded, b->length - b->recorded);
            if (n <= 0)
                break;
            b->recorded += quint32(n);
            if (b->recorded == b->length) {
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
        m_playbackDone = std::move(done);
        connect(m_sink, &QAudioSink::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::IdleState || state == QAudio::StoppedState)
                finishPlayback(true);
        });
        return true;
    }
    bool write(WaveBuffer *buffer)
    {
        if (!m_sink)
            return false;
        m_playBuffer.close();
        m_playBuffer.setData(QByteArray::fromRawData(buffer->data, qsizetype(buffer->length)));
        m_playBuffer.open(QIODevice::ReadOnly);
        m_playing = buffer;
        m_sink->start(&m_playBuffer);
        if (m_sink->error() != QAudio::NoError) {
            m_playing = nullptr;
            return false;
        }
        return true;
    }
    void resetPlayback() { finishPlayback(false); }
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
    void finishPlayback(bool played)
    {
        WaveBuffer *b = m_playing;
        if (!b)
            return;
        m_playing = nullptr;
        if (!played && m_sink)
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
    char m_discard[4096];

    QAudioSink *m_sink = nullptr;
    QBuffer m_playBuffer;
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
