#include "core/sound/SoundClip.h"
#include "core/sound/MonoMixer.h"
#include "support/TestMain.h"

#include "support/FakeAudioDevice.h"

#include <QSignalSpy>
#include <QTest>

#include <thread>

namespace {

constexpr quint32 kFull = SoundClip::kCaptureBufferSize;

struct Rig {
    FakeAudioDevice::State state;
    FakeAudioDevice *device = nullptr;
    std::unique_ptr<SoundClip> clip;

    Rig()
    {
        auto d = std::make_unique<FakeAudioDevice>(&state);
        device = d.get();
        clip = std::make_unique<SoundClip>(std::move(d));
    }
    bool record() { return clip->startRecording(-1, 1, 11025, 16); }
};

} // namespace

class SoundClipTest : public QObject {
    Q_OBJECT

private slots:
    void recordingOpensTheFixedFormat()
    {
        Rig rig;
        QVERIFY(rig.record());
        QVERIFY(rig.clip->isRecording());
        QCOMPARE(rig.state.format.samplesPerSecond, 11025);
        QCOMPARE(rig.state.format.channels, 1);
        QCOMPARE(rig.state.format.bitsPerSample, 16);
        QCOMPARE(rig.state.format.bytesPerSecond(), 22050);
        QCOMPARE(rig.device->queued(), 2); // two capture buffers take turns
        QCOMPARE(rig.clip->deviceId(), -1);
    }

    void selfStopAtExactly523640Bytes()
    {
        Rig rig;
        QSignalSpy stopped(rig.clip.get(), &SoundClip::recordingStopped);
        QVERIFY(rig.record());
        int buffers = 0;
        while (rig.clip->isRecording() && rig.device->deliver(kFull)) {
            ++buffers;
            // The delivered buffer went back to the device beside the other
            // one (the device refuses a buffer it holds already).
            if (rig.clip->isRecording())
                QCOMPARE(rig.device->queued(), 2);
        }
        QCOMPARE(buffers, 95);
        QCOMPARE(stopped.size(), 1);
        QCOMPARE(stopped.at(0).at(0).toUInt(), 523640u);
        QCOMPARE(rig.clip->length(), 523640u);
        // The buffer still with the device comes back and is dropped.
        QCOMPARE(rig.device->queued(), 1);
        QVERIFY(rig.device->deliver(kFull));
        QCOMPARE(rig.device->queued(), 0);
        QCOMPARE(rig.clip->length(), 523640u);
        QCOMPARE(stopped.size(), 1);
        // What was recorded is the device's data, in order.
        for (quint32 i : {0u, 1u, 5511u, 5512u, 523639u})
            QCOMPARE(rig.clip->samples()[i], char(i & 0x7f));
    }

    void buffersStillWithTheDeviceAreAddedAfterAStop()
    {
        Rig rig;
        QSignalSpy stopped(rig.clip.get(), &SoundClip::recordingStopped);
        QVERIFY(rig.record());
        for (int i = 0; i < 3; ++i)
            QVERIFY(rig.device->deliver(kFull));
        rig.clip->stopRecording();
        QCOMPARE(stopped.size(), 1);
        QCOMPARE(stopped.at(0).at(0).toUInt(), 0u); // not final yet
        QVERIFY(!rig.clip->isRecording());
        QVERIFY(rig.device->deliver(kFull));
        QVERIFY(rig.device->deliver(1000));
        QCOMPARE(rig.clip->length(), 4 * kFull + 1000);
        QCOMPARE(rig.device->queued(), 0); // nothing queued again
        rig.clip->stopRecording();
        QCOMPARE(stopped.size(), 1);
    }

    void startWhileRecordingChangesNothing()
    {
        Rig rig;
        QVERIFY(rig.record());
        QVERIFY(rig.device->deliver(kFull));
        QVERIFY(!rig.record());
        QCOMPARE(rig.state.captureOpens, 1);
        QCOMPARE(rig.device->queued(), 2);
        QVERIFY(rig.clip->isRecording());
    }

    void playbackRules()
    {
        Rig rig;
        QVERIFY(!rig.clip->startPlayback(1, 11025, 16)); // empty clip
        QCOMPARE(rig.state.playbackOpens, 0);
        rig.clip->sampleBuffer()[0] = 7;
        rig.clip->setLength(3000);
        QSignalSpy stopped(rig.clip.get(), &SoundClip::playbackStopped);
        QVERIFY(rig.clip->startPlayback(1, 11025, 16));
        QVERIFY(rig.clip->isPlaying());
        QCOMPARE(rig.state.played.size(), 3000);
        QCOMPARE(rig.state.played.at(0), char(7));
        QVERIFY(!rig.clip->startPlayback(1, 11025, 16)); // already playing
        QVERIFY(rig.device->finish());
        QCOMPARE(stopped.size(), 1);
        QVERIFY(!rig.clip->isPlaying());

        QVERIFY(rig.clip->startPlayback(1, 11025, 16));
        const int resets = rig.state.playbackResets;
        rig.clip->stopPlayback(false);
        QCOMPARE(stopped.size(), 2);
        QCOMPARE(rig.state.playbackResets, resets + 1); // silenced at once
        rig.clip->stopPlayback(false);
        QCOMPARE(stopped.size(), 2);
        QCOMPARE(rig.state.playbackResets, resets + 1);
    }

