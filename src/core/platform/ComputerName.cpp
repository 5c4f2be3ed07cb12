#include "ComputerName.h"

#include "CodePage.h"

#include <unistd.h>

#include <cstring>

namespace ComputerName {

QString localHostName()
{
    char buffer[128];
    std::memset(buffer, 0, sizeof buffer);
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return QString();
    return CodePage::ansi().toUnicode(buffer, qsizetype(std::strlen(buffer)));
}

QString netBiosName()
{
    return netBiosNameOf(localHostName());
}

QString netBiosNameOf(const QString &hostName)
{
    QString name = hostName;
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    name = name.toUpper();
    // Cut at 15, never inside a character.
    if (name.size() > 15)
        name.truncate(name.at(14).isHighSurrogate() ? 14 : 15);
    return name;
}

} // namespace ComputerName
