#include "TcpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

sockaddr_in socketAddress(const Ipv4Address &address, quint16 port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    // The port field gets the number's bytes low byte first, whatever the
    // host's byte order: that is what every Tarvello puts there.
    auto *p = reinterpret_cast<unsigned char *>(&sa.sin_port);
    p[0] = static_cast<unsigned char>(port & 0xff);
    p[1] = static_cast<unsigned char>(port >> 8);
    auto *a = reinterpret_cast<unsigned char *>(&sa.sin_addr.s_addr);
    for (int i = 0; i < 4; ++i)
        a[i] = static_cast<unsigned char>(address.octets[i] & 0xff);
    return sa;
}

void setTimeout(int handle, int option, int ms)
{
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(handle, SOL_SOCKET, option, &tv, sizeof tv);
}

} // namespace

TcpSocket::TcpSocket(int handle) : m_handle(handle), m_open(handle >= 0) {}

TcpSocket::~TcpSocket()
{
    close();
}

TcpSocket::TcpSocket(TcpSocket &&other) noexcept
    : m_handle(other.m_handle), m_open(other.m_open), m_error(other.m_error),
      m_cancellation(other.m_cancellation), m_idleMs(other.m_idleMs), m_deadline(other.m_deadline)
{
    other.m_handle = -1;
    other.m_open = false;
    other.m_cancellation = nullptr;
}

TcpSocket &TcpSocket::operator=(TcpSocket &&other) noexcept
{
    if (this != &other) {
        close();
        m_handle = other.m_handle;
        m_open = other.m_open;
        m_error = other.m_error;
        m_cancellation = other.m_cancellation;
        m_idleMs = other.m_idleMs;
        m_deadline = other.m_deadline;
        other.m_handle = -1;
        other.m_open = false;
        other.m_cancellation = nullptr;
    }
    return *this;
}

quint16 TcpSocket::wirePort(quint16 configuredPort)
{
    return quint16((configuredPort >> 8) | (configuredPort << 8));
}

void TcpSocket::setCancellation(Cancellation *cancellation)
{
    m_cancellation = cancellation;
    // Already cancelled: the connection is of no use any more.
    if (m_handle >= 0 && cancellation && !cancellation->attach(m_handle))
        ::shutdown(m_handle, SHUT_RDWR);
}

void TcpSocket::release()
{
    if (m_handle >= 0) {
        if (m_cancellation)
            m_cancellation->detach(m_handle);
        ::close(m_handle);
    }
    m_handle = -1;
    m_open = false;
}

bool TcpSocket::fail()
{
    m_error = errno;
    release();
    return false;
}

bool TcpSocket::listenOn(quint16 port, int backlog)
{
    close();
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_handle < 0)
        return fail();
    // A restart on the same port must work at once.
    const int on = 1;
    ::setsockopt(m_handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    Ipv4Address any{};
    const sockaddr_in sa = socketAddress(any, port);
    if (::bind(m_handle, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0)
        return fail();
    m_open = true;
    if (::listen(m_handle, backlog) != 0)
        return fail();
    return true;
}

bool TcpSocket::connectTo(const Ipv4Address &address, quint16 port, int timeoutMs)
{
    close();
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_handle < 0)
        return fail();
    if (m_cancellation && !m_cancellation->attach(m_handle)) {
        errno = ECANCELED;
        return fail();
    }
    const int flags = ::fcntl(m_handle, F_GETFL);
    ::fcntl(m_handle, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in sa = socketAddress(address, port);
    if (::connect(m_handle, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS)
            return fail();
        pollfd pfd{m_handle, POLLOUT, 0};
        int r;
        do {
            r = ::poll(&pfd, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            errno = ETIMEDOUT;
            return fail();
        }
        if (r < 0)
            return fail();
        if (m_cancellation && m_cancellation->isCancelled()) {
            errno = ECANCELED;
            return fail();
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) {
            errno = soError;
            return fail();
        }
    }
    ::fcntl(m_handle, F_SETFL, flags & ~O_NONBLOCK);
    setTimeout(m_handle, SO_SNDTIMEO, kSendTimeoutMs);
    m_open = true;
    return true;
}

bool TcpSocket::waitReadable(int ms) const
{
    if (!m_open)
        return false;
    pollfd pfd{m_handle, POLLIN, 0};
    int r;
    do {
        r = ::poll(&pfd, 1, ms);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (pfd.revents & POLLIN);
}

TcpSocket TcpSocket::accept(Ipv4Address *peer)
{
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int handle;
    do {
        handle = ::accept4(m_handle, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_CLOEXEC);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        m_error = m_handle < 0 ? EBADF : errno;
        TcpSocket failed;
        failed.m_error = m_error;
        return failed;
    }
    if (peer) {
        const auto *a = reinterpret_cast<const unsigned char *>(&sa.sin_addr.s_addr);
        for (int i = 0; i < 4; ++i)
            peer->octets[i] = a[i];
    }
    TcpSocket accepted(handle);
    setTimeout(handle, SO_SNDTIMEO, kSendTimeoutMs);
    return accepted;
}

void TcpSocket::close()
{
    if (!m_open)
        return;
    release();
}

void TcpSocket::abort()
{
    if (!m_open)
        return;
    const linger reset{1, 0};
    ::setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close();
}

qint64 TcpSocket::send(const void *data, qint64 size)
{
    if (!m_open) {
        m_error = EBADF;
        return -1;
    }
    ssize_t n;
    do {
        n = ::send(m_handle, data, size_t(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        m_error = errno;
    return n;
}

qint64 TcpSocket::receive(void *buffer, qint64 size)
{
    if (!m_open) {
        m_error = EBADF;
        return -1;
    }
    // The idle limit and the deadline: wait for bytes no longer than the
    // nearer of the two allows.
    if (m_idleMs > 0 || m_deadline) {
        using namespace std::chrono;
        for (;;) {
            int wait = m_idleMs > 0 ? m_idleMs : -1;
            if (m_deadline) {
                const auto left = duration_cast<milliseconds>(*m_deadline - steady_clock::now());
                if (left.count() <= 0) {
                    m_error = ETIMEDOUT;
                    return -1;
                }
                const int leftMs = int(std::min<milliseconds::rep>(left.count() + 1, 1 << 30));
                wait = wait < 0 ? leftMs : std::min(wait, leftMs);
            }
            pollfd pfd{m_handle, POLLIN, 0};
            const int r = ::poll(&pfd, 1, wait);
            if (r > 0)
                break;
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                m_error = errno;
                return -1;
            }
            // Nothing came in time: idle too long, or the deadline passed
            // (looked at again above).
            if (!m_deadline || (m_idleMs > 0 && wait == m_idleMs)) {
                m_error = ETIMEDOUT;
                return -1;
            }
        }
    }
    ssize_t n;
    do {
        n = ::recv(m_handle, buffer, size_t(size), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        m_error = errno;
    return n;
}

bool TcpSocket::receiveExactly(void *buffer, qint64 size)
{
    auto *p = static_cast<char *>(buffer);
    qint64 got = 0;
    while (got < size) {
        const qint64 n = receive(p + got, size - got);
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

void TcpSocket::shutdownSend()
{
    if (m_open)
        ::shutdown(m_handle, SHUT_WR);
}

void TcpSocket::setReceiveTimeout(int ms)
{
    m_idleMs = qMax(0, ms);
}

void TcpSocket::setReceiveDeadline(int ms)
{
    if (ms > 0)
        m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    else
        m_deadline.reset();
}
