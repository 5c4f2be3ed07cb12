#include "ListenerThread.h"

#include <pthread.h>

ListenerThread::~ListenerThread()
{
    // Derived listeners join in their own destructors, before their members
    // go; this only guards against a thread left running.
    join();
}

void ListenerThread::start()
{
    {
        std::lock_guard lock(m_mutex);
        m_finished = false;
    }
    m_thread = std::thread([this] {
        run();
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
    });
    pthread_setname_np(m_thread.native_handle(), m_name);
}

bool ListenerThread::waitFinished(std::chrono::milliseconds time)
{
    std::unique_lock lock(m_mutex);
    return m_done.wait_for(lock, time, [this] { return m_finished; });
}

void ListenerThread::join()
{
    if (m_thread.joinable())
        m_thread.join();
}
