// 1,000 text messages from 4 senders at once into the message listener, each
// shown in a real incoming message window that closes itself as soon as it
// is shown, against a bare accept-read-close loop on the same kind of socket
// in the same run. Prints the rates; exits 1 when a message is lost.
//
// The listeners listen with a backlog of 5: a sender that finds the queue
// full has its connection request dropped and repeated by its system a
// second later, so a burst is paced by that queue. A bare loop with the
// system's largest backlog shows the rate without that limit.
#include "app/GuiIncomingWindows.h"
#include "core/net/MessagePort.h"
#include "core/net/TcpSocket.h"
#include "gui/messaging/IncomingMessageWindow.h"

#include "BenchSupport.h"
#include "support/TestListeners.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Sends kMessages texts from kSenders threads; returns how many were
// delivered. The GUI thread keeps its loop running meanwhile.
int burst(quint16 port, const std::function<bool()> &allArrived, qint64 *elapsedMs)
{
    std::atomic<int> delivered{0};
    std::atomic<int> running{kSenders};
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
            --running;
        });
    }
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if ((running == 0 && allArrived()) || timer.elapsed() > 300000)
            loop.quit();
    });
    poll.start(2);
    loop.exec();
    *elapsedMs = timer.elapsed();
    for (auto &t : senders)
        t.join();
    return delivered;
}

// The backlog TcpSocket::listenOn gives the listeners.
constexpr int kListenerBacklog = 5;

// A loop that only accepts, reads to the end and closes, on a socket of its
// own with the given backlog.
int bareBurst(int backlog, qint64 *elapsedMs)
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
    const int delivered = burst(
        port, [&] { return served >= kMessages; }, elapsedMs);
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

    // The program's listeners with real windows.
    qint64 programMs = 0;
    int programDelivered = 0;
    qsizetype shown = 0;
    {
        LiveSettings windowSettings;
        GuiIncomingWindows windows(windowSettings);
        TestListeners receiver(MessagePort::kIdleTimeoutMs, &windows);
        programDelivered = burst(
            receiver.messagePort(), [&] { return receiver.log.size() >= kMessages; }, &programMs);
        shown = receiver.log.size();
    }

    // The bare loops: accept, read to the end, close; one connection at a
    // time, with the listener's backlog and with the system's largest.
    qint64 bareMs = 0;
    const int bareDelivered = bareBurst(kListenerBacklog, &bareMs);
    qint64 wideMs = 0;
    const int wideDelivered = bareBurst(SOMAXCONN, &wideMs);

    const auto rate = [](qint64 ms) { return ms > 0 ? 1000.0 * kMessages / double(ms) : 0.0; };
    std::printf("message burst, %d messages from %d senders\n", kMessages, kSenders);
    std::printf(
        "  bare accept-read-close loop, backlog %d: %6lld ms, %5.0f messages/s (%d delivered)\n",
        kListenerBacklog, qint64(bareMs), rate(bareMs), bareDelivered);
    std::printf(
        "  listener with windows, backlog %d:      %6lld ms, %5.0f messages/s (%d delivered, "
        "%lld shown and logged)\n",
        kListenerBacklog, qint64(programMs), rate(programMs), programDelivered, qint64(shown));
    std::printf(
        "  bare loop, backlog %d (reference):    %6lld ms, %5.0f messages/s (%d delivered)\n",
        SOMAXCONN, qint64(wideMs), rate(wideMs), wideDelivered);
    std::printf("  ratio: %.2f of the bare loop\n",
                programMs > 0 ? double(bareMs) / double(programMs) : 0.0);
    const bool whole = programDelivered == kMessages && shown == kMessages;
    std::printf("  target (every message delivered, shown and logged): %s\n",
                whole ? "met" : "MISSED");
    return whole ? 0 : 1;
}
