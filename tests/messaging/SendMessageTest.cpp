#include "gui/messaging/SendMessage.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/net/ListenerControl.h"
#include "core/platform/CodePage.h"
#include "core/platform/ComputerName.h"
#include "core/platform/MessengerService.h"
#include "core/sound/SoundClip.h"
#include "gui/messaging/ComposeWindow.h"
#include "gui/tray/TrayIcon.h"
#include "gui/ui/ModalState.h"
#include "support/GuiTestMain.h"

#include "net/TestSupport.h"
#include "support/FakeAudioDevice.h"
#include "support/FakeMessenger.h"
#include "support/FakePrompts.h"
#include "support/TestListeners.h"
#include "support/Widgets.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace TestSupport;

namespace {

// Fills the compose window once it is open and presses send.
void composeAndSend(QObject *context, const QString &text, bool anonymous = false,
                    const QString &sender = QString())
{
    QTimer::singleShot(0, context, [=] {
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<ComposeWindow>() != nullptr; }));
        ComposeWindow *w = Widgets::visibleWindow<ComposeWindow>();
        w->findChild<QPlainTextEdit *>()->setPlainText(text);
        if (anonymous) {
            w->findChild<QCheckBox *>()->click();
            w->findChild<QLineEdit *>()->setText(sender);
        }
        QTest::mouseClick(Widgets::button(w, QStringLiteral("Отправить текстовое сообщение")),
                          Qt::LeftButton);
    });
}

} // namespace

class SendMessageTest : public QObject {
    Q_OBJECT

    FakePrompts *m_prompts = nullptr;
    LiveSettings m_settings;
    MessageLog m_log;
    FakeMessenger m_messenger;

    MessagingServices services() { return {&m_settings, &m_log, &m_messenger}; }
    void useMessagePort(quint16 port)
    {
        Settings s;
        s.ListeningPort = port;
        m_settings.set(s);
    }

private slots:
    void init()
    {
        m_prompts = new FakePrompts;
        m_log.clear();
        m_messenger.calls.clear();
        m_messenger.status = 0;
        ModalState::instance().end();
    }
    void cleanup() { delete m_prompts; }

