#include "LiveNeighbourhood.h"

#include "AvahiDiscovery.h"
#include "ComputerName.h"
#include "WsDiscovery.h"

#include <QMap>

namespace {

quint32 addressKey(const Ipv4Address &a)
{
    return quint32(a.octets[0] & 0xff) << 24 | quint32(a.octets[1] & 0xff) << 16 |
           quint32(a.octets[2] & 0xff) << 8 | quint32(a.octets[3] & 0xff);
}

// An address a computer of the LAN can have: not 0.x, loopback, multicast
// or broadcast.
bool isUnicast(const Ipv4Address &a)
{
    for (int octet : a.octets) {
        if (octet < 0 || octet > 255)
            return false;
    }
    return a.octets[0] != 0 && a.octets[0] != 127 && a.octets[0] < 224;
}

// What a computer can be called: letters, digits, '-' and '_'. Anything else
// from the network (", " or " (" would read as another computer's name in
// the list; spaces, marks, controls) is not a computer's name.
bool isComputerName(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (const QChar c : name) {
        if (!c.isLetterOrNumber() && c != u'-' && c != u'_')
            return false;
    }
    return true;
}

std::uint8_t foundBy(LiveNeighbourhood::Source source)
{
    switch (source) {
    case LiveNeighbourhood::Source::Tarvello:
        return FoundBy::DnsSd | FoundBy::Tarvello;
    case LiveNeighbourhood::Source::Workstation:
        return FoundBy::DnsSd;
    case LiveNeighbourhood::Source::WsDiscovery:
        break;
    }
    return FoundBy::WsDiscovery;
}

QString sightingKey(LiveNeighbourhood::Source source, const QString &key)
{
    return QString::number(int(source)) + u'|' + key;
}

bool sameView(const QList<NetResource> &a, const QList<NetResource> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].remoteName != b[i].remoteName || a[i].address != b[i].address ||
            a[i].foundBy != b[i].foundBy)
            return false;
    }
    return true;
}

} // namespace

LiveNeighbourhood::LiveNeighbourhood() : LiveNeighbourhood(Options()) {}

bool LiveNeighbourhood::discoveryAllowed()
{
    return qEnvironmentVariable("TARVELLO_NEIGHBOURHOOD") != QLatin1String("off");
}

LiveNeighbourhood::Options LiveNeighbourhood::systemOptions()
{
    Options options;
    options.dnsSd = options.wsDiscovery = discoveryAllowed();
    return options;
}

LiveNeighbourhood::LiveNeighbourhood(Options options) : m_options(options)
{
    m_searchStarted = std::chrono::steady_clock::now();
}

LiveNeighbourhood::~LiveNeighbourhood()
{
    // The sources end before what they report to.
    m_wsd.reset();
    m_avahi.reset();
}

void LiveNeighbourhood::start()
{
    // Whoever comes first starts the sources; the others wait for it.
    std::call_once(m_startOnce, [this] { startSources(); });
}

void LiveNeighbourhood::startSources()
{
    {
        std::lock_guard lock(m_mutex);
        m_searchStarted = std::chrono::steady_clock::now();
        m_dnsSdSettled = !m_options.dnsSd;
    }
    if (m_options.dnsSd) {
        AvahiDiscovery::Callbacks callbacks;
        callbacks.found = [this](const QString &key, const QString &host, const Ipv4Address &a,
                                 bool tarvello) {
            found(tarvello ? Source::Tarvello : Source::Workstation, key, host, a);
        };
        callbacks.lost = [this](const QString &key) {
            // The key names its type; both kinds are looked for.
            lost(Source::Tarvello, key);
            lost(Source::Workstation, key);
        };
        callbacks.settled = [this] { settled(Source::Tarvello); };
        m_avahi = std::make_unique<AvahiDiscovery>(std::move(callbacks));
        m_avahi->start();
    }
    if (m_options.wsDiscovery) {
        m_wsd = std::make_unique<WsDiscovery>(
            [this](const QString &endpoint, const QString &name, const Ipv4Address &a) {
                found(Source::WsDiscovery, endpoint, name, a);
            },
            [this](const QString &endpoint) { lost(Source::WsDiscovery, endpoint); });
        m_wsd->start();
    }
}

QByteArrayList LiveNeighbourhood::announcementRecords(quint16 dataPort)
{
    return {QByteArrayLiteral("dataport=") + QByteArray::number(dataPort),
            QByteArrayLiteral("version=") + QByteArray(TARVELLO_VERSION)};
}

void LiveNeighbourhood::found(Source source, const QString &key, const QString &hostName,
                              const Ipv4Address &address)
{
    const QString name = ComputerName::netBiosNameOf(hostName);
    if (!isComputerName(name) || !isUnicast(address))
        return;
    std::unique_lock lock(m_mutex);
    const QList<NetResource> before = computersLocked();
    const QString id = sightingKey(source, key);
    const auto known = m_sightings.constFind(id);
    const quint32 where = addressKey(address);
    if (!m_firstSeen.contains(where)) {
        if (m_firstSeen.size() >= m_options.maxComputers)
            return;
        m_firstSeen.insert(where, m_nextOrder++);
    }
    std::optional<Ipv4Address> moved;
    if (known != m_sightings.constEnd() && !(known->address == address))
        moved = known->address;
    m_sightings.insert(id, {name, address, source, m_firstSeen.value(where)});
    if (moved)
        forgetIfUnseenLocked(*moved);
    changedLocked(before, lock);
}

