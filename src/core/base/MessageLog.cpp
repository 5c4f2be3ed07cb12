#include "MessageLog.h"

#include "StringTable.h"

#include <QLocale>

void MessageLog::append(const QString &text, LogDirection direction, const QString &peer)
{
    std::lock_guard lock(m_mutex);
    // Stamped under the lock: entries stay in time order, and the C
    // library's time-zone set-up is not entered from two threads at once.
    m_entries.append(LogEntry{text, direction, peer, QDateTime::currentDateTime()});
}

void MessageLog::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

QList<LogEntry> MessageLog::entries() const
{
    std::lock_guard lock(m_mutex);
    // A copy of its own: the log grows on other threads.
    return QList<LogEntry>(m_entries.begin(), m_entries.end());
}

QString MessageLog::formatAll() const
{
    std::lock_guard lock(m_mutex);
    QString out;
    for (const LogEntry &entry : m_entries)
        out += formatLogEntry(entry);
    return out;
}

qsizetype MessageLog::size() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

QString timeOfDayFormat(const QLocale &locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue; // the time zone
        out += c;
    }
    return out.simplified();
}

QString formatLogEntry(const LogEntry &entry)
{
    return formatLogEntry(entry, QLocale::system());
}

QString formatLogEntry(const LogEntry &entry, const QLocale &locale)
{
    // The time piece holds at most 24 characters; a longer one is left out,
    // as the system's formatting into a buffer of 25 fails.
    QString time = locale.toString(entry.time.time(), timeOfDayFormat(locale));
    if (time.size() > 24)
        time.clear();
    const QString what = entry.direction == LogDirection::Incoming
                             ? StringTable::text(StringId::LogIncoming)
                             : StringTable::format(StringId::LogOutgoing, {entry.peer});
    return time + QStringLiteral(": ") + what + QStringLiteral("\r\n") + entry.text +
           QStringLiteral("\r\n\r\n");
}
