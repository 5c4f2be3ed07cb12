#include "core/base/StringTable.h"
#include "support/TestMain.h"

#include <QTest>

class StringTableTest : public QObject {
    Q_OBJECT

private slots:
    void designNumbersKeepTheirTexts()
    {
        QCOMPARE(static_cast<int>(StringId::AlreadyRunning), 61465);
        QCOMPARE(StringTable::text(StringId::AlreadyRunning),
                 QStringLiteral("Программа Tarvello уже запущена"));
        QCOMPARE(StringTable::text(StringId::Warning), QStringLiteral("Предупреждение"));
        QCOMPARE(StringTable::text(StringId::TrayBusy).count(u'\n'), 1);
        QCOMPARE(StringTable::text(static_cast<StringId>(999999)), QString());
    }

    void formatting()
    {
        using StringTable::formatText;
        QCOMPARE(
            formatText(QStringLiteral("%s, IP = %d.%d.%d.%d"), {"PC12", "192", "168", "0", "12"}),
            QStringLiteral("PC12, IP = 192.168.0.12"));
        QCOMPARE(formatText(QStringLiteral("Статус: %d%% отправлено"), {"42"}),
                 QStringLiteral("Статус: 42% отправлено"));
        // Missing arguments become empty; the header line of a sender without
        // a host name keeps its words, space, colon and line break.
        QCOMPARE(StringTable::format(StringId::MessageHeaderLine, {}),
                 QStringLiteral("Сообщение от :\r\n"));
        // Arguments are inserted, never interpreted.
        QCOMPARE(formatText(QStringLiteral("<%s>"), {"%s%d%%"}), QStringLiteral("<%s%d%%>"));
        QCOMPARE(formatText(QStringLiteral("100%"), {}), QStringLiteral("100%"));
    }
};

TARVELLO_TEST_MAIN(StringTableTest)
#include "StringTableTest.moc"
