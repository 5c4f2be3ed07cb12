#include "Cancellation.h"

#include <sys/socket.h>

void Cancellation::cancel()
{
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    // Wakes a connect, receive or send in progress; the handle stays valid
    // until its socket detaches, which waits for this lock.
    if (m_handle >= 0)
        ::shutdown(m_handle, SHUT_RDWR);
}

void Cancellation::interrupt()
{
    std::lock_guard lock(m_mutex);
    if (m_handle >= 0)
        ::shutdown(m_handle, SHUT_RDWR);
}

bool Cancellation::isCancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool Cancellation::attach(int handle)
{
    std::lock_guard lock(m_mutex);
    if (m_cancelled)
        return false;
    m_handle = handle;
    return true;
}

void Cancellation::detach(int handle)
{
    std::lock_guard lock(m_mutex);
    if (m_handle == handle)
        m_handle = -1;
}
