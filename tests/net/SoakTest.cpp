// Thousands of hostile or broken connections against the real listeners,
// then a real text, sound and file: everything still arrives, nothing leaks
// and nothing is written outside the chosen folder.
#include "core/net/DataPort.h"
#include "core/net/MessagePort.h"
#include "core/net/StopToken.h"
#include "core/sound/SoundMessage.h"
#include "core/transfer/FileTransfer.h"
#include "support/TestMain.h"

#include "TestSupport.h"
#include "support/TestListeners.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace TestSupport;

namespace {

#ifdef TARVELLO_SANITIZED
constexpr int kConnections = 2000; // sanitizers make every connection slow
// AddressSanitizer keeps freed memory in quarantine (256 MB by default).
constexpr long kRssBoundKb = 400 * 1024;
#else
constexpr int kConnections = 10000;
constexpr long kRssBoundKb = 100 * 1024;
#endif
constexpr int kClients = 4;

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

int threads()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::NoDotAndDotDot | QDir::Dirs)
                   .size());
}

QByteArray header(quint32 kind, quint32 size, const QString &fileName = QString())
{
    DataHeader h;
    h.kind = kind;
    h.size = size;
    h.fileName = fileName;
    h.senderName = QStringLiteral("soak");
    return h.encode();
}

// One hostile or broken connection of the given sort.
void attack(int sort, QRandomGenerator &random, quint16 messagePort, quint16 dataPort)
{
    TcpSocket s;
    const bool toData = sort >= 3;
    if (!s.connectTo(Ipv4Address::loopback(), toData ? dataPort : messagePort, 2000))
        return;
    QByteArray bytes;
    switch (sort) {
    case 0: // empty
        break;
    case 1: // random bytes as a message
    case 3: // random bytes as a data header
        bytes.resize(random.bounded(1, 2000));
        for (auto &b : bytes)
            b = char(random.bounded(256));
        break;
    case 2: // the stop token from outside a stop
        bytes = QByteArray(StopToken);
        break;
    case 4: // a header cut short
        bytes = header(2, 10).left(random.bounded(DataHeader::kSize));
        break;
    case 5: // an unknown kind
        bytes = header(random.bounded(4, 1000), 0);
        break;
    case 6: // a stop header from outside a stop
        bytes = DataHeader::stop().encode();
        break;
    case 7: // a sound announcing 4 GiB, then a few bytes
        bytes = header(2, 0xffffffffu) + QByteArray(random.bounded(100), 's');
        break;
    case 8: { // a file offer with a hostile name (refused)
        static const char *names[] = {"../../.bashrc", "/etc/passwd",  "C:\\x\\y.txt", "..",
                                      "a\nb",          "\u202Eexe.txt"};
        bytes = header(1, 100, QString::fromUtf8(names[random.bounded(6)]));
        break;
    }
    default: // a peer that vanishes in the middle: half a header, then a reset
        bytes = header(1, 100).left(300);
        s.send(bytes.constData(), bytes.size());
        s.abort();
        return;
    }
    if (!bytes.isEmpty())
        s.send(bytes.constData(), bytes.size());
    s.shutdownSend();
    char answer[64];
    s.setReceiveTimeout(3000);
    while (s.receive(answer, sizeof answer) > 0) {
    }
}

} // namespace

