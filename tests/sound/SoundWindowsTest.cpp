#include "core/base/Settings.h"
#include "core/sound/SoundClip.h"
#include "gui/messaging/ComposeWindow.h"
#include "gui/sound/IncomingSoundWindow.h"
#include "gui/ui/Beeper.h"
#include "gui/ui/ModalState.h"
#include "support/GuiTestMain.h"

#include "support/FakeAudioDevice.h"
#include "support/FakePrompts.h"
#include "support/Widgets.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

using Widgets::button;

namespace {

// Every clip the windows make gets a fake device; the test reaches it here.
// The first device made is the beeper's (initTestCase beeps first).
struct Devices {
    FakeAudioDevice::State state;
    FakeAudioDevice *last = nullptr;
    FakeAudioDevice::State beeperState;
    FakeAudioDevice *beeper = nullptr;
};
Devices *g_devices = nullptr;

constexpr quint32 kFull = SoundClip::kCaptureBufferSize;

} // namespace

class SoundWindowsTest : public QObject {
    Q_OBJECT

    FakePrompts *m_prompts = nullptr;
    Devices m_devices;

    QPushButton *record(QWidget *w) { return button(w, QStringLiteral("Записать")); }
    // The beeper's device plays out whatever it was given.
    void finishBeeps()
    {
        do
            QCoreApplication::processEvents();
        while (m_devices.beeper->finish());
    }

private slots:
    void initTestCase()
    {
        g_devices = &m_devices;
        AudioDevice::setFactory([]() -> std::unique_ptr<AudioDevice> {
            if (!g_devices->beeper) {
                auto d = std::make_unique<FakeAudioDevice>(&g_devices->beeperState);
                g_devices->beeper = d.get();
                return d;
            }
            auto d = std::make_unique<FakeAudioDevice>(&g_devices->state);
            g_devices->last = d.get();
            return d;
        });
        Beeper::beep(1000, 10);
        QVERIFY(m_devices.beeper);
        finishBeeps();
    }
    void init()
    {
        m_prompts = new FakePrompts;
        m_devices.state = FakeAudioDevice::State();
    }
    void cleanup()
    {
        finishBeeps();
        delete m_prompts;
    }

    void composeRecordStopPlay()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QPushButton *rec = record(&w);
        QPushButton *play = button(&w, QStringLiteral("Воспроизвести"));
        QPushButton *send = button(&w, QStringLiteral("Отправить звуковое сообщение"));
        QVERIFY(!play->isEnabled() && !send->isEnabled());

        QTest::mouseClick(rec, Qt::LeftButton);
        QVERIFY(w.clip().isRecording());
        QCOMPARE(rec->text(), QStringLiteral("Остановить"));
        QVERIFY(rec->isChecked());
        QVERIFY(!play->isEnabled() && !send->isEnabled());

        FakeAudioDevice *device = m_devices.last;
        QVERIFY(device->deliver(kFull));
        QTest::mouseClick(rec, Qt::LeftButton); // stop
        QVERIFY(!w.clip().isRecording());
        QVERIFY(device->deliver(kFull));
        QVERIFY(device->deliver(kFull));
        // The buttons change when the clip says the recording stopped.
        QTRY_COMPARE(rec->text(), QStringLiteral("Записать"));
        QVERIFY(!rec->isChecked());
        QVERIFY(play->isEnabled() && send->isEnabled());
        QCOMPARE(w.clip().length(), 3 * kFull);

        QTest::mouseClick(play, Qt::LeftButton);
        QVERIFY(w.clip().isPlaying());
        QCOMPARE(play->text(), QStringLiteral("Остановить"));
        QVERIFY(play->isChecked());
        QVERIFY(!rec->isEnabled() && !send->isEnabled());
        QVERIFY(device->finish());
        // After a playback the button reads as it did before it.
        QTRY_COMPARE(play->text(), QStringLiteral("Воспроизвести"));
        QVERIFY(!play->isChecked());
        QVERIFY(rec->isEnabled() && send->isEnabled());

