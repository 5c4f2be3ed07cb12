// The live neighbourhood: what its sources report, merged as the user list
// takes it; names it knows resolve first.
#include "core/directory/UserListBuilder.h"
#include "core/platform/LiveNeighbourhood.h"
#include "core/platform/NeighbourhoodResolver.h"
#include "support/FakeDirectory.h"
#include "support/TestMain.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

using Source = LiveNeighbourhood::Source;

Ipv4Address ip(int a, int b, int c, int d)
{
    return Ipv4Address{{a, b, c, d}};
}

// Sources off: only what the test reports.
LiveNeighbourhood::Options quiet()
{
    LiveNeighbourhood::Options options;
    options.dnsSd = false;
    options.wsDiscovery = false;
    options.maxComputers = 3;
    return options;
}

QStringList view(LiveNeighbourhood &hood)
{
    QList<NetResource> records;
    hood.enumerate(records);
    QStringList out;
    for (const NetResource &r : records)
        out << QStringLiteral("%1 %2 %3").arg(r.remoteName, r.address->dotted()).arg(r.foundBy);
    return out;
}

} // namespace

class NeighbourhoodTest : public QObject {
    Q_OBJECT

private slots:
    void sightingsMerge_data()
    {
        QTest::addColumn<QStringList>("reports"); // "+source key host a.b.c.d" or "-source key"
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("changes");
        // Sources: t Tarvello, w workstation, d WS-Discovery.
        QTest::newRow("one computer three ways: Tarvello's name")
            << QStringList{"+d u1 WIN-PC-B 10.0.0.2", "+w k1 pc-b.local 10.0.0.2",
                           "+t k2 pc-b.local 10.0.0.2"}
            << QStringList{"\\\\PC-B 10.0.0.2 14"} << 3;
        QTest::newRow("in the order first seen")
            << QStringList{"+w k1 zeta.local 10.0.0.9", "+d u1 ALPHA 10.0.0.1"}
            << QStringList{"\\\\ZETA 10.0.0.9 2", "\\\\ALPHA 10.0.0.1 4"} << 2;
        QTest::newRow("long names cut at 15, upper-cased")
            << QStringList{"+d u1 averyveryverylongname 10.0.0.1",
                           "+w k1 sixteen-chars-ab.local 10.0.0.2"}
            << QStringList{"\\\\AVERYVERYVERYLO 10.0.0.1 4", "\\\\SIXTEEN-CHARS-A 10.0.0.2 2"} << 2;
        QTest::newRow("hostile: no name, loopback, multicast, broadcast, 0.x")
            << QStringList{"+d u1 . 10.0.0.1", "+d u2 A 127.0.0.1", "+d u3 B 239.255.255.250",
                           "+d u4 C 255.255.255.255", "+d u5 D 0.1.2.3"}
            << QStringList{} << 0;
        QTest::newRow("at most three computers, the fourth left out")
            << QStringList{"+d u1 A 10.0.0.1", "+d u2 B 10.0.0.2", "+d u3 C 10.0.0.3",
                           "+d u4 D 10.0.0.4", "+w k5 a.local 10.0.0.1"}
            << QStringList{"\\\\A 10.0.0.1 6", "\\\\B 10.0.0.2 4", "\\\\C 10.0.0.3 4"} << 4;
        QTest::newRow("lost: the computer goes with its last sighting")
            << QStringList{"+w k1 pc-b.local 10.0.0.2",
                           "+t k1 pc-b.local 10.0.0.2",
                           "+d u1 PC-C 10.0.0.3",
                           "-t k1",
                           "-d u1",
                           "-d u1"}
            << QStringList{"\\\\PC-B 10.0.0.2 2"} << 5;
        QTest::newRow("heard again unchanged: no change")
            << QStringList{"+d u1 PC-C 10.0.0.3", "+d u1 PC-C 10.0.0.3"}
            << QStringList{"\\\\PC-C 10.0.0.3 4"} << 1;
        QTest::newRow("cut at 15 with whole characters")
            << QStringList{"+d u1 ABCDEFGHIJKLMN\U0001F600 10.0.0.1"}
            << QStringList{"\\\\ABCDEFGHIJKLMN 10.0.0.1 4"} << 1;
        QTest::newRow("a new address: the old one goes")
            << QStringList{"+d u1 PC-C 10.0.0.3", "+d u1 PC-C 10.0.0.4"}
            << QStringList{"\\\\PC-C 10.0.0.4 4"} << 2;
    }

    void sightingsMerge()
    {
        QFETCH(QStringList, reports);
        QFETCH(QStringList, expected);
        QFETCH(int, changes);
        LiveNeighbourhood hood(quiet());
        int told = 0;
        hood.onChange([&] { ++told; });
        const QHash<QChar, Source> sources = {
            {u't', Source::Tarvello}, {u'w', Source::Workstation}, {u'd', Source::WsDiscovery}};
        for (const QString &report : reports) {
            const QStringList f = report.mid(3).split(u' ');
            const Source source = sources.value(report.at(1));
            if (report.startsWith(u'+')) {
                const QStringList o = f.at(2).split(u'.');
                hood.found(source, f.at(0), f.at(1),
                           ip(o[0].toInt(), o[1].toInt(), o[2].toInt(), o[3].toInt()));
            } else {
                hood.lost(source, f.at(0));
            }
        }
        QCOMPARE(view(hood), expected);
        QCOMPARE(told, changes);
    }

