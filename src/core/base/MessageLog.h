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
    // Every entry formatted, oldest first, in one pass under the lock; empty
    // when the log is.
    QString formatAll() const;
    qsizetype size() const;

private:
    mutable std::mutex m_mutex;
    QList<LogEntry> m_entries;
};

class QLocale;

// The time-of-day format of a locale as Windows shows a time: the locale's
// long time format without its time-zone part ("HH:mm:ss", "h:mm:ss AP").
QString timeOfDayFormat(const QLocale &locale);

// An entry as the log window shows it: the time of day, ": ", "Входящее
// сообщение" or "Сообщение для <peer>", CR LF, the text, then CR LF CR LF.
QString formatLogEntry(const LogEntry &entry);
QString formatLogEntry(const LogEntry &entry, const QLocale &locale);
