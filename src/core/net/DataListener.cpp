#include "DataListener.h"

#include "DataPort.h"
#include "IncomingQueue.h"
#include "TcpSocket.h"

#include <cerrno>

namespace {

// Errors that say something about one connection or a passing shortage, not
// about the listening socket: the listener goes on.
bool isTransientAcceptError(int error)
{
    switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EAGAIN:
    case EPERM:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return true;
    default:
        return false;
    }
}

} // namespace

void DataListener::run()
{
    TcpSocket listening;
    if (!listening.listenOn(m_port)) {
        if (m_services.observer)
            m_services.observer->portUnavailable(ListenerKind::Data, m_port, listening.lastError());
        return;
    }
    setBound(true);
    // The journal belongs to the instance that receives: also when another
    // program holds the message port.
    if (m_services.claimJournal)
        m_services.claimJournal();
    for (;;) {
        if (m_stop.DataStopRequested)
            break;
        // A stop whose own header was cut on its way ends when nothing more
        // waits.
        if (m_stop.DataStopRequested && !listening.waitReadable(m_services.stopDeadlineMs))
            break;
        Ipv4Address peer;
        TcpSocket connection = listening.accept(&peer);
        if (!connection.isOpen()) {
            if (m_stop.DataStopRequested || !isTransientAcceptError(listening.lastError()))
                break;
            // Out of descriptors or memory: give the system a moment.
            m_stop.waitFor(m_stop.DataStopRequested, std::chrono::milliseconds(100));
            continue;
        }
        connection.setCancellation(&m_connections);
        // During a stop, what waits in the listen queue is served briefly.
        const bool stopping = m_stop.DataStopRequested;
        connection.setReceiveTimeout(stopping ? m_services.stopIdleMs : m_services.idleTimeoutMs);
        connection.setReceiveDeadline(stopping ? m_services.stopDeadlineMs
                                               : m_services.deadlineMs);
        char bytes[DataHeader::kSize];
        if (!connection.receiveExactly(bytes, sizeof bytes))
            continue; // closed, failed or silent before the header was complete
        const DataHeader header = DataHeader::decode(bytes);
        if (header.isKind(DataKind::Stop)) {
            // Only the program's own stop, from this computer, ends the
            // listener; anyone else's stop header is refused.
            if (m_stop.DataStopRequested && peer.isLoopback())
                break;
            DataPort::refuse(connection);
            continue;
        }
        // A full queue of sound messages refuses more (its sender is told);
        // files and the message port go on. At the program's end no prompt
        // opens for a file offer.
        if ((header.isKind(DataKind::Sound) && m_services.sounds &&
             (stopping ? m_services.sounds->isOverfull() : m_services.sounds->isFull())) ||
            (header.isKind(DataKind::File) && m_stop.Ending)) {
            DataPort::refuse(connection);
            continue;
        }
        // Each kind sets the limits of what follows the header.
        if (!stopping)
            connection.setReceiveDeadline(0);
        const auto handler = m_services.dataHandlers.find(DataKind(header.kind));
        if (handler != m_services.dataHandlers.end() && handler->second) {
            m_serving = true;
            handler->second(connection, header, peer, m_services);
            m_serving = false;
        } else
            DataPort::refuse(connection);
        connection.close();
    }
    setBound(false);
    listening.close();
}