        // A recording left running stops by itself (after 22 s; here sooner).
        QCOMPARE(ComposeWindow::kRecordingLimitMs, (SoundClip::maxSeconds() - 1) * 1000);
        w.setRecordingLimit(50);
        QTest::mouseClick(rec, Qt::LeftButton);
        QVERIFY(w.clip().isRecording());
        QTRY_VERIFY(!w.clip().isRecording());
        while (device->deliver(kFull)) {
        }
        QTRY_COMPARE(rec->text(), QStringLiteral("Записать"));

        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(send, Qt::LeftButton);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(ComposeWindow::SendSound));
    }

    void emptyRecordingCannotBePlayedOrSent()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QTest::mouseClick(record(&w), Qt::LeftButton);
        QTest::mouseClick(button(&w, QStringLiteral("Остановить")), Qt::LeftButton);
        QTRY_VERIFY(button(&w, QStringLiteral("Воспроизвести"))->isEnabled());
        QCOMPARE(w.clip().length(), 0u); // the device returned nothing yet
        QTest::mouseClick(button(&w, QStringLiteral("Воспроизвести")), Qt::LeftButton);
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).text, QStringLiteral("Звук не записан"));
        QVERIFY(!button(&w, QStringLiteral("Воспроизвести"))->isChecked());
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(button(&w, QStringLiteral("Отправить звуковое сообщение")),
                          Qt::LeftButton);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(m_prompts->asked.at(1).text, QStringLiteral("Звуковое сообщение не записано"));
    }

    void missingDevicesAreSaidPlainly()
    {
        m_devices.state.captureAvailable = false;
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QTest::mouseClick(record(&w), Qt::LeftButton);
        QCOMPARE(m_prompts->asked.size(), 1);
        QVERIFY(m_prompts->asked.at(0).text.startsWith(
            QStringLiteral("Не найдено устройство записи звука")));
        QCOMPARE(record(&w)->text(), QStringLiteral("Записать"));
        QVERIFY(!record(&w)->isChecked());
        QVERIFY(!w.clip().isRecording());
    }

    void leavingWhileRecordingBringsTheDeviceToRest()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QTest::mouseClick(record(&w), Qt::LeftButton);
        QVERIFY(m_devices.last->deliver(kFull));
        w.reject();
        QCOMPARE(m_devices.state.captureResets, 1);
        QVERIFY(!m_devices.last->isCaptureOpen());
        QCOMPARE(w.clip().length(), kFull); // what came back is kept
    }

    void incomingWindowWithoutAutoPlay()
    {
        LiveSettings settings;
        SoundClip clip;
        clip.setLength(1000);
        IncomingSoundWindow w(QStringLiteral("<b>ПК-2</b>"), clip, settings);
        w.show();
        QCOMPARE(w.windowTitle(), QStringLiteral("Принято звуковое сообщение"));
        bool senderShown = false;
        for (auto *l : w.findChildren<QLabel *>())
            senderShown = senderShown || (l->text() == QStringLiteral("Сообщение от <b>ПК-2</b>") &&
                                          l->textFormat() == Qt::PlainText);
        QVERIFY(senderShown);
        QCOMPARE(ModalState::instance().windowToRaise(), &w);
        QTest::qWait(50);
        QVERIFY(!clip.isPlaying());
        QPushButton *play = button(&w, QStringLiteral("Проиграть"));
        QTest::mouseClick(play, Qt::LeftButton);
        QVERIFY(clip.isPlaying());
        QCOMPARE(play->text(), QStringLiteral("Остановить"));
        QVERIFY(m_devices.last->finish());
        QTRY_COMPARE(play->text(), QStringLiteral("Проиграть"));
        QVERIFY(w.isVisible());                  // stays until the user closes it
        QTest::mouseClick(play, Qt::LeftButton); // and plays again
        QVERIFY(clip.isPlaying());
        QSignalSpy finished(&w, &QDialog::finished);
        const int resets = m_devices.state.playbackResets;
        QTest::keyClick(&w, Qt::Key_Escape);
        QCOMPARE(finished.size(), 1);
        QVERIFY(!clip.isPlaying());
        QCOMPARE(m_devices.state.playbackResets, resets + 1); // silenced at once
    }

    void incomingWindowWithAutoPlayClosesWhenTheSoundEnds()
    {
        LiveSettings settings;
        Settings s;
        s.AutoPlaySound = true;
        settings.set(s);
        SoundClip clip;
        clip.setLength(1000);
        IncomingSoundWindow w(QStringLiteral("PC2"), clip, settings);
        QSignalSpy finished(&w, &QDialog::finished);
        w.show();
        // The two beeps first, each whole; the sound once they have been heard.
        QCOMPARE(m_devices.beeperState.played,
                 Beeper::render({{1000, 100}, {1300, 100}}, Beeper::kSampleRate));
        QCOMPARE(m_devices.beeperState.format.samplesPerSecond, Beeper::kSampleRate);
        QTest::qWait(50);
        QVERIFY(!clip.isPlaying());
        QVERIFY(m_devices.beeper->finish());
        QTRY_VERIFY(clip.isPlaying());
        QVERIFY(m_devices.last->finish());
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(!w.isVisible());
    }

    void autoPlayClosesAlsoWhenTheUserStops()
    {
        LiveSettings settings;
        Settings s;
        s.AutoPlaySound = true;
        settings.set(s);
        SoundClip clip;
        clip.setLength(1000);
        IncomingSoundWindow w(QStringLiteral("PC2"), clip, settings);
        QSignalSpy finished(&w, &QDialog::finished);
        w.show();
        finishBeeps();
        QTRY_VERIFY(clip.isPlaying());
        QTest::mouseClick(button(&w, QStringLiteral("Остановить")), Qt::LeftButton);
        QTRY_COMPARE(finished.size(), 1);
    }

    // Beeps asked for while others sound follow them (a message window's
    // after a sound window's), as the system's synchronous Beep has it.
    void beepsSoundOneAfterTheOther()
    {
        Beeper::beep(1300, 100);
        Beeper::beep(1000, 200);
        QCOMPARE(m_devices.beeperState.played, Beeper::render({{1300, 100}}, 22050));
        QVERIFY(m_devices.beeper->finish());
        QTRY_COMPARE(m_devices.beeperState.played, Beeper::render({{1000, 200}}, 22050));
    }

    void incomingWindowWithoutAnOutputDevice()
    {
        m_devices.state.playbackAvailable = false;
        LiveSettings settings;
        SoundClip clip;
        clip.setLength(1000);
        IncomingSoundWindow w(QStringLiteral("PC2"), clip, settings);
        w.show();
        QTest::mouseClick(button(&w, QStringLiteral("Проиграть")), Qt::LeftButton);
        QCOMPARE(m_prompts->asked.size(), 1);
        QVERIFY(m_prompts->asked.at(0).text.startsWith(
            QStringLiteral("Не найдено устройство воспроизведения")));
        QCOMPARE(button(&w, QStringLiteral("Проиграть"))->text(), QStringLiteral("Проиграть"));
        QVERIFY(w.isVisible());
    }
};

TARVELLO_GUI_TEST_MAIN(SoundWindowsTest)
#include "SoundWindowsTest.moc"
