#include "UsersCommand.h"

#include "core/base/StringTable.h"
#include "core/directory/UserListBuilder.h"
#include "core/platform/InstanceChannel.h"

#include <QTextStream>

using StringTable::format;
using StringTable::text;

QString UsersCommand::help() const
{
    return text(StringId::CliUsersHelp);
}

int UsersCommand::execute(const QStringList &arguments)
{
    if (printedHelp(arguments))
        return CommandLine::Delivered;
    Arguments parsed;
    if (!parse(arguments, {}, parsed))
        return CommandLine::Usage;
    if (!parsed.operands.isEmpty())
        return usageError(format(StringId::CliExtraArgument, {parsed.operands.first()}));
    if (m_services.askInstance) {
        if (const auto answer = m_services.askInstance(InstanceChannel::kUsersRequest)) {
            const QString lines = QString::fromUtf8(*answer).trimmed();
            const qsizetype count = lines.isEmpty() ? 0 : lines.count(u'\n') + 1;
            if (!lines.isEmpty())
                m_out << lines << Qt::endl;
            m_err << format(StringId::CliUsersOfInstance, {QString::number(count)}) << Qt::endl;
            return CommandLine::Delivered;
        }
    }
    UserList list;
    if (m_services.browser && m_services.resolver)
        list = UserListBuilder::buildUserList(*m_services.browser, *m_services.resolver,
                                              m_services.addressBookFile);
    for (const QString &line : UserListBuilder::describe(list))
        m_out << line << Qt::endl;
    m_err << format(StringId::CliUsersBuilt, {QString::number(list.size())}) << Qt::endl;
    return CommandLine::Delivered;
}
