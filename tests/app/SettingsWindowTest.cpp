#include "gui/ui/SettingsWindow.h"
#include "app/Application.h"
#include "gui/ui/ModalState.h"
#include "gui/ui/PortSpinBox.h"
#include "gui/ui/PromptService.h"
#include "support/GuiTestMain.h"

#include "net/TestSupport.h"
#include "support/FakePrompts.h"
#include "support/TestServices.h"
#include "support/Widgets.h"

#include <QCheckBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using Widgets::button;

class SettingsWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakePrompts *m_prompts = nullptr;
    LiveSettings m_live;

    QString config() const { return m_dir.filePath(QStringLiteral("Tarvello.conf")); }
    struct Controls {
        PortSpinBox *messagePort;
        PortSpinBox *dataPort;
        QCheckBox *autoPlay;
        QCheckBox *useMessenger;
    };
    static Controls controlsOf(SettingsWindow &w)
    {
        const auto ports = w.findChildren<PortSpinBox *>();
        const auto boxes = w.findChildren<QCheckBox *>();
        return {ports.at(0), ports.at(1), boxes.at(0), boxes.at(1)};
    }
    static int save(SettingsWindow &w)
    {
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(button(&w, QStringLiteral("Сохранить")), Qt::LeftButton);
        return finished.isEmpty() ? -1 : finished.at(0).at(0).toInt();
    }

