#include "TestSupport.h"

#include "core/net/TcpSocket.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSet>
#include <QTcpServer>
#include <QTest>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

quint16 freeConfiguredPort()
{
    // Two ports handed out equal would make, say, a stored pair of equal
    // ports: a first start with its window.
    static std::mutex mutex;
    static QSet<quint16> handedOut;
    std::lock_guard lock(mutex);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, 0))
            continue;
        const quint16 wirePort = probe.serverPort();
        const quint16 configured = wire(wirePort);
        // Stay clear of the privileged range on the wire, which is what the
        // swap gives for a configured number below 256 in its high byte.
        if (wirePort >= 1024 && !handedOut.contains(configured)) {
            handedOut.insert(configured);
            return configured;
        }
    }
    return 0;
}

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

bool connectClient(QTcpSocket &socket, quint16 configuredPort)
{
    socket.connectToHost(QHostAddress::LocalHost, wire(configuredPort));
    return socket.waitForConnected(5000);
}

bool sendAndClose(quint16 configuredPort, const QByteArray &bytes)
{
    QTcpSocket socket;
    if (!connectClient(socket, configuredPort))
        return false;
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 n = socket.write(bytes.constData() + written, bytes.size() - written);
        if (n < 0)
            return false;
        written += n;
        socket.waitForBytesWritten(5000);
    }
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
    }
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(5000);
    return true;
}

bool waitListening(quint16 configuredPort, int timeoutMs)
{
    return waitUntil(
        [&] {
            QTcpSocket probe;
            return connectClient(probe, configuredPort);
        },
        timeoutMs);
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

Trickler::Trickler(quint16 configuredPort, int intervalMs, int count)
    : m_socket(std::make_unique<TcpSocket>())
{
    m_connected = m_socket->connectTo(Ipv4Address::loopback(), configuredPort, 5000);
    if (!m_connected)
        return;
    m_thread = std::jthread([this, intervalMs, count](std::stop_token stop) {
        for (int i = 0; i < count && !stop.stop_requested(); ++i) {
            if (m_socket->send("x", 1) != 1)
                break;
            ++m_sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        }
        m_finished = true;
    });
}

Trickler::~Trickler()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

BreakingReceiver::BreakingReceiver(qint64 keep) : m_port(m_listening.get_future().share())
{
    m_thread = std::thread([this, keep] {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            m_listening.set_value(0);
            return;
        }
        m_listening.set_value(wire(server.serverPort()));
        if (!server.waitForNewConnection(10000))
            return;
        std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
        QByteArray got;
        bool answered = false;
        while (got.size() < 696 + keep && s->waitForReadyRead(10000)) {
            got += s->readAll();
            if (!answered && got.size() >= 696) {
                s->write(QByteArray("\1\0\0\0", 4));
                s->waitForBytesWritten(1000);
                answered = true;
            }
        }
        s->abort();
    });
}

BreakingReceiver::~BreakingReceiver()
{
    if (m_thread.joinable())
        m_thread.join();
}

WatchedFifo::WatchedFifo(const QString &path)
    : m_path(path), m_made(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0)
{
    m_thread = std::thread([this, deadline = QDeadlineTimer(30000)] {
        while (m_made && !m_stop && !deadline.hasExpired()) {
            // Succeeds only while a reader has it open or waits in open().
            const int fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                m_opened = true;
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

bool WatchedFifo::openedForReading()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    return m_opened;
}

} // namespace TestSupport
