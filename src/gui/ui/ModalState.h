#pragma once

#include <atomic>
#include <functional>
#include <mutex>

class QObject;

// Tells the tray that one of the program's windows is open, so that a right
// click brings that window to the front instead of opening the menu. Written
// by the GUI thread and the listener threads; single values, not counts: the
// last writer wins.
struct ModalState {
    std::atomic<bool> ModalWindowOpen{false};
    // The window to raise. Only compared and looked up among the live
    // windows on the GUI thread, never dereferenced elsewhere.
    std::atomic<QObject *> ModalWindowHandle{nullptr};

    // Before a window opens.
    void begin()
    {
        ModalWindowHandle = nullptr;
        ModalWindowOpen = true;
        changed();
    }
    // After it has closed.
    void end()
    {
        ModalWindowOpen = false;
        ModalWindowHandle = nullptr;
        changed();
    }

    // Called after every begin() and end(), on the thread that made the
    // change: a tray whose host draws the menu keeps it up to date.
    void setObserver(std::function<void()> observer);

    static ModalState &instance();

private:
    void changed();

    std::mutex m_mutex;
    std::function<void()> m_observer;
};
