#include "IncomingQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <chrono>
#include <pthread.h>

namespace {

constexpr char kMagic[] = "TVQ1";
constexpr qsizetype kMaxKindBytes = 64;

qint64 costOf(const IncomingQueue::Item &item)
{
    return item.data.size() + item.kind.size() * 2;
}

} // namespace

IncomingQueue::IncomingQueue(std::map<QString, Presenter> presenters, int maxItems, qint64 maxBytes)
    : m_presenters(std::move(presenters)), m_maxItems(maxItems), m_maxBytes(maxBytes)
{
    m_thread = std::thread([this] { run(); });
    pthread_setname_np(m_thread.native_handle(), "tarvello-show");
}

IncomingQueue::~IncomingQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_held = true;
        m_ending = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void IncomingQueue::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_ending || (!m_held && !m_items.empty()); });
        if (m_ending)
            return;
        Queued next = std::move(m_items.front());
        m_items.pop_front();
        m_bytes -= costOf(next.item);
        m_showing = true;
        lock.unlock();
        // Room again: a listener waiting for it may accept.
        m_changed.notify_all();
        const auto presenter = m_presenters.find(next.item.kind);
        const bool shown = presenter == m_presenters.end() || !presenter->second ||
                           presenter->second(next.item.data);
        lock.lock();
        m_showing = false;
        if (!shown && m_held) {
            // The session ended before its window could open: kept.
            m_bytes += costOf(next.item);
            m_items.push_front(std::move(next));
            m_changed.notify_all();
            continue;
        }
        if (next.restored && --m_restoredLeft == 0 && !m_held)
            QFile::remove(m_restoredFrom);
        m_changed.notify_all();
    }
}

bool IncomingQueue::hasRoom() const
{
    return int(m_items.size()) < m_maxItems && m_bytes < m_maxBytes;
}

bool IncomingQueue::waitForRoom(const std::atomic<bool> &stop)
{
    std::unique_lock lock(m_mutex);
    // The stop flag is set by another thread without this lock: look again
    // now and then.
    while (!hasRoom()) {
        if (stop)
            return false;
        m_changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    return !stop;
}

void IncomingQueue::push(Item item)
{
    {
        std::lock_guard lock(m_mutex);
        m_bytes += costOf(item);
        ++m_received;
        m_items.push_back({std::move(item), false});
    }
    m_changed.notify_all();
}

void IncomingQueue::waitUntilShown()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_held || (m_items.empty() && !m_showing); });
}

void IncomingQueue::hold()
{
    {
        std::lock_guard lock(m_mutex);
        m_held = true;
    }
    m_changed.notify_all();
}

bool IncomingQueue::save(const QString &path) const
{
    std::deque<Item> items;
    {
        std::lock_guard lock(m_mutex);
        for (const Queued &q : m_items)
            items.push_back(q.item);
    }
    if (items.empty()) {
        QFile::remove(path);
        return true;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    file.write(encode(items));
    return file.commit();
}

int IncomingQueue::restore(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    // No more than a full queue and its framing is read.
    const std::deque<Item> items = decode(file.read(m_maxBytes + 16 * m_maxItems + 64));
    file.close();
    if (items.empty()) {
        QFile::remove(path);
        return 0;
    }
    {
        std::lock_guard lock(m_mutex);
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            m_bytes += costOf(*it);
            m_items.push_front({*it, true});
        }
        m_restoredLeft += int(items.size());
        m_restoredFrom = path;
    }
    m_changed.notify_all();
    return int(items.size());
}

int IncomingQueue::size() const
{
    std::lock_guard lock(m_mutex);
    return int(m_items.size());
}

qint64 IncomingQueue::bytes() const
{
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

qint64 IncomingQueue::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

QString IncomingQueue::defaultPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Tarvello/unshown-messages");
}

QByteArray IncomingQueue::encode(const std::deque<Item> &items)
{
    QByteArray bytes(kMagic, 4);
    for (const Item &item : items) {
        const QByteArray kind = item.kind.toUtf8().left(kMaxKindBytes);
        char size[4];
        qToLittleEndian<quint16>(quint16(kind.size()), size);
        bytes.append(size, 2);
        bytes.append(kind);
        qToLittleEndian<quint32>(quint32(item.data.size()), size);
        bytes.append(size, 4);
        bytes.append(item.data);
    }
    return bytes;
}

std::deque<IncomingQueue::Item> IncomingQueue::decode(const QByteArray &bytes)
{
    std::deque<Item> items;
    if (!bytes.startsWith(QByteArray(kMagic, 4)))
        return items;
    qsizetype at = 4;
    const auto left = [&] { return bytes.size() - at; };
    while (left() >= 2) {
        const quint16 kindSize = qFromLittleEndian<quint16>(bytes.constData() + at);
        at += 2;
        if (kindSize == 0 || kindSize > kMaxKindBytes || left() < kindSize + 4)
            break;
        Item item;
        item.kind = QString::fromUtf8(bytes.constData() + at, kindSize);
        at += kindSize;
        const quint32 dataSize = qFromLittleEndian<quint32>(bytes.constData() + at);
        at += 4;
        if (qint64(dataSize) > left())
            break;
        item.data = bytes.mid(at, dataSize);
        at += dataSize;
        items.push_back(std::move(item));
    }
    return items;
}
