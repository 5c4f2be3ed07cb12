#include "MessageJournal.h"

#include "IncomingQueue.h"
#include "core/base/StringTable.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr char kMagic[] = "TVJ1";
constexpr char kItem = 1;
constexpr char kDone = 2;
constexpr qsizetype kMaxKindBytes = 64;
// A compaction is worth it once done records are most of a file this large.
constexpr qint64 kCompactFrom = 1024 * 1024;

quint32 crcOf(const char *bytes, qsizetype size)
{
    return quint32(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(bytes), uInt(size)));
}

QByteArray record(char type, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.reserve(payload.size() + 9);
    bytes.append(type);
    char word[8];
    qToLittleEndian<quint32>(quint32(payload.size()), word);
    bytes.append(word, 4);
    bytes.append(payload);
    qToLittleEndian<quint32>(crcOf(bytes.constData(), bytes.size()), word);
    bytes.append(word, 4);
    return bytes;
}

QByteArray idBytes(quint64 id)
{
    char word[8];
    qToLittleEndian<quint64>(id, word);
    return QByteArray(word, 8);
}

// Puts what has been written to the file on the disk.
bool syncFile(QFile &file)
{
#ifdef Q_OS_WIN
    return file.flush();
#else
    return ::fdatasync(file.handle()) == 0;
#endif
}

} // namespace

bool MessageJournal::syncFolder(const QString &folder)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
#else
    (void)folder;
    return true;
#endif
}

MessageJournal::MessageJournal(QString folder)
    : m_folder(std::move(folder)),
      // Ids no other journal uses: what is taken over from another is known
      // again, should it be read twice.
      m_nextId((QRandomGenerator::system()->generate64() >> 2) + 1)
{
}

MessageJournal::~MessageJournal()
{
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_file)
        syncFile(*m_file);
    if (m_owned)
        m_lock->unlock();
}

QString MessageJournal::pathOf(int slot) const
{
    return m_folder + QStringLiteral("/journal") +
           (slot == 0 ? QString() : QStringLiteral(".%1").arg(slot + 1));
}

std::unique_ptr<QLockFile> MessageJournal::slotLock(int slot) const
{
    // Only a regular file can be a lock; anything else in its place (a
    // folder, a FIFO an open would wait on) is put aside.
    const QString lockPath = pathOf(slot) + QStringLiteral(".lock");
    const QFileInfo info(lockPath);
    if ((info.exists() || info.isSymLink()) && (!info.isFile() || info.isSymLink())) {
        std::error_code error;
        std::filesystem::rename(std::filesystem::path(lockPath.toStdU16String()),
                                std::filesystem::path(asidePath(lockPath).toStdU16String()), error);
        if (error)
            return nullptr;
    }
    auto lock = std::make_unique<QLockFile>(lockPath);
    // Held by a process that has gone (a crash, SIGKILL): taken over at once.
    lock->setStaleLockTime(0);
    return lock;
}

QString MessageJournal::defaultFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Tarvello");
}

void MessageJournal::setFailureHandler(FailureHandler handler)
{
    std::lock_guard lock(m_mutex);
    m_onFailure = std::move(handler);
}

void MessageJournal::setDamageHandler(DamageHandler handler)
{
    std::lock_guard lock(m_mutex);
    m_onDamage = std::move(handler);
}

bool MessageJournal::isOwned() const
{
    std::lock_guard lock(m_mutex);
    return m_owned;
}

qint64 MessageJournal::fileSize() const
{
    std::lock_guard lock(m_mutex);
    return m_size;
}

int MessageJournal::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_pending.size());
}

void MessageJournal::failLocked(const QString &reason)
{
    if (m_failureSaid || !m_onFailure)
        return;
    m_failureSaid = true;
    m_onFailure(path(), reason);
}

