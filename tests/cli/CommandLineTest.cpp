// The subcommands against the real listeners over loopback: what a peer
// receives, what the person at the terminal reads, and the exit status.
#include "cli/CommandLine.h"
#include "cli/Command.h"
#include "cli/Diagnosis.h"
#include "core/base/Settings.h"
#include "core/net/TcpSocket.h"
#include "core/platform/MessengerService.h"
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

#include <cerrno>

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
        QVERIFY(CommandLine::handles({QStringLiteral("--messenger"), QStringLiteral("send")}));
        QVERIFY(!CommandLine::handles({}));
        QVERIFY(!CommandLine::handles({QStringLiteral("-platform"), QStringLiteral("xcb")}));
        QVERIFY(!CommandLine::handles({QStringLiteral("--display=:1")}));
        QCOMPARE(run({QStringLiteral("sned")}), int(CommandLine::Usage));
        QVERIFY(m_err.startsWith(QStringLiteral("tarvello: неизвестная команда \"sned\"")));
        QCOMPARE(run({QStringLiteral("--version")}), int(CommandLine::Delivered));
        QCOMPARE(m_out, QStringLiteral("Tarvello 2.0\n"));
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("--help")}), 0);
        QVERIFY(m_out.startsWith(QStringLiteral("Использование: tarvello send ")));
        // Every help gives the statuses as they are (a refused connection: 1).
        for (const char *command : {"--help", "send", "send-file", "check", "users"}) {
            run({QString::fromLatin1(command), QStringLiteral("--help")});
            QVERIFY2(m_out.contains(QStringLiteral("  1  не доставлено, хотя компьютер ответил: "
                                                   "соединение отклонено")),
                     command);
        }
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
    }

    void whatArrivesFromTheArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("said");
        const QString unheld = QStringLiteral(
            "Внимание: знаков, которых нет в кодовой странице 1251: %1; они посланы как \"?\".\n");
        // Line breaks as the window sends them; an option after the host.
        QTest::newRow("stdin, --from after the host")
            << QStringList{"send", "127.0.0.1", "--from", "Админ"}
            << QStringLiteral("в 18:00\nперезагрузка 日本\n").toUtf8()
            << "Сообщение от Админ:\r\nв 18:00\r\nперезагрузка ??" << unheld.arg(2);
        QTest::newRow("a typed ? is not replaced")
            << QStringList{"send", "PC-B"} << QStringLiteral("Готово? 日").toUtf8()
            << "Сообщение от pc-a:\r\nГотово? ?" << unheld.arg(1);
        QTest::newRow("NUL")
            << QStringList{"send", "PC-B"} << QByteArray("a\0b", 3) << "Сообщение от pc-a:\r\na?b"
            << "Внимание: нулевых знаков (NUL) в тексте: 1; они посланы как \"?\".\n";
        QTest::newRow("text after --") << QStringList{"send", "PC-B", "--", "--from", "x"}
                                       << QByteArray() << "Сообщение от pc-a:\r\n--from x"
                                       << "";
    }
    void whatArrivesFromTheArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QString, shown);
        QFETCH(QString, said);
        QCOMPARE(run(arguments, input), int(CommandLine::Delivered));
        QVERIFY(waitUntil([&] { return m_peer->windows.shown().size() == 1; }));
        QCOMPARE(m_peer->windows.shown().at(0), shown);
        QCOMPARE(m_err, said);
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
        QTest::newRow("empty host")
            << QStringList{send, "", "x"} << QByteArray() << "не указан компьютер";
        QTest::newRow("option as host")
            << QStringList{"check", "-x"} << QByteArray() << "неизвестный параметр \"-x\"";
        QTest::newRow("file to an option") << QStringList{"send-file", "-x", m_dir.path()}
                                           << QByteArray() << "неизвестный параметр \"-x\"";
        QTest::newRow("option before the command")
            << QStringList{"--messenger", send, "PC-B", "x"} << QByteArray()
            << "неизвестный параметр \"--messenger\"";
        QTest::newRow("send to an option")
            << QStringList{send, "-x", "hi"} << QByteArray() << "неизвестный параметр \"-x\"";
        QTest::newRow("host after --")
            << QStringList{"check", "--", ""} << QByteArray() << "не указан компьютер";
        QTest::newRow("UTF-16") << QStringList{send, "PC-B"} << QByteArray("\xff\xfeH\0i\0", 6)
                                << "стандартный ввод не в кодировке UTF-8";
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
        // Nothing to send it with: said as this computer's, not the recipient's.
        m_messenger.status = SmbclientMessenger::kNotInstalled;
        QCOMPARE(run({QStringLiteral("send"), QStringLiteral("PC-B"), QStringLiteral("x"),
                      QStringLiteral("--messenger")}),
                 int(CommandLine::Refused));
        QCOMPARE(m_err, QStringLiteral("smbclient не найден: через службу Messenger сообщения не "
                                       "уйдут. Исправление: sudo apt install smbclient\n"));
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

    void checkSaysTheWorseOfTheTwoPorts()
    {
        // This side looks for the data port where nothing listens.
        Settings mine = m_peer->settings.get();
        mine.ListeningDataPort = freeConfiguredPort();
        m_store->save(mine);
        QCOMPARE(run({QStringLiteral("check"), QStringLiteral("PC-B")}), int(CommandLine::Refused));
        QVERIFY2(m_out.contains(QStringLiteral("порт данных, TCP %1: соединение отклонено")
                                    .arg(TcpSocket::wirePort(mine.dataPort()))),
                 qPrintable(m_out));
    }

    void connectErrorsAreSaidAsWhatTheyAre_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::newRow("refused") << ECONNREFUSED << 1 << "4: соединение отклонено";
        QTest::newRow("no answer") << ETIMEDOUT << 3 << "4: нет ответа за 10 с";
        QTest::newRow("no host") << EHOSTUNREACH << 3 << "4: нет маршрута до компьютера (";
        QTest::newRow("no network") << ENETUNREACH << 3 << "4: нет маршрута до компьютера (";
        QTest::newRow("other") << EACCES << 3 << "4: соединение не открылось: ";
    }
    void connectErrorsAreSaidAsWhatTheyAre()
    {
        QFETCH(int, error);
        QFETCH(int, status);
        QFETCH(QString, said);
        const Diagnosis::PortProbe probe{Diagnosis::stateOf(error), error};
        QCOMPARE(Command::statusOf(probe), status);
        const QString line = Command::portLine(StringId::CliMessagePortName, 4, probe, 10000);
        QVERIFY2(line.contains(said), qPrintable(line));
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

    void firewallRulesThatStopThePorts_data()
    {
        QTest::addColumn<QString>("hook");
        QTest::addColumn<QString>("policy");
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("found");
        const auto match = [](const char *left, const char *right) {
            return QStringLiteral(R"({"match":{"op":"==","left":%1,"right":%2}})")
                .arg(QLatin1String(left), QLatin1String(right));
        };
        const char *tcpDport = R"({"payload":{"protocol":"tcp","field":"dport"}})";
        const QString tcp4 = match(tcpDport, "4");
        const QString drop = QStringLiteral(R"(,{"drop":null})");
        const QString accept = QStringLiteral(R"(,{"accept":null})");
        const QString established =
            match(R"({"ct":{"key":"state"}})", R"(["established","related"])") + accept;
        QTest::newRow("input drop")
            << "input"
            << "accept" << QStringList{tcp4 + drop} << 4 << "drops: tcp dport 4 drop";
        QTest::newRow("range") << "input"
                               << "accept"
                               << QStringList{match(tcpDport, R"({"range":[1000,2000]})") +
                                              R"(,{"reject":{"type":"tcp reset"}})"}
                               << 1500 << "drops: tcp dport 1000-2000 reject";
        QTest::newRow("output chain") << "output"
                                      << "drop" << QStringList{tcp4 + drop} << 4 << "";
        QTest::newRow("udp rule")
            << "input"
            << "accept"
            << QStringList{match(R"({"payload":{"protocol":"udp","field":"dport"}})", "4") + drop}
            << 4 << "";
        QTest::newRow("other ports")
            << "input"
            << "accept"
            << QStringList{R"({"match":{"op":"!=","left":{"payload":{"protocol":"tcp","field":)"
                           R"("dport"}},"right":4}})" +
                           drop}
            << 4 << "";
        QTest::newRow("one source")
            << "input"
            << "accept"
            << QStringList{match(R"({"payload":{"protocol":"ip","field":"saddr"}})",
                                 R"("10.0.0.5")") +
                           "," + tcp4 + drop}
            << 4 << "may: ip saddr 10.0.0.5 tcp dport 4 drop";
        QTest::newRow("policy, accepted")
            << "input"
            << "drop" << QStringList{established, match(tcpDport, R"({"set":[22,4]})") + accept}
            << 4 << "";
        QTest::newRow("policy, not accepted")
            << "input"
            << "drop" << QStringList{established, match(tcpDport, "22") + accept} << 4
            << "drops: policy";
        QTest::newRow("policy, named set")
            << "input"
            << "drop" << QStringList{match(tcpDport, R"("@allowed")") + accept} << 4
            << "may: policy: tcp dport @allowed accept";
        QTest::newRow("policy, jump")
            << "input"
            << "drop"
            << QStringList{match(R"({"meta":{"key":"l4proto"}})", R"("tcp")") +
                           R"(,{"jump":{"target":"tcp"}})"}
            << 4 << "may: policy: meta l4proto tcp jump tcp";
    }
    void firewallRulesThatStopThePorts()
    {
        QFETCH(QString, hook);
        QFETCH(QString, policy);
        QFETCH(QStringList, rules);
        QFETCH(int, port);
        QFETCH(QString, found);
        // nft -j list ruleset, one base chain.
        QString json =
            QStringLiteral(
                R"({"nftables":[{"metainfo":{"version":"1.0.6","json_schema_version":1}},)"
                R"({"table":{"family":"inet","name":"f","handle":1}},)"
                R"({"chain":{"family":"inet","table":"f","name":"c","handle":1,"type":"filter",)"
                R"("hook":"%1","prio":0,"policy":"%2"}})")
                .arg(hook, policy);
        for (const QString &rule : rules)
            json += QStringLiteral(R"(,{"rule":{"family":"inet","table":"f","chain":"c",)"
                                   R"("handle":2,"expr":[%1]}})")
                        .arg(rule);
        json += QStringLiteral("]}");
        QList<Diagnosis::Blocked> blocked;
        QVERIFY(Diagnosis::firewallBlocks(json.toUtf8(), {quint16(port)}, "tcp", blocked));
        QStringList said;
        for (const auto &b : blocked)
            said << QStringList{b.certain ? "drops" : "may", b.policy ? "policy" : "", b.rule}
                        .filter(QRegularExpression("."))
                        .join(": ");
        QCOMPARE(said.join(u'\n'), found);
        // Discovery's ports are UDP: a TCP rule does not stop them.
        QVERIFY(Diagnosis::firewallBlocks(json.toUtf8(), {5353}, "udp", blocked));
        QCOMPARE(blocked.size(), policy == "drop" && hook == "input" ? 1 : 0);
        QVERIFY(!Diagnosis::firewallBlocks("table inet f {", {4}, "tcp", blocked));
    }
};

TARVELLO_TEST_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
