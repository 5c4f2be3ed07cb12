#include "Diagnosis.h"

#include "core/net/TcpSocket.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sys/statvfs.h>
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

// A number of this process's status ("CapEff:", "NoNewPrivs:"), in the
// given base; 0 when it is not there.
quint64 processStatus(const QByteArray &field, int base)
{
    for (const QByteArray &line : readSmallFile(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().toULongLong(nullptr, base);
    }
    return 0;
}

// This process's effective capabilities hold the bit.
bool processHasCapability(int bit)
{
    return (processStatus("CapEff:", 16) >> bit) & 1;
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

// What a condition says of a new incoming connection to the port.
enum class Truth { No, Maybe, Yes };

Truth both(Truth a, Truth b)
{
    return std::min(a, b);
}

Truth truthOf(bool b)
{
    return b ? Truth::Yes : Truth::No;
}

// The port among a rule's values: a number, an anonymous set or a range; a
// named set ("@name") or anything else is not known here.
Truth portIn(const QJsonValue &value, quint16 port)
{
    if (value.isDouble())
        return truthOf(value.toDouble() == port);
    const QJsonObject object = value.toObject();
    if (value.isArray() || object.contains(QLatin1String("set"))) {
        const QJsonArray entries =
            value.isArray() ? value.toArray() : object.value(QLatin1String("set")).toArray();
        Truth found = Truth::No;
        for (const QJsonValue &entry : entries)
            found = std::max(found, portIn(entry, port));
        return found;
    }
    if (object.contains(QLatin1String("range"))) {
        const QJsonArray range = object.value(QLatin1String("range")).toArray();
        if (range.size() == 2 && range.at(0).isDouble() && range.at(1).isDouble())
            return truthOf(port >= range.at(0).toDouble() && port <= range.at(1).toDouble());
    }
    return Truth::Maybe;
}

// A word among a rule's values (a protocol, a connection state).
Truth wordIn(const QJsonValue &value, const QStringList &words)
{
    if (value.isString())
        return truthOf(words.contains(value.toString()));
    if (value.isArray() || value.toObject().contains(QLatin1String("set"))) {
        const QJsonArray entries = value.isArray()
                                       ? value.toArray()
                                       : value.toObject().value(QLatin1String("set")).toArray();
        Truth found = Truth::No;
        for (const QJsonValue &entry : entries)
            found = std::max(found, wordIn(entry, words));
        return found;
    }
    return Truth::Maybe;
}

const QStringList kTransportProtocols = {"tcp", "udp", "udplite", "sctp", "dccp", "icmp", "icmpv6"};

// Whether a "match" holds for a new IPv4 connection from the network to the
// port.
Truth matchHolds(const QJsonObject &match, quint16 port, const QString &protocol)
{
    const QJsonObject left = match.value(QLatin1String("left")).toObject();
    const QJsonValue right = match.value(QLatin1String("right"));
    const QStringList protocolNames = {protocol, protocol == QLatin1String("tcp") ? "6" : "17"};
    Truth holds = Truth::Maybe;
    if (left.contains(QLatin1String("payload"))) {
        const QJsonObject payload = left.value(QLatin1String("payload")).toObject();
        const QString of = payload.value(QLatin1String("protocol")).toString();
        const QString field = payload.value(QLatin1String("field")).toString();
        // A field of another transport protocol (or of IPv6) never matches,
        // whatever the comparison: nft adds that the packet is of it.
        if ((kTransportProtocols.contains(of) && of != protocol) || of == QLatin1String("ip6"))
            return Truth::No;
        if (field == QLatin1String("dport") && (of == protocol || of == QLatin1String("th")))
            holds = portIn(right, port);
        else if (of == QLatin1String("ip") && field == QLatin1String("protocol"))
            holds = wordIn(right, protocolNames);
    } else if (left.contains(QLatin1String("meta"))) {
        const QString key = left.value(QLatin1String("meta")).toObject().value("key").toString();
        if (key == QLatin1String("l4proto"))
            holds = wordIn(right, protocolNames);
        else if (key == QLatin1String("nfproto"))
            holds = wordIn(right, {QStringLiteral("ipv4")});
        // From the network, never from the loopback interface.
        else if ((key == QLatin1String("iifname") || key == QLatin1String("iif")) &&
                 right == QJsonValue(QStringLiteral("lo")))
            holds = Truth::No;
    } else if (left.contains(QLatin1String("ct"))) {
        const QString key = left.value(QLatin1String("ct")).toObject().value("key").toString();
        if (key == QLatin1String("state"))
            holds = wordIn(right, {QStringLiteral("new")});
    }
    if (match.value(QLatin1String("op")).toString() == QLatin1String("!=") && holds != Truth::Maybe)
        holds = holds == Truth::Yes ? Truth::No : Truth::Yes;
    return holds;
}

enum class Verdict { None, Accept, Drop, Elsewhere };

struct RuleOutcome {
    Truth holds = Truth::Yes;
    Verdict verdict = Verdict::None;
};

RuleOutcome evaluate(const QJsonArray &expressions, quint16 port, const QString &protocol)
{
    RuleOutcome outcome;
    for (const QJsonValue &value : expressions) {
        const QJsonObject expression = value.toObject();
        const QString kind = expression.isEmpty() ? QString() : expression.begin().key();
        if (kind == QLatin1String("match"))
            outcome.holds =
                both(outcome.holds, matchHolds(expression.value(kind).toObject(), port, protocol));
        else if (kind == QLatin1String("accept"))
            outcome.verdict = Verdict::Accept;
        else if (kind == QLatin1String("drop") || kind == QLatin1String("reject"))
            outcome.verdict = Verdict::Drop;
        else if (kind == QLatin1String("jump") || kind == QLatin1String("goto") ||
                 kind == QLatin1String("queue"))
            outcome.verdict = Verdict::Elsewhere;
        else if (kind != QLatin1String("counter") && kind != QLatin1String("log"))
            outcome.holds = both(outcome.holds, Truth::Maybe); // a limit, a quota, a lookup...
        if (outcome.verdict != Verdict::None)
            break;
    }
    return outcome;
}

QString valueText(const QJsonValue &value)
{
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 12);
    if (value.isString())
        return value.toString();
    const QJsonObject object = value.toObject();
    if (value.isArray() || object.contains(QLatin1String("set"))) {
        QStringList entries;
        for (const QJsonValue &entry :
             value.isArray() ? value.toArray() : object.value(QLatin1String("set")).toArray())
            entries << valueText(entry);
        return value.isArray() ? entries.join(u',')
                               : QStringLiteral("{ %1 }").arg(entries.join(QLatin1String(", ")));
    }
    if (object.contains(QLatin1String("range"))) {
        const QJsonArray range = object.value(QLatin1String("range")).toArray();
        return valueText(range.at(0)) + u'-' + valueText(range.at(1));
    }
    if (object.contains(QLatin1String("payload"))) {
        const QJsonObject payload = object.value(QLatin1String("payload")).toObject();
        return payload.value(QLatin1String("protocol")).toString() + u' ' +
               payload.value(QLatin1String("field")).toString();
    }
    for (const char *keyed : {"meta", "ct"}) {
        if (object.contains(QLatin1String(keyed)))
            return QString::fromLatin1(keyed) + u' ' +
                   object.value(QLatin1String(keyed)).toObject().value("key").toString();
    }
    return object.isEmpty() ? QString() : object.begin().key();
}

// A rule as nft writes it, near enough to find it in the rule set.
QString ruleText(const QJsonArray &expressions)
{
    QStringList words;
    for (const QJsonValue &value : expressions) {
        const QJsonObject expression = value.toObject();
        if (expression.isEmpty())
            continue;
        const QString kind = expression.begin().key();
        const QJsonObject body = expression.begin().value().toObject();
        if (kind == QLatin1String("match")) {
            const QString op = body.value(QLatin1String("op")).toString();
            words << valueText(body.value(QLatin1String("left")));
            if (op != QLatin1String("==") && op != QLatin1String("in"))
                words << op;
            words << valueText(body.value(QLatin1String("right")));
        } else if (kind == QLatin1String("jump") || kind == QLatin1String("goto")) {
            words << kind << body.value(QLatin1String("target")).toString();
        } else {
            words << kind;
        }
    }
    return words.join(u' ');
}

// What one base chain does with a new connection to the port: nothing said
// when it lets it through.
std::optional<Blocked> chainBlocks(const QJsonArray &rules, bool policyDrop, quint16 port,
                                   const QString &protocol)
{
    std::optional<QString> unsure; // the first rule that may have decided already
    for (const QJsonValue &rule : rules) {
        const QJsonArray expressions = rule.toObject().value(QLatin1String("expr")).toArray();
        const RuleOutcome outcome = evaluate(expressions, port, protocol);
        if (outcome.holds == Truth::No || outcome.verdict == Verdict::None)
            continue;
        const bool sure = outcome.holds == Truth::Yes && !unsure;
        if (outcome.verdict == Verdict::Drop) {
            if (outcome.holds == Truth::Yes)
                return Blocked{port, ruleText(expressions), sure, false, {}};
            if (!unsure)
                unsure = ruleText(expressions);
            continue;
        }
        if (outcome.verdict == Verdict::Accept && outcome.holds == Truth::Yes) {
            if (unsure)
                return Blocked{port, *unsure, false, false, {}};
            return std::nullopt;
        }
        if (!unsure)
            unsure = ruleText(expressions);
    }
    if (policyDrop)
        return Blocked{port, unsure.value_or(QString()), !unsure, true, {}};
    if (unsure)
        return Blocked{port, *unsure, false, false, {}};
    return std::nullopt;
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
    // Started from that file, this process has what the tray program will
    // have: a file capability the system ignores is not there.
    if (processHasCapability(kNetBindService))
        return BindRight::Capability;
    if (fileHasCapability(executable, kNetBindService))
        return BindRight::CapabilityIgnored;
    return BindRight::Denied;
}

IgnoredBecause capabilityIgnoredReason(const QString &executable)
{
    struct statvfs fs = {};
    if (::statvfs(QFile::encodeName(executable).constData(), &fs) == 0 && (fs.f_flag & ST_NOSUID))
        return IgnoredBecause::NoSuid;
    if (processStatus("NoNewPrivs:", 10) != 0)
        return IgnoredBecause::NoNewPrivileges;
    if (!((processStatus("CapBnd:", 16) >> kNetBindService) & 1))
        return IgnoredBecause::BoundingSet;
    return IgnoredBecause::Unknown;
}

bool firewallBlocks(const QByteArray &json, const QList<quint16> &wirePorts,
                    const QString &protocol, QList<Blocked> &blocked)
{
    blocked.clear();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError ||
        !document.object().value(QLatin1String("nftables")).isArray())
        return false;
    // IPv4 reaches the chains of these families and hooks on its way in.
    static const QStringList families = {"ip", "inet", "netdev"};
    static const QStringList hooks = {"ingress", "prerouting", "input"};
    struct Chain {
        QString name;
        bool policyDrop = false;
        QJsonArray rules;
    };
    QList<Chain> chains;
    QHash<QString, qsizetype> byName;
    const auto nameOf = [](const QJsonObject &o, const char *nameKey) {
        return QStringList{o.value(QLatin1String("family")).toString(),
                           o.value(QLatin1String("table")).toString(),
                           o.value(QLatin1String(nameKey)).toString()}
            .join(u' ');
    };
    for (const QJsonValue &entry : document.object().value(QLatin1String("nftables")).toArray()) {
        const QJsonObject object = entry.toObject();
        if (const QJsonObject chain = object.value(QLatin1String("chain")).toObject();
            !chain.isEmpty()) {
            if (!families.contains(chain.value(QLatin1String("family")).toString()) ||
                !hooks.contains(chain.value(QLatin1String("hook")).toString()))
                continue;
            byName.insert(nameOf(chain, "name"), chains.size());
            chains.append({nameOf(chain, "name"),
                           chain.value(QLatin1String("policy")).toString() == QLatin1String("drop"),
                           {}});
        } else if (const QJsonObject rule = object.value(QLatin1String("rule")).toObject();
                   !rule.isEmpty()) {
            const auto found = byName.constFind(nameOf(rule, "chain"));
            if (found != byName.cend())
                chains[*found].rules.append(rule);
        }
    }
    for (const Chain &chain : std::as_const(chains)) {
        for (quint16 port : wirePorts) {
            if (auto b = chainBlocks(chain.rules, chain.policyDrop, port, protocol)) {
                b->chain = chain.name;
                blocked.append(*b);
            }
        }
    }
    return true;
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
