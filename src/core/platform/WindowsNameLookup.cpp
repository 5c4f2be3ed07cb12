#include "WindowsNameLookup.h"

#include "CodePage.h"

#include <QRandomGenerator>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace WindowsNameLookup {

namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype kMaxDatagram = 1500; // longer ones arrive cut and fail the parse
constexpr int kMaxPointerHops = 16;
constexpr qsizetype kMaxNameLength = 255;
constexpr qsizetype kMaxLlmnrLabel = 63;
constexpr qsizetype kMaxNetbiosName = 15;
constexpr quint16 kTypeA = 0x0001;
constexpr quint16 kTypeNb = 0x0020;
constexpr quint16 kClassIn = 0x0001;
constexpr quint16 kResponse = 0x8000;
constexpr quint16 kOpcodeMask = 0x7800;
constexpr quint16 kRcodeMask = 0x000f;
constexpr quint16 kNetbiosQueryFlags = 0x0110; // recursion desired, broadcast
constexpr std::chrono::milliseconds kStopCheck{50};

// Windows allows more in a NetBIOS name, but a computer's name is a host
// name: letters, digits, '-', '_' and, beyond ASCII, visible characters.
bool isNameCharacter(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80)
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
               u == '-' || u == '_';
    return c.isPrint() && !c.isSpace();
}

bool isComputerName(const QString &name)
{
    return !name.isEmpty() && std::all_of(name.cbegin(), name.cend(), isNameCharacter);
}

QByteArray llmnrLabel(const QString &name)
{
    if (!isComputerName(name))
        return {};
    const QByteArray label = name.toUtf8();
    return label.size() <= kMaxLlmnrLabel ? label : QByteArray();
}

// The 32-byte first-level encoding of the 16-byte NetBIOS name: upper-cased
// in the ANSI code page, padded with spaces to 15 bytes, suffix 0x00.
QByteArray netbiosLabel(const QString &name)
{
    if (!isComputerName(name))
        return {};
    const QByteArray bytes = CodePage::ansi().fromUnicode(name.toUpper());
    // '?' is what the page makes of a character it cannot hold.
    if (bytes.size() > kMaxNetbiosName || bytes.contains('?'))
        return {};
    QByteArray raw = bytes.leftJustified(kMaxNetbiosName, ' ');
    raw.append('\0');
    QByteArray encoded;
    encoded.reserve(raw.size() * 2);
    for (const char c : raw) {
        const auto b = static_cast<quint8>(c);
        encoded.append(char('A' + (b >> 4)));
        encoded.append(char('A' + (b & 0x0f)));
    }
    return encoded;
}

