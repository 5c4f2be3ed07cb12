#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <mutex>

enum class LogDirection : int { Outgoing = 0, Incoming = 1 };

struct LogEntry {
    QString text;
    LogDirection direction = LogDirection::Incoming;
    QString peer; // the recipient's dotted address; empty for incoming entries
    QDateTime time;
};

// The messages of this run, in memory only. Appended from any thread; every
// operation holds the log's one lock for its duration.
class MessageLog {
public:
    void append(const QString &text, LogDirection direction, const QString &peer = QString());
    void clear();
    QList<LogEntry> entries() const;
    qsizetype size() const;

private:
    mutable std::mutex m_mutex;
    QList<LogEntry> m_entries;
};
