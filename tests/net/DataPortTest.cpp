#include "core/net/DataPort.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/net/ListenerControl.h"
#include "core/sound/SoundMessage.h"

#include "TestSupport.h"
#include "support/TestListeners.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <future>
#include <thread>

using namespace TestSupport;

namespace {

QByteArray soundHeader(quint32 size, const QString &sender = QStringLiteral("PC2"))
{
    DataHeader h;
    h.kind = static_cast<quint32>(DataKind::Sound);
    h.senderName = sender;
    h.size = size;
    h.setAddress(Ipv4Address{{10, 0, 0, 9}});
    return h.encode();
}

QByteArray pattern(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char(i * 7 % 251);
    return b;
}

// Sends a request and returns the first four bytes that come back (the
// answer word), then sends the payload and closes.
QByteArray exchange(quint16 port, const QByteArray &header, const QByteArray &payload)
{
    QTcpSocket s;
    if (!connectClient(s, port))
        return "no connection";
    s.write(header);
    s.waitForBytesWritten(5000);
    QByteArray answer;
    while (answer.size() < 4 && s.waitForReadyRead(5000))
        answer += s.read(4 - answer.size());
    if (!payload.isEmpty()) {
        s.write(payload);
        while (s.bytesToWrite() > 0 && s.waitForBytesWritten(5000)) {
        }
    }
    s.disconnectFromHost();
    if (s.state() != QAbstractSocket::UnconnectedState)
        s.waitForDisconnected(5000);
    return answer;
}

} // namespace

class DataPortTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestListeners> m_receiver;
    MessageLog *m_log = nullptr;
    FakeWindows *m_windows = nullptr;
    quint16 m_dataPort = 0;

private slots:
    void init()
    {
        m_receiver = std::make_unique<TestListeners>();
        QVERIFY(m_receiver->up);
        m_log = &m_receiver->log;
        m_windows = &m_receiver->windows;
        m_dataPort = m_receiver->dataPort();
    }
    void cleanup() { m_receiver.reset(); }

    void soundIsAnsweredShownAndLogged()
    {
        const QByteArray samples = pattern(3000);
        QCOMPARE(exchange(m_dataPort, soundHeader(3000, QStringLiteral("ПК-2")), samples),
                 encodeAnswer(1));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_windows->sounds().size(), 1);
        QCOMPARE(m_windows->sounds().at(0).sender, QStringLiteral("ПК-2"));
        QCOMPARE(m_windows->sounds().at(0).samples, samples);
        // The log names the computer that sent it, not the header's address.
        QCOMPARE(m_log->entries().at(0).text,
                 QStringLiteral("Звуковое сообщение от \"127.0.0.1\""));
        QCOMPARE(m_log->entries().at(0).direction, LogDirection::Incoming);
    }

    void emptySoundIsAnsweredOne()
    {
        QCOMPARE(exchange(m_dataPort, soundHeader(0), QByteArray()), encodeAnswer(1));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QVERIFY(m_windows->sounds().at(0).samples.isEmpty());
    }

    void soundCutShortKeepsWhatArrived()
    {
        const QByteArray samples = pattern(4000);
        QCOMPARE(exchange(m_dataPort, soundHeader(10000), samples), encodeAnswer(1));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_windows->sounds().at(0).samples, samples);
    }

    void soundWhoseSenderHasGoneShowsNothing()
    {
        QCOMPARE(exchange(m_dataPort, soundHeader(3000), QByteArray()), encodeAnswer(1));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_log->entries().at(0).text,
                 QStringLiteral("Звуковое сообщение от \"127.0.0.1\" не принято: отправитель "
                                "прервал передачу"));
        QVERIFY(m_windows->sounds().isEmpty());
    }

    void oversizeSoundKeepsTheCapacity()
    {
        const QByteArray samples = pattern(600000);
        QCOMPARE(exchange(m_dataPort, soundHeader(600000), samples), encodeAnswer(1));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_windows->sounds().at(0).samples, samples.left(524288));
    }

    void soundsAreTakenWhileAWindowIsOpen()
    {
        m_windows->hold();
        QCOMPARE(exchange(m_dataPort, soundHeader(10, QStringLiteral("A")), pattern(10)),
                 encodeAnswer(1));
        QVERIFY(waitUntil([&] { return m_windows->open() == 1; }));
        // The second sender is answered and its samples taken at once.
        QCOMPARE(exchange(m_dataPort, soundHeader(20, QStringLiteral("B")), pattern(20)),
                 encodeAnswer(1));
        QCOMPARE(m_windows->sounds().size(), 1);
        QCOMPARE(m_log->size(), 0);
        m_windows->release();
        QVERIFY(waitUntil([&] { return m_log->size() == 2; }));
        QCOMPARE(m_windows->sounds().at(1).sender, QStringLiteral("B"));
        QCOMPARE(m_windows->sounds().at(1).samples, pattern(20));
    }

    void fileOfferIsRefusedAndLogged()
    {
        DataHeader h;
        h.kind = static_cast<quint32>(DataKind::File);
        h.senderName = QStringLiteral("PC2");
        h.fileName = QStringLiteral("отчёт.txt");
        h.size = 100;
        QCOMPARE(exchange(m_dataPort, h.encode(), QByteArray()), encodeAnswer(0));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_log->entries().at(0).text, QStringLiteral("PC2 хотел послать файл отчёт.txt"));
    }

    void sendSoundMessageToTheListener()
    {
        const QByteArray samples = pattern(22050);
        QVERIFY(SoundMessage::send(Ipv4Address::loopback(), m_dataPort, QStringLiteral("PC1"),
                                   samples.constData(), quint32(samples.size())));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_windows->sounds().at(0).sender, QStringLiteral("PC1"));
        QCOMPARE(m_windows->sounds().at(0).samples, samples);
    }
};