private slots:
    void init()
    {
        QFile::remove(config());
        m_prompts = new FakePrompts;
        Settings s;
        s.ListeningPort = 2000;
        s.ListeningDataPort = 3000;
        m_live.set(s);
    }
    void cleanup() { delete m_prompts; }

    void aWindowThatClosesWithoutAnAnswerChangesNothing()
    {
        // A settings window that never comes on screen, and one hidden from
        // outside: neither may read as a confirmed change.
        class NeverShown : public SettingsWindow {
        public:
            using SettingsWindow::SettingsWindow;
            void setVisible(bool) override {}
        };
        NeverShown never(m_live, SettingsStore(config()));
        QVERIFY(runDialog(never) != SettingsWindow::Changed);

        SettingsWindow hidden(m_live, SettingsStore(config()));
        QTimer::singleShot(50, &hidden, [&hidden] { hidden.hide(); });
        QVERIFY(runDialog(hidden) != SettingsWindow::Changed);
        QVERIFY(!QFile::exists(config()));
    }

    void opensWithTheLiveValues()
    {
        SettingsWindow w(m_live, SettingsStore(config()));
        w.show();
        QCOMPARE(w.windowTitle(), QStringLiteral("Настройки программы"));
        const Controls c = controlsOf(w);
        QCOMPARE(c.messagePort->text(), QStringLiteral("2000"));
        QCOMPARE(c.dataPort->text(), QStringLiteral("3000"));
        QVERIFY(!c.autoPlay->isChecked());
        QCOMPARE(c.autoPlay->text(),
                 QStringLiteral("Автоматически проигрывать входящие звуковые сообщения"));
    }

    void saveWithoutChangeAsksNothingAndWritesNothing()
    {
        SettingsWindow w(m_live, SettingsStore(config()));
        w.show();
        QCOMPARE(save(w), int(SettingsWindow::Unchanged));
        QVERIFY(m_prompts->asked.isEmpty());
        QVERIFY(!QFile::exists(config()));
    }

    void aConfirmedCheckBoxIsWritten()
    {
        SettingsWindow w(m_live, SettingsStore(config()));
        w.show();
        controlsOf(w).autoPlay->click();
        m_prompts->answers = {PromptService::Answer::Yes};
        QCOMPARE(save(w), int(SettingsWindow::Changed));
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Вы действительно хотите изменить настройки программы?"));
        QCOMPARE(m_prompts->asked.at(0).owner, nullptr);
        QVERIFY(m_live.get().AutoPlaySound);
        QSettings raw(config(), QSettings::IniFormat);
        QCOMPARE(raw.value("AutoPlaySound").toInt(), 1);
        QCOMPARE(raw.value("ListeningPort").toInt(), 2000);
    }

    void declinedChangePutsBackAllFieldsAlsoAfterDefaults()
    {
        Settings s = m_live.get();
        s.offerTimeoutSeconds = 99; // the fifth field comes back too
        m_live.set(s);
        SettingsWindow w(m_live, SettingsStore(config()));
        w.show();
        QTest::mouseClick(button(&w, QStringLiteral("По умолчанию")), Qt::LeftButton);
        QCOMPARE(m_live.get(), Settings()); // the live record at once
        QCOMPARE(controlsOf(w).messagePort->text(), QStringLiteral("1024"));
        m_prompts->answers = {PromptService::Answer::No};
        QCOMPARE(save(w), int(SettingsWindow::Unchanged));
        QCOMPARE(m_live.get(), s);
        QVERIFY(!QFile::exists(config()));
    }

    void defaultsThenCancelPutsBackTheRecord()
    {
        const Settings before = m_live.get();
        SettingsWindow w(m_live, SettingsStore(config()));
        w.show();
        QTest::mouseClick(button(&w, QStringLiteral("По умолчанию")), Qt::LeftButton);
        QTest::keyClick(&w, Qt::Key_Escape);
        QCOMPARE(m_live.get(), before);
    }

    void typedPortsAreTakenAsTypedAndArrowsStayInRange()
    {
        SettingsWindow w(m_live, SettingsStore(config()));
        w.show();
        const Controls c = controlsOf(w);
        c.messagePort->setText(QStringLiteral("99999"));
        c.dataPort->setText(QStringLiteral("  -5"));
        m_prompts->answers = {PromptService::Answer::Yes};
        QCOMPARE(save(w), int(SettingsWindow::Changed));
        QCOMPARE(m_live.get().ListeningPort, 99999);
        QCOMPARE(m_live.get().ListeningDataPort, -5);

        PortSpinBox spin;
        spin.setRange(1024, 38000);
        spin.setPosition(37999);
        spin.stepBy(1);
        spin.stepBy(1);
        QCOMPARE(spin.text(), QStringLiteral("38000"));
        spin.setText(QStringLiteral("5"));
        spin.stepBy(-1);
        QCOMPARE(spin.text(), QStringLiteral("1024"));
        spin.setText(QStringLiteral("abc"));
        spin.stepBy(1);
        QCOMPARE(spin.text(), QStringLiteral("1025"));
    }

    void aPortThatIsNotANumberKeepsTheWindowOpen()
    {
        SettingsWindow w(m_live, SettingsStore(config()));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const Controls c = controlsOf(w);
        c.dataPort->setText(QString());
        QCOMPARE(save(w), -1);
        QVERIFY(c.dataPort->hasFocus());
        c.dataPort->setText(QStringLiteral("12x"));
        QCOMPARE(save(w), -1);
        QVERIFY(m_prompts->asked.isEmpty()); // a beep, no box
        QCOMPARE(m_live.get().ListeningDataPort, 3000);
    }

    void confirmedChangeMovesTheListeners()
    {
        const quint16 oldMessage = TestSupport::freeConfiguredPort();
        const quint16 oldData = TestSupport::freeConfiguredPort();
        Settings s;
        s.ListeningPort = oldMessage;
        s.ListeningDataPort = oldData;
        QVERIFY(SettingsStore(config()).save(s));
        Application main{testServices(m_dir.path())};
        main.startUp();
        QVERIFY(TestSupport::waitListening(oldMessage));
        const quint16 newMessage = TestSupport::freeConfiguredPort();
        const quint16 newData = TestSupport::freeConfiguredPort();
        QTimer::singleShot(0, this, [&] {
            QVERIFY(TestSupport::waitUntil(
                [] { return Widgets::visibleWindow<SettingsWindow>() != nullptr; }));
            SettingsWindow *w = Widgets::visibleWindow<SettingsWindow>();
            QCOMPARE(ModalState::instance().windowToRaise(), w);
            const Controls c = controlsOf(*w);
            c.messagePort->setText(QString::number(newMessage));
            c.dataPort->setText(QString::number(newData));
            m_prompts->answers = {PromptService::Answer::Yes};
            QTest::mouseClick(button(w, QStringLiteral("Сохранить")), Qt::LeftButton);
        });
        QVERIFY(main.dispatchCommand(10000));
        // The restart goes on after the window (it may wait for a transfer).
        QVERIFY(TestSupport::waitUntil([&] { return main.listeners().messagePort() == newMessage; }));
        QVERIFY(TestSupport::waitListening(newMessage));
        QVERIFY(TestSupport::waitListening(newData));
        QTcpSocket probe;
        QVERIFY(!TestSupport::connectClient(probe, oldMessage));
        QSettings raw(config(), QSettings::IniFormat);
        QCOMPARE(raw.value("ListeningPort").toInt(), int(newMessage));
        QSignalSpy finished(&main, &Application::finished);
        main.dispatchCommand(32772);
    }
};

TARVELLO_GUI_TEST_MAIN(SettingsWindowTest)
#include "SettingsWindowTest.moc"
