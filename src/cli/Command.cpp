#include "Command.h"

#include "core/base/Settings.h"
#include "core/platform/HostResolver.h"
#include "core/platform/InstanceChannel.h"
#include "core/platform/NeighbourhoodBrowser.h"

#include <QTextStream>

#include <algorithm>
#include <cstring>

using StringTable::format;
using StringTable::text;

Command::Command(const CommandLineServices &services, QIODevice &input, QTextStream &out,
                 QTextStream &err)
    : m_services(services), m_input(input), m_out(out), m_err(err)
{
}

QString Command::portLine(StringId portName, quint16 wirePort, const Diagnosis::PortProbe &probe,
                          int timeoutMs)
{
    const QString name = text(portName);
    const QString port = QString::number(wirePort);
    const QString reason = QString::fromLocal8Bit(std::strerror(probe.error));
    switch (probe.state) {
    case Diagnosis::PortState::Open:
        return format(StringId::CliPortReachable, {name, port});
    case Diagnosis::PortState::Refused:
        return format(StringId::CliPortRefused, {name, port});
    case Diagnosis::PortState::NoAnswer:
        return format(StringId::CliPortNoAnswer, {name, port, QString::number(timeoutMs / 1000)});
    case Diagnosis::PortState::NoRoute:
        return format(StringId::CliPortNoRoute, {name, port, reason});
    case Diagnosis::PortState::Failed:
        break;
    }
    return format(StringId::CliPortFailed, {name, port, reason});
}

int Command::statusOf(const Diagnosis::PortProbe &probe)
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

QString Command::withStatuses(const QString &help)
{
    return help + QStringLiteral("\n\n") + text(StringId::CliStatuses);
}

bool Command::parse(const QStringList &arguments, const QList<Option> &known, Arguments &parsed)
{
    parsed = Arguments();
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            parsed.operands += arguments.mid(i + 1);
            return true;
        }
        if (!argument.startsWith(u'-') || argument == QLatin1String("-")) {
            parsed.operands << argument;
            continue;
        }
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = argument.left(equals);
        const auto option = std::find_if(known.begin(), known.end(),
                                         [&](const Option &o) { return o.name == name; });
        if (option == known.end() || (!option->takesValue && equals >= 0)) {
            usageError(format(StringId::CliUnknownOption, {argument}));
            return false;
        }
        QString value;
        if (option->takesValue && equals >= 0) {
            value = argument.mid(equals + 1);
        } else if (option->takesValue) {
            if (++i == arguments.size()) {
                usageError(format(StringId::CliMissingValue, {name}));
                return false;
            }
            value = arguments.at(i);
        }
        parsed.options.insert(name, value);
    }
    return true;
}

int Command::usageError(const QString &problem)
{
    m_err << format(StringId::CliUsageError, {name(), problem, name()}) << Qt::endl;
    return CommandLine::Usage;
}

bool Command::printedHelp(const QStringList &arguments)
{
    for (const QString &a : arguments) {
        if (a == QLatin1String("--"))
            return false;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            m_out << withStatuses(help()) << Qt::endl;
            return true;
        }
    }
    return false;
}

std::optional<QString> Command::hostProblem(const QString &host)
{
    if (host.trimmed().isEmpty())
        return text(StringId::CliMissingHost);
    if (host.startsWith(u'-'))
        return format(StringId::CliUnknownOption, {host});
    return std::nullopt;
}

std::optional<Ipv4Address> Command::lookUp(const QString &host)
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

bool Command::resolve(const QString &host, Ipv4Address &address)
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

Settings Command::settings() const
{
    // Stored as the tray program keeps them; missing or broken: the defaults.
    Settings stored;
    if (!m_services.store || !m_services.store->load(stored))
        stored = Settings();
    return stored;
}

quint16 Command::messagePort() const
{
    return settings().messagePort();
}

quint16 Command::dataPort() const
{
    return settings().dataPort();
}
