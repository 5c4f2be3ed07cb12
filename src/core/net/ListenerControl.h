#pragma once

#include "ListenerServices.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <mutex>

class DataListener;
class MessageListener;

class MessageJournal;

// Starts, stops and restarts the two listener threads, one of these at a
// time for each listener whatever thread asks (a settings restart and the
// session's end may come together). Owns the queues of received text and sound messages and
// the journal they are recorded in.
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
    // The program's end (Exit): nothing more is shown; both listeners stop
    // after taking in what waits in their listen queues (the stop token
    // goes to the message listener, then a stop header to the data
    // listener, each on the port that listener was started on); a peer
    // still sending a message is cut after a moment. Returns once the
    // windows on screen have been closed and the journal is on the disk:
    // what was not shown waits there for the next start. No restart
    // follows. Blocks: call it off the GUI thread.
    void stopListeners();
    // The session is ending: from now on (also during a stop under way)
    // nothing more is shown, peers still sending are cut and file offers
    // waiting are refused. Any thread; returns at once.
    void endSession();
    // Moves each listener whose port the settings record now names another:
    // stops it where it listens, after the connection it serves and those
    // waiting have been taken in, and starts it on the new port. Nothing
    // queued is lost.
    void restartListeners();
    // Messages put aside by the user are shown again (unless the program
    // is ending). Returns at once.
    void resumeShowing();
    // Waits until every message queued has been shown and its window closed
    // (tests).
    void waitUntilShown();

    // The messages waiting for their windows.
    IncomingQueue &messages() { return *m_messages; }
    IncomingQueue &sounds() { return *m_sounds; }
    // Null without a journal folder.
    MessageJournal *journal() { return m_journal.get(); }
    // Takes the journal for this instance, if it is not yet, and queues
    // what it kept ahead of what has arrived since. Called by the message
    // listener once it holds its port; any thread.
    void claimJournal();

    bool isRunning() const;
    quint16 messagePort() const;
    quint16 dataPort() const;

    // At the program's end, how long a peer still sending a message has
    // before it is cut (what arrived is kept).
    static constexpr int kStopGraceMs = 700;

private:
    void start();
    void stop();
    void startMessage(quint16 port);
    void startData(quint16 port);
    void stopMessage();
    void stopData();
    std::optional<std::chrono::milliseconds> cutAfter() const;

    // Each listener starts and stops under a lock of its own (message first
    // when both are taken).
    mutable std::mutex m_messageMutex;
    std::mutex m_dataMutex;
    std::mutex m_claiming;
    // Where each listener listens now (0: stopped); read without its lock.
    std::atomic<quint16> m_messagePortNow{0};
    std::atomic<quint16> m_dataPortNow{0};
    ListenerServices m_services;
    std::unique_ptr<MessageJournal> m_journal;
    std::unique_ptr<IncomingQueue> m_messages;
    std::unique_ptr<IncomingQueue> m_sounds;
    StopState m_stop;
    std::atomic<bool> m_ended{false};
    std::unique_ptr<MessageListener> m_message;
    std::unique_ptr<DataListener> m_data;
};
