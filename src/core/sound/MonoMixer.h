#pragma once

#include <QtGlobal>

// Mixes interleaved PCM frames of one or more channels to one channel, the
// average of the channels (as PulseAudio mixes a stereo microphone down):
// a sound server's own mix may add the channels and make a loud voice clip.
// Bytes of a frame cut off at the end of one call are kept for the next.
class MonoMixer {
public:
    // channels: 1 to kMaxChannels; bitsPerSample: 8 (unsigned) or 16
    // (signed little-endian).
    explicit MonoMixer(int channels = 1, int bitsPerSample = 16);

    static constexpr int kMaxChannels = 8;

    int channels() const { return m_channels; }
    // Bytes of one mixed sample, and of one frame taken in.
    int sampleBytes() const { return m_sampleBytes; }
    int frameBytes() const { return m_sampleBytes * m_channels; }
    // Bytes of an unfinished frame held from the last call.
    int pending() const { return m_pending; }

    // Mixes `n` input bytes into `out`, which must have room for
    // (pending() + n) / frameBytes() samples; returns the bytes written.
    qsizetype mix(const char *in, qsizetype n, char *out);

private:
    void mixFrame(const unsigned char *frame, char *out) const;

    int m_channels;
    int m_sampleBytes;
    int m_pending = 0;
    unsigned char m_partial[2 * kMaxChannels] = {};
};
