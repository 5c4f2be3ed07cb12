// 1,000 text messages from 4 senders at once into the message listener, each
// shown in a real incoming message window that closes itself as soon as it
// is shown, against a bare accept-read-close loop on the same kind of socket
// in the same run: with the old listen backlog of 5 and with the system's
// largest, which the listeners now use. Prints when the last message was
// sent, accepted and shown, and the memory; exits 1 when a message is lost,
// the last is accepted more than a second after the last send, or the
// listener takes messages at less than 1/20 of the bare loop's rate.
#include "app/GuiIncomingWindows.h"
#include "core/net/IncomingQueue.h"
#include "core/net/MessageJournal.h"
#include "core/net/MessagePort.h"
#include "core/net/TcpSocket.h"
#include "gui/messaging/IncomingMessageWindow.h"

#include "BenchSupport.h"
#include "support/TestListeners.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kSenders = 4;
constexpr int kMessages = 1000;

// The test window: every incoming message window closes as soon as it shows.
class AutoClose : public QObject {
public:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *window = qobject_cast<IncomingMessageWindow *>(object))
                QTimer::singleShot(0, window, &QDialog::reject);
        }
        return false;
    }
};

struct Timing {
    qint64 lastSentMs = 0; // the last sender's send returned
    qint64 acceptedMs = 0; // the receiver had taken every message
    qint64 doneMs = 0;     // and shown (or served) every one
};

// Sends kMessages texts from kSenders threads; returns how many were
// delivered. The GUI thread keeps its loop running meanwhile.
int burst(quint16 port, const std::function<bool()> &allAccepted,
          const std::function<bool()> &allDone, Timing *timing)
{
    std::atomic<int> delivered{0};
    std::atomic<int> running{kSenders};
    std::atomic<qint64> lastSent{0};
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            const QString host = QStringLiteral("PC%1").arg(s);
            for (int i = s; i < kMessages; i += kSenders) {
                if (MessagePort::sendMessage(Ipv4Address::loopback(), port, host,
                                             QStringLiteral("Сообщение %1").arg(i)) ==
                    MessagePort::SendResult::Delivered)
                    ++delivered;
            }
            const qint64 now = timer.elapsed();
            for (qint64 seen = lastSent;
                 now > seen && !lastSent.compare_exchange_weak(seen, now);) {
            }
            --running;
        });
    }
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (timing->acceptedMs == 0 && allAccepted())
            timing->acceptedMs = timer.elapsed();
        if ((running == 0 && timing->acceptedMs > 0 && allDone()) || timer.elapsed() > 300000)
            loop.quit();
    });
    poll.start(1);
    loop.exec();
    timing->doneMs = timer.elapsed();
    for (auto &t : senders)
        t.join();
    timing->lastSentMs = lastSent;
    return delivered;
}

// The listen backlog the listeners had before they queued messages.
constexpr int kOldBacklog = 5;

