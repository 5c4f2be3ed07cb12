#include "IncomingQueue.h"

#include "MessageJournal.h"

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

IncomingQueue::IncomingQueue(std::map<QString, Presenter> presenters, int maxItems, qint64 maxBytes,
                             MessageJournal *journal)
    : m_presenters(std::move(presenters)), m_maxItems(maxItems), m_maxBytes(maxBytes),
      m_journal(journal)
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

void IncomingQueue::changed()
{
    m_changed.notify_all();
    std::function<void()> onChange;
    {
        std::lock_guard lock(m_mutex);
        onChange = m_onChange;
    }
    if (onChange)
        onChange();
}

void IncomingQueue::onChange(std::function<void()> changed)
{
    std::lock_guard lock(m_mutex);
    m_onChange = std::move(changed);
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
        changed();
        const auto presenter = m_presenters.find(next.item.kind);
        const bool shown = presenter == m_presenters.end() || !presenter->second ||
                           presenter->second(next.item.data);
        if (shown && m_journal && next.id)
            m_journal->markDone(next.id);
        lock.lock();
        m_showing = false;
        if (!shown) {
            // No window may open any more: it stays, in the journal too,
            // and nothing more is shown.
            m_held = true;
            m_bytes += costOf(next.item);
            m_items.push_front(std::move(next));
        }
        lock.unlock();
        changed();
        lock.lock();
    }
}

bool IncomingQueue::hasRoom() const
{
    return int(m_items.size()) < m_maxItems && m_bytes < m_maxBytes;
}

bool IncomingQueue::isFull() const
{
    std::lock_guard lock(m_mutex);
    return !hasRoom();
}

bool IncomingQueue::isOverfull() const
{
    std::lock_guard lock(m_mutex);
    return m_bytes >= 2 * m_maxBytes;
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
    // Recorded before anything else happens to it.
    const quint64 id = m_journal ? m_journal->append(item.kind, item.data) : 0;
    {
        std::lock_guard lock(m_mutex);
        m_bytes += costOf(item);
        ++m_received;
        m_items.push_back({std::move(item), id});
    }
    changed();
}

void IncomingQueue::restore(std::vector<std::pair<quint64, Item>> items)
{
    {
        std::lock_guard lock(m_mutex);
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            m_bytes += costOf(it->second);
            m_items.push_front({std::move(it->second), it->first});
        }
    }
    changed();
}

void IncomingQueue::waitUntilShown()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_held || (m_items.empty() && !m_showing); });
}

void IncomingQueue::waitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_showing && (m_held || m_items.empty()); });
}

void IncomingQueue::hold(bool forGood)
{
    {
        std::lock_guard lock(m_mutex);
        m_held = true;
        m_heldForGood = m_heldForGood || forGood;
    }
    changed();
}

void IncomingQueue::resume()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_ending || m_heldForGood)
            return;
        m_held = false;
    }
    changed();
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