    // Mixed to the wire's mono as the average of the channels: a stereo
    // microphone at peak 0.9 stays at 0.9. Frames may come cut in two.
    void mixedToMono_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("chunk"); // bytes handed over at a time
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        // 0.9, -0.9, full scale both ways, opposite, rounded toward zero
        const auto stereo = QByteArray::fromHex("3373 3373 cd8c cd8c ff7f ff7f 0080 0080 "
                                                "e803 18fc 0300 0000");
        const auto mono = QByteArray::fromHex("3373 cd8c ff7f 0080 0000 0100");
        QTest::newRow("stereo") << 2 << 16 << 1000 << stereo << mono;
        QTest::newRow("stereo, frames cut") << 2 << 16 << 3 << stereo << mono;
        QTest::newRow("mono as it is") << 1 << 16 << 5 << mono << mono;
        QTest::newRow("8-bit stereo") << 2 << 8 << 1 << QByteArray::fromHex("ffff 0000 80c0")
                                      << QByteArray::fromHex("ff00a0");
    }
    void mixedToMono()
    {
        QFETCH(int, channels);
        QFETCH(int, bits);
        QFETCH(int, chunk);
        QFETCH(QByteArray, in);
        MonoMixer mixer(channels, bits);
        QByteArray mixed(in.size(), '\0');
        qsizetype written = 0;
        for (qsizetype at = 0; at < in.size(); at += chunk)
            written += mixer.mix(in.constData() + at, qMin<qsizetype>(chunk, in.size() - at),
                                 mixed.data() + written);
        QTEST(mixed.left(written), "out");
        QCOMPARE(mixer.pending(), 0);
    }

    void receiverLengthIsCapped()
    {
        Rig rig;
        rig.clip->setLength(SoundClip::kCapacity + 100);
        QCOMPARE(rig.clip->length(), SoundClip::kCapacity);
    }

    void missingDevicesLeaveTheClipIdle()
    {
        Rig rig;
        rig.state.captureAvailable = false;
        rig.state.playbackAvailable = false;
        QVERIFY(!rig.record());
        QVERIFY(!rig.clip->isRecording());
        rig.clip->setLength(10);
        QVERIFY(!rig.clip->startPlayback(1, 11025, 16));
        QVERIFY(!rig.clip->isPlaying());
        // With no device registered at all, nothing opens either.
        SoundClip bare;
        QVERIFY(!bare.startRecording(-1, 1, 11025, 16));
    }

    void destructionBringsTheDevicesToRest()
    {
        {
            Rig rig;
            QSignalSpy stopped(rig.clip.get(), &SoundClip::recordingStopped);
            QVERIFY(rig.record());
            QVERIFY(rig.device->deliver(kFull));
            FakeAudioDevice::State *state = &rig.state;
            rig.clip.reset(); // both buffers come back before the clip is gone
            QCOMPARE(state->captureResets, 1);
        }
        {
            Rig rig;
            rig.clip->setLength(100);
            QVERIFY(rig.clip->startPlayback(1, 11025, 16));
            rig.clip.reset();
            QCOMPARE(rig.state.playbackResets, 1);
        }
    }

    void aNewRecordingBringsThePlaybackToRest()
    {
        Rig rig;
        rig.clip->setLength(100);
        QVERIFY(rig.clip->startPlayback(1, 11025, 16));
        QVERIFY(rig.record());
        QCOMPARE(rig.state.playbackResets, 1);
        QVERIFY(!rig.clip->isPlaying());
        QCOMPARE(rig.clip->length(), 0u);
    }

    void stopRacingTheDeviceSignalsOnce()
    {
        for (int round = 0; round < 200; ++round) {
            Rig rig;
            int stops = 0;
            QObject::connect(
                rig.clip.get(), &SoundClip::recordingStopped, rig.clip.get(), [&stops] { ++stops; },
                Qt::DirectConnection);
            QVERIFY(rig.record());
            std::thread deviceThread([&] {
                while (rig.device->deliver(kFull)) {
                }
            });
            rig.clip->stopRecording();
            deviceThread.join();
            QCOMPARE(stops, 1);
        }
    }
};

TARVELLO_TEST_MAIN(SoundClipTest)
#include "SoundClipTest.moc"