class SoakTest : public QObject {
    Q_OBJECT

private slots:
    void hostileTrafficThenRealMessages()
    {
        QTemporaryDir folder;
        QTemporaryDir outside; // where the program must not write
        const int descriptorsBefore = openDescriptors();
        const int threadsBefore = threads();
        const long rssBefore = residentKb();
        {
            // Silent peers give up after 200 ms here, trickling ones after 1 s.
            TestListeners receiver(200, 1000);
            QVERIFY(receiver.up);
            const quint16 messagePort = receiver.messagePort();
            const quint16 dataPort = receiver.dataPort();

            // A few silent peers first: they may hold a listener only for the
            // time-out.
            std::vector<TcpSocket> silent(6);
            for (int i = 0; i < 6; ++i)
                silent[i].connectTo(Ipv4Address::loopback(), i % 2 ? dataPort : messagePort);
            // Peers that trickle a byte every 50 ms for up to 10 s, and one
            // that streams without end: each is cut off by the deadline or
            // the message's size.
            std::vector<std::unique_ptr<Trickler>> trickling;
            for (int i = 0; i < 4; ++i)
                trickling.push_back(
                    std::make_unique<Trickler>(i % 2 ? dataPort : messagePort, 50, 200));
            std::atomic<qint64> streamed{0};
            const qint64 endless = 4 * MessagePort::kMaxMessageChars;
            std::thread streaming([&] {
                TcpSocket s;
                if (!s.connectTo(Ipv4Address::loopback(), messagePort, 2000))
                    return;
                const QByteArray block(65536, 'z');
                while (streamed < endless && s.send(block.constData(), block.size()) > 0)
                    streamed += block.size();
            });

            std::atomic<int> done{0};
            std::vector<std::thread> clients;
            for (int c = 0; c < kClients; ++c) {
                clients.emplace_back([&, c] {
                    QRandomGenerator random(quint32(1000 + c));
                    for (int i = c; i < kConnections; i += kClients) {
                        attack(i % 10, random, messagePort, dataPort);
                        ++done;
                    }
                });
            }
            for (auto &t : clients)
                t.join();
            QCOMPARE(done.load(), kConnections);
            silent.clear();
            streaming.join();
            QVERIFY2(streamed < endless, "an endless message was read on");
            QVERIFY(waitUntil(
                [&] {
                    return std::all_of(trickling.begin(), trickling.end(),
                                       [](const auto &t) { return t->finished(); });
                },
                15000));
            for (const auto &t : trickling)
                QVERIFY2(t->sent() < 200, "a trickling peer was read to its end");
            trickling.clear();

            // Both listeners are alive and deliver real traffic.
            QVERIFY(waitListening(messagePort) && waitListening(dataPort));
            // (What the hostile peers left queued is shown before them.)
            QCOMPARE(MessagePort::sendMessage(Ipv4Address::loopback(), messagePort,
                                              QStringLiteral("PC1"), QStringLiteral("живой")),
                     MessagePort::SendResult::Delivered);
            QVERIFY(waitUntil([&] {
                return receiver.windows.shown().contains(
                    QStringLiteral("Сообщение от PC1:\r\nживой"));
            }));

            const QByteArray samples(11025, 'v');
            QVERIFY(SoundMessage::send(Ipv4Address::loopback(), dataPort, QStringLiteral("PC1"),
                                       samples.constData(), quint32(samples.size())));
            QVERIFY(waitUntil([&] {
                const auto sounds = receiver.windows.sounds();
                return std::any_of(sounds.begin(), sounds.end(), [&](const auto &s) {
                    return s.sender == QStringLiteral("PC1") && s.samples == samples;
                });
            }));

            QFile source(outside.filePath(QStringLiteral("real.bin")));
            QVERIFY(source.open(QIODevice::WriteOnly));
            source.write(QByteArray(200000, 'f'));
            source.close();
            receiver.windows.answerOffers({folder.filePath(QStringLiteral("real.bin"))});
            FileSendStatus last = FileSendStatus::Progress;
            FileTransfer::sendFile({Ipv4Address::loopback(), dataPort, QStringLiteral("PC1"),
                                    source.fileName(), QStringLiteral("real.bin")},
                                   [&last](FileSendStatus s, int) { last = s; });
            QCOMPARE(last, FileSendStatus::Done);
            // The folder holds exactly the accepted file; nothing else was
            // written anywhere the test can see.
            QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("real.bin")});
            QCOMPARE(QDir(outside.path()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("real.bin")});
        }
        // With the listeners stopped, no descriptor or thread is left over,
        // and memory stayed within a bound (the log holds every message).
        QVERIFY(waitUntil([&] { return openDescriptors() <= descriptorsBefore; }, 5000));
        QCOMPARE(threads(), threadsBefore);
        const long grownKb = residentKb() - rssBefore;
        qInfo("soak: %d connections, descriptors %d -> %d, threads %d -> %d, RSS grew %ld kB",
              kConnections, descriptorsBefore, openDescriptors(), threadsBefore, threads(),
              grownKb);
        QVERIFY2(grownKb < kRssBoundKb, qPrintable(QString::number(grownKb)));
    }
};

TARVELLO_TEST_MAIN(SoakTest)
#include "SoakTest.moc"
