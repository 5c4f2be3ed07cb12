#include "WsDiscovery.h"

#include "WsDiscoveryMessage.h"

#include <QElapsedTimer>
#include <QHash>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <QUrl>
#include <QUuid>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <optional>

using WsDiscoveryMessage::Announcement;

namespace {

constexpr int kMaxFetches = 8;
constexpr std::size_t kMaxQueuedFetches = 1000;
// Matches are taken for this many of our latest probes (a few intervals).
constexpr qsizetype kRecentProbes = 4;
constexpr qsizetype kRecentResolves = 64;
constexpr qint64 kResolveAgainMs = 2000;
// Resolves to the group, all endpoints together: at most this many at once,
// then one per this many ms, so that a flood of Hellos stays a trickle.
constexpr int kResolveBurst = 8;
constexpr qint64 kResolveEveryMs = 250;
constexpr qsizetype kMaxHttpHeader = 16 * 1024;
// The interface list is read again after this long (a network that comes up
// later is joined and probed).
constexpr qint64 kInterfacesTtlMs = 10000;

QString newMessageId()
{
    return QStringLiteral("urn:uuid:") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// A chunked HTTP body decoded whole; nothing unless complete and well-formed.
std::optional<QByteArray> decodeChunked(const QByteArray &data)
{
    QByteArray body;
    qsizetype at = 0;
    for (;;) {
        const qsizetype eol = data.indexOf("\r\n", at);
        if (eol < 0)
            return std::nullopt;
        QByteArray sizeText = data.mid(at, eol - at);
        const qsizetype semicolon = sizeText.indexOf(';'); // extensions are ignored
        if (semicolon >= 0)
            sizeText.truncate(semicolon);
        sizeText = sizeText.trimmed();
        bool ok = false;
        const qint64 size = sizeText.size() <= 8 ? sizeText.toLongLong(&ok, 16) : -1;
        if (!ok || size < 0)
            return std::nullopt;
        at = eol + 2;
        if (size == 0) {
            // Trailers, if any, then an empty line.
            return data.indexOf("\r\n\r\n", at - 2) >= 0 ? std::optional(body) : std::nullopt;
        }
        if (data.size() - at < size + 2 || data.mid(at + size, 2) != "\r\n")
            return std::nullopt;
        body.append(data.constData() + at, size);
        at += size + 2;
    }
}

// The host of an XAddr as an IPv4 address: only dotted literals count.
std::optional<QHostAddress> ipv4Host(const QUrl &url)
{
    const QString host = url.host();
    const QHostAddress address(host);
    if (address.protocol() != QAbstractSocket::IPv4Protocol || address.toString() != host)
        return std::nullopt;
    return address;
}

Ipv4Address toIpv4Address(const QHostAddress &address)
{
    const quint32 v = address.toIPv4Address();
    return Ipv4Address{{int(v >> 24), int((v >> 16) & 0xff), int((v >> 8) & 0xff), int(v & 0xff)}};
}

// One metadata fetch: an HTTP/1.1 POST of the Get, read back within a time
// limit and a byte limit. Reports once, then deletes itself.
class MetadataFetch : public QObject {
public:
    using Done = std::function<void(const std::optional<QByteArray> &body)>;

    MetadataFetch(const QUrl &url, const QHostAddress &host, const QByteArray &envelope,
                  int timeoutMs, qint64 maxBytes, Done done, QObject *parent)
        : QObject(parent), m_socket(new QTcpSocket(this)), m_maxBytes(maxBytes),
          m_done(std::move(done))
    {
        const quint16 port = quint16(url.port(80));
        QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
        if (path.isEmpty())
            path = "/";
        if (url.hasQuery())
            path += '?' + url.query(QUrl::FullyEncoded).toLatin1();
        m_request = "POST " + path + " HTTP/1.1\r\nHost: " + host.toString().toLatin1() + ':' +
                    QByteArray::number(port) +
                    "\r\nContent-Type: application/soap+xml; charset=utf-8"
                    "\r\nContent-Length: " +
                    QByteArray::number(envelope.size()) + "\r\nConnection: close\r\n\r\n" +
                    envelope;

        auto *timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this] { finish(std::nullopt); });
        timer->start(timeoutMs);
        connect(m_socket, &QTcpSocket::connected, this, [this] { m_socket->write(m_request); });
        connect(m_socket, &QTcpSocket::readyRead, this, [this] { readSome(); });
        connect(m_socket, &QTcpSocket::disconnected, this, [this] { closed(); });
        connect(m_socket, &QTcpSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) {
                    if (error == QAbstractSocket::RemoteHostClosedError)
                        closed();
                    else
                        finish(std::nullopt);
                });
        // Straight to the computer on our own network: a proxy would take the
        // connection elsewhere.
        m_socket->setProxy(QNetworkProxy::NoProxy);
        m_socket->connectToHost(host, port);
    }

