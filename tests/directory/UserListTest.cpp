#include "core/directory/UserListBuilder.h"
#include "support/TestMain.h"

#include "support/FakeDirectory.h"

#include <QTemporaryDir>
#include <QTest>

using namespace UserListBuilder;

namespace {

Ipv4Address ip(int a, int b, int c, int d)
{
    return Ipv4Address{{a, b, c, d}};
}

AddressBookEntry byName(const QString &name, const QString &networkName)
{
    return {name, EntryKind::NetworkName, networkName, {}};
}

AddressBookEntry byAddress(const QString &name, const Ipv4Address &address)
{
    return {name, EntryKind::IpAddress, QString(), address};
}

QStringList texts(const UserList &users)
{
    QStringList out;
    for (const UserEntry &u : users)
        out << u.displayText;
    return out;
}

} // namespace

class UserListTest : public QObject {
    Q_OBJECT

    FakeBrowser m_browser;
    FakeResolver m_resolver;

private slots:
    void init()
    {
        m_browser.records.clear();
        m_browser.available = true;
        m_resolver.addresses.clear();
        m_resolver.delayMs = 0;
    }

    void networkNames()
    {
        QCOMPARE(networkNameOf(QStringLiteral("PC12, IP = 192.168.0.12")), QStringLiteral("PC12"));
        QCOMPARE(networkNameOf(QStringLiteral("Бухгалтерия (PC12, IP = 192.168.0.12)")),
                 QStringLiteral("PC12"));
        QCOMPARE(networkNameOf(QStringLiteral("Склад* (IP = 10.1.2.3)")), QString());
        QCOMPARE(networkNameOf(QStringLiteral("Бухгалтерия (PC12, отсутствует в сети)")),
                 QStringLiteral("PC12"));
        // A name holding ", " itself yields another text, as the rule says.
        QCOMPARE(networkNameOf(QStringLiteral("Иванов, Иван (PC1, IP = 1.2.3.4)")), QString());
    }

    void scanStripsBackslashesAndSkipsWhatIsNotAComputer()
    {
        m_browser.addComputer(QStringLiteral("PC12"));
        NetResource connectable;
        connectable.usage = NetResource::kUsageContainer | NetResource::kUsageConnectable;
        connectable.remoteName = QStringLiteral("\\\\SHARE");
        NetResource disk;
        disk.type = 1;
        disk.remoteName = QStringLiteral("\\\\DISK");
        NetResource nameless;
        nameless.hasRemoteName = false;
        NetResource plain; // no backslashes
        plain.remoteName = QStringLiteral("PLAIN");
        m_browser.records << connectable << disk << nameless << plain;
        m_browser.addComputer(QStringLiteral("GONE")); // does not resolve
        m_browser.addComputer(QStringLiteral("PC2"));
        // A computer whose address the browse brought is not looked up.
        NetResource known;
        known.remoteName = QStringLiteral("\\\\PC-B");
        known.address = ip(10, 77, 0, 2);
        m_browser.records << known;
        m_resolver.addresses = {{"PC12", ip(192, 168, 0, 12)},
                                {"SHARE", ip(1, 1, 1, 1)},
                                {"DISK", ip(2, 2, 2, 2)},
                                {"PLAIN", ip(3, 3, 3, 3)},
                                {"PC2", ip(192, 168, 0, 2)}};
        const UserList users = scanNeighbourhood(m_browser, m_resolver);
        QCOMPARE(texts(users), (QStringList{"PC12, IP = 192.168.0.12", "PLAIN, IP = 3.3.3.3",
                                            "PC2, IP = 192.168.0.2", "PC-B, IP = 10.77.0.2"}));
        QCOMPARE(users.at(0).address, ip(192, 168, 0, 12));
        QCOMPARE(m_resolver.lookups.load(), 4); // PC12, PLAIN, GONE, PC2
    }

    void noNeighbourhoodStillListsTheBook()
    {
        m_browser.available = false;
        m_browser.addComputer(QStringLiteral("PC1"));
        m_resolver.addresses = {{"PC1", ip(10, 0, 0, 1)}};
        UserList users = scanNeighbourhood(m_browser, m_resolver);
        QVERIFY(users.isEmpty());
        AddressBook book;
        book.append(byAddress(QStringLiteral("Склад"), ip(10, 1, 2, 3)));
        book.append(byName(QStringLiteral("Бухгалтерия"), QStringLiteral("PC12")));
        mergeAddressBook(users, book);
        QCOMPARE(texts(users),
                 (QStringList{"Склад* (IP = 10.1.2.3)", "Бухгалтерия (PC12, отсутствует в сети)"}));
        QCOMPARE(users.at(0).address, ip(10, 1, 2, 3)); // listed with its address, not greyed
        QVERIFY(users.at(1).address.isAbsent());
    }