bool MessageJournal::claim(std::vector<Entry> &pending)
{
    std::lock_guard lock(m_mutex);
    if (m_owned)
        return true;
    // A folder made here is the user's alone; one that is there (maybe a
    // link the user made) is left as it is.
    if (!QFileInfo(m_folder).isDir()) {
        if (!QDir().mkpath(m_folder)) {
            failLocked(QString::fromLocal8Bit(std::strerror(errno ? errno : EACCES)));
            return false;
        }
        QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // Each instance of the user that receives records in a journal of its
    // own: the first one no other instance holds.
    for (m_slot = 0; m_slot < kSlots && !m_owned; ++m_slot) {
        m_lock = slotLock(m_slot);
        if (!m_lock)
            continue;
        errno = 0;
        m_owned = m_lock->tryLock(0) || takeUnreadableLock(*m_lock);
        if (!m_owned && m_lock->error() != QLockFile::LockFailedError)
            failLocked(QString::fromLocal8Bit(
                std::strerror(m_lock->error() == QLockFile::PermissionError ? EACCES
                                                                           : errno ? errno : EIO)));
    }
    if (!m_owned) {
        // As many instances of the user as there are journals receive.
        m_slot = 0;
        if (!m_failureSaid && m_onFailure) {
            m_failureSaid = true;
            m_onFailure(m_folder, StringTable::format(StringId::JournalsAllHeld,
                                                      {QString::number(kSlots)}));
        }
        return false;
    }
    --m_slot;

    bool damaged = false;
    std::vector<Entry> entries;
    if (!readFile(path(), entries, damaged)) {
        m_lock->unlock();
        m_owned = false;
        return false;
    }
    // Then what instances that have ended left in theirs: taken over, and
    // their files removed once this journal holds it. Only a file of their
    // own is read (a link may lead to a journal in use); should a file be
    // read again (a crash before its removal), its items are known by id.
    for (int slot = 0; slot < kSlots; ++slot) {
        if (slot == m_slot)
            continue;
        const QFileInfo info(pathOf(slot));
        if (!info.isFile() || info.isSymLink())
            continue;
        std::unique_ptr<QLockFile> lock = slotLock(slot);
        bool left = false;
        if (lock && lock->tryLock(0) && readFile(pathOf(slot), entries, left))
            m_adopted.push_back({pathOf(slot), left, std::move(lock)});
    }
    // What an earlier version saved at the session's end comes first.
    QFile savedFile(savedPath());
    if (m_slot == 0 && savedFile.open(QIODevice::ReadOnly)) {
        std::vector<Entry> older;
        for (IncomingQueue::Item &item : IncomingQueue::decode(savedFile.read(kMaxFile)))
            older.push_back({0, item.kind, item.data});
        savedFile.close();
        entries.insert(entries.begin(), older.begin(), older.end());
    }
    // What was kept comes first, then what has arrived before the claim (in
    // memory only, written now).
    std::map<quint64, Entry> arrived;
    arrived.swap(m_pending);
    m_orderOf.clear();
    pending.clear();
    for (Entry &entry : entries) {
        if (entry.id == 0)
            entry.id = m_nextId++;
        // The same item read twice is kept once; another under the same id
        // (journals of an earlier version all counted from 1) gets its own.
        if (const auto seen = m_orderOf.find(entry.id); seen != m_orderOf.end()) {
            const Entry &kept = m_pending.at(seen->second);
            if (kept.kind == entry.kind && kept.data == entry.data)
                continue;
            entry.id = m_nextId++;
        }
        keepLocked(entry);
        pending.push_back(std::move(entry));
    }
    for (auto &[order, entry] : arrived)
        keepLocked(std::move(entry));
    // A damaged file is kept for whoever wants to look at it: as a copy when
    // it is a file, so that the journal is replaced only by a whole one.
    if (damaged) {
        const QString aside = asidePath(path());
        const QFileInfo info(path());
        if (info.isFile() && !info.isSymLink() && info.size() <= kMaxFile) {
            QFile::remove(aside + QStringLiteral(".new"));
            QFile copy(path());
            std::error_code error;
            if (copy.copy(aside + QStringLiteral(".new")))
                std::filesystem::rename(std::filesystem::path((aside + ".new").toStdU16String()),
                                        std::filesystem::path(aside.toStdU16String()), error);
            if (copy.error() != QFileDevice::NoError || error) {
                // Not kept aside (a full disk): the damaged journal is not
                // replaced, and nothing more is recorded in this run.
                QFile::remove(aside + QStringLiteral(".new"));
                failLocked(error ? QString::fromStdString(error.message()) : copy.errorString());
                m_replaceable = false;
                startSyncThread();
                return true;
            }
        } else {
            QFile::remove(aside);
            QFile::rename(path(), aside);
        }
        damageLocked(aside);
    }
    // Only what is not done is written again, under the same ids.
    rewriteLocked();
    startSyncThread();
    return true;
}

QString MessageJournal::asidePath(const QString &journal)
{
    // Earlier ones are kept, up to a bound; then the last is replaced.
    const QString base = journal + QStringLiteral(".damaged");
    QString aside = base;
    for (int n = 2; n <= kAsideFiles && QFileInfo::exists(aside); ++n)
        aside = base + QStringLiteral(".%1").arg(n);
    return aside;
}

void MessageJournal::damageLocked(const QString &aside)
{
    if (m_onDamage)
        m_onDamage(aside);
}

bool MessageJournal::readFile(const QString &file, std::vector<Entry> &entries, bool &damaged)
{
    // Only a regular file of a size the program writes is read, a record at
    // a time; anything else (a pipe, a device, a sparse giant) is put aside,
    // never lost.
    const QFileInfo info(file);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (!info.isFile() || info.isSymLink() || info.size() > kMaxFile) {
        damaged = true;
        return true;
    }
    QFile old(file);
    if (!old.open(QIODevice::ReadOnly)) {
        failLocked(old.errorString());
        return false;
    }
    qint64 whole = 0;
    std::vector<Entry> read = MessageJournal::read(old, &whole);
    damaged = whole < info.size();
    entries.insert(entries.end(), std::make_move_iterator(read.begin()),
                   std::make_move_iterator(read.end()));
    return true;
}

void MessageJournal::startSyncThread()
{
    m_thread = std::thread([this] { syncLoop(); });
    pthread_setname_np(m_thread.native_handle(), "tarvello-journal");
}

bool MessageJournal::takeUnreadableLock(QLockFile &lock)
{
    // A lock that names no process (empty or garbage: a power loss while it
    // was written) is nobody's once it is a few seconds old.
    qint64 pid = 0;
    QString host, application;
    const QString lockPath = lock.fileName();
    const QFileInfo info(lockPath);
    if (lock.error() != QLockFile::LockFailedError ||
        lock.getLockInfo(&pid, &host, &application))
        return false;
    return info.isFile() && info.lastModified().secsTo(QDateTime::currentDateTime()) >= 5 &&
           QFile::remove(lockPath) && lock.tryLock(0);
}

void MessageJournal::rewriteLocked()
{
    // Once the journal holds what an earlier version saved and what other
    // instances left, their files go (a damaged one is put aside).
    if (!compactLocked())
        return;
    if (m_slot == 0)
        QFile::remove(savedPath());
    for (Adopted &adopted : m_adopted) {
        if (adopted.damaged) {
            const QString aside = asidePath(adopted.path);
            QFile::remove(aside);
            QFile::rename(adopted.path, aside);
            damageLocked(aside);
        } else {
            QFile::remove(adopted.path);
        }
        adopted.lock->unlock();
    }
    if (!m_adopted.empty())
        syncFolder(m_folder);
    m_adopted.clear();
}

bool MessageJournal::compactLocked()
{
    const QString fresh = path() + QStringLiteral(".new");
    auto file = std::make_unique<QFile>(fresh);
    bool written = file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    if (written) {
        file->setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        written = file->write(kMagic, 4) == 4;
    }
    qint64 size = 4;
    for (auto it = m_pending.begin(); written && it != m_pending.end(); ++it) {
        const QByteArray bytes = itemRecord(it->second);
        written = file->write(bytes) == bytes.size();
        size += bytes.size();
    }
    written = written && syncFile(*file);
    if (!written) {
        failLocked(file->errorString());
        file->close();
        QFile::remove(fresh);
        return false;
    }
    file->close();
    // Replaces the journal in one step: a crash leaves the old or the new.
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(fresh.toStdU16String()),
                            std::filesystem::path(path().toStdU16String()), error);
    if (error) {
        failLocked(QString::fromStdString(error.message()));
        QFile::remove(fresh);
        return false;
    }
    syncFolder(m_folder);
    if (m_file)
        m_file->close();
    // Appends go on at the end of the new file.
    file->setFileName(path());
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        failLocked(file->errorString());
        m_file.reset();
        return false;
    }
    m_file = std::move(file);
    m_size = size;
    m_doneBytes = 0;
    m_dirty = false;
    return true;
}

