#include "net/MessagePort.h"
#include "platform/CodePage.h"

#include "TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <thread>

using namespace TestSupport;

namespace {

// Sends the given pieces from another thread, pausing between them, then
// closes (or stays silent when told to).
std::thread sendFromThread(quint16 port, QList<QByteArray> pieces, bool close = true,
                           int holdMs = 0)
{
    return std::thread([=] {
        QTcpSocket socket;
        if (!connectClient(socket, port))
            return;
        for (const QByteArray &piece : pieces) {
            socket.write(piece);
            socket.waitForBytesWritten(5000);
            QThread::msleep(20);
        }
        if (holdMs > 0)
            QThread::msleep(holdMs);
        if (close) {
            socket.disconnectFromHost();
            if (socket.state() != QAbstractSocket::UnconnectedState)
                socket.waitForDisconnected(5000);
        }
    });
}

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
        const QByteArray bytes =
            MessagePort::encodeMessage(QStringLiteral("PC1"), QStringLiteral("Привет"),
                                       CodePage(1251));
        QCOMPARE(bytes, QByteArray::fromHex("d1eeeee1f9e5ede8e520eef220504331" "3a0d0acff0e8e2e5f2"));
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
        const auto result = MessagePort::sendMessage(Ipv4Address::loopback(), configured,
                                                     QStringLiteral("PC1"),
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
        QCOMPARE(received, CodePage(1251).fromUnicode(
                               QStringLiteral("Сообщение от PC1:\r\nПривет\r\nмир")));
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
        auto sender = sendFromThread(port, {message.left(3000), message.mid(3000, 5000),
                                            message.mid(8000)});
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
        auto sender = sendFromThread(port, {QByteArray("AB\0CD", 5)});
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
        auto sender = sendFromThread(port, {});
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
        auto sender = sendFromThread(port, {QByteArray("hi")}, false, 3000);
        QString text;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(MessagePort::receiveText(listening, text, 300));
        QVERIFY2(timer.elapsed() < 2500, "the silent peer held the read too long");
        QCOMPARE(text, QStringLiteral("hi"));
        sender.join();
    }

    void overlongMessageIsCut()
    {
        const quint16 port = freeConfiguredPort();
        TcpSocket listening;
        QVERIFY(listening.listenOn(port));
        const qsizetype total = MessagePort::kMaxMessageChars + 5000;
        std::thread sender([&] {
            QTcpSocket socket;
            if (!connectClient(socket, port))
                return;
            const QByteArray chunk(1 << 20, 'z');
            qsizetype left = total;
            while (left > 0) {
                const qsizetype n = qMin<qsizetype>(left, chunk.size());
                socket.write(chunk.constData(), n);
                left -= n;
                while (socket.bytesToWrite() > 0)
                    socket.waitForBytesWritten(5000);
            }
            socket.disconnectFromHost();
            if (socket.state() != QAbstractSocket::UnconnectedState)
                socket.waitForDisconnected(5000);
        });
        QString text;
        QVERIFY(MessagePort::receiveText(listening, text));
        sender.join();
        QCOMPARE(text.size(), MessagePort::kMaxMessageChars);
        QVERIFY(text.endsWith(u'z'));
    }

    void acceptOnClosedSocketFails()
    {
        TcpSocket notListening;
        QString text = QStringLiteral("old");
        QVERIFY(!MessagePort::receiveText(notListening, text));
        QVERIFY(text.isEmpty());
    }
};

QTEST_GUILESS_MAIN(MessagePortTest)
#include "MessagePortTest.moc"
