#include "CheckCommand.h"

#include "core/net/TcpSocket.h"
#include "core/platform/CodePage.h"
#include "core/platform/NeighbourhoodBrowser.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <future>
#include <map>

using StringTable::format;
using StringTable::text;

namespace {

// The discovery's ports: mDNS (Avahi) and WS-Discovery.
constexpr quint16 kMdnsPort = 5353;
constexpr quint16 kWsDiscoveryPort = 3702;

// The worse of two statuses: unreachable before refused before delivered.
int worse(int a, int b)
{
    return qMax(a, b);
}

} // namespace

QString CheckCommand::help() const
{
    return text(StringId::CliCheckHelp);
}

int CheckCommand::execute(const QStringList &arguments)
{
    if (printedHelp(arguments))
        return CommandLine::Delivered;
    Arguments parsed;
    if (!parse(arguments, {}, parsed))
        return CommandLine::Usage;
    const QStringList &hosts = parsed.operands;
    for (const QString &host : hosts) {
        if (const auto problem = hostProblem(host))
            return usageError(*problem);
    }
    if (hosts.isEmpty())
        return checkThisComputer();
    int status = CommandLine::Delivered;
    const quint16 ports[2] = {messagePort(), dataPort()};
    for (const QString &host : std::as_const(hosts)) {
        Ipv4Address address;
        if (Diagnosis::parseAddress(host, address)) {
            m_out << format(StringId::CliHostByAddress, {host}) << Qt::endl;
        } else if (const auto found = lookUp(host)) {
            address = *found;
            m_out << format(StringId::CliHostByName, {host, address.dotted()}) << Qt::endl;
        } else {
            m_out << format(StringId::CliUnknownHost, {host}) << Qt::endl;
            status = worse(status, CommandLine::Unreachable);
            continue;
        }
        // Both ports at once: a computer that does not answer costs the
        // connect limit only once.
        constexpr int timeout = TcpSocket::kConnectTimeoutMs;
        auto message = std::async(std::launch::async,
                                  [&] { return Diagnosis::probePort(address, ports[0], timeout); });
        const Diagnosis::PortProbe data = Diagnosis::probePort(address, ports[1], timeout);
        const Diagnosis::PortProbe first = message.get();
        m_out << portLine(StringId::CliMessagePortName, TcpSocket::wirePort(ports[0]), first,
                          timeout)
              << Qt::endl
              << portLine(StringId::CliDataPortName, TcpSocket::wirePort(ports[1]), data, timeout)
              << Qt::endl;
        status = worse(status, worse(statusOf(first), statusOf(data)));
    }
    return status;
}

int CheckCommand::checkThisComputer()
{
    int problems = 0;
    const auto finding = [&](const QString &line, bool problem) {
        m_out << line << Qt::endl;
        if (problem)
            ++problems;
    };
    const quint16 wire[2] = {TcpSocket::wirePort(messagePort()), TcpSocket::wirePort(dataPort())};
    const StringId names[2] = {StringId::CliMessagePortName, StringId::CliDataPortName};
    for (int i = 0; i < 2; ++i) {
        const QString name = text(names[i]);
        const QString port = QString::number(wire[i]);
        const Diagnosis::PortHolder holder = Diagnosis::holderOf(wire[i]);
        if (!holder.held)
            finding(format(StringId::CliLocalFree, {name, port}), true);
        else if (!holder.visible)
            finding(format(StringId::CliLocalHidden, {name, port}), true);
        else if (holder.program.startsWith(QLatin1String("tarvello")))
            finding(format(StringId::CliLocalTarvello, {name, port, QString::number(holder.pid)}), false);
        else
            finding(
                format(StringId::CliLocalOther, {name, port, holder.program, QString::number(holder.pid)}),
                true);
    }

    int start = 1024;
    switch (Diagnosis::bindRight(wire[0], m_services.executable, &start)) {
    case Diagnosis::BindRight::NotNeeded:
        break;
    case Diagnosis::BindRight::Root:
        finding(format(StringId::CliPrivilegedAllowed,
                       {QString::number(wire[0]), text(StringId::CliPrivilegedAsRoot)}),
                false);
        break;
    case Diagnosis::BindRight::Capability:
        finding(format(StringId::CliPrivilegedAllowed,
                       {QString::number(wire[0]), text(StringId::CliPrivilegedCapability)}),
                false);
        break;
    case Diagnosis::BindRight::CapabilityIgnored: {
        static const std::map<Diagnosis::IgnoredBecause, StringId> because = {
            {Diagnosis::IgnoredBecause::NoSuid, StringId::CliCapabilityNoSuid},
            {Diagnosis::IgnoredBecause::NoNewPrivileges, StringId::CliCapabilityNoNewPrivileges},
            {Diagnosis::IgnoredBecause::BoundingSet, StringId::CliCapabilityBoundingSet},
            {Diagnosis::IgnoredBecause::Unknown, StringId::CliCapabilityUnknown}};
        finding(format(StringId::CliPrivilegedIgnored,
                       {QString::number(wire[0]), m_services.executable,
                        text(because.at(Diagnosis::capabilityIgnoredReason(m_services.executable)))}),
                true);
        break;
    }
    case Diagnosis::BindRight::System:
        finding(format(StringId::CliPrivilegedAllowed,
                       {QString::number(wire[0]), format(StringId::CliPrivilegedSystem, {QString::number(start)})}),
                false);
        break;
    case Diagnosis::BindRight::Denied:
        finding(format(StringId::CliPrivilegedDenied,
                       {QString::number(wire[0]), QString::number(start), m_services.executable}),
                true);
        break;
    }

    checkDiscovery(finding);

    const QString smbclient = QStandardPaths::findExecutable(QStringLiteral("smbclient"));
    if (smbclient.isEmpty())
        finding(text(StringId::CliSmbclientMissing), true);
    else
        finding(format(StringId::CliSmbclientFound, {smbclient}), false);

    const QString locale = CodePage::localeSetting();
    finding(format(StringId::CliCodePage,
                   {QString::number(CodePage::ansi().number()),
                    format(CodePage::localeNamesLanguage() ? StringId::CliCodePageByLocale
                                                           : StringId::CliCodePageNoLanguage,
                           {locale.isEmpty() ? QStringLiteral("не задана") : locale})}),
            false);

    if (m_services.audioDevices) {
        const auto [inputs, outputs] = m_services.audioDevices();
        if (inputs == 0)
            finding(text(StringId::CliNoAudioInput), true);
        if (outputs == 0)
            finding(text(StringId::CliNoAudioOutput), true);
        if (inputs > 0 && outputs > 0)
            finding(format(StringId::CliAudioFound, {QString::number(inputs), QString::number(outputs)}), false);
    }

    checkFirewall(finding);

    if (problems > 0)
        m_out << format(StringId::CliProblems, {QString::number(problems)}) << Qt::endl;
    else
        m_out << text(StringId::CliAllFine) << Qt::endl;
    return problems > 0 ? CommandLine::Refused : CommandLine::Delivered;
}