bool MessageJournal::writeLocked(const QByteArray &bytes)
{
    // A journal that could not be written anew (a full disk at the start)
    // is tried again, at most once a second, for as long as the program
    // runs; the file that is there stays until a whole one replaces it.
    if ((!m_file || m_dirty) && m_owned && m_replaceable) {
        const auto now = std::chrono::steady_clock::now();
        if (now < m_retryAt)
            return false;
        m_retryAt = now + std::chrono::seconds(1);
        rewriteLocked();
    }
    if (!m_file)
        return false;
    errno = 0;
    const qint64 n = m_file->write(bytes);
    if (n != bytes.size()) {
        // A part written (a full disk) is taken back: the file stays whole.
        const QString reason = errno ? QString::fromLocal8Bit(std::strerror(errno))
                                     : m_file->errorString();
        m_file->resize(m_size);
        m_dirty = true;
        failLocked(reason);
        return false;
    }
    m_size += n;
    ++m_written;
    m_wake.notify_all();
    return true;
}

quint64 MessageJournal::append(const QString &kind, const QByteArray &data)
{
    std::lock_guard lock(m_mutex);
    if (data.size() > kMaxData)
        return 0;
    Entry entry{m_nextId++, kind, data};
    // Kept also when it could not be written (before the claim, a full
    // disk): it is written with the rest once the journal can be.
    if (!m_owned || !writeLocked(itemRecord(entry)))
        m_dirty = true;
    const quint64 id = entry.id;
    keepLocked(std::move(entry));
    return id;
}