bool asciiCaseEqual(const QByteArray &a, const QByteArray &b)
{
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.cbegin(), a.cend(), b.cbegin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

void appendU16(QByteArray &out, quint16 value)
{
    out.append(char(value >> 8));
    out.append(char(value & 0xff));
}

QByteArray message(quint16 id, quint16 flags, const QByteArray &label, quint16 type)
{
    QByteArray out;
    appendU16(out, id);
    appendU16(out, flags);
    for (const quint16 count : {1, 0, 0, 0}) // one question, no records
        appendU16(out, count);
    out.append(char(label.size()));
    out.append(label);
    out.append('\0');
    appendU16(out, type);
    appendU16(out, kClassIn);
    return out;
}

Ipv4Address addressAt(const QByteArray &data, qsizetype at)
{
    Ipv4Address address;
    for (int i = 0; i < 4; ++i)
        address.octets[i] = static_cast<quint8>(data[at + i]);
    return address;
}

// A bounds-checked walk over a received message; every read fails rather
// than leave the datagram.
class Reader {
public:
    struct Header {
        quint16 id, flags, questions, answers;
    };
    struct Record {
        bool ownerMatches;
        quint16 type, klass, length;
        qsizetype data;
    };

    explicit Reader(const QByteArray &data) : m_data(data) {}

    std::optional<Header> header()
    {
        Header h;
        quint16 ignored;
        if (!u16(&h.id) || !u16(&h.flags) || !u16(&h.questions) || !u16(&h.answers) ||
            !u16(&ignored) || !u16(&ignored))
            return std::nullopt;
        return h;
    }

    // A name that is exactly the one label; case-insensitive for ASCII
    // letters when asked (DNS names are).
    bool name(const QByteArray &label, Qt::CaseSensitivity cs, bool *matches)
    {
        QByteArray only;
        int labels = 0;
        qsizetype at = m_pos;
        qsizetype start = at; // a pointer must lead before every byte read so far
        qsizetype resume = -1;
        qsizetype total = 0;
        for (int hops = 0;;) {
            if (at >= m_data.size())
                return false;
            const auto length = static_cast<quint8>(m_data[at]);
            if ((length & 0xc0) == 0xc0) {
                if (at + 1 >= m_data.size() || ++hops > kMaxPointerHops)
                    return false;
                const qsizetype target =
                    ((length & 0x3f) << 8) | static_cast<quint8>(m_data[at + 1]);
                if (target >= start)
                    return false;
                if (resume < 0)
                    resume = at + 2;
                at = start = target;
                continue;
            }
            if (length & 0xc0) // 0x40 and 0x80 are no label types in use
                return false;
            if (length == 0) {
                m_pos = resume < 0 ? at + 1 : resume;
                *matches = labels == 1 &&
                           (cs == Qt::CaseSensitive ? only == label : asciiCaseEqual(only, label));
                return true;
            }
            total += 1 + length;
            if (at + 1 + length > m_data.size() || total > kMaxNameLength)
                return false;
            if (++labels == 1)
                only = m_data.mid(at + 1, length);
            at += 1 + length;
        }
    }

    bool question(const QByteArray &label, Qt::CaseSensitivity cs, bool *matches, quint16 *type,
                  quint16 *klass)
    {
        return name(label, cs, matches) && u16(type) && u16(klass);
    }

    std::optional<Record> record(const QByteArray &label, Qt::CaseSensitivity cs)
    {
        Record r;
        quint16 ttl[2];
        if (!name(label, cs, &r.ownerMatches) || !u16(&r.type) || !u16(&r.klass) || !u16(&ttl[0]) ||
            !u16(&ttl[1]) || !u16(&r.length) || m_pos + r.length > m_data.size())
            return std::nullopt;
        r.data = m_pos;
        m_pos += r.length;
        return r;
    }

private:
    bool u16(quint16 *value)
    {
        if (m_pos + 2 > m_data.size())
            return false;
        *value = quint16(static_cast<quint8>(m_data[m_pos]) << 8 |
                         static_cast<quint8>(m_data[m_pos + 1]));
        m_pos += 2;
        return true;
    }

    const QByteArray &m_data;
    qsizetype m_pos = 0;
};

// A response to a standard query, without error.
bool isAnswer(const Reader::Header &h, quint16 id)
{
    return h.id == id && (h.flags & kResponse) && !(h.flags & kOpcodeMask) &&
           !(h.flags & kRcodeMask) && h.answers > 0;
}

class UdpSocket {
public:
    UdpSocket() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
        sockaddr_in any;
        std::memset(&any, 0, sizeof any);
        any.sin_family = AF_INET; // every address, an ephemeral port
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~UdpSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    int fd() const { return m_fd; }

    template <typename T> void option(int level, int name, const T &value)
    {
        ::setsockopt(m_fd, level, name, &value, sizeof value);
    }

    bool sendTo(const QByteArray &datagram, quint32 address, quint16 port)
    {
        sockaddr_in to;
        std::memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(address);
        to.sin_port = htons(port);
        return m_fd >= 0 && ::sendto(m_fd, datagram.constData(), size_t(datagram.size()), 0,
                                     reinterpret_cast<sockaddr *>(&to), sizeof to) >= 0;
    }

private:
    int m_fd;
};

struct Interfaces {
    QList<in_addr> multicast; // the addresses of interfaces that can send to a group
    QList<quint32> broadcasts;
};

Interfaces ipv4Interfaces()
{
    Interfaces found;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
            (i->ifa_flags & IFF_LOOPBACK))
            continue;
        const in_addr address = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr;
        if (i->ifa_flags & IFF_MULTICAST)
            found.multicast.append(address);
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr &&
            i->ifa_broadaddr->sa_family == AF_INET) {
            const quint32 broadcast =
                ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr);
            if (!found.broadcasts.contains(broadcast))
                found.broadcasts.append(broadcast);
        }
    }
    ::freeifaddrs(list);
    return found;
}

