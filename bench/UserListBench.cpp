// Building the user list for a large neighbourhood whose look-ups are slow:
// 250 computers, 40 ms per look-up, one after the other and in parallel.
// Prints both times and the speed-up; exits 1 when the parallel build
// misses its target (under 1 s and at least 10 times faster).
#include "core/directory/UserListBuilder.h"

#include "BenchSupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

qint64 timeBuild(FakeBrowser &browser, FakeResolver &resolver, const QString &book, int parallel,
                 qsizetype *count)
{
    QElapsedTimer timer;
    timer.start();
    const UserList users = UserListBuilder::buildUserList(browser, resolver, book, parallel);
    *count = users.size();
    return timer.elapsed();
}

} // namespace

int main()
{
    FakeBrowser browser;
    FakeResolver resolver;
    BenchSupport::fillNeighbourhood(browser, resolver, 250, 40);
    QTemporaryDir dir;
    const QString book = dir.filePath(QStringLiteral("AddressBook.xml"));

    qsizetype sequentialCount = 0;
    qsizetype parallelCount = 0;
    const qint64 sequential = timeBuild(browser, resolver, book, 1, &sequentialCount);
    const qint64 parallel =
        timeBuild(browser, resolver, book, UserListBuilder::kParallelLookups, &parallelCount);
    const double speedUp = parallel > 0 ? double(sequential) / double(parallel) : 0.0;
    std::printf("user list, 250 neighbours, 40 ms per look-up\n");
    std::printf("  sequential: %lld ms (%lld users)\n", qint64(sequential),
                qint64(sequentialCount));
    std::printf("  parallel:   %lld ms (%lld users, %d look-ups at a time)\n", qint64(parallel),
                qint64(parallelCount), UserListBuilder::kParallelLookups);
    std::printf("  speed-up:   %.1fx\n", speedUp);
    const bool met = parallel < 1000 && speedUp >= 10.0 && parallelCount == sequentialCount;
    std::printf("  target (under 1000 ms, at least 10x): %s\n", met ? "met" : "MISSED");
    return met ? 0 : 1;
}