private:
    void readSome()
    {
        while (!m_finished && m_socket->bytesAvailable() > 0) {
            // One byte past the limit is enough to know it is exceeded.
            const qint64 room = m_maxBytes + 1 - m_buffer.size();
            m_buffer.append(m_socket->read(qMin<qint64>(room, 64 * 1024)));
            if (m_buffer.size() > m_maxBytes)
                return finish(std::nullopt);
            if (!m_bodyStart && !readHeader())
                return;
            if (m_bodyStart)
                checkComplete(false);
        }
    }

    // Parses the header once whole; false while incomplete or on failure.
    bool readHeader()
    {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > kMaxHttpHeader)
                finish(std::nullopt);
            return false;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        const QList<QByteArray> status = lines.first().trimmed().split(' ');
        if (status.size() < 2 || !status[0].startsWith("HTTP/1.") || status[1] != "200") {
            finish(std::nullopt);
            return false;
        }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = lines[i].left(colon).trimmed().toLower();
            const QByteArray value = lines[i].mid(colon + 1).trimmed().toLower();
            if (name == "content-length") {
                bool ok = false;
                const qint64 length = value.toLongLong(&ok);
                // A length past the limit, or two that disagree, end it.
                if (!ok || length < 0 || length > m_maxBytes ||
                    (m_contentLength >= 0 && m_contentLength != length)) {
                    finish(std::nullopt);
                    return false;
                }
                m_contentLength = length;
            } else if (name == "transfer-encoding") {
                if (value != "chunked") {
                    finish(std::nullopt);
                    return false;
                }
                m_chunked = true;
            }
        }
        if (m_chunked && m_contentLength >= 0) { // ambiguous framing
            finish(std::nullopt);
            return false;
        }
        m_bodyStart = end + 4;
        return true;
    }

    void checkComplete(bool atClose)
    {
        const QByteArray body = m_buffer.mid(m_bodyStart);
        if (m_chunked) {
            if (atClose || body.endsWith("\r\n\r\n")) {
                const std::optional<QByteArray> decoded = decodeChunked(body);
                if (decoded || atClose)
                    finish(decoded);
            }
        } else if (m_contentLength >= 0) {
            if (body.size() >= m_contentLength)
                finish(body.left(m_contentLength));
            else if (atClose)
                finish(std::nullopt);
        } else if (atClose) {
            finish(body); // delimited by the connection's end
        }
    }

    void closed()
    {
        if (m_finished)
            return;
        readSome();
        if (m_finished)
            return;
        if (m_bodyStart)
            checkComplete(true);
        else
            finish(std::nullopt);
    }

    void finish(const std::optional<QByteArray> &body)
    {
        if (m_finished)
            return;
        m_finished = true;
        m_socket->abort();
        deleteLater();
        m_done(body);
    }

    QTcpSocket *m_socket;
    const qint64 m_maxBytes;
    Done m_done;
    QByteArray m_request;
    QByteArray m_buffer;
    qsizetype m_bodyStart = 0;
    qint64 m_contentLength = -1;
    bool m_chunked = false;
    bool m_finished = false;
};

} // namespace

