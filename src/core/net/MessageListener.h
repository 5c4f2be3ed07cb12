#pragma once

#include "ListenerThread.h"
#include "MessagePort.h"

#include <chrono>
#include <optional>

// Accepts text messages on the message port, one connection at a time, and
// queues each for its window as soon as it has arrived; the queue shows it
// and logs it once its window has closed.
class TcpSocket;

class MessageListener : public ListenerThread {
public:
    // The queued form of a text message.
    static constexpr const char *kQueuedMessage = "message";
    static QByteArray encodeQueued(const QString &text);
    static QString decodeQueued(const QByteArray &data);

    MessageListener(const ListenerServices &services, StopState &stop, quint16 port)
        : ListenerThread("tv-message", services, stop, port)
    {
    }
    ~MessageListener() override { join(); }

private:
    // How long, after the stop's own connection, the listener waits for
    // another one before it lets its port go.
    static constexpr int kDrainWaitMs = 50;
    // Near the stop's end each connection still has this long.
    static constexpr int kStopMomentMs = 5;
    using Clock = std::chrono::steady_clock;
    void run() override;
    void drainAfterStop(TcpSocket &listening, Clock::time_point began);
    // What a connection taken during a stop that began then may take; none
    // once the stop's time is up.
    std::optional<MessagePort::ReceiveLimits> stopLimits(Clock::time_point began);
};