    void exactBytesOnTheWire()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        useMessagePort(wire(server.serverPort()));
        const QString text = QStringLiteral("Привет, Ёлка!\nЗнак 日 не влезает");
        composeAndSend(this, text);
        sendMessageTo({QStringLiteral("Я сам"), Ipv4Address::loopback()}, services());
        // The connection may have been accepted while the command waited.
        QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(5000));
        QTcpSocket *peer = server.nextPendingConnection();
        QByteArray bytes;
        while (peer->waitForReadyRead(1000) || peer->bytesAvailable())
            bytes += peer->readAll();
        QCOMPARE(bytes, CodePage(1251).fromUnicode(
                            QStringLiteral("Сообщение от ") + ComputerName::localHostName() +
                            QStringLiteral(":\r\nПривет, Ёлка!\r\nЗнак ? не влезает")));
        QVERIFY(bytes.contains("\xc7\xed\xe0\xea ? \xed\xe5")); // the CJK character became '?'
    }

    void deliveredToARealListener()
    {
        TestListeners receiver;
        QVERIFY(receiver.up);
        FakeWindows &windows = receiver.windows;
        useMessagePort(receiver.messagePort());

        // A right click on the tray while the success box is on screen: the
        // compose window has closed and must not come back, and no menu
        // opens while the command is still at work.
        TrayIcon tray({});
        tray.add();
        bool composeCameBack = true;
        bool menuOpened = true;
        m_prompts->onAsk = [&](const FakePrompts::Prompt &) {
            tray.openMenuAt(QPoint(10, 10));
            QTest::qWait(20);
            composeCameBack = Widgets::visibleWindow<ComposeWindow>() != nullptr;
            menuOpened = Widgets::visibleWindow<QMenu>() != nullptr;
        };
        composeAndSend(this, QStringLiteral("Как дела?"));
        sendMessageTo({QStringLiteral("Сосед, IP = 127.0.0.1"), Ipv4Address::loopback()},
                      services());
        QVERIFY(!composeCameBack);
        QVERIFY(!menuOpened);
        QVERIFY(waitUntil([&] { return windows.shown().size() == 1; }));
        QCOMPARE(windows.shown().at(0), QStringLiteral("Сообщение от ") +
                                            ComputerName::localHostName() +
                                            QStringLiteral(":\r\nКак дела?"));
        // The sender's log: the text without the header line, to the address.
        QCOMPARE(m_log.size(), 1);
        const LogEntry entry = m_log.entries().at(0);
        QCOMPARE(entry.text, QStringLiteral("Как дела?"));
        QCOMPARE(entry.direction, LogDirection::Outgoing);
        QCOMPARE(entry.peer, QStringLiteral("127.0.0.1"));
        // The success box.
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).caption, QStringLiteral("Tarvello"));
        QCOMPARE(m_prompts->asked.at(0).text, QStringLiteral("Сообщение успешно отправлено"));
        QVERIFY(!ModalState::instance().isOpen());
        QVERIFY(m_messenger.calls.isEmpty());
    }

    void noConnectionAsksAboutTheMessenger()
    {
        useMessagePort(freeConfiguredPort()); // nobody listens
        m_prompts->answers = {PromptService::Answer::No};
        composeAndSend(this, QStringLiteral("never"));
        sendMessageTo({QStringLiteral("B"), Ipv4Address::loopback()}, services());
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).icon, PromptService::Icon::Question);
        QCOMPARE(m_prompts->asked.at(0).buttons, PromptService::Buttons::YesNo);
        QVERIFY(m_prompts->asked.at(0).text.startsWith(
            QStringLiteral("Невозможно установить соединение.")));
        QCOMPARE(m_log.size(), 0);
        QVERIFY(m_messenger.calls.isEmpty());
    }

    void yesSendsTheFirst80CharactersThroughTheMessenger()
    {
        useMessagePort(freeConfiguredPort());
        m_prompts->answers = {PromptService::Answer::Yes};
        QString text;
        for (int i = 0; i < 200; ++i)
            text += QChar(u'а' + i % 32);
        composeAndSend(this, text);
        sendMessageTo({QStringLiteral("B"), Ipv4Address{{127, 0, 0, 1}}}, services());
        QCOMPARE(m_messenger.calls.size(), 1);
        QCOMPARE(m_messenger.calls.at(0).at(0), QStringLiteral("127.0.0.1"));
        QCOMPARE(m_messenger.calls.at(0).at(1), ComputerName::netBiosName());
        QCOMPARE(m_messenger.calls.at(0).at(2), text.left(80));
        QCOMPARE(m_log.size(), 1);
        QCOMPARE(m_log.entries().at(0).text, text.left(80));
        QCOMPARE(m_log.entries().at(0).peer, QStringLiteral("127.0.0.1"));
        QCOMPARE(m_prompts->asked.last().text, QStringLiteral("Сообщение успешно отправлено"));
    }

    void anonymousGoesOnlyThroughTheMessenger()
    {
        QTcpServer server; // would catch a direct send
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        useMessagePort(wire(server.serverPort()));
        composeAndSend(this, QStringLiteral("тайно"), true, QStringLiteral("Дед Мороз"));
        sendMessageTo({QStringLiteral("B"), Ipv4Address::loopback()}, services());
        QVERIFY(!server.hasPendingConnections() && !server.waitForNewConnection(200));
        QCOMPARE(m_messenger.calls.size(), 1);
        QCOMPARE(m_messenger.calls.at(0).at(1), QStringLiteral("Дед Мороз"));
        QCOMPARE(m_log.size(), 1);
    }

    void messengerFailureWarns()
    {
        m_messenger.status = 1;
        composeAndSend(this, QStringLiteral("тайно"), true, QStringLiteral("Кто-то"));
        sendMessageTo({QStringLiteral("B"), Ipv4Address::loopback()}, services());
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Невозможно соединиться с пользователем.\nВозможно, пользователь "
                                "отсутствует в сети."));
        QCOMPARE(m_log.size(), 0);
    }

    void soundGoesToTheDataPort()
    {
        FakeAudioDevice::State state;
        static FakeAudioDevice::State *s_state;
        static FakeAudioDevice *s_device;
        s_state = &state;
        AudioDevice::setFactory([] {
            auto d = std::make_unique<FakeAudioDevice>(s_state);
            s_device = d.get();
            return d;
        });
        TestListeners receiver;
        QVERIFY(receiver.up);
        FakeWindows &windows = receiver.windows;
        Settings settings;
        settings.ListeningDataPort = receiver.dataPort();
        m_settings.set(settings);

        QTimer::singleShot(0, this, [] {
            QVERIFY(waitUntil([] { return Widgets::visibleWindow<ComposeWindow>() != nullptr; }));
            ComposeWindow *w = Widgets::visibleWindow<ComposeWindow>();
            QTest::mouseClick(Widgets::button(w, QStringLiteral("Записать")), Qt::LeftButton);
            QVERIFY(s_device->deliver(SoundClip::kCaptureBufferSize));
            QTest::mouseClick(Widgets::button(w, QStringLiteral("Остановить")), Qt::LeftButton);
            QVERIFY(s_device->deliver(SoundClip::kCaptureBufferSize));
            QVERIFY(s_device->deliver(100));
            QPushButton *send = Widgets::button(w, QStringLiteral("Отправить звуковое сообщение"));
            QVERIFY(waitUntil([send] { return send->isEnabled(); }));
            QTest::mouseClick(send, Qt::LeftButton);
        });
        sendMessageTo({QStringLiteral("B"), Ipv4Address::loopback()}, services());
        AudioDevice::setFactory(nullptr);

        QVERIFY(waitUntil([&] { return windows.sounds().size() == 1; }));
        QCOMPARE(windows.sounds().at(0).samples.size(),
                 int(2 * SoundClip::kCaptureBufferSize + 100));
        QCOMPARE(windows.sounds().at(0).sender, ComputerName::localHostName());
        QCOMPARE(m_log.size(), 1);
        QCOMPARE(m_log.entries().at(0).text, QStringLiteral("Звуковое сообщение"));
        QCOMPARE(m_log.entries().at(0).peer, QStringLiteral("127.0.0.1"));
        QCOMPARE(m_prompts->asked.last().text, QStringLiteral("Сообщение успешно отправлено"));
    }

    void soundToNobodyWarns()
    {
        Settings settings;
        settings.ListeningDataPort = freeConfiguredPort(); // nobody listens
        m_settings.set(settings);
        QTimer::singleShot(0, this, [] {
            QVERIFY(waitUntil([] { return Widgets::visibleWindow<ComposeWindow>() != nullptr; }));
            ComposeWindow *w = Widgets::visibleWindow<ComposeWindow>();
            w->clip().setLength(10); // as a recording would
            w->done(ComposeWindow::SendSound);
        });
        sendMessageTo({QStringLiteral("B"), Ipv4Address::loopback()}, services());
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Невозможно соединиться с пользователем.\nВозможно, пользователь "
                                "отсутствует в сети."));
        QCOMPARE(m_log.size(), 0);
    }

    void messengerByDefaultFromTheSettings()
    {
        Settings s;
        s.UseNetSendByDeault = true;
        m_settings.set(s);
        QTimer::singleShot(0, this, [] {
            QVERIFY(waitUntil([] { return Widgets::visibleWindow<ComposeWindow>() != nullptr; }));
            ComposeWindow *w = Widgets::visibleWindow<ComposeWindow>();
            QVERIFY(w->findChild<QCheckBox *>()->isChecked());
            QVERIFY(!w->findChild<QLineEdit *>()->isReadOnly());
            w->reject();
        });
        sendMessageTo({QStringLiteral("B"), Ipv4Address::loopback()}, services());
        QVERIFY(m_prompts->asked.isEmpty());
        QVERIFY(m_messenger.calls.isEmpty());
    }

    // Last: Exit ends every local loop of the program for good.
    void exitDuringASoundWaitingForItsAnswerEndsAtOnce()
    {
        // The recipient takes the connection but never answers (its user
        // has another window open).
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        Settings settings;
        settings.ListeningDataPort = wire(silent.serverPort());
        m_settings.set(settings);
        bool waitedForTheAnswer = false;
        QTimer::singleShot(0, this, [&] {
            QVERIFY(waitUntil([] { return Widgets::visibleWindow<ComposeWindow>() != nullptr; }));
            ComposeWindow *w = Widgets::visibleWindow<ComposeWindow>();
            w->clip().setLength(10);
            w->done(ComposeWindow::SendSound);
            // Exit comes once the sound's header waits for its answer.
            QTimer::singleShot(500, [&] {
                waitedForTheAnswer = silent.hasPendingConnections();
                QCoreApplication::exit(4);
            });
        });
        QElapsedTimer timer;
        timer.start();
        sendMessageTo({QStringLiteral("B"), Ipv4Address::loopback()}, services());
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(waitedForTheAnswer);
        QVERIFY(m_prompts->asked.isEmpty()); // nothing said while the program ends
        QCOMPARE(m_log.size(), 0);
    }
};

TARVELLO_GUI_TEST_MAIN(SendMessageTest)
#include "SendMessageTest.moc"