// Lives on the client's thread: its sockets, timers and every computer heard.
class WsDiscoveryWorker : public QObject {
public:
    WsDiscoveryWorker(WsDiscovery::Found found, WsDiscovery::Lost lost,
                      const WsDiscovery::Options &options, int wakeFd)
        : m_found(std::move(found)), m_lost(std::move(lost)), m_options(options), m_wakeFd(wakeFd)
    {
    }

    void run();
    void probe();

private:
    struct Computer {
        QString xaddr; // whose metadata is fetched or was; empty: fetch when heard
        quint64 metadataVersion = 0;
        qint64 lastHeard = 0;
        bool found = false;
        QString name;
        Ipv4Address address;
    };
    struct Fetch {
        QString endpoint;
        QString xaddr;
        QUrl url;
        QHostAddress host;
    };

    void readDatagrams(QUdpSocket *socket);
    void handle(const Announcement &a, const QHostAddress &sender);
    void sendToGroup(const QByteArray &datagram);
    void sendResolve(const QString &endpoint, bool isComputer);
    // Room for one more endpoint; false when every one is a computer found.
    bool makeRoom();
    void startFetches();
    void fetched(const Fetch &fetch, const std::optional<QByteArray> &body);
    void forgetSilent();
    void refreshInterfaces();

    WsDiscovery::Found m_found;
    WsDiscovery::Lost m_lost;
    const WsDiscovery::Options m_options;
    const int m_wakeFd;
    QUdpSocket *m_probeSocket = nullptr;
    QUdpSocket *m_groupSocket = nullptr;
    QElapsedTimer m_clock;
    QByteArray m_datagram;
    QStringList m_probeIds;
    struct Resolve {
        QString id;
        QString endpoint;
        qint64 sentAt;
        bool isComputer; // asked about a computer: the answer need not say so again
    };
    QList<Resolve> m_resolves;
    double m_resolveCredit = kResolveBurst;
    qint64 m_resolveCreditAt = 0;
    QHash<QString, Computer> m_computers;
    std::deque<Fetch> m_queue;
    int m_fetching = 0;
    // Interfaces that can multicast (not loopback), the joined ones, and the
    // IPv4 networks of every interface that is up.
    QList<QNetworkInterface> m_interfaces;
    QStringList m_joined;
    QList<QNetworkAddressEntry> m_networks;
    qint64 m_interfacesRead = -1;
};

