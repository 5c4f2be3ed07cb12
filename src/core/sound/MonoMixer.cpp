#include "MonoMixer.h"

#include <QtEndian>

#include <cstring>

MonoMixer::MonoMixer(int channels, int bitsPerSample)
    : m_channels(qBound(1, channels, kMaxChannels)), m_sampleBytes(bitsPerSample == 8 ? 1 : 2)
{
}

void MonoMixer::mixFrame(const unsigned char *frame, char *out) const
{
    int sum = 0;
    if (m_sampleBytes == 1) {
        for (int c = 0; c < m_channels; ++c)
            sum += int(frame[c]) - 128;
        *out = char(sum / m_channels + 128);
        return;
    }
    for (int c = 0; c < m_channels; ++c)
        sum += qFromLittleEndian<qint16>(frame + 2 * c);
    qToLittleEndian<qint16>(qint16(sum / m_channels), out);
}

qsizetype MonoMixer::mix(const char *in, qsizetype n, char *out)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(in);
    const int frame = frameBytes();
    qsizetype written = 0;
    if (m_pending > 0) {
        const int take = int(qMin<qsizetype>(frame - m_pending, n));
        std::memcpy(m_partial + m_pending, bytes, size_t(take));
        m_pending += take;
        bytes += take;
        n -= take;
        if (m_pending < frame)
            return 0;
        mixFrame(m_partial, out);
        written += m_sampleBytes;
        m_pending = 0;
    }
    for (; n >= frame; n -= frame, bytes += frame, written += m_sampleBytes)
        mixFrame(bytes, out + written);
    std::memcpy(m_partial, bytes, size_t(n));
    m_pending = int(n);
    return written;
}
