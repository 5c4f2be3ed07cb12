#include "ListenerControl.h"

#include "DataListener.h"
#include "MessageListener.h"
#include "MessageWindows.h"
#include "StopToken.h"
#include "TcpSocket.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"

ListenerControl::ListenerControl(ListenerServices services) : m_services(std::move(services))
{
    // Text messages are shown in the message windows and logged once their
    // window has closed; other kinds as the program installed them.
    auto presenters = m_services.presenters;
    MessageWindows *windows = m_services.windows;
    MessageLog *log = m_services.log;
    presenters[QString::fromLatin1(MessageListener::kQueuedMessage)] =
        [windows, log](const QByteArray &data) {
            const QString text = MessageListener::decodeQueued(data);
            if (windows && !windows->showMessage(text))
                return false;
            if (log)
                log->append(text, LogDirection::Incoming);
            return true;
        };
    m_queue = std::make_unique<IncomingQueue>(std::move(presenters), m_services.queueItems,
                                              m_services.queueBytes);
    m_services.queue = m_queue.get();
}

ListenerControl::~ListenerControl()
{
    std::lock_guard lock(m_mutex);
    stop();
    // What is still queued is not waited for; the queue's end waits only
    // for a window that is open.
    m_queue->hold();
}

bool ListenerControl::isRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_message != nullptr;
}

quint16 ListenerControl::messagePort() const
{
    std::lock_guard lock(m_mutex);
    return m_message ? m_message->port() : 0;
}

quint16 ListenerControl::dataPort() const
{
    std::lock_guard lock(m_mutex);
    return m_data ? m_data->port() : 0;
}

void ListenerControl::startListeners()
{
    std::lock_guard lock(m_mutex);
    start();
}

void ListenerControl::stopListeners()
{
    std::lock_guard lock(m_mutex);
    stop();
    m_queue->waitUntilShown();
}

void ListenerControl::holdUnshown()
{
    m_queue->hold();
}

bool ListenerControl::saveUnshown(const QString &path)
{
    return m_queue->save(path);
}

int ListenerControl::restoreUnshown(const QString &path)
{
    return m_queue->restore(path);
}

void ListenerControl::restartListeners()
{
    std::lock_guard lock(m_mutex);
    stop();
    start();
}

void ListenerControl::start()
{
    if (m_message)
        return;
    const Settings settings = m_services.settings ? m_services.settings->get() : Settings();
    m_stop.StopRequested = false;
    m_stop.DataStopRequested = false;
    m_message = std::make_unique<MessageListener>(m_services, m_stop, settings.messagePort());
    m_message->start();
    m_data = std::make_unique<DataListener>(m_services, m_stop, settings.dataPort());
    m_data->start();
}

namespace {

// Delivers a stop message to a listener on this computer, once its stop
// flag is set. A listener that does not hold its port (another program
// does) is sent nothing: it sees the flag and ends by itself. When the
// connection cannot be made (the backlog is full) it is tried again until
// the listener has ended.
void deliverStop(ListenerThread &listener, quint16 port, const QByteArray &message)
{
    while (!listener.waitFinished(std::chrono::milliseconds(0))) {
        if (listener.isBound()) {
            TcpSocket socket;
            if (socket.connectTo(Ipv4Address::loopback(), port, 1000)) {
                socket.send(message.constData(), message.size());
                return;
            }
        }
        if (listener.waitFinished(std::chrono::milliseconds(100)))
            return;
    }
}

} // namespace

void ListenerControl::stop()
{
    if (!m_message)
        return;

    m_stop.request(m_stop.StopRequested);
    // A peer being served is cut off: a stop never waits for a peer, only
    // for a window the user has open.
    m_message->cancelConnections();
    deliverStop(*m_message, m_message->port(), QByteArray(StopToken));
    m_message->join();
    m_stop.StopRequested = false;

    m_stop.request(m_stop.DataStopRequested);
    // A transfer under way ends as interrupted; a window the user has open
    // is still waited for.
    m_data->cancelConnections();
    deliverStop(*m_data, m_data->port(), DataHeader::stop().encode());
    m_data->join();
    m_stop.DataStopRequested = false;

    m_message.reset();
    m_data.reset();
}