    void linesForScriptsSayHowEachUserWasFound()
    {
        NetResource tarvello;
        tarvello.remoteName = QStringLiteral("\\\\PC1");
        tarvello.address = ip(10, 0, 0, 1);
        tarvello.foundBy = FoundBy::DnsSd | FoundBy::Tarvello;
        NetResource windows = tarvello;
        windows.remoteName = QStringLiteral("\\\\WIN\tTAB");
        windows.address = ip(10, 0, 0, 2);
        windows.foundBy = FoundBy::WsDiscovery | FoundBy::DnsSd;
        m_browser.records = {tarvello, windows};
        UserList users = scanNeighbourhood(m_browser, m_resolver);
        AddressBook book;
        book.append(byAddress(QStringLiteral("Первый"), ip(10, 0, 0, 1)));
        book.append(byName(QStringLiteral("Нет"), QStringLiteral("PC9")));
        mergeAddressBook(users, book);
        QCOMPARE(
            describe(users),
            (QStringList{"Первый (PC1, IP = 10.0.0.1)\t10.0.0.1\tадресная книга, DNS-SD (Tarvello)",
                         "WIN TAB, IP = 10.0.0.2\t10.0.0.2\tDNS-SD, WS-Discovery",
                         "Нет (PC9, отсутствует в сети)\t-\tадресная книга"}));
    }

    void addressMatchNamesANeighbourBeforeANameMatch()
    {
        UserList users = {{QStringLiteral("PC12, IP = 192.168.0.12"), ip(192, 168, 0, 12)}};
        AddressBook book;
        book.append(byName(QStringLiteral("По имени"), QStringLiteral("PC12")));
        book.append(byAddress(QStringLiteral("По адресу"), ip(192, 168, 0, 12)));
        book.append(byAddress(QStringLiteral("Тоже по адресу"), ip(192, 168, 0, 12)));
        mergeAddressBook(users, book);
        // Renamed by the first address entry; neither address entry is added,
        // and the name entry finds its computer.
        QCOMPARE(texts(users), (QStringList{"По адресу (PC12, IP = 192.168.0.12)"}));
        QCOMPARE(users.at(0).address, ip(192, 168, 0, 12));
    }

    void nameMatchIsCaseSensitive()
    {
        UserList users = {{QStringLiteral("PC12, IP = 192.168.0.12"), ip(192, 168, 0, 12)},
                          {QStringLiteral("PC13, IP = 192.168.0.13"), ip(192, 168, 0, 13)}};
        AddressBook book;
        book.append(byName(QStringLiteral("Точно"), QStringLiteral("PC12")));
        book.append(byName(QStringLiteral("Строчными"), QStringLiteral("pc13")));
        mergeAddressBook(users, book);
        QCOMPARE(texts(users),
                 (QStringList{"Точно (PC12, IP = 192.168.0.12)", "PC13, IP = 192.168.0.13",
                              "Строчными (pc13, отсутствует в сети)"}));
        QVERIFY(users.at(2).address.isAbsent());
    }

    void duplicatesYieldOneEntry()
    {
        UserList users;
        AddressBook book;
        book.append(byAddress(QStringLiteral("A"), ip(10, 0, 0, 1)));
        book.append(byAddress(QStringLiteral("B"), ip(10, 0, 0, 1)));
        book.append(byName(QStringLiteral("C"), QStringLiteral("PC7")));
        book.append(byName(QStringLiteral("D"), QStringLiteral("PC7")));
        mergeAddressBook(users, book);
        QCOMPARE(texts(users), (QStringList{"A* (IP = 10.0.0.1)", "C (PC7, отсутствует в сети)"}));
    }

    void orderIsNeighboursThenAddressesThenNames()
    {
        m_browser.addComputer(QStringLiteral("Z"));
        m_browser.addComputer(QStringLiteral("A"));
        m_resolver.addresses = {{"Z", ip(10, 0, 0, 26)}, {"A", ip(10, 0, 0, 1)}};
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("AddressBook.xml"));
        AddressBook book;
        book.append(byName(QStringLiteral("N1"), QStringLiteral("NOPE1")));
        book.append(byAddress(QStringLiteral("I1"), ip(172, 16, 0, 1)));
        book.append(byName(QStringLiteral("Эй"), QStringLiteral("A")));
        book.append(byAddress(QStringLiteral("I2"), ip(172, 16, 0, 2)));
        QVERIFY(book.save(file));
        const UserList users = buildUserList(m_browser, m_resolver, file);
        QCOMPARE(texts(users),
                 (QStringList{"Z, IP = 10.0.0.26", "Эй (A, IP = 10.0.0.1)", "I1* (IP = 172.16.0.1)",
                              "I2* (IP = 172.16.0.2)", "N1 (NOPE1, отсутствует в сети)"}));
        // Without the file only the neighbours are listed.
        QCOMPARE(texts(buildUserList(m_browser, m_resolver, dir.filePath("none.xml"))),
                 (QStringList{"Z, IP = 10.0.0.26", "A, IP = 10.0.0.1"}));
    }

    void parallelLookupsKeepTheBrowsersOrder()
    {
        for (int i = 0; i < 100; ++i) {
            const QString name = QStringLiteral("PC%1").arg(i);
            m_browser.addComputer(name);
            if (i % 7 != 3)
                m_resolver.addresses.insert(name, ip(10, 0, i / 256, i % 256));
        }
        m_resolver.delayMs = 5;
        const UserList parallel = scanNeighbourhood(m_browser, m_resolver, 32);
        QVERIFY(m_resolver.peak > 1);
        QVERIFY(m_resolver.peak <= 32);
        m_resolver.delayMs = 0;
        const UserList sequential = scanNeighbourhood(m_browser, m_resolver, 1);
        QCOMPARE(parallel, sequential);
        QCOMPARE(parallel.size(), 100 - 14);
    }
};

TARVELLO_TEST_MAIN(UserListTest)
#include "UserListTest.moc"
