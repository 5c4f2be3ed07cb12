#include "core/platform/WindowsNameLookup.h"
#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QTest>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

using namespace WindowsNameLookup;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text); // spaces are skipped
}

// "PC-C" in NetBIOS first-level encoding: "PC-C", 11 spaces, suffix 0x00.
const QByteArray kPccEncoded = "FAEDCNEDCACACACACACACACACACACAAA";

QByteArray llmnrReply(const QByteArray &query, const char *addressHex)
{
    return query.left(2) + hex("8000 0001 0001 0000 0000") + query.mid(12) +
           hex("c00c 0001 0001 0000001e 0004") + hex(addressHex);
}

QByteArray netbiosReply(const QByteArray &query, const char *addressHex)
{
    return query.left(2) + hex("8500 0000 0001 0000 0000") + query.mid(12, 34) +
           hex("0020 0001 000493e0 0006 0000") + hex(addressHex);
}

// Answers every datagram on 127.0.0.1 with what `reply` makes of it, from
// its own port (a reply starting with '@': from another), until destroyed.
class Responder {
public:
    explicit Responder(std::function<QList<QByteArray>(const QByteArray &)> reply)
        : m_fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &length);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this, reply] {
            while (!m_stop) {
                pollfd p{m_fd, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                char buffer[2048];
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const auto got = ::recvfrom(m_fd, buffer, sizeof buffer, 0,
                                            reinterpret_cast<sockaddr *>(&from), &fromLength);
                for (QByteArray d : reply(QByteArray(buffer, qMax<qsizetype>(got, 0)))) {
                    const int fd = d.startsWith('@') ? m_other : m_fd;
                    d.remove(0, fd == m_other ? 1 : 0);
                    ::sendto(fd, d.constData(), size_t(d.size()), 0,
                             reinterpret_cast<sockaddr *>(&from), fromLength);
                }
            }
        });
    }
    ~Responder()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
        ::close(m_other);
    }
    quint16 port() const { return m_port; }

private:
    int m_fd;
    int m_other = ::socket(AF_INET, SOCK_DGRAM, 0);
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

enum Reply { Silent, Good, GarbageThenGood };

} // namespace

class WindowsNameLookupTest : public QObject {
    Q_OBJECT

private slots:
    void queries_data()
    {
        QTest::addColumn<bool>("netbios");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray llmnrHeader = hex("1234 0000 0001 0000 0000 0000");
        const QByteArray nbHeader = hex("1234 0110 0001 0000 0000 0000");
        const QByteArray nbTail = hex("00 0020 0001");
        QTest::newRow("llmnr") << false << "PC-C" << llmnrHeader + "\x04PC-C" + hex("00 0001 0001");
        QTest::newRow("llmnr keeps case, UTF-8")
            << false << "пк" << llmnrHeader + hex("04 d0bf d0ba 00 0001 0001");
        QTest::newRow("netbios") << true << "PC-C" << nbHeader + " " + kPccEncoded + nbTail;
        QTest::newRow("netbios upper-cases")
            << true << "pc-c" << nbHeader + " " + kPccEncoded + nbTail;
        // Code page 1251 (the tests' locale): "ПК" is cf ca.
        QTest::newRow("netbios ansi")
            << true << "пк" << nbHeader + " MPMKCACACACACACACACACACACACACAAA" + nbTail;
        QTest::newRow("16 characters, llmnr")
            << false << "ABCDEFGHIJKLMNOP"
            << llmnrHeader + "\x10" + "ABCDEFGHIJKLMNOP" + hex("00 0001 0001");
        QTest::newRow("16 characters, netbios") << true << "ABCDEFGHIJKLMNOP" << QByteArray();
        QTest::newRow("not in the code page") << true << "PC\u03b1" << QByteArray();
        QTest::newRow("dot") << false << "pc.lan" << QByteArray();
        QTest::newRow("space") << true << "PC C" << QByteArray();
        QTest::newRow("empty") << false << "" << QByteArray();
        QTest::newRow("64 bytes") << false << QString(64, u'a') << QByteArray();
    }
    void queries()
    {
        QFETCH(bool, netbios);
        QFETCH(QString, name);
        QFETCH(QByteArray, expected);
        QCOMPARE(netbios ? netbiosQuery(0x1234, name) : llmnrQuery(0x1234, name), expected);
    }

