// The user's refresh on a live neighbourhood: run on a test host of
// bench/neighbourhood.sh, it waits until the neighbourhood knows the
// computers expected, then times five refreshes (a new search, at most 1 s
// of waiting for its answers, and the build with an address book naming
// every computer). Prints the times; exits 1 when the median misses 1 s.
//   bench_neighbourhood COMPUTERS
#include "core/directory/UserListBuilder.h"
#include "core/platform/HostResolver.h"
#include "core/platform/LiveNeighbourhood.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int expected = argc > 1 ? std::atoi(argv[1]) : 50;
    LiveNeighbourhood neighbourhood;
    SystemHostResolver resolver;
    QList<NetResource> records;
    QElapsedTimer waited;
    waited.start();
    while (neighbourhood.enumerate(records), records.size() < expected && waited.elapsed() < 60000)
        QThread::msleep(100);
    // A book that names every computer found, by name, and as many absent.
    QTemporaryDir dir;
    AddressBook book;
    for (const NetResource &r : std::as_const(records)) {
        book.append({QStringLiteral("Коллега ") + r.remoteName.mid(2),
                     EntryKind::NetworkName,
                     r.remoteName.mid(2),
                     {}});
        book.append({QStringLiteral("Нет ") + r.remoteName.mid(2),
                     EntryKind::NetworkName,
                     QStringLiteral("GONE-") + r.remoteName.mid(2),
                     {}});
    }
    const QString bookFile = dir.filePath(QStringLiteral("AddressBook.xml"));
    book.save(bookFile);

    QList<qint64> times;
    qsizetype listed = 0;
    int ways[3] = {0, 0, 0};
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        timer.start();
        neighbourhood.rescan();
        const UserList users = UserListBuilder::buildUserList(neighbourhood, resolver, bookFile);
        times << timer.elapsed();
        listed = users.size();
        std::fill(std::begin(ways), std::end(ways), 0);
        for (const UserEntry &u : users) {
            ways[0] += (u.foundBy & FoundBy::Tarvello) ? 1 : 0;
            ways[1] += (u.foundBy & FoundBy::DnsSd) && !(u.foundBy & FoundBy::Tarvello) ? 1 : 0;
            ways[2] += (u.foundBy & FoundBy::WsDiscovery) ? 1 : 0;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("refresh with %lld computers in the neighbourhood (Tarvello %d, workstation %d, "
                "WS-Discovery %d), %lld users listed: %lld %lld %lld %lld %lld ms, median %lld ms "
                "(target under 1000)\n",
                qlonglong(records.size()), ways[0], ways[1], ways[2], qlonglong(listed), times[0],
                times[1], times[2], times[3], times[4], times[2]);
    return records.size() >= expected && times[2] < 1000 ? 0 : 1;
}
