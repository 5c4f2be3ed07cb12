#include "core/platform/CodePage.h"
#include "support/TestMain.h"

#include <QTest>

class CodePageTest : public QObject {
    Q_OBJECT

private slots:
    void pageForLocale_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("page");
        QTest::newRow("russian") << "ru_RU.UTF-8" << 1251;
        QTest::newRow("ukrainian") << "uk_UA" << 1251;
        QTest::newRow("serbian cyrillic") << "sr_RS" << 1251;
        QTest::newRow("serbian latin") << "sr_RS@latin" << 1250;
        QTest::newRow("polish") << "pl_PL.ISO-8859-2" << 1250;
        QTest::newRow("greek") << "el_GR.UTF-8" << 1253;
        QTest::newRow("turkish") << "tr_TR" << 1254;
        QTest::newRow("hebrew") << "he_IL.UTF-8" << 1255;
        QTest::newRow("arabic") << "ar_EG.UTF-8" << 1256;
        QTest::newRow("latvian") << "lv_LV" << 1257;
        QTest::newRow("vietnamese") << "vi_VN" << 1258;
        QTest::newRow("thai") << "th_TH.UTF-8" << 874;
        QTest::newRow("japanese") << "ja_JP.eucJP" << 932;
        QTest::newRow("simplified chinese") << "zh_CN.GB18030" << 936;
        QTest::newRow("traditional chinese") << "zh_TW.UTF-8" << 950;
        QTest::newRow("korean") << "ko_KR.UTF-8" << 949;
        QTest::newRow("german") << "de_DE.UTF-8" << 1252;
        QTest::newRow("C") << "C" << 1251;
        QTest::newRow("C.UTF-8") << "C.UTF-8" << 1251;
        QTest::newRow("POSIX") << "POSIX" << 1251;
    }
    void pageForLocale()
    {
        QFETCH(QString, locale);
        QFETCH(int, page);
        QCOMPARE(CodePage::numberForLocale(locale), page);
    }

    void environmentPrecedence()
    {
        qputenv("LC_ALL", "");
        qputenv("LC_CTYPE", "el_GR.UTF-8");
        qputenv("LANG", "ru_RU.UTF-8");
        QCOMPARE(CodePage::ansi().number(), 1253);
        qputenv("LC_ALL", "pl_PL");
        QCOMPARE(CodePage::ansi().number(), 1250);
        qunsetenv("LC_ALL");
        qunsetenv("LC_CTYPE");
        QCOMPARE(CodePage::ansi().number(), 1251);
        // No locale at all (a service, a minimal system): the program's own
        // language's page, never "?" for every Cyrillic letter.
        qunsetenv("LANG");
        QCOMPARE(CodePage::ansi().number(), 1251);
        qputenv("LANG", "ru_RU.UTF-8");
    }

    void cyrillicBytes()
    {
        const CodePage cp(1251);
        QCOMPARE(cp.fromUnicode(QStringLiteral("Привет")), QByteArray::fromHex("cff0e8e2e5f2"));
        QCOMPARE(cp.toUnicode(QByteArray::fromHex("cff0e8e2e5f2")), QStringLiteral("Привет"));
        QCOMPARE(cp.fromUnicode(QStringLiteral("Ёё№")), QByteArray::fromHex("a8b8b9"));
    }

    void unrepresentableBecomesQuestionMark()
    {
        const CodePage cp(1251);
        // Greek alpha, a CJK character and an emoji (a surrogate pair) cannot
        // be held by 1251; each is one '?'.
        QCOMPARE(cp.fromUnicode(QStringLiteral("a\u03b1b\u4e2dc") + QString::fromUtf8("😀") +
                                QStringLiteral("d")),
                 QByteArray("a?b?c?d"));
        // A lone surrogate, in the middle and at the end.
        QString lone = QStringLiteral("x");
        lone += QChar(0xd800);
        lone += u'y';
        lone += QChar(0xd801);
        QCOMPARE(cp.fromUnicode(lone), QByteArray("x?y?"));
    }

    void everySingleByteDecodes()
    {
        // Every byte of a single-byte page decodes to exactly one character,
        // and the defined ones come back unchanged.
        for (int page : {1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 874}) {
            const CodePage cp(page);
            QByteArray all;
            for (int b = 1; b < 256; ++b)
                all += char(b);
            const QString text = cp.toUnicode(all);
            QCOMPARE(text.size(), all.size());
            for (int b = 1; b < 256; ++b) {
                const QByteArray back = cp.fromUnicode(text.mid(b - 1, 1));
                if (back != QByteArray(1, char(b)))
                    QCOMPARE(text.at(b - 1).unicode(), char16_t(b)); // undefined byte
            }
        }
    }

    void doubleBytePages()
    {
        const CodePage sjis(932);
        QCOMPARE(sjis.fromUnicode(QStringLiteral("日本")), QByteArray::fromHex("93fa967b"));
        QCOMPARE(sjis.toUnicode(QByteArray::fromHex("93fa967b")), QStringLiteral("日本"));
        // A character cut in half at the end of a block.
        QCOMPARE(sjis.toUnicode(QByteArray::fromHex("93fa96")), QStringLiteral("日?"));
        const CodePage gbk(936);
        QCOMPARE(gbk.toUnicode(gbk.fromUnicode(QStringLiteral("中文"))), QStringLiteral("中文"));
    }

    void emptyAndLargeText()
    {
        const CodePage cp(1251);
        QVERIFY(cp.fromUnicode(QString()).isEmpty());
        QVERIFY(cp.toUnicode(QByteArray()).isEmpty());
        const QString big = QString(200000, QChar(u'Ж'));
        QCOMPARE(cp.fromUnicode(big), QByteArray(200000, char(0xc6)));
    }
};

TARVELLO_TEST_MAIN(CodePageTest)
#include "CodePageTest.moc"
