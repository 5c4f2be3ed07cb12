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

// Received messages waiting for their windows. The listeners take each
// message off the wire at once and queue it here, so a sender never waits
// for a person; one thread shows the queued messages one at a time, in the
// order they arrived, each through the presenter installed for its kind
// (which returns when the window has been closed, and logs it). The queue
// is bounded: when it is full the listeners accept nothing until there is
// room, and senders wait in the listen queue.
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

    explicit IncomingQueue(std::map<QString, Presenter> presenters, int maxItems = kMaxItems,
                           qint64 maxBytes = kMaxBytes);
    // Holds what is not shown yet and ends the showing thread once the
    // window it has open, if any, has been closed.
    ~IncomingQueue();
    IncomingQueue(const IncomingQueue &) = delete;
    IncomingQueue &operator=(const IncomingQueue &) = delete;

    // Waits until another item may be queued; false (at once) when the flag
    // is set first.
    bool waitForRoom(const std::atomic<bool> &stop);
    // Queues an item. Never refused: room was waited for before its message
    // was accepted, and a message already accepted is never dropped.
    void push(Item item);

    // Returns when every queued item has been shown and its window closed
    // (at once when the queue is held).
    void waitUntilShown();
    // From now on nothing more is shown: the session is ending, and what
    // has not been shown stays queued to be saved.
    void hold();
    // Writes the items not shown yet to the file, replacing it (owner only);
    // with none, removes it. False when it cannot be written.
    bool save(const QString &path) const;
    // Queues the items the file holds ahead of those queued since, to be
    // shown as usual; the file is removed once they have all been shown. A
    // damaged file gives what could be read of it. The number queued.
    int restore(const QString &path);

    int size() const;
    qint64 bytes() const;
    // Items queued since the queue was made.
    qint64 received() const;

    // $XDG_STATE_HOME/Tarvello/unshown-messages (~/.local/state/...).
    static QString defaultPath();
    // The file's form: "TVQ1", then per item a 16-bit kind length, the kind
    // in UTF-8, a 32-bit data length and the data, little-endian. Reading
    // stops at the first item that does not fit what is left.
    static QByteArray encode(const std::deque<Item> &items);
    static std::deque<Item> decode(const QByteArray &bytes);

private:
    struct Queued {
        Item item;
        bool restored = false;
    };
    void run();
    bool hasRoom() const;

    const std::map<QString, Presenter> m_presenters;
    const int m_maxItems;
    const qint64 m_maxBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Queued> m_items;
    qint64 m_bytes = 0;
    qint64 m_received = 0;
    bool m_showing = false;
    bool m_held = false;
    bool m_ending = false;
    int m_restoredLeft = 0;
    QString m_restoredFrom;
    std::thread m_thread;
};