quint32 ipv4Of(const QHostAddress &address)
{
    bool ok = false;
    const quint32 value = address.toIPv4Address(&ok);
    return ok ? value : 0;
}

bool isLoopback(quint32 address)
{
    return (address >> 24) == 127;
}

// A host's own unicast address: neither "this network", multicast, nor
// reserved or broadcast.
bool isUnicast(quint32 address)
{
    const quint32 first = address >> 24;
    return first != 0 && first < 224;
}

// Loopback answers only from this computer itself: a peer naming 127.0.0.1
// would have us talk to ourselves.
bool isPlausibleAnswer(const Ipv4Address &answer, quint32 source)
{
    const quint32 value = quint32(answer.octets[0]) << 24 | quint32(answer.octets[1]) << 16 |
                          quint32(answer.octets[2]) << 8 | quint32(answer.octets[3]);
    return isUnicast(value) && (!isLoopback(value) || isLoopback(source));
}

bool sendLlmnr(UdpSocket &socket, const QByteArray &query, const Targets &targets)
{
    const quint32 group = ipv4Of(targets.llmnrGroup);
    if (!group)
        return false;
    if (!targets.llmnrMulticast)
        return socket.sendTo(query, group, targets.llmnrPort);
    socket.option(IPPROTO_IP, IP_MULTICAST_TTL, static_cast<unsigned char>(1));
    bool sent = false;
    for (const in_addr &address : ipv4Interfaces().multicast) {
        socket.option(IPPROTO_IP, IP_MULTICAST_IF, address);
        sent = socket.sendTo(query, group, targets.llmnrPort) || sent;
    }
    return sent;
}

bool sendNetbios(UdpSocket &socket, const QByteArray &query, const Targets &targets)
{
    QList<quint32> addresses;
    for (const QHostAddress &address : targets.netbiosBroadcasts) {
        if (const quint32 value = ipv4Of(address))
            addresses.append(value);
    }
    if (targets.netbiosBroadcasts.isEmpty())
        addresses = ipv4Interfaces().broadcasts;
    socket.option(SOL_SOCKET, SO_BROADCAST, 1);
    bool sent = false;
    for (const quint32 address : addresses)
        sent = socket.sendTo(query, address, targets.netbiosPort) || sent;
    return sent;
}

std::optional<Ipv4Address> ask(const QString &name, int timeoutMs, const Targets &targets,
                               const std::atomic<bool> *stop)
{
    const quint16 llmnrId = quint16(QRandomGenerator::system()->generate());
    const quint16 netbiosId = quint16(QRandomGenerator::system()->generate());
    const QByteArray llmnr = llmnrQuery(llmnrId, name);
    const QByteArray netbios = netbiosQuery(netbiosId, name);
    if (timeoutMs <= 0 || (llmnr.isEmpty() && netbios.isEmpty()))
        return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    UdpSocket llmnrSocket;
    UdpSocket netbiosSocket;
    pollfd fds[2];
    nfds_t count = 0;
    if (!llmnr.isEmpty() && sendLlmnr(llmnrSocket, llmnr, targets))
        fds[count++] = {llmnrSocket.fd(), POLLIN, 0};
    if (!netbios.isEmpty() && sendNetbios(netbiosSocket, netbios, targets))
        fds[count++] = {netbiosSocket.fd(), POLLIN, 0};
    if (count == 0)
        return std::nullopt;

    const quint32 llmnrUnicast = targets.llmnrMulticast ? 0 : ipv4Of(targets.llmnrGroup);
    // Answers come from the responder's well-known port; a unicast query is
    // answered by the address asked.
    auto answerOf = [&](int fd, const QByteArray &datagram, quint32 source,
                        quint16 port) -> std::optional<Ipv4Address> {
        std::optional<Ipv4Address> answer;
        if (fd == llmnrSocket.fd()) {
            if (port == targets.llmnrPort && (!llmnrUnicast || source == llmnrUnicast))
                answer = llmnrAnswer(datagram, llmnrId, name);
        } else if (port == targets.netbiosPort) {
            answer = netbiosAnswer(datagram, netbiosId, name);
        }
        if (answer && isUnicast(source) && isPlausibleAnswer(*answer, source))
            return answer;
        return std::nullopt;
    };

    char buffer[kMaxDatagram];
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero() || (stop && stop->load()))
            return std::nullopt;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(left);
        if (stop)
            wait = std::min(wait, kStopCheck);
        if (::poll(fds, count, int(wait.count())) < 0 && errno != EINTR)
            return std::nullopt;
        for (nfds_t i = 0; i < count; ++i) {
            if (!fds[i].revents)
                continue;
            // Drain what is queued; a flood still ends at the deadline.
            for (;;) {
                sockaddr_in from;
                socklen_t fromLength = sizeof from;
                const ssize_t got = ::recvfrom(fds[i].fd, buffer, sizeof buffer, 0,
                                               reinterpret_cast<sockaddr *>(&from), &fromLength);
                if (got < 0)
                    break;
                if (fromLength >= sizeof from && from.sin_family == AF_INET) {
                    const auto answer = answerOf(fds[i].fd, QByteArray::fromRawData(buffer, got),
                                                 ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
                    if (answer)
                        return answer;
                }
                if (Clock::now() >= deadline)
                    return std::nullopt;
            }
        }
    }
}

} // namespace

