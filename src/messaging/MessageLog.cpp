#include "MessageLog.h"

void MessageLog::append(const QString &text, LogDirection direction, const QString &peer)
{
    LogEntry entry{text, direction, peer, QDateTime::currentDateTime()};
    std::lock_guard lock(m_mutex);
    m_entries.append(std::move(entry));
}

void MessageLog::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

QList<LogEntry> MessageLog::entries() const
{
    std::lock_guard lock(m_mutex);
    return m_entries;
}

qsizetype MessageLog::size() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}
