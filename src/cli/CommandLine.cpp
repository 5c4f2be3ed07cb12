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

namespace {

// The options Qt's own application object takes (with one dash or two):
// these, and nothing else, start the tray program.
bool isQtOption(const QString &argument)
{
    static const QStringList names = {"platform",      "platformpluginpath",
                                      "platformtheme", "plugin",
                                      "qmljsdebugger", "qwindowgeometry",
                                      "qwindowicon",   "qwindowtitle",
                                      "geometry",      "title",
                                      "icon",          "session",
                                      "display",       "name",
                                      "style",         "stylesheet",
                                      "visual",        "ncols",
                                      "cmap",          "reverse",
                                      "widgetcount",   "nograb",
                                      "dograb",        "sync",
                                      "graphicssystem"};
    QString name = argument;
    if (name.startsWith(QLatin1String("--")))
        name.remove(0, 1);
    if (!name.startsWith(u'-'))
        return false;
    return names.contains(name.mid(1).section(u'=', 0, 0));
}

} // namespace

bool CommandLine::handles(const QStringList &arguments)
{
    return !arguments.isEmpty() && !isQtOption(arguments.first());
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
        m_out << Command::withStatuses(text(StringId::CliHelp)) << Qt::endl;
        status = Delivered;
    } else if (command == QLatin1String("--version")) {
        m_out << format(StringId::CliVersion, {QStringLiteral(TARVELLO_VERSION)}) << Qt::endl;
        status = Delivered;
    } else if (const auto subcommand = make(command)) {
        status = subcommand->execute(rest);
    } else if (command.startsWith(u'-')) {
        m_err << format(StringId::CliUnknownFirstOption, {command}) << Qt::endl;
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