void WsDiscoveryWorker::run()
{
    m_clock.start();
    m_datagram.resize(WsDiscoveryMessage::kMaxDatagram + 1);
    m_probeSocket = new QUdpSocket(this);
    m_probeSocket->setProxy(QNetworkProxy::NoProxy);
    if (!m_probeSocket->bind(QHostAddress::AnyIPv4, 0))
        qWarning("WS-Discovery: no socket: %s", qPrintable(m_probeSocket->errorString()));
    // A probe goes no further than the local network.
    m_probeSocket->setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
    connect(m_probeSocket, &QUdpSocket::readyRead, this, [this] { readDatagrams(m_probeSocket); });
    if (m_options.listenForAnnouncements) {
        m_groupSocket = new QUdpSocket(this);
        m_groupSocket->setProxy(QNetworkProxy::NoProxy);
        // wsdd or another program may hold the port too: all receive.
        if (m_groupSocket->bind(QHostAddress::AnyIPv4, m_options.port,
                                QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
            connect(m_groupSocket, &QUdpSocket::readyRead, this,
                    [this] { readDatagrams(m_groupSocket); });
        } else {
            qWarning("WS-Discovery: cannot hear announcements on port %u: %s",
                     unsigned(m_options.port), qPrintable(m_groupSocket->errorString()));
            delete m_groupSocket;
            m_groupSocket = nullptr;
        }
    }

    if (m_wakeFd >= 0) {
        auto *wake = new QSocketNotifier(m_wakeFd, QSocketNotifier::Read, this);
        connect(wake, &QSocketNotifier::activated, this, [this] {
            quint64 count = 0;
            if (::read(m_wakeFd, &count, sizeof count) == sizeof count)
                probe(); // however many asked meanwhile: one probe
        });
    }

    auto *probeTimer = new QTimer(this);
    connect(probeTimer, &QTimer::timeout, this, [this] { probe(); });
    probeTimer->start(qMax(10, m_options.probeIntervalMs));
    auto *forgetTimer = new QTimer(this);
    connect(forgetTimer, &QTimer::timeout, this, [this] { forgetSilent(); });
    forgetTimer->start(qBound(10, m_options.forgetAfterMs / 4, 5000));
    probe();
    // A computer starting at the same moment misses the first probe, and
    // its Hello may come before the group is joined: asked again soon.
    for (int ms : {1000, 3000, 8000})
        QTimer::singleShot(ms, this, [this] { probe(); });
}

void WsDiscoveryWorker::refreshInterfaces()
{
    if (m_interfacesRead >= 0 && m_clock.elapsed() - m_interfacesRead < kInterfacesTtlMs)
        return;
    m_interfacesRead = m_clock.elapsed();
    m_interfaces.clear();
    m_networks.clear();
    const auto up = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        if ((i.flags() & up) != up)
            continue;
        bool hasIpv4 = false;
        for (const QNetworkAddressEntry &e : i.addressEntries()) {
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                m_networks.append(e);
                hasIpv4 = true;
            }
        }
        if (hasIpv4 && (i.flags() & QNetworkInterface::CanMulticast) &&
            !(i.flags() & QNetworkInterface::IsLoopBack))
            m_interfaces.append(i);
    }
    if (!m_groupSocket || !m_options.group.isMulticast())
        return;
    for (const QNetworkInterface &i : std::as_const(m_interfaces)) {
        if (!m_joined.contains(i.name()) && m_groupSocket->joinMulticastGroup(m_options.group, i))
            m_joined.append(i.name());
    }
}

void WsDiscoveryWorker::sendToGroup(const QByteArray &datagram)
{
    refreshInterfaces();
    if (!m_options.group.isMulticast()) {
        m_probeSocket->writeDatagram(datagram, m_options.group, m_options.port);
        return;
    }
    for (const QNetworkInterface &i : std::as_const(m_interfaces)) {
        m_probeSocket->setMulticastInterface(i);
        m_probeSocket->writeDatagram(datagram, m_options.group, m_options.port);
    }
}

void WsDiscoveryWorker::probe()
{
    const QString id = newMessageId();
    m_probeIds.append(id);
    while (m_probeIds.size() > kRecentProbes)
        m_probeIds.removeFirst();
    sendToGroup(WsDiscoveryMessage::probe(id));
}

void WsDiscoveryWorker::sendResolve(const QString &endpoint, bool isComputer)
{
    // One question at a time, asked again only after a while: Hellos
    // without addresses must not turn into a flood of multicast.
    const qint64 now = m_clock.elapsed();
    for (const Resolve &r : std::as_const(m_resolves)) {
        if (r.endpoint == endpoint && now - r.sentAt < kResolveAgainMs)
            return;
    }
    m_resolveCredit = qMin<double>(kResolveBurst, m_resolveCredit + double(now - m_resolveCreditAt) /
                                                                     kResolveEveryMs);
    m_resolveCreditAt = now;
    if (m_resolveCredit < 1)
        return;
    m_resolveCredit -= 1;
    const QString id = newMessageId();
    m_resolves.append({id, endpoint, now, isComputer});
    while (m_resolves.size() > kRecentResolves)
        m_resolves.removeFirst();
    sendToGroup(WsDiscoveryMessage::resolve(id, endpoint));
}

