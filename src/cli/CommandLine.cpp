#include "CommandLine.h"

#include "Diagnosis.h"
#include "core/base/Settings.h"
#include "core/base/StringTable.h"
#include "core/messaging/OutgoingMessage.h"
#include "core/net/TcpSocket.h"
#include "core/platform/CodePage.h"
#include "core/platform/HostResolver.h"
#include "core/platform/InstanceChannel.h"
#include "core/platform/MessengerService.h"
#include "core/platform/NeighbourhoodBrowser.h"
#include "core/transfer/FileTransfer.h"
#include "core/transfer/OfferedFile.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QIODevice>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <cstring>
#include <future>
#include <optional>

using StringTable::format;
using StringTable::text;

namespace {

const QString kSend = QStringLiteral("send");
const QString kSendFile = QStringLiteral("send-file");
const QString kCheck = QStringLiteral("check");
const QString kUsers = QStringLiteral("users");

QString number(qint64 n)
{
    return QString::number(n);
}

// "m:ss".
QString clockText(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// The line that says how a connection to a port went.
QString portLine(StringId portName, quint16 wirePort, const Diagnosis::PortProbe &probe,
                 int timeoutMs)
{
    const QString name = text(portName);
    const QString port = number(wirePort);
    const QString reason = QString::fromLocal8Bit(std::strerror(probe.error));
    switch (probe.state) {
    case Diagnosis::PortState::Open:
        return format(StringId::CliPortReachable, {name, port});
    case Diagnosis::PortState::Refused:
        return format(StringId::CliPortRefused, {name, port});
    case Diagnosis::PortState::NoAnswer:
        return format(StringId::CliPortNoAnswer, {name, port, number(timeoutMs / 1000)});
    case Diagnosis::PortState::NoRoute:
        return format(StringId::CliPortNoRoute, {name, port, reason});
    case Diagnosis::PortState::Failed:
        break;
    }
    return format(StringId::CliPortFailed, {name, port, reason});
}

// The exit status a failed connection gives: nothing listens is a refusal,
// everything else unreachable.
int statusOf(const Diagnosis::PortProbe &probe)
{
    switch (probe.state) {
    case Diagnosis::PortState::Open:
        return CommandLine::Delivered;
    case Diagnosis::PortState::Refused:
        return CommandLine::Refused;
    default:
        return CommandLine::Unreachable;
    }
}

// The discovery's ports: mDNS (Avahi) and WS-Discovery.
constexpr quint16 kMdnsPort = 5353;
constexpr quint16 kWsDiscoveryPort = 3702;

// The worse of two statuses: unreachable before refused before delivered.
int worse(int a, int b)
{
    return qMax(a, b);
}

// What is wrong with a computer's name as given, before any look-up: empty,
// or an option (an unknown one where the host stands).
std::optional<QString> hostProblem(const QString &host)
{
    if (host.trimmed().isEmpty())
        return text(StringId::CliMissingHost);
    if (host.startsWith(u'-'))
        return format(StringId::CliUnknownOption, {host});
    return std::nullopt;
}

} // namespace

bool CommandLine::handles(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return false;
    const QString first = arguments.first();
    if (first == QLatin1String("--help") || first == QLatin1String("-h") ||
        first == QLatin1String("--version"))
        return true;
    return !first.startsWith(u'-');
}

CommandLine::CommandLine(const CommandLineServices &services, QIODevice &input, QTextStream &out,
                         QTextStream &err)
    : m_services(services), m_input(input), m_out(out), m_err(err)
{
}

int CommandLine::run(const QStringList &arguments)
{
    const QString command = arguments.value(0);
    const QStringList rest = arguments.mid(1);
    int status = Usage;
    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help")) {
        m_out << text(StringId::CliHelp) << Qt::endl;
        status = Delivered;
    } else if (command == QLatin1String("--version")) {
        m_out << format(StringId::CliVersion, {QStringLiteral(TARVELLO_VERSION)}) << Qt::endl;
        status = Delivered;
    } else if (command == kSend) {
        status = send(rest);
    } else if (command == kSendFile) {
        status = sendFile(rest);
    } else if (command == kCheck) {
        status = check(rest);
    } else if (command == kUsers) {
        status = users(rest);
    } else {
        m_err << format(StringId::CliUnknownCommand, {command}) << Qt::endl;
    }
    m_out.flush();
    m_err.flush();
    return status;
}

