#pragma once

#include "Cancellation.h"
#include "ListenerServices.h"

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// A plain thread that runs one listener loop on one port.
class ListenerThread {
public:
    virtual ~ListenerThread();

    quint16 port() const { return m_port; }
    ListenerThread(const ListenerThread &) = delete;
    ListenerThread &operator=(const ListenerThread &) = delete;

    void start();
    // True once the loop has ended, waiting up to the given time for it.
    bool waitFinished(std::chrono::milliseconds time);
    // Waits until the thread has ended.
    void join();
    // The listener holds its port now. Only then may a stop be sent to the
    // port: otherwise it would reach whichever program holds it.
    bool isBound() const { return m_bound; }
    // Ends the connection the listener is serving, if any, and every later
    // one: part of a stop, so that it never waits for a peer.
    void cancelConnections() { m_connections.cancel(); }
    // Ends the connection the listener is serving, if any; later ones are
    // served.
    void interruptConnection() { m_connections.interrupt(); }
    // The listener serves a request it has answered (a file being copied,
    // a sound's samples): Exit lets it finish.
    bool isServing() const { return m_serving; }

protected:
    ListenerThread(const char *name, const ListenerServices &services, StopState &stop,
                   quint16 port)
        : m_services(services), m_stop(stop), m_port(port), m_name(name)
    {
    }
    virtual void run() = 0;
    // Called once the port is held and before the port is let go. A stop
    // that saw the port unheld is not sent: after taking the port the loop
    // must look at its stop flag before it waits for a connection.
    void setBound(bool bound) { m_bound = bound; }

    // Connections being served attach here (cancelConnections()).
    Cancellation m_connections;
    std::atomic<bool> m_serving{false};

    const ListenerServices &m_services;
    StopState &m_stop;
    const quint16 m_port;

private:
    const char *m_name;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::atomic<bool> m_bound{false};
};
