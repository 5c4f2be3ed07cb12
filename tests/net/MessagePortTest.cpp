#include "core/net/MessagePort.h"
#include "core/platform/CodePage.h"
#include "support/TestMain.h"

#include "TestSupport.h"
#include "core/net/TcpSocket.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <thread>

using namespace TestSupport;

namespace {

// A peer that sends the given pieces from another thread, pausing between
// them, then closes (or stays silent when told to). It connects before the
// receiver accepts, so a peer that cannot connect fails the test at once
// instead of leaving the receiver waiting; its thread is joined however the
// test ends.
class Peer {
public:
    Peer(quint16 port, QList<QByteArray> pieces, bool close = true, int holdMs = 0)
    {
        TcpSocket socket;
        m_connected = socket.connectTo(Ipv4Address::loopback(), port, 5000);
        if (!m_connected)
            return;
        m_thread = std::jthread(
            [socket = std::move(socket), pieces, close, holdMs, total = m_sent]() mutable {
                for (const QByteArray &piece : pieces) {
                    for (qint64 sent = 0; sent < piece.size();) {
                        const qint64 n = socket.send(piece.constData() + sent, piece.size() - sent);
                        if (n <= 0)
                            return;
                        sent += n;
                        *total += n;
                    }
                    QThread::msleep(20);
                }
                if (holdMs > 0)
                    QThread::msleep(holdMs);
                if (close)
                    socket.close();
            });
    }
    bool connected() const { return m_connected; }
    // The bytes the receiver took (or its system buffered).
    qint64 sent() const { return *m_sent; }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    bool m_connected = false;
    std::shared_ptr<std::atomic<qint64>> m_sent = std::make_shared<std::atomic<qint64>>(0);
    std::jthread m_thread;
};

} // namespace

class MessagePortTest : public QObject {
    Q_OBJECT

private slots:
    void wirePorts()
    {
        QCOMPARE(TcpSocket::wirePort(1024), quint16(4));
        QCOMPARE(TcpSocket::wirePort(33277), quint16(64897));
    }

    void helloFromPc1IsExactly25Bytes()
    {
        const QByteArray bytes = MessagePort::encodeMessage(
            QStringLiteral("PC1"), QStringLiteral("Привет"), CodePage(1251));
        QCOMPARE(bytes, QByteArray::fromHex("d1eeeee1f9e5ede8e520eef220504331"
                                            "3a0d0acff0e8e2e5f2"));
        QCOMPARE(bytes.size(), 25);
    }

    void senderWithoutHostName()
    {
        QCOMPARE(MessagePort::encodeMessage(QString(), QStringLiteral("x"), CodePage(1251)),
                 CodePage(1251).fromUnicode(QStringLiteral("Сообщение от :\r\nx")));
    }

    void sendPutsTheMessageOnTheWire()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 configured = wire(server.serverPort());
        const auto result =
            MessagePort::sendMessage(Ipv4Address::loopback(), configured, QStringLiteral("PC1"),
                                     QStringLiteral("Привет\r\nмир"));
        QCOMPARE(result, MessagePort::SendResult::Delivered);
        QVERIFY(server.waitForNewConnection(5000));
        QTcpSocket *peer = server.nextPendingConnection();
        QByteArray received;
        while (peer->state() == QAbstractSocket::ConnectedState || peer->bytesAvailable()) {
            if (!peer->bytesAvailable() && !peer->waitForReadyRead(2000))
                break;
            received += peer->readAll();
        }
        QCOMPARE(received,
                 CodePage(1251).fromUnicode(QStringLiteral("Сообщение от PC1:\r\nПривет\r\nмир")));
    }

    void sendWithoutListenerReportsNoConnection()
    {
        const quint16 port = freeConfiguredPort();
        QCOMPARE(MessagePort::sendMessage(Ipv4Address::loopback(), port, QStringLiteral("PC1"),
                                          QStringLiteral("x")),
                 MessagePort::SendResult::NoConnection);
    }

    void receivesLongMessageInBlocks()
    {
        const quint16 port = freeConfiguredPort();
        TcpSocket listening;
        QVERIFY(listening.listenOn(port));
        QByteArray message;
        for (int i = 0; i < 10000; ++i)
            message += char('a' + i % 26);
        Peer sender(port, {message.left(3000), message.mid(3000, 5000), message.mid(8000)});
        QVERIFY(sender.connected());
        QString text;
        QVERIFY(MessagePort::receiveText(listening, text));
        sender.join();
        QCOMPARE(text, QString::fromLatin1(message));
    }

    void zeroByteEndsItsBlockOnly()
    {
        const quint16 port = freeConfiguredPort();
        TcpSocket listening;
        QVERIFY(listening.listenOn(port));
        // One block: the text stops at the zero byte.
        Peer sender(port, {QByteArray("AB\0CD", 5)});
        QVERIFY(sender.connected());
        QString text;
        QVERIFY(MessagePort::receiveText(listening, text));
        sender.join();
        QCOMPARE(text, QStringLiteral("AB"));
    }

    void emptyConnectionGivesEmptyText()
    {
        const quint16 port = freeConfiguredPort();
        TcpSocket listening;
        QVERIFY(listening.listenOn(port));
        Peer sender(port, {});
        QVERIFY(sender.connected());
        QString text = QStringLiteral("old");
        QVERIFY(MessagePort::receiveText(listening, text));
        sender.join();
        QVERIFY(text.isEmpty());
    }

    void silentPeerEndsTheMessage()
    {
        const quint16 port = freeConfiguredPort();
        TcpSocket listening;
        QVERIFY(listening.listenOn(port));
        Peer sender(port, {QByteArray("hi")}, false, 3000);
        QVERIFY(sender.connected());
        QString text;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(MessagePort::receiveText(listening, text, {300}));
        QVERIFY2(timer.elapsed() < 2500, "the silent peer held the read too long");
        QCOMPARE(text, QStringLiteral("hi"));
        sender.join();
    }

    void tricklingPeerIsCutAtTheDeadline()
    {
        const quint16 port = freeConfiguredPort();
        TcpSocket listening;
        QVERIFY(listening.listenOn(port));
        // A byte every 20 ms for 2 s, never silent long enough for the idle
        // limit: the deadline ends the message.
        Peer sender(port, QList<QByteArray>(100, QByteArray("a")));
        QVERIFY(sender.connected());
        QString text;
        QVERIFY(MessagePort::receiveText(listening, text, {30000, 500}));
        QVERIFY2(!text.isEmpty() && text.size() < 100, qPrintable(QString::number(text.size())));
        QCOMPARE(text, QString(text.size(), u'a'));
    }

    void overlongMessageIsCutAndItsConnectionClosed()
    {
        const quint16 port = freeConfiguredPort();
        TcpSocket listening;
        QVERIFY(listening.listenOn(port));
        // A peer that would stream four windows full.
        const qsizetype total = 4 * MessagePort::kMaxMessageChars;
        Peer sender(port, {QByteArray(total, 'z')});
        QVERIFY(sender.connected());
        QString text;
        QVERIFY(MessagePort::receiveText(listening, text));
        sender.join();
        QCOMPARE(text.size(), MessagePort::kMaxMessageChars);
        QVERIFY(text.endsWith(u'z'));
        QVERIFY2(sender.sent() < total, "the rest was read on");
    }

    void acceptOnClosedSocketFails()
    {
        TcpSocket notListening;
        QString text = QStringLiteral("old");
        QVERIFY(!MessagePort::receiveText(notListening, text));
        QVERIFY(text.isEmpty());
    }
};

TARVELLO_TEST_MAIN(MessagePortTest)
#include "MessagePortTest.moc"