void CheckCommand::checkFirewall(const Finding &finding)
{
    const quint16 wire[2] = {TcpSocket::wirePort(messagePort()), TcpSocket::wirePort(dataPort())};
    QProcess nft;
    nft.start(m_services.nftProgram,
              {QStringLiteral("-j"), QStringLiteral("list"), QStringLiteral("ruleset")});
    const auto unreadable = [&](StringId why) {
        finding(
            format(StringId::CliFirewallUnreadable, {text(why), QString::number(wire[0]), QString::number(wire[1])}),
            false);
    };
    if (!nft.waitForStarted(5000))
        return unreadable(StringId::CliFirewallNoNft);
    if (!nft.waitForFinished(5000) || nft.exitStatus() != QProcess::NormalExit ||
        nft.exitCode() != 0) {
        nft.kill();
        return unreadable(StringId::CliFirewallNeedsRoot);
    }
    const QByteArray ruleset = nft.readAllStandardOutput();
    // Tarvello's ports, and the discovery's: without these the neighbours
    // never appear.
    QList<Diagnosis::Blocked> tcp;
    QList<Diagnosis::Blocked> udp;
    if (!Diagnosis::firewallBlocks(ruleset, {wire[0], wire[1]}, QStringLiteral("tcp"), tcp) ||
        !Diagnosis::firewallBlocks(ruleset, {kMdnsPort, kWsDiscoveryPort}, QStringLiteral("udp"),
                                   udp))
        return unreadable(StringId::CliFirewallNotJson);
    const auto report = [&](const Diagnosis::Blocked &b, bool discovery) {
        const QString what = !discovery            ? QString()
                             : b.port == kMdnsPort ? QStringLiteral("mDNS")
                                                   : QStringLiteral("WS-Discovery");
        const QString rule = !b.policy   ? b.rule
                             : b.certain ? text(StringId::CliFirewallPolicy)
                                         : format(StringId::CliFirewallPolicyUnclear, {b.rule});
        const QString port = QString::number(b.port);
        if (!b.certain)
            finding(format(StringId::CliFirewallMayDrop,
                           {discovery ? QStringLiteral("UDP %1 (%2)").arg(port, what)
                                      : QStringLiteral("TCP %1").arg(port),
                            rule, b.chain}),
                    false);
        else if (discovery)
            finding(format(StringId::CliDiscoveryBlocked, {port, what, rule, port}), true);
        else
            finding(format(StringId::CliFirewallDrops, {port, rule, port}), true);
    };
    for (const Diagnosis::Blocked &b : std::as_const(tcp))
        report(b, false);
    for (const Diagnosis::Blocked &b : std::as_const(udp))
        report(b, true);
    if (tcp.isEmpty())
        finding(format(StringId::CliFirewallClear, {QString::number(wire[0]), QString::number(wire[1])}), false);
    if (udp.isEmpty())
        finding(text(StringId::CliDiscoveryClear), false);
}

void CheckCommand::checkDiscovery(const Finding &finding)
{
    if (!m_services.browser)
        return;
    QList<NetResource> records;
    m_services.browser->enumerate(records);
    if (!m_services.dnsSdRunning || !m_services.dnsSdRunning()) {
        finding(text(StringId::CliAvahiDown), true);
    } else {
        const QString me = QStringLiteral("\\\\") + m_services.netBiosName;
        const bool announced = std::any_of(records.begin(), records.end(), [&](const auto &r) {
            return (r.foundBy & FoundBy::Tarvello) && r.remoteName == me;
        });
        const QString off = Diagnosis::avahiPublishingOff(m_services.avahiConfig);
        const bool running =
            m_services.askInstance && m_services.askInstance(QByteArray()).has_value();
        if (announced)
            finding(format(StringId::CliAvahiAnnounced,
                           {m_services.netBiosName, QString::number(records.size())}),
                    false);
        else if (!off.isEmpty())
            finding(format(StringId::CliAvahiPublishingOff, {off, m_services.avahiConfig}), true);
        else if (running)
            finding(format(StringId::CliAvahiNotAnnounced, {m_services.netBiosName}), true);
        else
            finding(format(StringId::CliAvahiWillAnnounce, {QString::number(records.size())}), false);
    }
    const auto windows = std::count_if(records.begin(), records.end(), [](const auto &r) {
        return r.foundBy & FoundBy::WsDiscovery;
    });
    finding(format(StringId::CliWsDiscoveryFound, {QString::number(windows)}), false);
}