void MessageJournal::markDone(quint64 id)
{
    std::lock_guard lock(m_mutex);
    const auto order = m_orderOf.find(id);
    if (order == m_orderOf.end())
        return;
    const auto it = m_pending.find(order->second);
    const qint64 itemBytes = itemRecord(it->second).size();
    m_pending.erase(it);
    m_orderOf.erase(order);
    const QByteArray bytes = doneRecord(id);
    if (writeLocked(bytes))
        m_doneBytes += itemBytes + bytes.size();
}

bool MessageJournal::keepLocked(Entry entry)
{
    if (!m_orderOf.emplace(entry.id, m_nextOrder).second)
        return false;
    m_pending.emplace(m_nextOrder++, std::move(entry));
    return true;
}

void MessageJournal::flush()
{
    std::unique_lock lock(m_mutex);
    // What could not be written is tried once more (the disk may have room
    // by now).
    if (m_dirty && m_owned && m_replaceable)
        rewriteLocked();
    const quint64 target = m_written;
    m_wake.notify_all();
    m_synced.wait(lock, [&] { return m_onDisk >= target || !m_thread.joinable() || m_ending; });
}

void MessageJournal::syncLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_ending || m_written > m_onDisk; });
        if (m_written > m_onDisk) {
            const quint64 target = m_written;
            // Compacting rewrites the file and is on the disk when done; a
            // failed one is tried again only once the file has grown more.
            bool compacted = false;
            if (m_size > m_compactFrom && m_doneBytes * 2 > m_size) {
                compacted = compactLocked();
                m_compactFrom = compacted ? kCompactFrom : m_size + kCompactFrom;
            }
            if (!compacted && m_file) {
                QFile *file = m_file.get();
                lock.unlock();
                const bool synced = syncFile(*file);
                lock.lock();
                if (!synced)
                    failLocked(QString::fromLocal8Bit(std::strerror(errno)));
            }
            m_onDisk = target;
            m_synced.notify_all();
        }
        if (m_ending) {
            m_onDisk = m_written;
            m_synced.notify_all();
            return;
        }
    }
}

