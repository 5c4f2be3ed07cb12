#include "ModalState.h"

ModalState &ModalState::instance()
{
    static ModalState state;
    return state;
}

void ModalState::begin()
{
    ++m_open;
    changed();
}

void ModalState::end()
{
    int open = m_open.load();
    while (open > 0 && !m_open.compare_exchange_weak(open, open - 1)) {
    }
    changed();
}

void ModalState::track(QWidget *window)
{
    m_windows.removeAll(nullptr);
    m_windows.removeAll(QPointer<QWidget>(window));
    m_windows.append(window);
}

QWidget *ModalState::windowToRaise()
{
    m_windows.removeAll(nullptr);
    for (auto it = m_windows.crbegin(); it != m_windows.crend(); ++it) {
        if ((*it)->isVisible())
            return *it;
    }
    return nullptr;
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
