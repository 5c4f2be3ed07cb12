#include "CommandLine.h"

#include "CheckCommand.h"
#include "SendCommand.h"
#include "SendFileCommand.h"
#include "UsersCommand.h"
#include "core/base/StringTable.h"

#include <QTextStream>

#include <memory>

using StringTable::format;
using StringTable::text;

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
    } else if (const auto subcommand = make(command)) {
        status = subcommand->execute(rest);
    } else {
        m_err << format(StringId::CliUnknownCommand, {command}) << Qt::endl;
    }
    m_out.flush();
    m_err.flush();
    return status;
}

std::unique_ptr<Command> CommandLine::make(const QString &name)
{
    std::unique_ptr<Command> commands[] = {
        std::make_unique<SendCommand>(m_services, m_input, m_out, m_err),
        std::make_unique<SendFileCommand>(m_services, m_input, m_out, m_err),
        std::make_unique<CheckCommand>(m_services, m_input, m_out, m_err),
        std::make_unique<UsersCommand>(m_services, m_input, m_out, m_err),
    };
    for (auto &command : commands) {
        if (command->name() == name)
            return std::move(command);
    }
    return nullptr;
}