    void answers_data()
    {
        QTest::addColumn<bool>("netbios");
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("expected");
        const QByteArray q = hex("04") + "PC-C" + hex("00 0001 0001");
        const QByteArray a = hex("c00c 0001 0001 0000001e 0004 c0a8012c");
        auto llmnr = [&](const char *header, const QByteArray &rest) { return hex(header) + rest; };
        const char *h = "1234 8000 0001 0001 0000 0000";
        QTest::newRow("llmnr good") << false << llmnr(h, q + a) << "192.168.1.44";
        QTest::newRow("llmnr name in another case, spelled out")
            << false << llmnr(h, hex("04") + "pc-C" + q.mid(5) + "\x04Pc-c" + hex("00") + a.mid(2))
            << "192.168.1.44";
        QTest::newRow("llmnr wrong id")
            << false << llmnr("1235 8000 0001 0001 0000 0000", q + a) << "";
        QTest::newRow("llmnr wrong name")
            << false << llmnr(h, hex("04") + "PC-D" + q.mid(5) + a) << "";
        QTest::newRow("llmnr not a response")
            << false << llmnr("1234 0000 0001 0001 0000 0000", q + a) << "";
        QTest::newRow("llmnr rcode")
            << false << llmnr("1234 8003 0001 0001 0000 0000", q + a) << "";
        QTest::newRow("llmnr truncated") << false << llmnr(h, q + a).chopped(1) << "";
        QTest::newRow("llmnr AAAA only")
            << false << llmnr(h, q + hex("c00c 001c 0001 0000001e 0004 c0a8012c")) << "";
        // Header 12 + question 10: the answer's name at 22 points at itself.
        QTest::newRow("llmnr pointer to itself")
            << false << llmnr(h, q + hex("c016") + a.mid(2)) << "";
        // The question (at 12) points at the answer's name (at 18), which points back.
        QTest::newRow("llmnr pointer loop")
            << false << llmnr(h, hex("c012 0001 0001 c00c") + a.mid(2)) << "";

        const QByteArray nbName = " " + kPccEncoded + hex("00");
        const char *nh = "1234 8500 0000 0001 0000 0000";
        const QByteArray nbRr = hex("0020 0001 000493e0");
        const QByteArray one = hex("0006 0000 c0a8012d");
        QTest::newRow("nb good") << true << hex(nh) + nbName + nbRr + one << "192.168.1.45";
        QTest::newRow("nb two addresses")
            << true << hex(nh) + nbName + nbRr + hex("000c 0000 c0a8012e 6000 c0a8022e")
            << "192.168.1.46";
        QTest::newRow("nb wrong id")
            << true << hex("4321 8500 0000 0001 0000 0000") + nbName + nbRr + one << "";
        QTest::newRow("nb wrong name")
            << true << hex(nh) + " FAEDCNEECACACACACACACACACACACAAA" + hex("00") + nbRr + one << "";
        QTest::newRow("nb not a response")
            << true << hex("1234 0500 0000 0001 0000 0000") + nbName + nbRr + one << "";
        QTest::newRow("nb registration response")
            << true << hex("1234 ac00 0000 0001 0000 0000") + nbName + nbRr + one << "";
        QTest::newRow("nb rcode") << true
                                  << hex("1234 8503 0000 0001 0000 0000") + nbName + nbRr + one
                                  << "";
        QTest::newRow("nb truncated") << true << (hex(nh) + nbName + nbRr + one).chopped(1) << "";
        QTest::newRow("nb rdlength past the end")
            << true << hex(nh) + nbName + nbRr + hex("000c 0000 c0a8012d") << "";
        QTest::newRow("nb rdlength not whole entries")
            << true << hex(nh) + nbName + nbRr + hex("0007 0000 c0a8012d 00") << "";
    }
    void answers()
    {
        QFETCH(bool, netbios);
        QFETCH(QByteArray, datagram);
        QFETCH(QString, expected);
        const auto found = netbios ? netbiosAnswer(datagram, 0x1234, QStringLiteral("PC-C"))
                                   : llmnrAnswer(datagram, 0x1234, QStringLiteral("PC-C"));
        QCOMPARE(found ? found->dotted() : QString(), expected);
    }