int CommandLine::usageError(const QString &command, const QString &problem)
{
    m_err << format(StringId::CliUsageError, {command, problem, command}) << Qt::endl;
    return Usage;
}

bool CommandLine::printedHelp(const QStringList &arguments, const QString &help)
{
    for (const QString &a : arguments) {
        if (a == QLatin1String("--"))
            return false;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            m_out << help << Qt::endl;
            return true;
        }
    }
    return false;
}

std::optional<Ipv4Address> CommandLine::lookUp(const QString &host)
{
    bool instanceRuns = false;
    if (m_services.askInstance) {
        const QByteArray request = QByteArray(InstanceChannel::kResolveRequest) + host.toUtf8();
        if (const auto answer = m_services.askInstance(request)) {
            instanceRuns = true;
            Ipv4Address address;
            if (Diagnosis::parseAddress(QString::fromUtf8(answer->trimmed()), address))
                return address;
        }
    }
    if (m_services.resolver) {
        if (const auto found = m_services.resolver->addressOf(host))
            return found;
    }
    if (!instanceRuns && m_services.browser) {
        QList<NetResource> records;
        m_services.browser->enumerate(records);
        return m_services.browser->addressOf(host);
    }
    return std::nullopt;
}

bool CommandLine::resolve(const QString &host, Ipv4Address &address)
{
    if (Diagnosis::parseAddress(host, address))
        return true;
    if (const auto found = lookUp(host)) {
        address = *found;
        return true;
    }
    m_err << format(StringId::CliUnknownHost, {host}) << Qt::endl;
    return false;
}

Settings CommandLine::settings() const
{
    // Stored as the tray program keeps them; missing or broken: the defaults.
    Settings stored;
    if (!m_services.store || !m_services.store->load(stored))
        stored = Settings();
    return stored;
}

quint16 CommandLine::messagePort() const
{
    return settings().messagePort();
}

quint16 CommandLine::dataPort() const
{
    return settings().dataPort();
}

