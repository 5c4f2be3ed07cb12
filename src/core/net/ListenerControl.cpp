#include "ListenerControl.h"

#include "DataListener.h"
#include "MessageJournal.h"
#include "MessageListener.h"
#include "MessageWindows.h"
#include "StopToken.h"
#include "TcpSocket.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"

#include <optional>

ListenerControl::ListenerControl(ListenerServices services) : m_services(std::move(services))
{
    if (!m_services.journalFolder.isEmpty())
        m_journal = std::make_unique<MessageJournal>(m_services.journalFolder);
    // Text messages are shown in the message windows and logged once their
    // window has closed; other kinds as the program installed them.
    auto presenters = m_services.presenters;
    MessageWindows *windows = m_services.windows;
    MessageLog *log = m_services.log;
    const QString message = QString::fromLatin1(MessageListener::kQueuedMessage);
    m_messages = std::make_unique<IncomingQueue>(
        std::map<QString, IncomingQueue::Presenter>{
            {message,
             [windows, log](const QByteArray &data) {
                 const QString text = MessageListener::decodeQueued(data);
                 if (windows && !windows->showMessage(text))
                     return false;
                 if (log)
                     log->append(text, LogDirection::Incoming);
                 return true;
             }}},
        m_services.queueItems, m_services.queueBytes, m_journal.get());
    presenters.erase(message);
    m_sounds = std::make_unique<IncomingQueue>(std::move(presenters), m_services.queueItems,
                                               m_services.queueBytes, m_journal.get());
    m_services.messages = m_messages.get();
    m_services.sounds = m_sounds.get();
    if (m_journal)
        m_services.claimJournal = [this] { claimJournal(); };
}

ListenerControl::~ListenerControl()
{
    // What is still queued is not waited for; the queues' ends wait only
    // for a window that is open.
    m_messages->hold(true);
    m_sounds->hold(true);
    std::lock_guard lock(m_mutex);
    m_stop.Ending = true;
    stop();
}

void ListenerControl::claimJournal()
{
    if (!m_journal)
        return;
    // Both listeners claim: the second waits until what was kept is queued,
    // ahead of anything it takes in.
    std::lock_guard lock(m_claiming);
    std::vector<MessageJournal::Entry> kept;
    if (m_journal->isOwned() || !m_journal->claim(kept) || kept.empty())
        return;
    std::vector<std::pair<quint64, IncomingQueue::Item>> messages, sounds;
    for (MessageJournal::Entry &entry : kept) {
        auto &queue = entry.kind == QLatin1String(MessageListener::kQueuedMessage) ? messages
                                                                                     : sounds;
        queue.push_back({entry.id, {entry.kind, std::move(entry.data)}});
    }
    m_messages->restore(std::move(messages));
    m_sounds->restore(std::move(sounds));
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
    if (!m_ended)
        start();
}

void ListenerControl::stopListeners()
{
    m_messages->hold(true);
    m_sounds->hold(true);
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        stop();
    }
    m_messages->waitUntilIdle();
    m_sounds->waitUntilIdle();
    if (m_journal)
        m_journal->flush();
}

void ListenerControl::endSession()
{
    m_stop.Ending = true;
    m_messages->hold(true);
    m_sounds->hold(true);
}

void ListenerControl::resumeShowing()
{
    // No lock: a restart may hold it while it waits for a transfer, and the
    // GUI thread asks. A queue held for good (the program's end) stays held.
    m_messages->resume();
    m_sounds->resume();
}

void ListenerControl::waitUntilShown()
{
    m_messages->waitUntilShown();
    m_sounds->waitUntilShown();
}

void ListenerControl::restartListeners()
{
    std::lock_guard lock(m_mutex);
    // After Exit the listeners stay stopped.
    if (m_ended)
        return;
    if (!m_message) {
        start();
        return;
    }
    const Settings settings = m_services.settings ? m_services.settings->get() : Settings();
    const quint16 messagePort = settings.messagePort();
    const quint16 dataPort = settings.dataPort();
    // A listener whose port stays keeps listening; one that does not hold
    // its port (another program took it) tries again. Each listener moves
    // on its own: the message port is not closed while a file still
    // arrives. Unless the two trade ports: then both let theirs go first.
    if (messagePort == m_data->port() || dataPort == m_message->port()) {
        stop();
        start();
        return;
    }
    if (messagePort != m_message->port() || !m_message->isBound()) {
        stopMessage();
        startMessage(messagePort);
    }
    if (dataPort != m_data->port() || !m_data->isBound()) {
        stopData();
        startData(dataPort);
    }
}

void ListenerControl::start()
{
    if (m_message)
        return;
    const Settings settings = m_services.settings ? m_services.settings->get() : Settings();
    startMessage(settings.messagePort());
    startData(settings.dataPort());
}

void ListenerControl::startMessage(quint16 port)
{
    m_stop.StopRequested = false;
    m_message = std::make_unique<MessageListener>(m_services, m_stop, port);
    m_message->start();
}

void ListenerControl::startData(quint16 port)
{
    m_stop.DataStopRequested = false;
    m_data = std::make_unique<DataListener>(m_services, m_stop, port);
    m_data->start();
}

namespace {

// Stops one listener on this computer once its stop flag is set: sends it
// the stop message and waits until it has ended. A listener that does not
// hold its port (another program does) is sent nothing: it sees the flag
// and ends by itself; when the connection cannot be made (the listen queue
// is full) it is tried again. A peer the listener serves is cut once the
// time for it has passed or the program's end asks for it, without
// cutting those that wait behind it.
void stopListener(ListenerThread &listener, quint16 port, const QByteArray &message,
                  std::optional<std::chrono::milliseconds> cutAfter, const std::atomic<bool> &ending)
{
    const auto started = std::chrono::steady_clock::now();
    bool delivered = false;
    while (!listener.waitFinished(std::chrono::milliseconds(0))) {
        if (!delivered && listener.isBound()) {
            TcpSocket socket;
            if (socket.connectTo(Ipv4Address::loopback(), port, 100)) {
                socket.send(message.constData(), message.size());
                delivered = true;
            }
        }
        if (ending || (cutAfter && !listener.isServing() &&
                       std::chrono::steady_clock::now() - started >= *cutAfter))
            listener.interruptConnection();
        listener.waitFinished(std::chrono::milliseconds(delivered ? 100 : 20));
    }
}

} // namespace

void ListenerControl::stop()
{
    if (!m_message)
        return;
    stopMessage();
    // A request answered (an offer's prompt and its copy, a sound) is
    // finished, as a window the user has open is waited for, unless the
    // session is ending.
    stopData();
}

std::optional<std::chrono::milliseconds> ListenerControl::cutAfter() const
{
    // At the program's end a peer still sending a message or a request is
    // cut after a moment; a restart waits for it.
    return m_ended ? std::optional(std::chrono::milliseconds(kStopGraceMs)) : std::nullopt;
}

void ListenerControl::stopMessage()
{
    m_stop.request(m_stop.StopRequested);
    stopListener(*m_message, m_message->port(), QByteArray(StopToken), cutAfter(), m_stop.Ending);
    m_message->join();
    m_stop.StopRequested = false;
    m_message.reset();
}

void ListenerControl::stopData()
{
    m_stop.request(m_stop.DataStopRequested);
    stopListener(*m_data, m_data->port(), DataHeader::stop().encode(), cutAfter(), m_stop.Ending);
    m_data->join();
    m_stop.DataStopRequested = false;
    m_data.reset();
}
