#include "ModalState.h"

ModalState &ModalState::instance()
{
    static ModalState state;
    return state;
}

void ModalState::setObserver(std::function<void()> observer)
{
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void ModalState::changed()
{
    std::lock_guard lock(m_mutex);
    if (m_observer)
        m_observer();
}
