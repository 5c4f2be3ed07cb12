#include "Beeper.h"

#include <QApplication>
#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <QtEndian>

#include <cmath>
#include <numbers>

namespace {
constexpr int kSampleRate = 22050;
constexpr double kVolume = 0.4;
} // namespace

Beeper::Beeper(QObject *parent) : QObject(parent) {}

Beeper::~Beeper() = default;

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

void Beeper::beep(const QList<Tone> &tones)
{
    static Beeper *instance = new Beeper(qApp);
    instance->play(tones);
}

void Beeper::play(const QList<Tone> &tones)
{
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    QAudioFormat format;
    format.setSampleRate(kSampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    if (device.isNull() || !device.isFormatSupported(format)) {
        QApplication::beep();
        return;
    }
    if (m_sink)
        m_sink->stop();
    m_buffer = std::make_unique<QBuffer>();
    m_buffer->setData(render(tones, kSampleRate));
    m_buffer->open(QIODevice::ReadOnly);
    m_sink = std::make_unique<QAudioSink>(device, format);
    connect(m_sink.get(), &QAudioSink::stateChanged, this, [this](QAudio::State state) {
        // Played to the end: let the device go.
        if (state == QAudio::IdleState && m_sink)
            m_sink->stop();
    });
    m_sink->start(m_buffer.get());
    if (m_sink->error() != QAudio::NoError)
        QApplication::beep();
}