QByteArray MessageJournal::itemRecord(const Entry &entry)
{
    const QByteArray kind = entry.kind.toUtf8().left(kMaxKindBytes);
    QByteArray payload = idBytes(entry.id);
    char word[2];
    qToLittleEndian<quint16>(quint16(kind.size()), word);
    payload.append(word, 2);
    payload.append(kind);
    payload.append(entry.data);
    return record(kItem, payload);
}

QByteArray MessageJournal::doneRecord(quint64 id)
{
    return record(kDone, idBytes(id));
}

std::vector<MessageJournal::Entry> MessageJournal::read(const QByteArray &bytes,
                                                        qsizetype *wholeBytes)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    qint64 whole = 0;
    std::vector<Entry> entries = read(buffer, &whole);
    if (wholeBytes)
        *wholeBytes = qsizetype(whole);
    return entries;
}

std::vector<MessageJournal::Entry> MessageJournal::read(QIODevice &device, qint64 *wholeBytes)
{
    // In the order written; an id seen again is the same item.
    std::map<quint64, Entry> items;
    std::unordered_map<quint64, quint64> orderOf;
    quint64 nextOrder = 0;
    qint64 at = 0;
    QByteArray bytes; // one record at a time
    if (device.read(4) == QByteArray(kMagic)) {
        at = 4;
        for (;;) {
            bytes = device.read(5);
            if (bytes.size() < 5)
                break;
            const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + 1);
            if (qint64(length) > kMaxData + 8 + 2 + kMaxKindBytes)
                break;
            bytes.resize(5 + qsizetype(length) + 4);
            if (device.read(bytes.data() + 5, length + 4) != qint64(length) + 4)
                break;
            const char *start = bytes.constData();
            if (crcOf(start, 5 + length) != qFromLittleEndian<quint32>(start + 5 + length))
                break;
            const char *payload = start + 5;
            if (length < 8)
                break;
            const quint64 id = qFromLittleEndian<quint64>(payload);
            if (start[0] == kItem && length >= 10) {
                const quint16 kindSize = qFromLittleEndian<quint16>(payload + 8);
                if (kindSize == 0 || kindSize > kMaxKindBytes || 10u + kindSize > length)
                    break;
                if (orderOf.emplace(id, nextOrder).second)
                    items[nextOrder++] = {id, QString::fromUtf8(payload + 10, kindSize),
                                          QByteArray(payload + 10 + kindSize,
                                                     length - 10 - kindSize)};
            } else if (start[0] == kDone && length == 8) {
                if (const auto it = orderOf.find(id); it != orderOf.end()) {
                    items.erase(it->second);
                    orderOf.erase(it);
                }
            } else {
                break;
            }
            at += 9 + length;
        }
    }
    if (wholeBytes)
        *wholeBytes = at;
    std::vector<Entry> entries;
    for (auto &[order, entry] : items)
        entries.push_back(std::move(entry));
    return entries;
}