int CommandLine::send(QStringList arguments)
{
    using OutgoingMessage::kMaxSenderChars;
    using OutgoingMessage::kMaxTextChars;
    if (printedHelp(arguments, format(StringId::CliSendHelp,
                                      {number(kMaxTextChars), number(kMaxSenderChars)})))
        return Delivered;
    bool viaMessenger = false;
    std::optional<QString> from;
    while (!arguments.isEmpty() && arguments.first().startsWith(QLatin1String("--"))) {
        const QString option = arguments.takeFirst();
        if (option == QLatin1String("--"))
            break;
        if (option == QLatin1String("--messenger")) {
            viaMessenger = true;
        } else if (option == QLatin1String("--from")) {
            if (arguments.isEmpty())
                return usageError(kSend, format(StringId::CliMissingValue, {option}));
            from = arguments.takeFirst();
        } else if (option.startsWith(QLatin1String("--from="))) {
            from = option.mid(7);
        } else {
            return usageError(kSend, format(StringId::CliUnknownOption, {option}));
        }
    }
    if (arguments.isEmpty())
        return usageError(kSend, text(StringId::CliMissingHost));
    const QString host = arguments.takeFirst();
    if (const auto problem = hostProblem(host))
        return usageError(kSend, *problem);

    QString message;
    if (!arguments.isEmpty()) {
        message = arguments.join(u' ');
    } else {
        // Standard input, bounded: no character takes more than three bytes
        // in the locale's encoding (four for two UTF-16 units).
        const qint64 limit = kMaxTextChars * 3 + 2;
        QByteArray bytes;
        for (;;) {
            const QByteArray piece = m_input.read(limit + 1 - bytes.size());
            if (piece.isEmpty())
                break;
            bytes += piece;
            if (bytes.size() > limit)
                break;
        }
        if (bytes.size() > limit)
            return usageError(kSend, format(StringId::CliMessageTooLong, {number(kMaxTextChars)}));
        message = QString::fromLocal8Bit(bytes);
        if (message.endsWith(u'\n'))
            message.chop(message.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    }
    // Line breaks as the compose window sends them.
    message.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    message.replace(u'\n', QLatin1String("\r\n"));
    if (message.isEmpty())
        return usageError(kSend, text(StringId::CliEmptyMessage));
    if (message.size() > kMaxTextChars)
        return usageError(kSend, format(StringId::CliMessageTooLong, {number(kMaxTextChars)}));
    if (from && from->size() > kMaxSenderChars)
        return usageError(kSend, format(StringId::CliSenderTooLong, {number(kMaxSenderChars)}));

    Ipv4Address address;
    if (!resolve(host, address))
        return Unreachable;

    if (viaMessenger) {
        if (!m_services.messenger)
            return Unreachable;
        const QString sender = from.value_or(m_services.netBiosName);
        const int result = OutgoingMessage::sendViaMessenger(*m_services.messenger, address, sender,
                                                             message, nullptr);
        if (result != 0) {
            const StringId why = result == -1   ? StringId::CliMessengerCannotRun
                                 : result == -2 ? StringId::CliMessengerTimeout
                                                : StringId::CliMessengerRefused;
            m_err << format(StringId::CliMessengerFailed, {host, address.dotted(), text(why)})
                  << Qt::endl;
            return result == -2 ? Unreachable : Refused;
        }
        if (message.size() > OutgoingMessage::kMessengerChars)
            m_err << format(StringId::CliMessengerCut, {number(OutgoingMessage::kMessengerChars)})
                  << Qt::endl;
        m_out << format(StringId::CliMessengerDelivered, {host, address.dotted()}) << Qt::endl;
        return Delivered;
    }

    const QString sender = from.value_or(m_services.hostName);
    // Characters the code page cannot hold go as '?', as from the window.
    const CodePage page = CodePage::ansi();
    const QString own = sender + message;
    const qsizetype replaced = page.toUnicode(page.fromUnicode(own)).count(u'?') - own.count(u'?');
    if (replaced > 0)
        m_err << format(StringId::CliReplacedCharacters, {number(page.number()), number(replaced)})
              << Qt::endl;
    int error = 0;
    const MessagePort::SendResult result = OutgoingMessage::sendDirectly(
        address, messagePort(), sender, message, nullptr, nullptr, &error);
    switch (result) {
    case MessagePort::SendResult::Delivered:
        m_out << format(StringId::CliDelivered, {host, address.dotted()}) << Qt::endl;
        return Delivered;
    case MessagePort::SendResult::NoConnection: {
        const Diagnosis::PortProbe probe{Diagnosis::stateOf(error), error};
        m_err << format(StringId::CliNoConnection,
                        {host, address.dotted(),
                         portLine(StringId::CliMessagePortName, TcpSocket::wirePort(messagePort()),
                                  probe, TcpSocket::kConnectTimeoutMs),
                         host})
              << Qt::endl;
        return statusOf(probe) == Delivered ? Unreachable : statusOf(probe);
    }
    case MessagePort::SendResult::WriteFailed:
        break;
    }
    m_err << format(StringId::CliWriteFailed, {host, address.dotted()}) << Qt::endl;
    return Refused;
}

int CommandLine::sendFile(const QStringList &arguments)
{
    if (printedHelp(arguments, text(StringId::CliSendFileHelp)))
        return Delivered;
    for (const QString &a : arguments) {
        if (a.startsWith(QLatin1String("--")))
            return usageError(kSendFile, format(StringId::CliUnknownOption, {a}));
    }
    if (arguments.isEmpty())
        return usageError(kSendFile, text(StringId::CliMissingHost));
    if (arguments.size() < 2)
        return usageError(kSendFile, text(StringId::CliMissingFile));
    if (arguments.size() > 2)
        return usageError(kSendFile, format(StringId::CliExtraArgument, {arguments.at(2)}));
    const QString host = arguments.at(0);
    const QString path = arguments.at(1);
    if (const auto problem = hostProblem(host))
        return usageError(kSendFile, *problem);
    const QFileInfo info(path);
    qint64 length = 0;
    {
        // Only a regular file, and a pipe or device is never opened.
        OfferedFile file;
        if (const auto problem = file.open(path); problem != OfferedFile::Problem::None)
            return usageError(kSendFile, OfferedFile::problemText(problem, path, file.error()));
        length = file.size();
    }
    Ipv4Address address;
    if (!resolve(host, address))
        return Unreachable;

    m_out << format(StringId::CliWaitingForAnswer,
                    {info.fileName(), FileTransfer::sizeText(length), host, address.dotted()})
          << Qt::endl;
    const quint16 port = dataPort();
    FileSendJob job{address, port, m_services.hostName, path, info.fileName(), nullptr};
    QElapsedTimer clock;
    int shown = -1;
    bool drawing = false;
    FileSendStatus outcome = FileSendStatus::Interrupted;
    int outcomeArgument = 0;
    FileTransfer::sendFile(job, [&](FileSendStatus status, int argument) {
        if (status != FileSendStatus::Progress) {
            outcome = status;
            outcomeArgument = argument;
            return;
        }
        if (!clock.isValid())
            clock.start();
        if (argument == shown)
            return;
        shown = argument;
        const qint64 sent = length * argument / 100;
        const double seconds = qMax<qint64>(clock.elapsed(), 1) / 1000.0;
        const double rate = double(sent) / seconds;
        const qint64 left = rate > 0 ? qint64(double(length - sent) / rate) : 0;
        const QString line =
            format(StringId::CliProgress,
                   {number(argument), FileTransfer::sizeText(qint64(rate)), clockText(left)});
        if (m_services.outputIsTerminal) {
            constexpr int kWidth = 30;
            const int done = argument * kWidth / 100;
            m_out << '\r' << '[' << QString(done, u'#') << QString(kWidth - done, u'-') << "] "
                  << line << QStringLiteral("    ");
            m_out.flush();
            drawing = true;
        } else {
            m_out << line << Qt::endl;
        }
    });
    if (drawing)
        m_out << Qt::endl;
    switch (outcome) {
    case FileSendStatus::Done: {
        const qint64 ms = clock.isValid() ? clock.elapsed() : 0;
        m_out << format(StringId::CliFileDelivered,
                        {host, address.dotted(), FileTransfer::sizeText(length),
                         QString::number(double(ms) / 1000.0, 'f', 1)})
              << Qt::endl;
        return Delivered;
    }
    case FileSendStatus::NoConnection: {
        const Diagnosis::PortProbe probe{Diagnosis::stateOf(outcomeArgument), outcomeArgument};
        m_err << format(StringId::CliNoConnectionFile,
                        {host, address.dotted(),
                         portLine(StringId::CliDataPortName, TcpSocket::wirePort(port), probe,
                                  TcpSocket::kConnectTimeoutMs)})
              << Qt::endl;
        return statusOf(probe) == Delivered ? Unreachable : statusOf(probe);
    }
    case FileSendStatus::Refused:
        m_err << text(StringId::CliFileRefused) << Qt::endl;
        return Refused;
    case FileSendStatus::CannotOpen:
        m_err << text(StringId::SendFileCannotOpen) << Qt::endl;
        return Refused;
    case FileSendStatus::NotRegular:
        m_err << OfferedFile::problemText(OfferedFile::Problem(outcomeArgument), path) << Qt::endl;
        return Usage;
    case FileSendStatus::Changed:
        m_err << text(StringId::CliFileChanged) << Qt::endl;
        return Refused;
    default:
        break;
    }
    m_err << text(StringId::CliFileInterrupted) << Qt::endl;
    return Refused;
}

int CommandLine::check(const QStringList &arguments)
{
    if (printedHelp(arguments, text(StringId::CliCheckHelp)))
        return Delivered;
    QStringList hosts;
    bool optionsEnded = false;
    for (const QString &a : arguments) {
        if (a == QLatin1String("--") && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        if (const auto problem = hostProblem(a))
            return usageError(kCheck, *problem);
        hosts << a;
    }
    if (hosts.isEmpty())
        return checkThisComputer();
    int status = Delivered;
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
            status = worse(status, Unreachable);
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

int CommandLine::checkThisComputer()
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
    return problems > 0 ? Refused : Delivered;
}

void CommandLine::checkDiscovery(const std::function<void(const QString &, bool)> &finding)
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
