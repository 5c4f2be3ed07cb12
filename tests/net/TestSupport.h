#pragma once

#include <QByteArray>
#include <QFile>
#include <QTcpSocket>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <thread>

class TcpSocket;

namespace TestSupport {

// A configured port number whose TCP port on the wire is free now, never
// one handed out before in this test program.
quint16 freeConfiguredPort();

// The TCP port other software sees for a configured number: bytes swapped.
inline quint16 wire(quint16 configured)
{
    return quint16((configured >> 8) | (configured << 8));
}

// Connects a plain Qt socket to 127.0.0.1 on the wire port of a configured
// number.
bool connectClient(QTcpSocket &socket, quint16 configuredPort);

// Sends bytes and closes, as another Tarvello sends a message.
bool sendAndClose(quint16 configuredPort, const QByteArray &bytes);

// Waits until something listens on the configured port (the probe
// connection is empty and leaves no trace).
bool waitListening(quint16 configuredPort, int timeoutMs = 10000);

// The resident memory of this process, in kB (0 when unknown).
long residentKb();

// Waits for a condition for up to the given time, processing events.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// A peer that sends one byte every intervalMs, up to count of them, until
// its connection fails or it is destroyed: never silent long enough for an
// idle limit.
class Trickler {
public:
    explicit Trickler(quint16 configuredPort, int intervalMs = 100, int count = 200);
    ~Trickler();
    bool connected() const { return m_connected; }
    // The bytes it managed to send.
    int sent() const { return m_sent; }
    // It has sent all it was to, or its connection failed.
    bool finished() const { return m_finished; }

private:
    std::unique_ptr<TcpSocket> m_socket;
    bool m_connected = false;
    std::atomic<int> m_sent{0};
    std::atomic<bool> m_finished{false};
    std::jthread m_thread;
};

// A file receiver on a port of its own: it accepts the first offer at once,
// takes the given number of the file's bytes and then resets the
// connection, as a receiver that breaks down does.
class BreakingReceiver {
public:
    explicit BreakingReceiver(qint64 keep);
    ~BreakingReceiver();
    // The configured port number to send to; 0 when it could not listen.
    quint16 port() { return m_port.get(); }

private:
    std::promise<quint16> m_listening;
    std::shared_future<quint16> m_port;
    std::thread m_thread;
};

// A FIFO whose watcher keeps trying to write: it notes a reader that opens
// the FIFO and lets it go at once, so code that must not open it fails a
// test instead of hanging it.
class WatchedFifo {
public:
    explicit WatchedFifo(const QString &path);
    ~WatchedFifo()
    {
        openedForReading();
        QFile::remove(m_path);
    }
    bool made() const { return m_made; }
    bool openedForReading(); // stops watching

private:
    QString m_path;
    bool m_made;
    std::atomic<bool> m_opened{false}, m_stop{false};
    std::thread m_thread;
};

} // namespace TestSupport
