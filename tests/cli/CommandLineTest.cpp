// The subcommands against the real listeners over loopback: what a peer
// receives, what the person at the terminal reads, and the exit status.
#include "cli/CommandLine.h"
#include "cli/Diagnosis.h"
#include "core/base/Settings.h"
#include "core/net/TcpSocket.h"
#include "support/TestMain.h"

#include "net/TestSupport.h"
#include "support/FakeDirectory.h"
#include "support/FakeMessenger.h"
#include "support/TestListeners.h"

#include <QBuffer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

using namespace TestSupport;

class CommandLineTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<TestListeners> m_peer;
    std::unique_ptr<SettingsStore> m_store;
    FakeResolver m_resolver;
    FakeMessenger m_messenger;
    FakeBrowser m_browser;
    CommandLineServices m_services;
    QString m_out;
    QString m_err;

    // Runs the arguments with the given standard input; the exit status.
    int run(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        QBuffer in;
        in.setData(input);
        in.open(QIODevice::ReadOnly);
        m_out.clear();
        m_err.clear();
        QTextStream out(&m_out);
        QTextStream err(&m_err);
        return CommandLine(m_services, in, out, err).run(arguments);
    }

private slots:
    void init()
    {
        m_peer = std::make_unique<TestListeners>();
        QVERIFY(m_peer->up);
        // This side's settings name the same ports.
        m_store = std::make_unique<SettingsStore>(m_dir.filePath(QStringLiteral("Tarvello.conf")));
        m_store->save(m_peer->settings.get());
        m_resolver.addresses = {{"PC-B", Ipv4Address::loopback()}};
        m_messenger.calls.clear();
        m_messenger.status = 0;
        m_services = CommandLineServices();
        m_services.store = m_store.get();
        m_services.resolver = &m_resolver;
        m_services.messenger = &m_messenger;
        m_services.browser = &m_browser;
        m_services.hostName = QStringLiteral("pc-a");
        m_services.netBiosName = QStringLiteral("PC-A");
    }
    void cleanup() { m_peer.reset(); }

    void handlesSubcommandsAndLeavesTheRestToTheTray()
    {
        QVERIFY(CommandLine::handles({QStringLiteral("send")}));
        QVERIFY(CommandLine::handles({QStringLiteral("--help")}));
        QVERIFY(CommandLine::handles({QStringLiteral("sned")})); // said to be unknown
        QVERIFY(!CommandLine::handles({}));
        QVERIFY(!CommandLine::handles({QStringLiteral("-platform"), QStringLiteral("xcb")}));
        QCOMPARE(run({QStringLiteral("sned")}), int(CommandLine::Usage));
        QVERIFY(m_err.startsWith(QStringLiteral("tarvello: неизвестная команда \"sned\"")));
        QCOMPARE(run({QStringLiteral("--version")}), int(CommandLine::Delivered));
        QCOMPARE(m_out, QStringLiteral("Tarvello 2.0\n"));
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("--help")}), 0);
        QVERIFY(m_out.startsWith(QStringLiteral("Использование: tarvello send ")));
    }

    void textArrivesAsTheComposeWindowSendsIt()
    {
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("PC-B"), QStringLiteral("Сервер"),
                      QStringLiteral("перезагрузится")}),
                 int(CommandLine::Delivered));
        QCOMPARE(m_out, QStringLiteral("Сообщение доставлено: PC-B (127.0.0.1).\n"));
        QVERIFY(waitUntil([&] { return m_peer->windows.shown().size() == 1; }));
        QCOMPARE(m_peer->windows.shown().at(0),
                 QStringLiteral("Сообщение от pc-a:\r\nСервер перезагрузится"));

        // From standard input, with line breaks as the window sends them,
        // another sender, and characters the code page cannot hold.
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("--from"), QStringLiteral("Админ"),
                      QStringLiteral("127.0.0.1")},
                     QStringLiteral("в 18:00\nперезагрузка 日本\n").toUtf8()),
                 int(CommandLine::Delivered));
        QVERIFY(waitUntil([&] { return m_peer->windows.shown().size() == 2; }));
        QCOMPARE(m_peer->windows.shown().at(1),
                 QStringLiteral("Сообщение от Админ:\r\nв 18:00\r\nперезагрузка ??"));
        QCOMPARE(m_err, QStringLiteral("Внимание: знаков, которых нет в кодовой странице 1251: 2; "
                                       "они посланы как \"?\".\n"));
    }

    void badInputIsSaidWithStatusTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("said");
        const QString send = QStringLiteral("send");
        QTest::newRow("no host") << QStringList{send} << QByteArray() << "не указан компьютер";
        QTest::newRow("empty") << QStringList{send, "PC-B"} << QByteArray("\n")
                               << "пустое сообщение";
        QTest::newRow("too long") << QStringList{send, "PC-B"} << QByteArray(70000, 'a')
                                  << "сообщение длиннее 65535 знаков";
        QTest::newRow("long sender") << QStringList{send, "--from", QString(256, u'x'), "PC-B", "x"}
                                     << QByteArray() << "имя отправителя длиннее 255 знаков";
        QTest::newRow("option") << QStringList{send, "--loud", "PC-B", "x"} << QByteArray()
                                << "неизвестный параметр \"--loud\"";
        QTest::newRow("folder") << QStringList{"send-file", "PC-B", m_dir.path()} << QByteArray()
                                << "это папка, а не файл";
        QTest::newRow("no file") << QStringList{"send-file", "PC-B", m_dir.filePath("nothing")}
                                 << QByteArray() << "файл не найден";
        QTest::newRow("no path") << QStringList{"send-file", "PC-B"} << QByteArray()
                                 << "не указан файл";
        QTest::newRow("device") << QStringList{"send-file", "PC-B", "/dev/zero"} << QByteArray()
                                << "/dev/zero: это устройство, а не обычный файл";
        QTest::newRow("no length") << QStringList{"send-file", "PC-B", "/proc/cpuinfo"}
                                   << QByteArray() << "размер этого файла заранее неизвестен";
        // A host that is empty or an option is never looked up.
        QTest::newRow("empty host") << QStringList{send, "", "x"} << QByteArray()
                                    << "не указан компьютер";
        QTest::newRow("option as host") << QStringList{"check", "-x"} << QByteArray()
                                        << "неизвестный параметр \"-x\"";
        QTest::newRow("file to an option") << QStringList{"send-file", "-x", m_dir.path()}
                                           << QByteArray() << "неизвестный параметр \"-x\"";
    }
    void badInputIsSaidWithStatusTwo()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QString, said);
        const int lookups = m_resolver.lookups;
        QCOMPARE(run(arguments, input), int(CommandLine::Usage));
        QCOMPARE(m_resolver.lookups.load(), lookups);
        QVERIFY2(m_err.contains(said), qPrintable(m_err));
        QVERIFY(m_err.contains(QStringLiteral(" --help")));
        QCOMPARE(m_peer->windows.shown().size(), 0);
    }

    void unreachableRecipientsAreNotFallenBackFrom()
    {
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("PC-X"), QStringLiteral("x")}),
                 int(CommandLine::Unreachable));
        QVERIFY(m_err.startsWith(QStringLiteral("PC-X: адрес компьютера не найден")));
        // Nothing listens: refused, and the messenger is only suggested.
        m_peer->control->stopListeners();
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("127.0.0.1"), QStringLiteral("x")}),
                 int(CommandLine::Refused));
        QVERIFY2(m_err.contains(QStringLiteral("соединение отклонено")), qPrintable(m_err));
        QVERIFY(m_err.contains(QStringLiteral("tarvello send --messenger 127.0.0.1")));
        QVERIFY(m_messenger.calls.isEmpty());
    }

    void messengerSendsTheFirst80Characters()
    {
        const QString text = QString(100, u'ж');
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("--messenger"), QStringLiteral("PC-B"),
                      text}),
                 int(CommandLine::Delivered));
        QCOMPARE(m_messenger.calls.size(), 1);
        QCOMPARE(m_messenger.calls.at(0),
                 (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("PC-A"), text.left(80)}));
        QVERIFY(m_err.contains(QStringLiteral("не больше 80 знаков")));
        m_messenger.status = -2;
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("--messenger"), QStringLiteral("PC-B"),
                      QStringLiteral("x")}),
                 int(CommandLine::Unreachable));
        QVERIFY(m_err.startsWith(QStringLiteral("Служба Messenger не доставила сообщение")));
    }

    void fileArrivesWholeWithSaneProgress()
    {
        QByteArray data(3000000, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 31 % 251);
        QFile source(m_dir.filePath(QStringLiteral("отчёт.bin")));
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write(data);
        source.close();
        const QString target = m_dir.filePath(QStringLiteral("received.bin"));
        m_peer->windows.answerOffers({target});
        QCOMPARE(run({QStringLiteral("send-file"), QStringLiteral("PC-B"), source.fileName()}),
                 int(CommandLine::Delivered));
        QFile received(target);
        QVERIFY(received.open(QIODevice::ReadOnly));
        QCOMPARE(received.readAll(), data);
        QCOMPARE(m_peer->windows.offers().at(0).fileName, QStringLiteral("отчёт.bin"));
        QCOMPARE(m_peer->windows.offers().at(0).sender, QStringLiteral("pc-a"));
        // Not a terminal: one plain line per percentage, rising to 100.
        const QStringList lines = m_out.split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.first().startsWith(QStringLiteral("Файл отчёт.bin (2.929 Мбайт) предложен")),
                 qPrintable(lines.first()));
        QVERIFY2(lines.last().contains(QRegularExpression(
                     QStringLiteral("^Файл доставлен: PC-B \\(127.0.0.1\\), 2.929 Мбайт за "
                                    "\\d+\\.\\d с\\.$"))),
                 qPrintable(lines.last()));
        static const QRegularExpression progress(
            QStringLiteral("^(\\d+)%  .+/с  осталось \\d+:\\d\\d$"));
        int last = -1;
        for (const QString &line : lines.mid(1, lines.size() - 2)) {
            const auto match = progress.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const int percent = line.section(u'%', 0, 0).toInt();
            QVERIFY(percent > last);
            last = percent;
        }
        QCOMPARE(last, 100);

        // Refused: status 1.
        m_peer->windows.answerOffers({QString()});
        QCOMPARE(run({QStringLiteral("send-file"), QStringLiteral("PC-B"), source.fileName()}),
                 int(CommandLine::Refused));
        QCOMPARE(m_err, QStringLiteral("Получатель отказался от файла или не смог его принять.\n"));
    }

    void checkTellsReachableFromRefused()
    {
        const QString message = QString::number(TcpSocket::wirePort(m_peer->messagePort()));
        const QString data = QString::number(TcpSocket::wirePort(m_peer->dataPort()));
        QCOMPARE(run({QStringLiteral("check"), QStringLiteral("PC-B")}),
                 int(CommandLine::Delivered));
        QCOMPARE(m_out,
                 QStringLiteral("PC-B: адрес 127.0.0.1\n"
                                "  порт сообщений, TCP %1: доступен (соединение открывается)\n"
                                "  порт данных, TCP %2: доступен (соединение открывается)\n")
                     .arg(message, data));
        // "--" ends the options, as for send.
        QCOMPARE(run({QStringLiteral("check"), QStringLiteral("--"), QStringLiteral("PC-B")}),
                 int(CommandLine::Delivered));
        // The probes leave no trace with the peer.
        QTest::qWait(200);
        QVERIFY(m_peer->windows.shown().isEmpty());
        m_peer->control->stopListeners();
        QCOMPARE(run({QStringLiteral("check"), QStringLiteral("127.0.0.1")}),
                 int(CommandLine::Refused));
        QVERIFY2(m_out.contains(QStringLiteral("порт сообщений, TCP %1: соединение отклонено - "
                                               "этот порт там никто не слушает")
                                    .arg(message)),
                 qPrintable(m_out));
    }

    void usersAndNamesComeFromTheRunningProgramFirst()
    {
        QStringList asked;
        std::optional<QByteArray> users =
            QByteArray("Склад* (IP = 10.1.2.3)\t10.1.2.3\tадресная книга\n"
                       "PC-B, IP = 127.0.0.1\t127.0.0.1\tDNS-SD\n");
        m_services.askInstance = [&](const QByteArray &request) -> std::optional<QByteArray> {
            asked << QString::fromUtf8(request);
            if (!users)
                return std::nullopt;
            return request == "users" ? *users : QByteArray("127.0.0.1\n");
        };
        QCOMPARE(run({QStringLiteral("users")}), int(CommandLine::Delivered));
        QCOMPARE(m_out, QString::fromUtf8(*users));
        QCOMPARE(m_err, QStringLiteral("Список запущенного Tarvello, пользователей: 2\n"));
        // A name the running program's neighbourhood knows needs no look-up.
        const int lookups = m_resolver.lookups;
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("PC-W"), QStringLiteral("x")}),
                 int(CommandLine::Delivered));
        QCOMPARE(asked.last(), QStringLiteral("resolve PC-W"));
        QCOMPARE(m_resolver.lookups.load(), lookups);

        // None runs: the list is built on the spot, with how each was found.
        users.reset();
        NetResource windows;
        windows.remoteName = QStringLiteral("\\\\PC-W");
        windows.address = Ipv4Address::loopback();
        windows.foundBy = FoundBy::WsDiscovery;
        m_browser.records = {windows};
        QCOMPARE(run({QStringLiteral("users")}), int(CommandLine::Delivered));
        QCOMPARE(m_out, QStringLiteral("PC-W, IP = 127.0.0.1\t127.0.0.1\tWS-Discovery\n"));
        QCOMPARE(m_err, QStringLiteral(
                            "Tarvello не запущен: список составлен сейчас, пользователей: 1\n"));
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("PC-W"), QStringLiteral("x")}),
                 int(CommandLine::Delivered));
        QCOMPARE(run({QStringLiteral("users"), QStringLiteral("-x")}), int(CommandLine::Usage));
    }

    void discoveryIsCheckedOnThisComputer_data()
    {
        QTest::addColumn<bool>("avahi");
        QTest::addColumn<QString>("config");
        QTest::addColumn<bool>("announced");
        QTest::addColumn<QString>("line");
        QTest::newRow("no daemon") << false << "" << false << "Avahi не отвечает";
        QTest::newRow("announced") << true << "[publish]\ndisable-publishing=yes\n"
                                   << true << "этот компьютер объявлен в сети как PC-A";
        QTest::newRow("publishing off")
            << true << "[server]\n[publish]\ndisable-user-service-publishing = yes\n"
            << false << "публикация служб запрещена (disable-user-service-publishing=yes";
        QTest::newRow("off elsewhere is not off")
            << true << "[server]\ndisable-publishing=yes\n"
            << false << "этот компьютер будет объявлен в сети, когда запущен Tarvello";
    }

    void discoveryIsCheckedOnThisComputer()
    {
        QFETCH(bool, avahi);
        QFETCH(QString, config);
        QFETCH(bool, announced);
        QFETCH(QString, line);
        m_services.dnsSdRunning = [avahi] { return avahi; };
        // No firewall program: nothing is forked (ThreadSanitizer forbids it
        // in a process with threads).
        m_services.nftProgram.clear();
        m_services.avahiConfig = m_dir.filePath(QStringLiteral("avahi-daemon.conf"));
        QFile file(m_services.avahiConfig);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(config.toUtf8());
        file.close();
        NetResource me;
        me.remoteName = QStringLiteral("\\\\PC-A");
        me.address = Ipv4Address::loopback();
        me.foundBy = FoundBy::DnsSd | (announced ? FoundBy::Tarvello : 0);
        m_browser.records = {me};
        run({QStringLiteral("check")});
        QVERIFY2(m_out.contains(line), qPrintable(m_out));
        QVERIFY2(m_out.contains(QStringLiteral("WS-Discovery: компьютеров Windows в сети: 0")),
                 qPrintable(m_out));
    }

    void firewallRulesThatStopThePorts()
    {
        const QString rules = QStringLiteral(R"(table inet filter {
	chain input {
		type filter hook input priority filter; policy drop;
		ct state established,related accept
		tcp dport 64897 accept
	}
}
table ip t2 {
	chain c {
		tcp dport { 22, 4 } counter packets 0 bytes 0 reject
		tcp dport 1000-2000 drop
	}
})");
        const auto blocked = Diagnosis::firewallBlocks(rules, {4, 64897, 1500, 80});
        QStringList found;
        for (const auto &b : blocked)
            found << QStringLiteral("%1: %2").arg(b.port).arg(b.rule);
        QCOMPARE(found, (QStringList{"4: type filter hook input priority filter; policy drop;",
                                     "1500: type filter hook input priority filter; policy drop;",
                                     "80: type filter hook input priority filter; policy drop;",
                                     "4: tcp dport { 22, 4 } counter packets 0 bytes 0 reject",
                                     "1500: tcp dport 1000-2000 drop"}));
        QVERIFY(Diagnosis::firewallBlocks(QStringLiteral("tcp dport 44 drop"), {4}).isEmpty());
        // Discovery's ports are UDP: a TCP rule does not stop them, nor the
        // other way round.
        const QString udp = QStringLiteral("udp dport 5353 drop\ntcp dport 3702 drop\n");
        QCOMPARE(Diagnosis::firewallBlocks(udp, {5353, 3702}, QStringLiteral("udp")).size(), 1);
        QCOMPARE(Diagnosis::firewallBlocks(udp, {5353, 3702}, QStringLiteral("udp")).at(0).port,
                 quint16(5353));
        QCOMPARE(Diagnosis::firewallBlocks(udp, {5353}).size(), 0);
    }
};

TARVELLO_TEST_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
