#pragma once

#include "Cancellation.h"
#include "core/base/Ipv4Address.h"

#include <QtGlobal>

#include <chrono>
#include <optional>
#include <sys/socket.h>

// One TCP socket over IPv4. The open flag is set only after a successful
// bind (listening side) or connect (connecting side); close() acts only on an
// open socket and may be called any number of times.
//
// Port numbers go into the socket address as a little-endian machine holds
// them, without conversion to network byte order, so that every Tarvello
// agrees: configured 1024 is TCP port 4 on the wire, 33277 is 64897.
class TcpSocket {
public:
    // Outgoing connects give up after this long (the system's own limit is
    // over two minutes on Linux).
    static constexpr int kConnectTimeoutMs = 10000;
    // A peer that takes nothing for this long fails the send.
    static constexpr int kSendTimeoutMs = 30000;

    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(TcpSocket &&other) noexcept;
    TcpSocket &operator=(TcpSocket &&other) noexcept;
    TcpSocket(const TcpSocket &) = delete;
    TcpSocket &operator=(const TcpSocket &) = delete;

    // The TCP port other software sees for a configured port number.
    static quint16 wirePort(quint16 configuredPort);

    // The listen queue of the program's listeners: the system's largest, so
    // that a burst of senders waits there instead of having its connection
    // requests dropped and repeated a second later.
    static constexpr int kListenBacklog = SOMAXCONN;

    // Binds to all local interfaces with SO_REUSEADDR and listens with the
    // given backlog.
    bool listenOn(quint16 port, int backlog = kListenBacklog);
    bool connectTo(const Ipv4Address &address, quint16 port, int timeoutMs = kConnectTimeoutMs);
    // Lets another thread stop this socket's work (set before connectTo, or
    // on an accepted connection); it must outlive the socket.
    void setCancellation(Cancellation *cancellation);
    // True when within the time a connection waits to be accepted (a
    // listening socket) or bytes wait to be read.
    bool waitReadable(int ms) const;
    // Accepts one connection; the result is not open when accepting failed.
    TcpSocket accept(Ipv4Address *peer = nullptr);
    void close();
    // Closes with a reset instead of the orderly close, so that the peer
    // learns that something went wrong.
    void abort();
    bool isOpen() const { return m_open; }

    // One send call (no partial-send loop): the bytes sent, or -1.
    qint64 send(const void *data, qint64 size);
    // One receive call: the bytes received, 0 when the peer closed, -1 on
    // failure (including the receive time-out).
    qint64 receive(void *buffer, qint64 size);
    // Receives until exactly size bytes arrived; false when the peer closed
    // or a receive failed first.
    bool receiveExactly(void *buffer, qint64 size);
    // Tells the peer that nothing more will be sent (the receiving half
    // stays open).
    void shutdownSend();
    // A receive that waits longer than this fails; 0 waits forever.
    void setReceiveTimeout(int ms);
    // Every receive fails once this much time from now has passed, however
    // the bytes trickle in; 0 takes the limit away.
    void setReceiveDeadline(int ms);

    // The system error of the last failed call.
    int lastError() const { return m_error; }

private:
    explicit TcpSocket(int handle);
    bool fail();

    void release(); // closes the handle, detached from its cancellation
    int m_handle = -1;
    bool m_open = false;
    int m_error = 0;
    Cancellation *m_cancellation = nullptr;
    int m_idleMs = 0;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
};
