#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class MessageJournal;

// Received messages of one kind waiting for their windows. A listener takes
// each message off the wire at once, records it in the journal and queues
// it here, so a sender never waits for a person; one thread shows the
// queued messages one at a time, in the order they arrived, through the
// presenter installed for their kind (which returns when the window has
// been closed, and logs it); then the journal marks it done. The queue is
// bounded: when it is full its listener accepts nothing until there is
// room, and senders wait in the listen queue, except during a stop, when
// what waits is taken in all the same.
class IncomingQueue {
public:
    struct Item {
        QString kind;    // whoever queues it names it: "message", "sound"
        QByteArray data; // what the kind's presenter reads, in its own form
    };
    // Shows one item and returns when its window has been closed: true, or
    // false when no window may open any more (the item stays queued).
    using Presenter = std::function<bool(const QByteArray &data)>;

    static constexpr int kMaxItems = 1000;
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;

    // The journal (may be null) outlives the queue.
    explicit IncomingQueue(std::map<QString, Presenter> presenters, int maxItems = kMaxItems,
                           qint64 maxBytes = kMaxBytes, MessageJournal *journal = nullptr);
    // Holds what is not shown yet and ends the showing thread once the
    // window it has open, if any, has been closed.
    ~IncomingQueue();
    IncomingQueue(const IncomingQueue &) = delete;
    IncomingQueue &operator=(const IncomingQueue &) = delete;

    // Waits until another item may be queued; false (at once) when the flag
    // is set first.
    bool waitForRoom(const std::atomic<bool> &stop);
    bool isFull() const;
    // Twice the bytes bound is held: even a stop takes in no more. (A stop
    // takes in any number of messages within its time: their senders were
    // told they were delivered.)
    bool isOverfull() const;
    // Records the item in the journal and queues it. Never refused: a
    // message already taken is never dropped.
    void push(Item item);
    // Queues items the journal has kept (with their ids) ahead of those
    // queued since, oldest first.
    void restore(std::vector<std::pair<quint64, Item>> items);

    // Returns when every queued item has been shown and its window closed
    // (at once when the queue is held).
    void waitUntilShown();
    // From now on nothing more is shown: what has not been shown stays in
    // the journal for the next start. Held for good (the program is
    // ending), resume() does not undo it.
    void hold(bool forGood = false);
    // Shows again what waits (after hold()).
    void resume();
    // Returns when no window of this queue is on screen (the held queue
    // opens none).
    void waitUntilIdle();

    // Items waiting, not counting the one on screen.
    int size() const;
    qint64 bytes() const;
    // Items queued since the queue was made.
    qint64 received() const;
    // Called (on the queue's threads) when the number waiting changes.
    void onChange(std::function<void()> changed);

    // The form an earlier version kept unshown messages in at the
    // session's end: "TVQ1", then per item a 16-bit kind length, the kind
    // in UTF-8, a 32-bit data length and the data, little-endian. Reading
    // stops at the first item that does not fit what is left; the journal
    // takes such a file over once.
    static std::deque<Item> decode(const QByteArray &bytes);

private:
    struct Queued {
        Item item;
        quint64 id = 0; // in the journal; 0 when not recorded
    };
    void run();
    bool hasRoom() const;
    void changed();

    const std::map<QString, Presenter> m_presenters;
    const int m_maxItems;
    const qint64 m_maxBytes;
    MessageJournal *const m_journal;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Queued> m_items;
    qint64 m_bytes = 0;
    qint64 m_received = 0;
    bool m_showing = false;
    bool m_held = false;
    bool m_heldForGood = false;
    bool m_ending = false;
    std::function<void()> m_onChange;
    std::thread m_thread;
};