    void knownNamesResolveFirst()
    {
        LiveNeighbourhood hood(quiet());
        hood.found(Source::WsDiscovery, QStringLiteral("u1"), QStringLiteral("PC-C"),
                   ip(10, 0, 0, 3));
        auto next = std::make_unique<FakeResolver>();
        FakeResolver &system = *next;
        system.addresses = {{"pc-c", ip(10, 9, 9, 9)}, {"pc-d", ip(10, 0, 0, 4)}};
        NeighbourhoodResolver resolver(hood, std::move(next));
        for (const char *name : {"pc-c", "PC-C", "pc-c.local", "PC-C."})
            QCOMPARE(resolver.addressOf(QString::fromLatin1(name)), ip(10, 0, 0, 3));
        QCOMPARE(system.lookups.load(), 0);
        QCOMPARE(resolver.addressOf(QStringLiteral("pc-d")), ip(10, 0, 0, 4));
        QCOMPARE(resolver.addressOf(QStringLiteral("pc-c.example.org")), std::nullopt);
        QCOMPARE(system.lookups.load(), 2);
    }

    // The report of each source as in sightingsMerge; then the name asked.
    void aComputersOwnNameResolvesFirst_data()
    {
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a WS-Discovery name seen before the Tarvello announcing it")
            << QStringList{"+d u1 PC-B 10.0.0.66", "+t k1 pc-b.local 10.0.0.2"} << "10.0.0.2";
        QTest::newRow("a WS-Discovery name seen before the workstation announcing it")
            << QStringList{"+d u1 PC-B 10.0.0.66", "+w k1 pc-b.local 10.0.0.2"} << "10.0.0.2";
        QTest::newRow("the Tarvello first") << QStringList{"+t k1 pc-b.local 10.0.0.2",
                                                           "+d u1 PC-B 10.0.0.66"}
                                            << "10.0.0.2";
    }
    void aComputersOwnNameResolvesFirst()
    {
        QFETCH(QStringList, reports);
        QFETCH(QString, expected);
        LiveNeighbourhood hood(quiet());
        const QHash<QChar, Source> sources = {
            {u't', Source::Tarvello}, {u'w', Source::Workstation}, {u'd', Source::WsDiscovery}};
        for (const QString &report : reports) {
            const QStringList f = report.mid(3).split(u' ');
            const QStringList o = f.at(2).split(u'.');
            hood.found(sources.value(report.at(1)), f.at(0), f.at(1),
                       ip(o[0].toInt(), o[1].toInt(), o[2].toInt(), o[3].toInt()));
        }
        const auto address = hood.addressOf(QStringLiteral("PC-B"));
        QVERIFY(address);
        QCOMPARE(address->dotted(), expected);
    }

    // A computer of the network names itself so that the list's text of it
    // reads as another computer's: the address book must not give it the
    // name the user gave that other computer.
    void aNameTakesNoBookNameOfAnother_data()
    {
        QTest::addColumn<QString>("hostile");
        QTest::newRow("comma") << "PC-B, X";
        QTest::newRow("comma and address") << "PC-B, IP = 10.0";
        QTest::newRow("parenthesis") << "X (PC-B";
    }
    void aNameTakesNoBookNameOfAnother()
    {
        QFETCH(QString, hostile);
        LiveNeighbourhood hood(quiet());
        hood.found(Source::WsDiscovery, QStringLiteral("u1"), hostile, ip(10, 0, 0, 66));
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("AddressBook.xml"));
        AddressBook book;
        book.append({QStringLiteral("Второй"), EntryKind::NetworkName, QStringLiteral("PC-B"), {}});
        QVERIFY(book.save(file));
        FakeResolver resolver;
        const UserList users = UserListBuilder::buildUserList(hood, resolver, file);
        QStringList texts;
        for (const UserEntry &u : users)
            texts << u.displayText + u'|' + (u.address.isAbsent() ? QString() : u.dottedAddress());
        // PC-B itself is not on the network: the book's entry stays absent,
        // and the hostile computer is listed under no name of the book.
        QVERIFY2(texts.contains(QStringLiteral("Второй (PC-B, отсутствует в сети)|")),
                 qPrintable(texts.join(u'\n')));
        for (const QString &t : std::as_const(texts))
            QVERIFY2(!(t.startsWith(QStringLiteral("Второй")) && t.endsWith(u"|10.0.0.66")),
                     qPrintable(t));
    }
};

TARVELLO_TEST_MAIN(NeighbourhoodTest)
#include "NeighbourhoodTest.moc"
