#include "Beeper.h"

#include <QApplication>
#include <QtEndian>

#include <cmath>
#include <numbers>

namespace {
constexpr double kVolume = 0.4;
} // namespace

Beeper::Beeper(QObject *parent) : QObject(parent) {}

Beeper::~Beeper()
{
    // The device's last word must not reach a half-destroyed beeper.
    m_queue.clear();
    if (m_device)
        m_device->closePlayback();
}

QByteArray Beeper::render(const QList<Tone> &tones, int sampleRate)
{
    QByteArray out;
    for (const Tone &tone : tones) {
        const int count = int(qint64(sampleRate) * qMax(0, tone.durationMs) / 1000);
        const int fade = qMin(sampleRate / 200, count / 2);
        const qsizetype start = out.size();
        out.resize(start + 2 * qsizetype(count));
        for (int i = 0; i < count; ++i) {
            double envelope = 1.0;
            if (i < fade)
                envelope = double(i) / fade;
            else if (i >= count - fade)
                envelope = double(count - 1 - i) / fade;
            const double value = kVolume * envelope *
                                 std::sin(2 * std::numbers::pi * tone.frequencyHz * i / sampleRate);
            qToLittleEndian<qint16>(qint16(std::lround(value * 32767)), out.data() + start + 2 * i);
        }
    }
    return out;
}

void Beeper::beep(const QList<Tone> &tones, QObject *context, std::function<void()> then)
{
    static Beeper *instance = new Beeper(qApp);
    instance->m_queue.push_back({tones, context, std::move(then)});
    instance->playNext();
}

void Beeper::playNext()
{
    if (m_playing || m_queue.empty())
        return;
    if (!m_device)
        m_device = AudioDevice::create();
    m_samples = render(m_queue.front().tones, kSampleRate);
    m_buffer = WaveBuffer{m_samples.data(), quint32(m_samples.size()), 0, false};
    // The device hands the buffer back on its own thread once it has been
    // heard to its end.
    const auto heard = [this](WaveBuffer *) {
        QMetaObject::invokeMethod(this, &Beeper::played, Qt::QueuedConnection);
    };
    m_playing = true;
    if ((!m_device->isPlaybackOpen() &&
         !m_device->openPlayback(PcmFormat{1, kSampleRate, 16}, heard)) ||
        m_samples.isEmpty() || !m_device->write(&m_buffer)) {
        if (!m_samples.isEmpty())
            QApplication::beep();
        QMetaObject::invokeMethod(this, &Beeper::played, Qt::QueuedConnection);
    }
}

void Beeper::played()
{
    if (!m_playing || m_queue.empty())
        return;
    m_playing = false;
    Request done = std::move(m_queue.front());
    m_queue.pop_front();
    if (done.then && done.context)
        done.then();
    playNext();
}
