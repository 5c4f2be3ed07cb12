#pragma once

#include "DataHeader.h"
#include "IncomingQueue.h"
#include "core/base/Ipv4Address.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

class MessageWindows;
class LiveSettings;
class MessageLog;
class TcpSocket;

enum class ListenerKind { Message, Data };

// Hears about a port that cannot be opened, once per listener start.
class ListenerObserver {
public:
    virtual ~ListenerObserver() = default;
    // Called on the listener's thread.
    virtual void portUnavailable(ListenerKind kind, int configuredPort, int error) = 0;
    // The message listener has taken its port (held) or let it go: while
    // it holds it, this computer's Tarvello may be announced. Called on the
    // listener's thread.
    virtual void messagePortHeld(int configuredPort, bool held)
    {
        (void)configuredPort;
        (void)held;
    }
};

struct ListenerServices;

// Serves one data connection whose header is complete and of its kind;
// closes the connection before it returns.
using DataConnectionHandler =
    std::function<void(TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
                       const ListenerServices &services)>;

// What the listener threads use; owned elsewhere and outliving the listeners.
struct ListenerServices {
    LiveSettings *settings = nullptr;
    MessageWindows *windows = nullptr;
    MessageLog *log = nullptr;
    ListenerObserver *observer = nullptr;
    // How each kind of data is served (sound messages, file offers): the
    // program installs them; a kind without one is refused.
    std::map<DataKind, DataConnectionHandler> dataHandlers;
    // How each kind of queued item other than a text message is shown (the
    // program installs the sound window's).
    std::map<QString, IncomingQueue::Presenter> presenters;
    // Where received text and sound messages wait for their windows, each
    // kind in its own queue: the listener control makes them and hands
    // them to its listeners.
    IncomingQueue *messages = nullptr;
    IncomingQueue *sounds = nullptr;
    // How much each queue holds before its listener waits.
    int queueItems = IncomingQueue::kMaxItems;
    qint64 queueBytes = IncomingQueue::kMaxBytes;
    // Where the journal of received messages lives (empty: none).
    QString journalFolder;
    // The message listener calls it once it holds its port: the journal is
    // taken for this instance and what it kept is queued first.
    std::function<void()> claimJournal;
    // A peer silent for this long ends its message or loses its connection.
    int idleTimeoutMs = 30000;
    // A message, a data header, and a sound's samples after its answer
    // arrive whole within this long, however slowly they trickle in.
    int deadlineMs = 30000;
    // During a stop, a connection taken from the listen queue: its peer has
    // this long to finish, silent for no longer than the idle limit.
    int stopDeadlineMs = 1000;
    int stopIdleMs = 200;
    // All a stop gives the connections waiting in the listen queue, however
    // many peers keep coming or stay silent.
    int stopDrainMs = 800;
};

// The state of a stop under way, shared by the stopping thread and the
// listeners.
class StopState {
public:
    // Set while the program's own stop of the message listener is under way;
    // only then is a received text compared with the stop token.
    std::atomic<bool> StopRequested{false};
    // Set while the program's own stop of the data listener is under way;
    // only then, and only from this computer, is a stop header obeyed.
    std::atomic<bool> DataStopRequested{false};
    // The stop is for the program's end: peers still sending are cut, and
    // file offers waiting in the listen queue are refused.
    std::atomic<bool> Ending{false};

    void request(std::atomic<bool> &flag)
    {
        {
            std::lock_guard lock(m_mutex);
            flag = true;
        }
        m_wake.notify_all();
    }
    // Sleeps up to the given time; returns early, with true, when the flag
    // is set.
    bool waitFor(const std::atomic<bool> &flag, std::chrono::milliseconds time)
    {
        std::unique_lock lock(m_mutex);
        return m_wake.wait_for(lock, time, [&] { return flag.load(); });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
};