void WsDiscoveryWorker::readDatagrams(QUdpSocket *socket)
{
    while (socket->hasPendingDatagrams()) {
        QHostAddress sender;
        // A datagram larger than the buffer is cut short, so a full buffer
        // marks one past the limit: dropped.
        const qint64 size = socket->readDatagram(m_datagram.data(), m_datagram.size(), &sender);
        if (size < 0)
            break;
        if (size > WsDiscoveryMessage::kMaxDatagram)
            continue;
        const std::optional<Announcement> a =
            WsDiscoveryMessage::parse(QByteArray::fromRawData(m_datagram.constData(), size));
        if (a)
            handle(*a, sender);
    }
}

void WsDiscoveryWorker::handle(const Announcement &a, const QHostAddress &sender)
{
    switch (a.kind) {
    case Announcement::Bye: {
        const auto it = m_computers.constFind(a.endpoint);
        if (it == m_computers.cend())
            return;
        const bool wasFound = it->found;
        m_computers.erase(it);
        if (wasFound)
            m_lost(a.endpoint);
        return;
    }
    case Announcement::ProbeMatch:
        if (a.relatesTo.isEmpty() || !m_probeIds.contains(a.relatesTo) || !a.isComputer)
            return;
        break;
    case Announcement::ResolveMatch: {
        // Only the answer to our own question, about the endpoint asked for.
        const auto it =
            std::find_if(m_resolves.cbegin(), m_resolves.cend(), [&a](const Resolve &r) {
                return r.id == a.relatesTo && r.endpoint == a.endpoint;
            });
        if (it == m_resolves.cend())
            return;
        const bool askedAboutComputer = it->isComputer;
        m_resolves.erase(it);
        if (!a.isComputer && (a.hasTypes || !askedAboutComputer))
            return;
        break;
    }
    case Announcement::Hello:
        if (a.hasTypes && !a.isComputer)
            return;
        // wsdd says hello without types: a computer already known, or ask
        // what it is (its ResolveMatch has them).
        if (!a.hasTypes && !m_computers.contains(a.endpoint)) {
            sendResolve(a.endpoint, false);
            return;
        }
        break;
    }

    auto it = m_computers.find(a.endpoint);
    if (it == m_computers.end()) {
        if (!makeRoom())
            return;
        it = m_computers.insert(a.endpoint, Computer());
    }
    it->lastHeard = m_clock.elapsed();
    if (a.xaddrs.isEmpty()) {
        if (it->xaddr.isEmpty() && a.kind != Announcement::ResolveMatch)
            sendResolve(a.endpoint, true);
        return;
    }
    for (const QString &xaddr : a.xaddrs) {
        const QUrl url(xaddr, QUrl::StrictMode);
        if (!url.isValid() || url.scheme() != QLatin1String("http"))
            continue;
        const std::optional<QHostAddress> host = ipv4Host(url);
        if (!host)
            continue;
        if (it->xaddr == xaddr && it->metadataVersion == a.metadataVersion)
            return; // known: heard again
        // Only from the computer that sent the datagram, on the port of its
        // metadata: a datagram must never send this client to another
        // computer or another service.
        if (*host != sender || (m_options.metadataPort && url.port(80) != m_options.metadataPort))
            continue;
        refreshInterfaces();
        if (!WsDiscovery::onSameNetwork(
                sender, *host,
                m_options.localNetworks.isEmpty() ? m_networks : m_options.localNetworks))
            return;
        if (m_queue.size() >= kMaxQueuedFetches)
            return;
        it->xaddr = xaddr;
        it->metadataVersion = a.metadataVersion;
        m_queue.push_back({a.endpoint, xaddr, url, *host});
        startFetches();
        return;
    }
}

bool WsDiscoveryWorker::makeRoom()
{
    if (m_computers.size() < m_options.maxComputers)
        return true;
    // Endpoints that never named a computer give way to new ones, the one
    // heard longest ago first; computers found are never pushed out.
    auto oldest = m_computers.end();
    for (auto it = m_computers.begin(); it != m_computers.end(); ++it) {
        if (!it->found && (oldest == m_computers.end() || it->lastHeard < oldest->lastHeard))
            oldest = it;
    }
    if (oldest == m_computers.end())
        return false;
    m_computers.erase(oldest);
    return true;
}

