#include "MessageListener.h"

#include "MessagePort.h"
#include "MessageWindows.h"
#include "StopToken.h"
#include "TcpSocket.h"

QByteArray MessageListener::encodeQueued(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

QString MessageListener::decodeQueued(const QByteArray &data)
{
    return QString(reinterpret_cast<const QChar *>(data.constData()), data.size() / 2);
}

std::optional<MessagePort::ReceiveLimits> MessageListener::stopLimits(Clock::time_point began)
{
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    const int left = int(m_services.stopDrainMs - spent);
    if (left <= 0)
        return std::nullopt;
    const int most = std::max(left, kStopMomentMs);
    return MessagePort::ReceiveLimits{std::min(m_services.stopIdleMs, most),
                                      std::min(m_services.stopDeadlineMs, most), &m_connections};
}

void MessageListener::drainAfterStop(TcpSocket &listening, Clock::time_point began)
{
    // Senders whose connections were made while the stop's own was on its
    // way are taken too, as long as more keep coming within the stop's time.
    while (!m_services.messages->isOverfull() && listening.waitReadable(kDrainWaitMs)) {
        const auto limits = stopLimits(began);
        QString text;
        if (!limits || !MessagePort::receiveText(listening, text, *limits))
            break;
        if (!text.isEmpty())
            m_services.messages->push({QString::fromLatin1(kQueuedMessage), encodeQueued(text)});
    }
}

void MessageListener::run()
{
    TcpSocket listening;
    bool reported = false;
    auto backoff = std::chrono::milliseconds(100);
    const QString stopToken = QString::fromLatin1(StopToken);
    std::optional<Clock::time_point> stopBegan;

    for (;;) {
        if (!listening.isOpen()) {
            if (!listening.listenOn(m_port)) {
                // Said once; then keep trying quietly, at most once a second.
                if (!reported && m_services.observer)
                    m_services.observer->portUnavailable(ListenerKind::Message, m_port,
                                                         listening.lastError());
                reported = true;
                if (m_stop.waitFor(m_stop.StopRequested, backoff))
                    break;
                backoff = std::min(backoff * 2, std::chrono::milliseconds(1000));
                continue;
            }
            backoff = std::chrono::milliseconds(100);
            setBound(true);
            if (m_services.observer)
                m_services.observer->messagePortHeld(m_port, true);
            if (m_stop.StopRequested)
                break;
        }

        if (m_services.claimJournal)
            m_services.claimJournal();
        // A full queue: accept nothing until a window has been shown. A
        // stop takes in what waits all the same.
        m_services.messages->waitForRoom(m_stop.StopRequested);
        QString text;
        const bool stopping = m_stop.StopRequested;
        if (stopping && !stopBegan)
            stopBegan = Clock::now();
        // A stop whose own connection was cut on its way ends when nothing
        // more waits; one that meets a flood or silent peers ends once its
        // time is up or twice the queue's bytes have been taken in (a sender
        // beyond finds the port closed).
        const auto limits =
            stopping ? stopLimits(*stopBegan)
                     : MessagePort::ReceiveLimits{m_services.idleTimeoutMs, m_services.deadlineMs,
                                                  &m_connections};
        if (stopping && (!limits || m_services.messages->isOverfull() ||
                         !listening.waitReadable(limits->deadlineMs)))
            break;
        if (!MessagePort::receiveText(listening, text, *limits)) {
            // An accept that fails during a stop ends the listener, so the
            // stop always returns.
            if (m_stop.StopRequested)
                break;
            continue;
        }
        if (m_stop.StopRequested && text == stopToken) {
            drainAfterStop(listening, stopBegan.value_or(Clock::now()));
            break;
        }
        // Whatever arrived is a message, also when a stop cut its connection
        // or came right after it: queued, never dropped.
        if (!text.isEmpty())
            m_services.messages->push({QString::fromLatin1(kQueuedMessage), encodeQueued(text)});
    }
    m_stop.StopRequested = false;
    // Withdrawn before the port is let go: nobody is sent to a computer
    // whose Tarvello no longer listens.
    if (listening.isOpen() && m_services.observer)
        m_services.observer->messagePortHeld(m_port, false);
    setBound(false);
    listening.close();
}
