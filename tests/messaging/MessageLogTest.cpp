#include "core/base/MessageLog.h"
#include "support/TestMain.h"

#include <QLocale>
#include <QTest>

#include <thread>

namespace {

LogEntry entryAt(const QString &text, LogDirection direction, const QString &peer,
                 const QDateTime &time)
{
    return LogEntry{text, direction, peer, time};
}

} // namespace

class MessageLogTest : public QObject {
    Q_OBJECT

private slots:
    void outgoingEntryInRussian()
    {
        const QLocale ru(QLocale::Russian, QLocale::Russia);
        const auto entry =
            entryAt(QStringLiteral("Привет"), LogDirection::Outgoing, QStringLiteral("192.168.0.7"),
                    QDateTime(QDate(2026, 12, 7), QTime(14, 5, 32)));
        QCOMPARE(formatLogEntry(entry, ru),
                 QStringLiteral("14:05:32: Сообщение для 192.168.0.7\r\nПривет\r\n\r\n"));
    }

    void incomingEntryInEnglish()
    {
        const QLocale us(QLocale::English, QLocale::UnitedStates);
        const auto entry =
            entryAt(QStringLiteral("Сообщение от PC1:\r\nhi"), LogDirection::Incoming, QString(),
                    QDateTime(QDate(2026, 12, 7), QTime(14, 5, 32)));
        const QString text = formatLogEntry(entry, us);
        // "2:05:32 PM", without time zone, whatever spaces the locale data use.
        QVERIFY2(text.startsWith(QStringLiteral("2:05:32")), qPrintable(text));
        QVERIFY2(text.contains(
                     QStringLiteral("PM: Входящее сообщение\r\nСообщение от PC1:\r\nhi\r\n\r\n")),
                 qPrintable(text));
    }

    void onlyTheTimeOfDayIsShown_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::newRow("ru") << QLocale(QLocale::Russian, QLocale::Russia);
        QTest::newRow("de") << QLocale(QLocale::German, QLocale::Germany);
        QTest::newRow("en") << QLocale(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("C") << QLocale::c();
    }
    void onlyTheTimeOfDayIsShown()
    {
        QFETCH(QLocale, locale);
        // An entry of yesterday, shown after midnight: the time, no date.
        const auto entry = entryAt(QStringLiteral("x"), LogDirection::Incoming, QString(),
                                   QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58)));
        const QString text = formatLogEntry(entry, locale);
        const QString time = text.left(text.indexOf(QStringLiteral(": ")));
        QVERIFY2(time.contains(QStringLiteral("59:58")), qPrintable(time));
        QVERIFY2(!time.contains(QStringLiteral("1999")) && !time.contains(QStringLiteral("31")),
                 qPrintable(time));
        // No time zone: nothing but digits, separators and the AM/PM word.
        for (QChar c : timeOfDayFormat(locale))
            QVERIFY2(c != u't', qPrintable(timeOfDayFormat(locale)));
    }

    void logKeepsOrderAndClears()
    {
        MessageLog log;
        QVERIFY(log.formatAll().isEmpty());
        log.append(QStringLiteral("first"), LogDirection::Incoming);
        log.append(QStringLiteral("second"), LogDirection::Outgoing, QStringLiteral("10.0.0.2"));
        const QList<LogEntry> entries = log.entries();
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries.at(0).text, QStringLiteral("first"));
        QVERIFY(entries.at(0).peer.isEmpty());
        QCOMPARE(entries.at(1).peer, QStringLiteral("10.0.0.2"));
        QVERIFY(entries.at(0).time.isValid());
        QCOMPARE(log.formatAll(), formatLogEntry(entries.at(0)) + formatLogEntry(entries.at(1)));
        log.clear();
        QCOMPARE(log.size(), 0);
        QVERIFY(log.formatAll().isEmpty());
    }

    void appendsFromManyThreads()
    {
        MessageLog log;
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < 2000; ++i)
                    log.append(QStringLiteral("%1-%2").arg(t).arg(i), LogDirection::Incoming);
            });
        }
        // A reader formats the whole log meanwhile; it only ever grows.
        qsizetype previous = 0;
        for (int i = 0; i < 50; ++i) {
            const qsizetype lines = log.formatAll().count(QStringLiteral("\r\n\r\n"));
            QVERIFY(lines >= previous);
            previous = lines;
        }
        for (auto &w : writers)
            w.join();
        QCOMPARE(log.size(), 8000);
        // Each thread's entries stay in the order it appended them.
        int last[4] = {-1, -1, -1, -1};
        for (const LogEntry &e : log.entries()) {
            const QStringList parts = e.text.split(u'-');
            const int t = parts.at(0).toInt();
            const int i = parts.at(1).toInt();
            QVERIFY(i > last[t]);
            last[t] = i;
        }
    }
};

TARVELLO_TEST_MAIN(MessageLogTest)
#include "MessageLogTest.moc"