void WsDiscoveryWorker::startFetches()
{
    while (m_fetching < kMaxFetches && !m_queue.empty()) {
        const Fetch fetch = m_queue.front();
        m_queue.pop_front();
        ++m_fetching;
        new MetadataFetch(
            fetch.url, fetch.host, WsDiscoveryMessage::getMetadata(newMessageId(), fetch.endpoint),
            m_options.metadataTimeoutMs, m_options.maxMetadataBytes,
            [this, fetch](const std::optional<QByteArray> &body) {
                --m_fetching;
                fetched(fetch, body);
                // Not from within the finishing socket's signal.
                QTimer::singleShot(0, this, [this] { startFetches(); });
            },
            this);
    }
}

void WsDiscoveryWorker::fetched(const Fetch &fetch, const std::optional<QByteArray> &body)
{
    const auto it = m_computers.find(fetch.endpoint);
    if (it == m_computers.end() || it->xaddr != fetch.xaddr)
        return; // forgotten or moved meanwhile
    const QString name = body ? WsDiscoveryMessage::computerNameFromMetadata(*body) : QString();
    if (name.isEmpty()) {
        it->xaddr.clear(); // tried again when next heard
        return;
    }
    const Ipv4Address address = toIpv4Address(fetch.host);
    if (it->found && it->name == name && it->address == address)
        return;
    it->found = true;
    it->name = name;
    it->address = address;
    m_found(fetch.endpoint, name, address);
}

void WsDiscoveryWorker::forgetSilent()
{
    const qint64 now = m_clock.elapsed();
    QStringList lost;
    for (auto it = m_computers.begin(); it != m_computers.end();) {
        if (now - it->lastHeard > m_options.forgetAfterMs) {
            if (it->found)
                lost.append(it.key());
            it = m_computers.erase(it);
        } else {
            ++it;
        }
    }
    for (const QString &endpoint : std::as_const(lost))
        m_lost(endpoint);
}

WsDiscovery::WsDiscovery(Found found, Lost lost)
    : WsDiscovery(std::move(found), std::move(lost), Options())
{
}

WsDiscovery::WsDiscovery(Found found, Lost lost, Options options)
    : m_found(std::move(found)), m_lost(std::move(lost)), m_options(std::move(options))
{
}

WsDiscovery::~WsDiscovery()
{
    if (!m_thread)
        return;
    // The worker and its sockets are deleted on their thread as it ends.
    m_thread->quit();
    m_thread->wait();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void WsDiscovery::start()
{
    if (m_thread)
        return;
    m_thread = std::make_unique<QThread>();
    m_thread->setObjectName(QStringLiteral("WsDiscovery"));
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    auto *worker = new WsDiscoveryWorker(m_found, m_lost, m_options, m_wakeFd);
    worker->moveToThread(m_thread.get());
    QObject::connect(m_thread.get(), &QThread::started, worker, &WsDiscoveryWorker::run);
    QObject::connect(m_thread.get(), &QThread::finished, worker, &QObject::deleteLater);
    m_thread->start();
}

void WsDiscovery::probeNow()
{
    if (m_wakeFd < 0)
        return;
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

bool WsDiscovery::onSameNetwork(const QHostAddress &sender, const QHostAddress &host,
                                const QList<QNetworkAddressEntry> &networks)
{
    if (sender.protocol() != QAbstractSocket::IPv4Protocol ||
        host.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    for (const QNetworkAddressEntry &e : networks) {
        const int prefix = e.prefixLength();
        if (e.ip().protocol() != QAbstractSocket::IPv4Protocol || prefix < 1 || prefix > 32)
            continue;
        if (sender.isInSubnet(e.ip(), prefix) && host.isInSubnet(e.ip(), prefix))
            return true;
    }
    return false;
}
