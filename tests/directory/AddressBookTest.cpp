#include "core/directory/AddressBook.h"
#include "support/TestMain.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

Ipv4Address ip(int a, int b, int c, int d)
{
    return Ipv4Address{{a, b, c, d}};
}

} // namespace

class AddressBookTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath(QStringLiteral("AddressBook.xml")); }

    void write(const QByteArray &bytes)
    {
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray read()
    {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    AddressBook loaded(const QByteArray &xml, bool *ok = nullptr)
    {
        write(xml);
        AddressBook book;
        const bool result = book.load(path());
        if (ok)
            *ok = result;
        return book;
    }

private slots:
    void init() { QFile::remove(path()); }

    void ipEntryLoadsAndSavesTheSameAttributes()
    {
        AddressBook book =
            loaded("<Phonebook><Item Address=\"10.0.0.5\" Type=\"1\">Пётр</Item></Phonebook>");
        QCOMPARE(book.size(), 1);
        QCOMPARE(book.at(0).kind, EntryKind::IpAddress);
        QCOMPARE(book.at(0).address, ip(10, 0, 0, 5));
        QVERIFY(book.at(0).networkName.isEmpty());
        QCOMPARE(book.at(0).name, QStringLiteral("Пётр"));
        QVERIFY(book.save(path()));
        const QByteArray xml = read();
        QVERIFY2(xml.contains("<Item Address=\"10.0.0.5\" Type=\"1\">Пётр</Item>"),
                 xml.constData());
    }

    void typeIsReadLikeAtol_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("kind"); // 0: skipped
        QTest::newRow("2") << "2" << 2;
        QTest::newRow("blank 2") << " 2" << 2;
        QTest::newRow("2x") << "2x" << 2;
        QTest::newRow("+1") << "+1" << 1;
        QTest::newRow("tab 1") << "\t1" << 1;
        QTest::newRow("0") << "0" << 0;
        QTest::newRow("3") << "3" << 0;
        QTest::newRow("word") << "два" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("-2") << "-2" << 0;
        QTest::newRow("huge") << "99999999999999999999" << 0;
    }
    void typeIsReadLikeAtol()
    {
        QFETCH(QString, type);
        QFETCH(int, kind);
        const QByteArray xml =
            "<Phonebook><Item Address=\"PC1\" Type=\"" + type.toUtf8() + "\">x</Item></Phonebook>";
        const AddressBook book = loaded(xml);
        QCOMPARE(book.size(), kind == 0 ? 0 : 1);
        if (kind)
            QCOMPARE(int(book.at(0).kind), kind);
    }

    void dottedAddresses()
    {
        const AddressBook book = loaded("<Phonebook>"
                                        "<Item Address=\"10.0.0\" Type=\"1\">a</Item>"
                                        "<Item Address=\"10.0.0.5.7\" Type=\"1\">b</Item>"
                                        "<Item Address=\"300.1.1.1\" Type=\"1\">c</Item>"
                                        "<Item Address=\"1..x.4\" Type=\"1\">d</Item>"
                                        "</Phonebook>");
        QCOMPARE(book.size(), 4);
        QCOMPARE(book.at(0).address, ip(0, 0, 0, 0));
        QCOMPARE(book.at(1).address, ip(10, 0, 0, 5));
        QCOMPARE(book.at(2).address, ip(300, 1, 1, 1));
        QCOMPARE(book.at(3).address, ip(1, 0, 0, 4));
        QVERIFY(book.save(path()));
        QVERIFY(read().contains("Address=\"300.1.1.1\""));
        QVERIFY(read().contains("Address=\"0.0.0.0\""));
    }

    void parseDottedAddressKeepsTheOldValueWhenShort()
    {
        Ipv4Address a = ip(1, 2, 3, 4);
        parseDottedAddress(QStringLiteral("9.9"), a);
        QCOMPARE(a, ip(1, 2, 3, 4));
        parseDottedAddress(QStringLiteral(" 7. -1.2x.99999999999"), a);
        QCOMPARE(a, ip(7, -1, 2, 2147483647));
        parseDottedAddress(QString(), a);
        QCOMPARE(a, ip(7, -1, 2, 2147483647));
    }

    void otherRootsAndNodes()
    {
        bool ok = false;
        QCOMPARE(loaded("<Phonebook/>", &ok).size(), 0);
        QVERIFY(ok);
        QCOMPARE(loaded("<Other><Item Address=\"PC\" Type=\"2\">x</Item></Other>", &ok).size(), 0);
        QVERIFY(ok);
        const AddressBook book = loaded("<Phonebook>text<!-- a comment -->"
                                        "<Person Address=\"PC9\" Type=\"2\">Foreign</Person>"
                                        "<Item Address=\"PC1\">no type</Item>"
                                        "<Item Type=\"2\">no address</Item>"
                                        "<Item Address=\"\" Type=\"2\">empty name</Item>"
                                        "</Phonebook>");
        QCOMPARE(book.size(), 2);
        QCOMPARE(book.at(0).name, QStringLiteral("Foreign"));
        QCOMPARE(book.at(0).networkName, QStringLiteral("PC9"));
        QCOMPARE(book.at(1).networkName, QString());
    }

    void newBookGoesToTheUsersDataFolder()
    {
        // The tests' own folder is writable, as a build folder is: a new book
        // still goes to the data folder; one already beside the program stays.
        QTemporaryDir data;
        qputenv("XDG_DATA_HOME", data.path().toUtf8());
        QCOMPARE(addressBookPath(), data.path() + "/Tarvello/AddressBook.xml");
        const QString beside = QCoreApplication::applicationDirPath() + "/AddressBook.xml";
        QFile portable(beside);
        QVERIFY(portable.open(QIODevice::WriteOnly));
        portable.close();
        QCOMPARE(addressBookPath(), beside);
        QFile::remove(beside);
    }

    void unreadableFilesGiveAnEmptyBook()
    {
        AddressBook book;
        book.append({QStringLiteral("old"), EntryKind::NetworkName, QStringLiteral("PC"), {}});
        QString error;
        QVERIFY(!book.load(m_dir.filePath(QStringLiteral("missing.xml")), &error));
        QCOMPARE(book.size(), 0);
        QVERIFY(error.isEmpty());                                     // no book yet is no fault
        write("<Phonebook><Item Address=\"PC\" Type=\"2\">x</Item>"); // not well-formed
        QVERIFY(!book.load(path(), &error));
        QCOMPARE(book.size(), 0);
        QVERIFY2(error.startsWith(QStringLiteral("ошибка в строке 1, позиция ")),
                 qPrintable(error));
        write(QByteArray("\xff\xfe\x00garbage", 10));
        QVERIFY(!book.load(path()));
    }

    void filesFromOtherTools_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QString xml =
            QStringLiteral("<Phonebook>\n  <Item Address=\"PC12\" Type=\"2\">Бухгалтерия</Item>\n"
                           "  <Item Address=\"10.1.2.3\" Type=\"1\">Склад</Item>\n</Phonebook>\n");
        QTest::newRow("utf-8, no declaration, indented") << xml.toUtf8();
        QTest::newRow("utf-8 with declaration")
            << (QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") + xml).toUtf8();
        QByteArray utf16("\xff\xfe", 2);
        const QString declared =
            QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n") + xml;
        for (QChar c : declared) {
            utf16 += char(c.unicode() & 0xff);
            utf16 += char(c.unicode() >> 8);
        }
        QTest::newRow("utf-16 with BOM") << utf16;
        QByteArray cp1251 = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n";
        cp1251 += QByteArray(
            "<Phonebook><Item Address=\"PC12\" "
            "Type=\"2\">\xc1\xf3\xf5\xe3\xe0\xeb\xf2\xe5\xf0\xe8\xff</Item>"
            "<Item Address=\"10.1.2.3\" Type=\"1\">\xd1\xea\xeb\xe0\xe4</Item></Phonebook>");
        QTest::newRow("windows-1251 declared") << cp1251;
    }
    void filesFromOtherTools()
    {
        QFETCH(QByteArray, bytes);
        bool ok = false;
        const AddressBook book = loaded(bytes, &ok);
        QVERIFY(ok);
        QCOMPARE(book.size(), 2);
        QCOMPARE(book.at(0).name, QStringLiteral("Бухгалтерия"));
        QCOMPARE(book.at(0).networkName, QStringLiteral("PC12"));
        QCOMPARE(book.at(1).name, QStringLiteral("Склад"));
        QCOMPARE(book.at(1).address, ip(10, 1, 2, 3));
    }

    void saveAndLoadKeepEverything()
    {
        AddressBook book;
        book.append({QStringLiteral("Иванов Иван <&\"'>"),
                     EntryKind::NetworkName,
                     QStringLiteral("IIVANOV"),
                     {}});
        book.append(
            {QStringLiteral("  пробелы  "), EntryKind::IpAddress, QString(), ip(192, 168, 0, 7)});
        book.append({QStringLiteral("😀 日本"), EntryKind::NetworkName, QStringLiteral("ПК-3"), {}});
        QVERIFY(book.save(path()));
        const QByteArray xml = read();
        // Address comes before Type.
        QVERIFY2(xml.indexOf("Address=") < xml.indexOf("Type="), xml.constData());
        QVERIFY(xml.trimmed().endsWith("</Phonebook>"));
        AddressBook back;
        QVERIFY(back.load(path()));
        QCOMPARE(back.entries(), book.entries());
    }

    void charactersXmlCannotHoldAreLeftOut()
    {
        AddressBook book;
        book.append(
            {QStringLiteral("bell\aname"), EntryKind::NetworkName, QStringLiteral("PC\x01"), {}});
        QVERIFY(book.save(path()));
        AddressBook back;
        QVERIFY(back.load(path())); // the file stays readable
        QCOMPARE(back.at(0).name, QStringLiteral("bellname"));
        QCOMPARE(back.at(0).networkName, QStringLiteral("PC"));
    }

    void emptyStoreWritesAnEmptyPhonebook()
    {
        QVERIFY(AddressBook().save(path()));
        const QByteArray xml = read();
        QVERIFY2(xml.contains("<Phonebook/>") || xml.contains("<Phonebook></Phonebook>"),
                 xml.constData());
        AddressBook back;
        QVERIFY(back.load(path()));
        QCOMPARE(back.size(), 0);
    }

    void failedSaveSaysSo()
    {
        // A folder that cannot exist: its parent is a file.
        write("<Phonebook/>");
        AddressBook book;
        book.append({QStringLiteral("new"), EntryKind::NetworkName, QStringLiteral("PC2"), {}});
        QString error;
        QVERIFY(!book.save(path() + QStringLiteral("/AddressBook.xml"), &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(read(), QByteArray("<Phonebook/>"));
    }

    void lookups()
    {
        AddressBook book;
        book.append({QStringLiteral("by name"), EntryKind::NetworkName, QStringLiteral("PC1"), {}});
        book.append({QStringLiteral("first"), EntryKind::IpAddress, QString(), ip(10, 0, 0, 1)});
        book.append({QStringLiteral("second"), EntryKind::IpAddress, QString(), ip(10, 0, 0, 1)});
        QCOMPARE(book.findNameByAddress(ip(10, 0, 0, 1)),
                 std::optional<QString>(QStringLiteral("first")));
        QCOMPARE(book.findNameByAddress(ip(10, 0, 0, 2)), std::nullopt);
        QCOMPARE(book.findNameByNetworkName(QStringLiteral("PC1")),
                 std::optional<QString>(QStringLiteral("by name")));
        QCOMPARE(book.findNameByNetworkName(QStringLiteral("pc1")), std::nullopt);
        book.setKindAndAddress(0, EntryKind::IpAddress, QStringLiteral("1.2.3.4"));
        QCOMPARE(book.at(0).addressText(), QStringLiteral("1.2.3.4"));
        book.removeAt(0);
        QCOMPARE(book.at(0).name, QStringLiteral("first"));
    }
};

TARVELLO_TEST_MAIN(AddressBookTest)
#include "AddressBookTest.moc"
