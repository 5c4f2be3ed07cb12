#pragma once

#include "ListenerServices.h"

#include <memory>
#include <mutex>

class DataListener;
class MessageListener;

// Starts, stops and restarts the two listener threads, one of these at a
// time whatever thread asks (a settings restart and the session's end may
// come together).
class ListenerControl {
public:
    explicit ListenerControl(ListenerServices services);
    // Stops listeners that still run.
    ~ListenerControl();
    ListenerControl(const ListenerControl &) = delete;
    ListenerControl &operator=(const ListenerControl &) = delete;

    // Starts the message listener, then the data listener, on the ports of
    // the settings record as it is now.
    void startListeners();
    // Stops both and returns when both threads have ended: the stop token
    // goes to the message listener, then a stop header to the data listener,
    // each on the port that listener was started on; then waits until every
    // message received has been shown and its window closed (unless the
    // queue is held). Blocks: call it off the GUI thread.
    void stopListeners();
    // The session is ending: messages not shown yet are not shown any more,
    // to be saved with saveUnshown().
    void holdUnshown();
    // Writes the messages not shown yet to the file (removing it when there
    // are none); restoreUnshown() queues them again at the next start, and
    // the file goes once they have been shown.
    bool saveUnshown(const QString &path);
    int restoreUnshown(const QString &path);
    // The messages waiting for their windows.
    IncomingQueue &queue() { return *m_queue; }
    // Stops the listeners where they listen and starts them on the ports of
    // the settings record as it is now.
    void restartListeners();

    bool isRunning() const;
    quint16 messagePort() const;
    quint16 dataPort() const;

private:
    void start();
    void stop();

    mutable std::mutex m_mutex;
    ListenerServices m_services;
    std::unique_ptr<IncomingQueue> m_queue;
    StopState m_stop;
    std::unique_ptr<MessageListener> m_message;
    std::unique_ptr<DataListener> m_data;
};