    void lookUp_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("llmnr");
        QTest::addColumn<int>("netbios");
        QTest::addColumn<QString>("expected");
        QTest::newRow("llmnr only") << "PC-C" << int(Good) << int(Silent) << "192.168.1.44";
        QTest::newRow("netbios only") << "PC-C" << int(Silent) << int(Good) << "192.168.1.45";
        QTest::newRow("llmnr garbage first")
            << "PC-C" << int(GarbageThenGood) << int(Silent) << "192.168.1.44";
        QTest::newRow("netbios garbage first")
            << "PC-C" << int(Silent) << int(GarbageThenGood) << "192.168.1.45";
        QTest::newRow("nobody") << "PC-C" << int(Silent) << int(Silent) << "";
        QTest::newRow("too long for netbios")
            << "ABCDEFGHIJKLMNOP" << int(Silent) << int(Good) << "";
        QTest::newRow("not a computer's name") << "PC-C.lan" << int(Good) << int(Good) << "";
    }
    void lookUp()
    {
        QFETCH(QString, name);
        QFETCH(int, llmnr);
        QFETCH(int, netbios);
        QFETCH(QString, expected);
        auto replies = [](int kind, auto answer, const char *address) {
            return [=](const QByteArray &query) -> QList<QByteArray> {
                if (kind == Silent)
                    return {};
                if (kind == Good)
                    return {answer(query, address)};
                QByteArray wrongId = answer(query, address);
                wrongId[1] = char(wrongId[1] ^ 1);
                return {"junk", wrongId, answer(query, "e0000001"), // a multicast address
                        '@' + answer(query, "0a000001"), answer(query, address)};
            };
        };
        Responder llmnrResponder(replies(llmnr, llmnrReply, "c0a8012c"));
        Responder netbiosResponder(replies(netbios, netbiosReply, "c0a8012d"));
        Targets targets;
        targets.llmnrGroup = QHostAddress(QHostAddress::LocalHost);
        targets.llmnrMulticast = false;
        targets.llmnrPort = llmnrResponder.port();
        targets.netbiosPort = netbiosResponder.port();
        targets.netbiosBroadcasts = {QHostAddress(QHostAddress::LocalHost)};
        const int timeout = 400;
        QElapsedTimer timer;
        timer.start();
        const auto found = WindowsNameLookup::lookUp(name, timeout, targets);
        QCOMPARE(found ? found->dotted() : QString(), expected);
        QVERIFY2(timer.elapsed() < timeout + 1000, qPrintable(QString::number(timer.elapsed())));
    }

    void stopEndsTheWait()
    {
        // The query's arrival stops the wait, which would otherwise last 10 s.
        std::atomic<bool> stop{false};
        Responder stopper([&](const QByteArray &) {
            stop = true;
            return QList<QByteArray>();
        });
        Targets targets;
        targets.llmnrGroup = QHostAddress(QHostAddress::LocalHost);
        targets.llmnrMulticast = false;
        targets.llmnrPort = targets.netbiosPort = stopper.port();
        targets.netbiosBroadcasts = {QHostAddress(QHostAddress::LocalHost)};
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(WindowsNameLookup::lookUp(QStringLiteral("PC-C"), 10000, targets, stop),
                 std::nullopt);
        QVERIFY(stop);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    }
};

TARVELLO_TEST_MAIN(WindowsNameLookupTest)
#include "WindowsNameLookupTest.moc"
