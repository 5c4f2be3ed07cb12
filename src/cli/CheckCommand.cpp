#include "CheckCommand.h"

#include "core/net/TcpSocket.h"
#include "core/platform/CodePage.h"
#include "core/platform/NeighbourhoodBrowser.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <future>

using StringTable::format;
using StringTable::text;

namespace {

QString number(qint64 n)
{
    return QString::number(n);
}

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
    QStringList hosts;
    bool optionsEnded = false;
    for (const QString &a : arguments) {
        if (a == QLatin1String("--") && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        if (const auto problem = hostProblem(a))
            return usageError(*problem);
        hosts << a;
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
        const QString port = number(wire[i]);
        const Diagnosis::PortHolder holder = Diagnosis::holderOf(wire[i]);
        if (!holder.held)
            finding(format(StringId::CliLocalFree, {name, port}), true);
        else if (!holder.visible)
            finding(format(StringId::CliLocalHidden, {name, port}), true);
        else if (holder.program.startsWith(QLatin1String("tarvello")))
            finding(format(StringId::CliLocalTarvello, {name, port, number(holder.pid)}), false);
        else
            finding(
                format(StringId::CliLocalOther, {name, port, holder.program, number(holder.pid)}),
                true);
    }

    int start = 1024;
    switch (Diagnosis::bindRight(wire[0], m_services.executable, &start)) {
    case Diagnosis::BindRight::NotNeeded:
        break;
    case Diagnosis::BindRight::Root:
        finding(format(StringId::CliPrivilegedAllowed,
                       {number(wire[0]), text(StringId::CliPrivilegedAsRoot)}),
                false);
        break;
    case Diagnosis::BindRight::Capability:
        finding(format(StringId::CliPrivilegedAllowed,
                       {number(wire[0]), text(StringId::CliPrivilegedCapability)}),
                false);
        break;
    case Diagnosis::BindRight::System:
        finding(format(StringId::CliPrivilegedAllowed,
                       {number(wire[0]), format(StringId::CliPrivilegedSystem, {number(start)})}),
                false);
        break;
    case Diagnosis::BindRight::Denied:
        finding(format(StringId::CliPrivilegedDenied,
                       {number(wire[0]), number(start), m_services.executable}),
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
                   {number(CodePage::ansi().number()),
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
            finding(format(StringId::CliAudioFound, {number(inputs), number(outputs)}), false);
    }

    QProcess nft;
    nft.start(m_services.nftProgram, {QStringLiteral("list"), QStringLiteral("ruleset")});
    const QString ports[2] = {number(wire[0]), number(wire[1])};
    if (!nft.waitForStarted(5000)) {
        finding(format(StringId::CliFirewallUnreadable,
                       {text(StringId::CliFirewallNoNft), ports[0], ports[1]}),
                false);
    } else if (!nft.waitForFinished(5000) || nft.exitStatus() != QProcess::NormalExit ||
               nft.exitCode() != 0) {
        nft.kill();
        finding(format(StringId::CliFirewallUnreadable,
                       {text(StringId::CliFirewallNeedsRoot), ports[0], ports[1]}),
                false);
    } else {
        const QString ruleset = QString::fromLocal8Bit(nft.readAllStandardOutput());
        const auto blocks = Diagnosis::firewallBlocks(ruleset, {wire[0], wire[1]});
        for (const Diagnosis::Blocked &b : blocks) {
            const QString rule = b.rule.contains(QLatin1String("policy drop"))
                                     ? text(StringId::CliFirewallPolicy)
                                     : b.rule;
            finding(format(StringId::CliFirewallDrops, {number(b.port), rule, number(b.port)}),
                    true);
        }
        if (blocks.isEmpty())
            finding(format(StringId::CliFirewallClear, {ports[0], ports[1]}), false);
        // Without these the neighbours never appear.
        const auto quiet = Diagnosis::firewallBlocks(ruleset, {kMdnsPort, kWsDiscoveryPort},
                                                     QStringLiteral("udp"));
        for (const Diagnosis::Blocked &b : quiet) {
            const QString what =
                b.port == kMdnsPort ? QStringLiteral("mDNS") : QStringLiteral("WS-Discovery");
            const QString rule = b.rule.contains(QLatin1String("policy drop"))
                                     ? text(StringId::CliFirewallPolicy)
                                     : b.rule;
            finding(
                format(StringId::CliDiscoveryBlocked, {number(b.port), what, rule, number(b.port)}),
                true);
        }
        if (quiet.isEmpty())
            finding(text(StringId::CliDiscoveryClear), false);
    }

    if (problems > 0)
        m_out << format(StringId::CliProblems, {number(problems)}) << Qt::endl;
    else
        m_out << text(StringId::CliAllFine) << Qt::endl;
    return problems > 0 ? CommandLine::Refused : CommandLine::Delivered;
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
                           {m_services.netBiosName, number(records.size())}),
                    false);
        else if (!off.isEmpty())
            finding(format(StringId::CliAvahiPublishingOff, {off, m_services.avahiConfig}), true);
        else if (running)
            finding(format(StringId::CliAvahiNotAnnounced, {m_services.netBiosName}), true);
        else
            finding(format(StringId::CliAvahiWillAnnounce, {number(records.size())}), false);
    }
    const auto windows = std::count_if(records.begin(), records.end(), [](const auto &r) {
        return r.foundBy & FoundBy::WsDiscovery;
    });
    finding(format(StringId::CliWsDiscoveryFound, {number(windows)}), false);
}
