#include "Diagnosis.h"

#include "core/net/TcpSocket.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <sys/xattr.h>
#include <unistd.h>

namespace Diagnosis {

namespace {

constexpr int kNetBindService = 10; // CAP_NET_BIND_SERVICE

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(1 << 22);
}

// The socket inodes listening on the port, from the kernel's tables.
QList<QByteArray> listeningInodes(quint16 wirePort)
{
    QList<QByteArray> inodes;
    const QByteArray port = QByteArray::number(wirePort, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        const QList<QByteArray> lines = readSmallFile(QString::fromLatin1(table)).split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() < 10 || fields.at(3) != "0A") // LISTEN
                continue;
            if (fields.at(1).endsWith(':' + port))
                inodes.append(fields.at(9));
        }
    }
    return inodes;
}

// This process's effective capabilities hold the bit.
bool processHasCapability(int bit)
{
    for (const QByteArray &line : readSmallFile(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith("CapEff:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> bit) & 1;
    }
    return false;
}

// The file's capabilities (setcap ...=+ep) hold the bit as effective.
bool fileHasCapability(const QString &path, int bit)
{
    unsigned char data[24] = {};
    const ssize_t n =
        ::getxattr(QFile::encodeName(path).constData(), "security.capability", data, sizeof data);
    if (n < 8)
        return false;
    const auto word = [&](int offset) {
        return quint32(data[offset]) | quint32(data[offset + 1]) << 8 |
               quint32(data[offset + 2]) << 16 | quint32(data[offset + 3]) << 24;
    };
    const bool effective = word(0) & 1; // VFS_CAP_FLAGS_EFFECTIVE
    return effective && ((word(4) >> bit) & 1);
}

// The ports a rule names after "dport": one number, a set or ranges.
// Whether the rule matches the port of the protocol ("tcp" or "udp"; "th"
// matches both).
bool namesPort(const QString &rule, quint16 port, const QString &protocol)
{
    static const QRegularExpression dport(
        QStringLiteral("\\b(tcp|udp|th)\\s+dport\\s+(\\{[^}]*\\}|[0-9-]+)"));
    auto matches = dport.globalMatch(rule);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        if (match.captured(1) != protocol && match.captured(1) != QLatin1String("th"))
            continue;
        QString named = match.captured(2);
        named.remove(u'{').remove(u'}');
        for (const QString &entry : named.split(u',')) {
            const QStringList range = entry.trimmed().split(u'-');
            bool ok1 = false;
            bool ok2 = true;
            const int low = range.value(0).toInt(&ok1);
            const int high = range.size() > 1 ? range.value(1).toInt(&ok2) : low;
            if (ok1 && ok2 && port >= low && port <= high)
                return true;
        }
    }
    return false;
}

bool hasVerdict(const QString &rule, const char *verdict)
{
    return rule.split(u' ', Qt::SkipEmptyParts).contains(QLatin1String(verdict));
}

} // namespace

bool parseAddress(const QString &text, Ipv4Address &address)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    Ipv4Address parsed;
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const int value = parts.at(i).toInt(&ok);
        if (!ok || value < 0 || value > 255 || parts.at(i).isEmpty() || parts.at(i).size() > 3 ||
            !parts.at(i).at(0).isDigit())
            return false;
        parsed.octets[i] = value;
    }
    address = parsed;
    return true;
}

PortState stateOf(int error)
{
    switch (error) {
    case 0:
        return PortState::Open;
    case ECONNREFUSED:
        return PortState::Refused;
    case ETIMEDOUT:
        return PortState::NoAnswer;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
        return PortState::NoRoute;
    default:
        return PortState::Failed;
    }
}

PortProbe probePort(const Ipv4Address &address, quint16 configuredPort, int timeoutMs)
{
    TcpSocket socket;
    if (socket.connectTo(address, configuredPort, timeoutMs)) {
        socket.close();
        return {PortState::Open, 0};
    }
    const int error = socket.lastError() ? socket.lastError() : EIO;
    return {stateOf(error), error};
}

PortHolder holderOf(quint16 wirePort)
{
    PortHolder holder;
    const QList<QByteArray> inodes = listeningInodes(wirePort);
    if (inodes.isEmpty())
        return holder;
    holder.held = true;
    QSet<QString> targets;
    for (const QByteArray &inode : inodes)
        targets.insert(QStringLiteral("socket:[%1]").arg(QString::fromLatin1(inode)));
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const int number = pid.toInt(&numeric);
        if (!numeric)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System)) {
            char link[64] = {};
            const ssize_t n =
                ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), link, sizeof link - 1);
            if (n <= 0 || !targets.contains(QString::fromLatin1(link, n)))
                continue;
            holder.visible = true;
            holder.pid = number;
            holder.program = QString::fromLocal8Bit(
                readSmallFile(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed());
            return holder;
        }
    }
    return holder;
}

BindRight bindRight(quint16 wirePort, const QString &executable, int *unprivilegedStart)
{
    bool ok = false;
    int start = readSmallFile(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"))
                    .trimmed()
                    .toInt(&ok);
    if (!ok)
        start = 1024;
    if (unprivilegedStart)
        *unprivilegedStart = start;
    if (wirePort >= start)
        return wirePort < 1024 ? BindRight::System : BindRight::NotNeeded;
    if (::geteuid() == 0)
        return BindRight::Root;
    if (processHasCapability(kNetBindService) || fileHasCapability(executable, kNetBindService))
        return BindRight::Capability;
    return BindRight::Denied;
}

QList<Blocked> firewallBlocks(const QString &ruleset, const QList<quint16> &wirePorts,
                              const QString &protocol)
{
    QList<Blocked> blocked;
    bool inputDrop = false;
    QList<quint16> accepted;
    QString policyLine;
    for (const QString &raw : ruleset.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(QStringLiteral("chain "))) {
            inputDrop = false;
            accepted.clear();
            continue;
        }
        if (line.startsWith(QStringLiteral("type filter hook input"))) {
            inputDrop = line.contains(QStringLiteral("policy drop"));
            policyLine = line;
            continue;
        }
        if (line == QStringLiteral("}")) {
            // The end of a chain: a dropping input chain lets in only what
            // it accepts.
            if (inputDrop) {
                for (quint16 port : wirePorts) {
                    if (!accepted.contains(port))
                        blocked.append({port, policyLine});
                }
            }
            inputDrop = false;
            accepted.clear();
            continue;
        }
        for (quint16 port : wirePorts) {
            if (!namesPort(line, port, protocol))
                continue;
            if (hasVerdict(line, "drop") || hasVerdict(line, "reject"))
                blocked.append({port, line});
            else if (hasVerdict(line, "accept"))
                accepted.append(port);
        }
    }
    return blocked;
}

QString avahiPublishingOff(const QString &configFile)
{
    QString section;
    for (const QString &raw : QString::fromUtf8(readSmallFile(configFile)).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            section = line;
            continue;
        }
        if (section != QLatin1String("[publish]"))
            continue;
        QString setting = line;
        setting.remove(u' ');
        if (setting == QLatin1String("disable-publishing=yes") ||
            setting == QLatin1String("disable-user-service-publishing=yes"))
            return setting;
    }
    return QString();
}

} // namespace Diagnosis