void LiveNeighbourhood::lost(Source source, const QString &key)
{
    std::unique_lock lock(m_mutex);
    const auto it = m_sightings.find(sightingKey(source, key));
    if (it == m_sightings.end())
        return;
    const QList<NetResource> before = computersLocked();
    const Ipv4Address address = it->address;
    m_sightings.erase(it);
    forgetIfUnseenLocked(address);
    changedLocked(before, lock);
}

void LiveNeighbourhood::forgetIfUnseenLocked(const Ipv4Address &address)
{
    // An address nobody reports any more is a new one when it comes back.
    for (const Sighting &s : std::as_const(m_sightings)) {
        if (s.address == address)
            return;
    }
    m_firstSeen.remove(addressKey(address));
}

void LiveNeighbourhood::settled(Source source)
{
    std::lock_guard lock(m_mutex);
    if (source != Source::WsDiscovery)
        m_dnsSdSettled = true;
    m_settledChanged.notify_all();
}

bool LiveNeighbourhood::settledLocked() const
{
    const auto now = std::chrono::steady_clock::now();
    const bool wsdAnswered =
        !m_options.wsDiscovery ||
        now >= m_searchStarted + std::chrono::milliseconds(m_options.wsAnswerMs);
    return m_dnsSdSettled && wsdAnswered;
}

QList<NetResource> LiveNeighbourhood::computersLocked() const
{
    struct Computer {
        QString name;
        Source nameSource = Source::WsDiscovery;
        Ipv4Address address;
        std::uint8_t foundBy = 0;
    };
    // By the order the address was first seen.
    QMap<quint64, Computer> computers;
    for (auto it = m_sightings.constBegin(); it != m_sightings.constEnd(); ++it) {
        const Sighting &s = it.value();
        Computer &c = computers[s.order];
        // A Tarvello's own announcement names it best, then the
        // workstation's, then Windows'; the same name source: the lesser.
        const bool better = c.name.isEmpty() || s.source < c.nameSource ||
                            (s.source == c.nameSource && s.name < c.name);
        if (better) {
            c.name = s.name;
            c.nameSource = s.source;
        }
        c.address = s.address;
        c.foundBy |= foundBy(s.source);
    }
    QList<NetResource> records;
    for (const Computer &c : std::as_const(computers)) {
        NetResource r;
        r.remoteName = QStringLiteral("\\\\") + c.name;
        r.address = c.address;
        r.foundBy = c.foundBy;
        records.append(r);
    }
    return records;
}

void LiveNeighbourhood::changedLocked(const QList<NetResource> &before,
                                      std::unique_lock<std::mutex> &lock)
{
    if (sameView(before, computersLocked()))
        return;
    lock.unlock();
    // Held while the observer runs: once onChange() has replaced it, the
    // old one is never called again.
    std::lock_guard observing(m_observerMutex);
    if (m_observer)
        m_observer();
}

bool LiveNeighbourhood::enumerate(QList<NetResource> &records)
{
    start();
    std::unique_lock lock(m_mutex);
    const auto deadline = m_searchStarted + std::chrono::milliseconds(m_options.settleMs);
    while (!settledLocked() && std::chrono::steady_clock::now() < deadline)
        m_settledChanged.wait_for(lock, std::chrono::milliseconds(50));
    records = computersLocked();
    return true;
}

void LiveNeighbourhood::rescan()
{
    start();
    {
        std::lock_guard lock(m_mutex);
        m_searchStarted = std::chrono::steady_clock::now();
    }
    if (m_wsd)
        m_wsd->probeNow();
}

void LiveNeighbourhood::onChange(std::function<void()> observer)
{
    std::lock_guard lock(m_observerMutex);
    m_observer = std::move(observer);
}

std::optional<Ipv4Address> LiveNeighbourhood::addressOf(const QString &name)
{
    QString wanted = name.trimmed();
    if (wanted.endsWith(u'.'))
        wanted.chop(1);
    if (wanted.endsWith(QStringLiteral(".local"), Qt::CaseInsensitive))
        wanted.chop(6);
    if (wanted.isEmpty() || wanted.contains(u'.'))
        return std::nullopt;
    wanted = wanted.toUpper();
    // A computer's own announcement names it best: a name that WS-Discovery
    // (anyone on the LAN) gives another address never wins over it.
    std::lock_guard lock(m_mutex);
    const Sighting *best = nullptr;
    for (const Sighting &s : std::as_const(m_sightings)) {
        if (s.name == wanted &&
            (!best || s.source < best->source || (s.source == best->source && s.order < best->order)))
            best = &s;
    }
    return best ? std::optional(best->address) : std::nullopt;
}

void LiveNeighbourhood::announce(const QString &name, quint16 messagePort, quint16 dataPort)
{
    start();
    if (m_avahi)
        m_avahi->announce(name, messagePort, announcementRecords(dataPort));
}

void LiveNeighbourhood::withdraw()
{
    if (m_avahi)
        m_avahi->withdraw();
}

bool LiveNeighbourhood::dnsSdRunning() const
{
    return m_avahi && m_avahi->isRunning();
}

QString LiveNeighbourhood::announcedName() const
{
    return m_avahi ? m_avahi->announcedName() : QString();
}
