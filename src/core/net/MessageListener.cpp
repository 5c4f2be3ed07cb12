#include "MessageListener.h"

#include "MessagePort.h"
#include "MessageWindows.h"
#include "StopToken.h"
#include "TcpSocket.h"
#include "core/base/MessageLog.h"

void MessageListener::run()
{
    TcpSocket listening;
    bool reported = false;
    auto backoff = std::chrono::milliseconds(100);
    const QString stopToken = QString::fromLatin1(StopToken);

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
            if (m_stop.StopRequested)
                break;
        }

        QString text;
        const MessagePort::ReceiveLimits limits{m_services.idleTimeoutMs, m_services.deadlineMs,
                                                &m_connections};
        if (!MessagePort::receiveText(listening, text, limits)) {
            // An accept that fails during a stop ends the listener, so the
            // stop always returns.
            if (m_stop.StopRequested)
                break;
            continue;
        }
        if (m_stop.StopRequested && (text == stopToken || m_connections.isCancelled())) {
            // A stop cuts whatever connection was being served; what had
            // arrived of a message is kept in the log.
            if (!text.isEmpty() && text != stopToken && m_services.log)
                m_services.log->append(text, LogDirection::Incoming);
            break;
        }
        if (text.isEmpty())
            continue;

        if (m_services.windows)
            m_services.windows->showMessage(text);
        if (m_services.log)
            m_services.log->append(text, LogDirection::Incoming);
    }
    m_stop.StopRequested = false;
    setBound(false);
    listening.close();
}
