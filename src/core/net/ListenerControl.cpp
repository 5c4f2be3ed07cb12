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
    std::scoped_lock lock(m_messageMutex, m_dataMutex);
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
    std::lock_guard lock(m_messageMutex);
    return m_message != nullptr;
}

quint16 ListenerControl::messagePort() const
{
    return m_messagePortNow;
}

quint16 ListenerControl::dataPort() const
{
    return m_dataPortNow;
}

void ListenerControl::startListeners()
{
    std::scoped_lock lock(m_messageMutex, m_dataMutex);
    if (!m_ended)
        start();
}

void ListenerControl::stopListeners()
{
    m_messages->hold(true);
    m_sounds->hold(true);
    m_ended = true;
    {
        std::scoped_lock lock(m_messageMutex, m_dataMutex);
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
    // After Exit the listeners stay stopped.
    if (m_ended)
        return;
    const Settings settings = m_services.settings ? m_services.settings->get() : Settings();
    const quint16 messagePort = settings.messagePort();
    const quint16 dataPort = settings.dataPort();
    // If the two trade ports, both let theirs go first.
    if (messagePort == m_dataPortNow || dataPort == m_messagePortNow) {
        std::scoped_lock lock(m_messageMutex, m_dataMutex);
        if (!m_ended) {
            stop();
            start();
        }
        return;
    }
    // Otherwise each listener moves on its own, under a lock of its own: the
    // message port is not closed while a file still arrives, nor held on
    // the old port by a data restart waiting for one. A listener whose port
    // stays keeps listening; one that does not hold its port (another
    // program took it) tries again.
    {
        std::lock_guard lock(m_messageMutex);
        if (m_ended)
            return;
        if (m_message && (messagePort != m_message->port() || !m_message->isBound()))
            stopMessage();
        if (!m_message)
            startMessage(messagePort);
    }
    std::lock_guard lock(m_dataMutex);
    if (m_ended)
        return;
    if (m_data && (dataPort != m_data->port() || !m_data->isBound()))
        stopData();
    if (!m_data)
        startData(dataPort);
}

void ListenerControl::start()
{
    const Settings settings = m_services.settings ? m_services.settings->get() : Settings();
    if (!m_message)
        startMessage(settings.messagePort());
    if (!m_data)
        startData(settings.dataPort());
}

void ListenerControl::startMessage(quint16 port)
{
    m_stop.StopRequested = false;
    m_message = std::make_unique<MessageListener>(m_services, m_stop, port);
    m_message->start();
    m_messagePortNow = port;
}

void ListenerControl::startData(quint16 port)
{
    m_stop.DataStopRequested = false;
    m_data = std::make_unique<DataListener>(m_services, m_stop, port);
    m_data->start();
    m_dataPortNow = port;
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
    if (m_message)
        stopMessage();
    // A request answered (an offer's prompt and its copy, a sound) is
    // finished, as a window the user has open is waited for, unless the
    // session is ending.
    if (m_data)
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
    m_messagePortNow = 0;
}

void ListenerControl::stopData()
{
    m_stop.request(m_stop.DataStopRequested);
    stopListener(*m_data, m_data->port(), DataHeader::stop().encode(), cutAfter(), m_stop.Ending);
    m_data->join();
    m_stop.DataStopRequested = false;
    m_data.reset();
    m_dataPortNow = 0;
}