QByteArray llmnrQuery(quint16 id, const QString &name)
{
    const QByteArray label = llmnrLabel(name);
    return label.isEmpty() ? QByteArray() : message(id, 0, label, kTypeA);
}

std::optional<Ipv4Address> llmnrAnswer(const QByteArray &datagram, quint16 id, const QString &name)
{
    const QByteArray label = llmnrLabel(name);
    Reader reader(datagram);
    const auto header = reader.header();
    if (label.isEmpty() || !header || !isAnswer(*header, id) || header->questions != 1)
        return std::nullopt;
    // The responder echoes our question.
    bool matches = false;
    quint16 type = 0;
    quint16 klass = 0;
    if (!reader.question(label, Qt::CaseInsensitive, &matches, &type, &klass) || !matches ||
        type != kTypeA || klass != kClassIn)
        return std::nullopt;
    for (quint16 i = 0; i < header->answers; ++i) {
        const auto r = reader.record(label, Qt::CaseInsensitive);
        if (!r)
            return std::nullopt;
        if (r->ownerMatches && r->type == kTypeA && r->klass == kClassIn && r->length == 4)
            return addressAt(datagram, r->data);
    }
    return std::nullopt;
}

QByteArray netbiosQuery(quint16 id, const QString &name)
{
    const QByteArray label = netbiosLabel(name);
    return label.isEmpty() ? QByteArray() : message(id, kNetbiosQueryFlags, label, kTypeNb);
}

std::optional<Ipv4Address> netbiosAnswer(const QByteArray &datagram, quint16 id,
                                         const QString &name)
{
    const QByteArray label = netbiosLabel(name);
    Reader reader(datagram);
    const auto header = reader.header();
    if (label.isEmpty() || !header || !isAnswer(*header, id))
        return std::nullopt;
    // Responses normally carry no question; skip any there is.
    for (quint16 i = 0; i < header->questions; ++i) {
        bool matches = false;
        quint16 type = 0;
        quint16 klass = 0;
        if (!reader.question(label, Qt::CaseSensitive, &matches, &type, &klass))
            return std::nullopt;
    }
    for (quint16 i = 0; i < header->answers; ++i) {
        const auto r = reader.record(label, Qt::CaseSensitive);
        if (!r)
            return std::nullopt;
        // NB_FLAGS (2 bytes) and an address, once per address the name has.
        if (r->ownerMatches && r->type == kTypeNb && r->klass == kClassIn && r->length >= 6 &&
            r->length % 6 == 0)
            return addressAt(datagram, r->data + 2);
    }
    return std::nullopt;
}

std::optional<Ipv4Address> lookUp(const QString &name, int timeoutMs, const Targets &targets)
{
    return ask(name, timeoutMs, targets, nullptr);
}

std::optional<Ipv4Address> lookUp(const QString &name, int timeoutMs, const Targets &targets,
                                  const std::atomic<bool> &stop)
{
    return ask(name, timeoutMs, targets, &stop);
}

} // namespace WindowsNameLookup