// A loop that only accepts, reads to the end and closes, on a socket of its
// own with the given backlog.
int bareBurst(int backlog, Timing *timing)
{
    const quint16 port = TestSupport::freeConfiguredPort();
    const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(TcpSocket::wirePort(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listening, backlog) != 0) {
        ::close(listening);
        return 0;
    }
    std::atomic<int> served{0};
    std::thread loop([&] {
        char buffer[4096];
        while (served < kMessages) {
            const int connection = ::accept(listening, nullptr, nullptr);
            if (connection < 0)
                break;
            while (::recv(connection, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(connection);
            ++served;
        }
    });
    const auto all = [&] { return served >= kMessages; };
    const int delivered = burst(port, all, all, timing);
    ::shutdown(listening, SHUT_RDWR);
    loop.join();
    ::close(listening);
    return delivered;
}

} // namespace

int main(int argc, char **argv)
{
    BenchSupport::quietOffscreen();
    QApplication app(argc, argv);
    AutoClose autoClose;
    app.installEventFilter(&autoClose);

    // The program's listeners with real windows and their journal.
    QTemporaryDir journalFolder;
    Timing program;
    int programDelivered = 0;
    qsizetype shown = 0;
    const long rssBefore = TestSupport::residentKb();
    long rssPeak = rssBefore;
    {
        LiveSettings windowSettings;
        GuiIncomingWindows windows(windowSettings);
        TestListeners receiver(MessagePort::kIdleTimeoutMs, &windows, MessagePort::kDeadlineMs,
                               journalFolder.path());
        IncomingQueue &queue = receiver.control->messages();
        programDelivered = burst(
            receiver.messagePort(),
            [&] {
                rssPeak = std::max(rssPeak, TestSupport::residentKb());
                return queue.received() >= kMessages;
            },
            [&] { return receiver.log.size() >= kMessages; }, &program);
        shown = receiver.log.size();
    }

    // The bare loops: accept, read to the end, close; one connection at a
    // time, with the old backlog and with the system's largest.
    Timing bare;
    const int bareDelivered = bareBurst(kOldBacklog, &bare);
    Timing wide;
    const int wideDelivered = bareBurst(SOMAXCONN, &wide);

    const auto rate = [](qint64 ms) { return ms > 0 ? 1000.0 * kMessages / double(ms) : 0.0; };
    std::printf("message burst, %d messages from %d senders\n", kMessages, kSenders);
    std::printf("  bare accept-read-close loop, backlog %d:    %6lld ms, %6.0f messages/s (%d "
                "delivered)\n",
                kOldBacklog, qint64(bare.doneMs), rate(bare.doneMs), bareDelivered);
    std::printf("  bare loop, backlog %d (reference):       %6lld ms, %6.0f messages/s (%d "
                "delivered)\n",
                SOMAXCONN, qint64(wide.doneMs), rate(wide.doneMs), wideDelivered);
    std::printf("  listener, backlog %d: last sent at %lld ms, all accepted at %lld ms "
                "(%.0f messages/s), all shown and logged at %lld ms (%d delivered, %lld shown)\n",
                TcpSocket::kListenBacklog, qint64(program.lastSentMs), qint64(program.acceptedMs),
                rate(program.acceptedMs), qint64(program.doneMs), programDelivered, qint64(shown));
    std::printf("  memory: RSS %ld kB before, peak %ld kB while queued (queue limit %lld MiB)\n",
                rssBefore, rssPeak, qint64(IncomingQueue::kMaxBytes >> 20));
    const bool whole = programDelivered == kMessages && shown == kMessages;
    const bool prompt = program.acceptedMs - program.lastSentMs <= 1000;
    const bool fast = rate(program.acceptedMs) * 20.0 >= rate(wide.doneMs);
    std::printf("  target every message delivered, shown and logged: %s\n",
                whole ? "met" : "MISSED");
    std::printf("  target all accepted within 1 s of the last send: %s (%lld ms)\n",
                prompt ? "met" : "MISSED", qint64(program.acceptedMs - program.lastSentMs));
    std::printf("  target at least 1/20 of the bare loop's rate: %s (%.3f)\n",
                fast ? "met" : "MISSED",
                rate(wide.doneMs) > 0 ? rate(program.acceptedMs) / rate(wide.doneMs) : 0.0);

    // The journal after 10,000 messages of 200 characters shown: done items
    // are compacted away.
    QElapsedTimer journalTimer;
    journalTimer.start();
    qint64 journalBytes = 0;
    {
        QTemporaryDir folder;
        MessageJournal journal(folder.path());
        std::vector<MessageJournal::Entry> kept;
        journal.claim(kept);
        const QByteArray text(400, 'j');
        for (int i = 0; i < 10000; ++i)
            journal.markDone(journal.append(QStringLiteral("message"), text));
        journal.flush();
        journalBytes = journal.fileSize();
    }
    const bool small = journalBytes < 2 * 1024 * 1024;
    std::printf("  journal after 10000 messages shown: %lld bytes (%lld ms to write and mark)\n",
                journalBytes, qint64(journalTimer.elapsed()));
    std::printf("  target journal under 2 MiB: %s\n", small ? "met" : "MISSED");
    return whole && prompt && fast && small ? 0 : 1;
}