// The sending side against a scripted peer.
class SoundSenderTest : public QObject {
    Q_OBJECT

    // A peer on its own thread: accepts one connection, reads the header,
    // answers (or closes when the answer is empty) and reads the rest.
    struct Peer {
        std::thread thread;
        quint16 port = 0;
        QByteArray header;
        QByteArray payload;

        explicit Peer(const QByteArray &answer)
        {
            std::promise<quint16> listening;
            auto ready = listening.get_future();
            thread = std::thread([this, answer, &listening] {
                QTcpServer server;
                server.listen(QHostAddress::LocalHost, 0);
                listening.set_value(wire(server.serverPort()));
                if (!server.waitForNewConnection(5000))
                    return;
                std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
                while (header.size() < DataHeader::kSize && s->waitForReadyRead(5000))
                    header += s->read(DataHeader::kSize - header.size());
                if (answer.isEmpty())
                    return; // closes without answering
                s->write(answer);
                s->waitForBytesWritten(1000);
                while (s->waitForReadyRead(2000))
                    payload += s->readAll();
            });
            port = ready.get();
        }
        ~Peer()
        {
            if (thread.joinable())
                thread.join();
        }
    };

private slots:
    void headerAndSamplesOnTheWire()
    {
        Peer peer(encodeAnswer(1));
        const QByteArray samples(5000, 'x');
        QVERIFY(SoundMessage::send(Ipv4Address::loopback(), peer.port, QStringLiteral("PC1"),
                                   samples.constData(), 5000));
        peer.thread.join();
        DataHeader expected;
        expected.kind = 2;
        expected.senderName = QStringLiteral("PC1");
        expected.size = 5000;
        expected.setAddress(Ipv4Address::loopback());
        QCOMPARE(peer.header, expected.encode());
        QCOMPARE(peer.payload, samples);
    }

    void refusedOrSilentOrAbsent()
    {
        for (const QByteArray &answer : {encodeAnswer(0), QByteArray()}) {
            Peer peer(answer);
            QVERIFY(!SoundMessage::send(Ipv4Address::loopback(), peer.port, QStringLiteral("PC1"),
                                        "abc", 3));
            peer.thread.join();
            QVERIFY(peer.payload.isEmpty());
        }
        QVERIFY(!SoundMessage::send(Ipv4Address::loopback(), freeConfiguredPort(),
                                    QStringLiteral("PC1"), "abc", 3));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    DataPortTest receiving;
    SoundSenderTest sending;
    return QTest::qExec(&receiving, argc, argv) | QTest::qExec(&sending, argc, argv);
}
#include "DataPortTest.moc"
