// How long the GUI thread's event loop is kept from running while the
// program sends (texts, sound messages, a file with progress), resolves names
// and builds the user list, the way its windows do: blocking work goes to
// runOffGuiThread, a file to a worker that posts its progress. A 5 ms timer
// on the GUI thread measures how late it fires. Exits 1 when any phase keeps
// the loop waiting 50 ms or more.
#include "core/directory/UserListBuilder.h"
#include "core/net/DataPort.h"
#include "core/net/MessagePort.h"
#include "core/platform/HostResolver.h"
#include "core/sound/SoundMessage.h"
#include "core/transfer/FileTransfer.h"
#include "gui/ui/WaitFor.h"

#include "BenchSupport.h"
#include "support/TestListeners.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kTickMs = 5;
constexpr qint64 kLimitMs = 50;

// Records how late each tick of a 5 ms timer comes.
class LatencyProbe : public QObject {
public:
    LatencyProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (m_last >= 0)
                m_lateNs.push_back(std::max<qint64>(0, now - m_last - kTickMs * 1000000LL));
            m_last = now;
        });
    }
    void start()
    {
        m_lateNs.clear();
        m_last = -1;
        m_clock.start();
        m_timer.start(kTickMs);
    }
    void stop() { m_timer.stop(); }
    double maxMs() const
    {
        return m_lateNs.empty() ? 0.0
                                : double(*std::max_element(m_lateNs.begin(), m_lateNs.end())) / 1e6;
    }
    double percentileMs(double p) const
    {
        if (m_lateNs.empty())
            return 0.0;
        std::vector<qint64> sorted = m_lateNs;
        std::sort(sorted.begin(), sorted.end());
        return double(sorted[size_t(p * double(sorted.size() - 1))]) / 1e6;
    }
    size_t ticks() const { return m_lateNs.size(); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = -1;
    std::vector<qint64> m_lateNs;
};

// Runs one phase from the GUI thread's loop, as a command does, and reports.
bool phase(LatencyProbe &probe, const char *name, const std::function<void()> &work)
{
    QEventLoop loop;
    QElapsedTimer took;
    QTimer::singleShot(20, &loop, [&] {
        took.start();
        work();
        loop.quit();
    });
    probe.start();
    loop.exec();
    probe.stop();
    const bool met = probe.maxMs() < double(kLimitMs);
    std::printf("  %-34s %6lld ms, %5zu ticks, loop late by at most %6.1f ms (99%%: %5.1f ms) %s\n",
                name, qint64(took.elapsed()), probe.ticks(), probe.maxMs(),
                probe.percentileMs(0.99), met ? "" : "MISSED");
    return met;
}

} // namespace

int main(int argc, char **argv)
{
    BenchSupport::quietOffscreen();
    QApplication app(argc, argv);
    QProgressBar progress; // painted as the sending window's bar is
    progress.show();
    LatencyProbe probe;
    TestListeners receiver;
    bool met = true;
    std::printf("GUI event-loop latency (a %d ms timer; limit %lld ms)\n", kTickMs,
                qint64(kLimitMs));

    met &= phase(probe, "sending 300 texts", [&] {
        for (int i = 0; i < 300; ++i) {
            runOffGuiThread<MessagePort::SendResult>([&] {
                return MessagePort::sendMessage(Ipv4Address::loopback(), receiver.messagePort(),
                                                QStringLiteral("PC1"),
                                                QStringLiteral("Текст %1").arg(i));
            });
        }
    });
    met &= phase(probe, "sending 10 sound messages of 512 KB", [&] {
        const QByteArray samples(524288, 's');
        for (int i = 0; i < 10; ++i) {
            runOffGuiThread<bool>([&] {
                return SoundMessage::send(Ipv4Address::loopback(), receiver.dataPort(),
                                          QStringLiteral("PC1"), samples.constData(),
                                          quint32(samples.size()));
            });
        }
    });
    QTemporaryDir dir;
    met &= phase(probe, "sending a 512 MB file with progress", [&] {
        QFile source(dir.filePath(QStringLiteral("source.bin")));
        source.open(QIODevice::WriteOnly);
        source.resize(qint64(512) << 20);
        source.close();
        receiver.windows.answerOffers({dir.filePath(QStringLiteral("received.bin"))});
        QEventLoop wait;
        std::thread worker([&] {
            FileTransfer::sendFile({Ipv4Address::loopback(), receiver.dataPort(),
                                    QStringLiteral("PC1"), source.fileName(),
                                    QStringLiteral("received.bin")},
                                   [&](FileSendStatus status, int percent) {
                                       QMetaObject::invokeMethod(&progress, [&, status, percent] {
                                           progress.setValue(percent);
                                           if (status != FileSendStatus::Progress)
                                               wait.quit();
                                       });
                                   });
        });
        wait.exec();
        worker.join();
    });
    met &= phase(probe, "resolving 200 names (20 ms each)", [&] {
        FakeResolver resolver;
        resolver.delayMs = 20;
        SystemHostResolver system;
        for (int i = 0; i < 200; ++i)
            runOffGuiThread<std::optional<Ipv4Address>>(
                [&] { return resolver.addressOf(QStringLiteral("PC%1").arg(i)); });
        runOffGuiThread<std::optional<Ipv4Address>>(
            [&] { return system.addressOf(QStringLiteral("localhost")); });
    });
    met &= phase(probe, "building a list of 250 neighbours", [&] {
        FakeBrowser browser;
        FakeResolver resolver;
        BenchSupport::fillNeighbourhood(browser, resolver, 250, 40);
        runOffGuiThread<UserList>([&] {
            return UserListBuilder::buildUserList(browser, resolver,
                                                  dir.filePath(QStringLiteral("AddressBook.xml")));
        });
    });
    std::printf("  target (every phase under %lld ms): %s\n", qint64(kLimitMs),
                met ? "met" : "MISSED");
    return met ? 0 : 1;
}
