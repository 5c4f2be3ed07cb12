#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

class QFile;
class QIODevice;

// What has been taken off the wire and not yet shown, on disk. Each item is
// written as soon as it has been received and marked done once its window
// has been closed; whatever ends the program, the next start reads back
// what is not done. A thread of its own puts what has been written on the
// disk (one sync for everything written since the last), so a burst of
// senders is not slowed down by a sync each. A journal belongs to one
// instance at a time (a lock file beside it): a second instance of the
// same user that receives records in a journal of its own ("journal.2" and
// on), and what an instance that has ended left there is taken over by the
// next that claims one. A journal is rewritten with only what is not done
// when done items fill most of it.
//
// The file: "TVJ1", then records: a byte for the type (1 an item, 2 done),
// a 32-bit payload length, the payload and a CRC-32 of the type, length
// and payload, little-endian. An item's payload is its 64-bit id, a 16-bit
// kind length, the kind in UTF-8 and the data; done's is the id. Reading
// stops at the first record that is torn or damaged.
class MessageJournal {
public:
    struct Entry {
        quint64 id = 0;
        QString kind;
        QByteArray data;
    };
    // The journal cannot be written (or its folder made): its path and the
    // system's reason. Called once per run, on the thread that found it.
    using FailureHandler = std::function<void(const QString &path, const QString &reason)>;
    // A damaged journal was read as far as it was whole and kept aside
    // under the given path. Called on the thread that claimed.
    using DamageHandler = std::function<void(const QString &aside)>;
    // How many damaged journals are kept aside.
    static constexpr int kAsideFiles = 5;

    // An item's data is never larger (a text message of the window's size
    // in UTF-16 is 20 MiB; a sound is smaller).
    static constexpr qint64 kMaxData = 64 * 1024 * 1024;
    // A journal is never larger than what the queues hold at most (twice
    // their bounds during a stop); a larger file is put aside unread.
    static constexpr qint64 kMaxFile = 1024LL * 1024 * 1024;

    explicit MessageJournal(QString folder);
    // Puts what has been written on the disk and lets the journal go.
    ~MessageJournal();
    MessageJournal(const MessageJournal &) = delete;
    MessageJournal &operator=(const MessageJournal &) = delete;

    void setFailureHandler(FailureHandler handler);
    void setDamageHandler(DamageHandler handler);

    // Takes a journal no other instance holds for this one, and returns what
    // is not done in it, oldest first, then what other instances that have
    // ended left. False when every journal is held or this one cannot be
    // opened (said to the failure handler); items are then not recorded.
    // Claiming twice is harmless (nothing more is read).
    bool claim(std::vector<Entry> &pending);
    bool isOwned() const;

    // Records an item: its id, or 0 when it could not be recorded.
    quint64 append(const QString &kind, const QByteArray &data);
    void markDone(quint64 id);
    // Returns once everything written so far is on the disk.
    void flush();

    // $XDG_STATE_HOME/Tarvello (~/.local/state/Tarvello).
    static QString defaultFolder();
    // The journal this instance records in.
    QString path() const { return pathOf(m_slot); }
    // How many instances of one user can record at once.
    static constexpr int kSlots = 8;
    qint64 fileSize() const;
    int pendingCount() const;

    // The records a file holds, as read back: the items not done, and how
    // many bytes from the start are whole records. Only one record at a
    // time is held besides the items.
    static std::vector<Entry> read(QIODevice &device, qint64 *wholeBytes = nullptr);
    static std::vector<Entry> read(const QByteArray &bytes, qsizetype *wholeBytes = nullptr);
    static QByteArray itemRecord(const Entry &entry);
    static QByteArray doneRecord(quint64 id);
    // Puts a folder's entries (a rename, a removal) on the disk.
    static bool syncFolder(const QString &folder);

private:
    void startSyncThread();
    void syncLoop();
    bool writeLocked(const QByteArray &record);
    void failLocked(const QString &reason);
    void damageLocked(const QString &aside);
    // Adds an item to those not done, after the others; false when its id
    // is there already.
    bool keepLocked(Entry entry);
    static QString asidePath(const QString &journal);
    bool compactLocked();
    void rewriteLocked();
    QString savedPath() const { return m_folder + QStringLiteral("/unshown-messages"); }
    bool takeUnreadableLock(QLockFile &lock);
    QString pathOf(int slot) const;
    std::unique_ptr<QLockFile> slotLock(int slot) const;
    // Adds what the file holds; false when it is there but cannot be read.
    bool readFile(const QString &file, std::vector<Entry> &entries, bool &damaged);

    const QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    int m_slot = 0;
    // Journals of instances that have ended, held until this one holds
    // what they left.
    struct Adopted {
        QString path;
        bool damaged = false;
        std::unique_ptr<QLockFile> lock;
    };
    std::vector<Adopted> m_adopted;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_synced;
    std::unique_ptr<QFile> m_file;
    FailureHandler m_onFailure;
    DamageHandler m_onDamage;
    bool m_owned = false;
    bool m_failureSaid = false;
    bool m_ending = false;
    bool m_replaceable = true; // false: a damaged file not kept aside
    std::chrono::steady_clock::time_point m_retryAt;
    quint64 m_nextId;
    qint64 m_size = 0;
    qint64 m_doneBytes = 0;
    qint64 m_compactFrom = 1024 * 1024;
    quint64 m_written = 0; // records written, and how many are on the disk
    quint64 m_onDisk = 0;
    // What is not done, in the order it arrived, and where each id is.
    std::map<quint64, Entry> m_pending;
    std::unordered_map<quint64, quint64> m_orderOf;
    quint64 m_nextOrder = 0;
    // Something not done is not in the file, or something done not marked.
    bool m_dirty = false;
    std::thread m_thread;
};
