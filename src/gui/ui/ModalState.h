#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <mutex>

// Tells the tray that the program has something open (a command at work, an
// incoming window), so that a right click brings a window of the program to
// the front instead of opening the menu. Every command and every incoming
// window counts itself in and out, from any thread: one that ends never
// hides another that is still open. The windows that may be raised are
// tracked on the GUI thread as a set, and only one still on screen is ever
// brought forward.
class ModalState {
public:
    // Before a command starts or an incoming window opens (any thread).
    void begin();
    // After it has ended or closed.
    void end();
    // Something is open: the tray opens no menu.
    bool isOpen() const { return m_open.load() > 0; }
    // How many are open.
    int openCount() const { return m_open.load(); }

    // A window to bring forward while it is on screen (GUI thread). Called
    // each time it is shown; the window shown last comes first.
    void track(QWidget *window);
    // The window a right click raises: the one shown last of those still on
    // screen; null when none is (GUI thread).
    QWidget *windowToRaise();

    // Called after every begin() and end(), on the thread that made the
    // change: a tray whose host draws the menu keeps it up to date.
    void setObserver(std::function<void()> observer);

    static ModalState &instance();

private:
    void changed();

    std::atomic<int> m_open{0};
    QList<QPointer<QWidget>> m_windows;
    std::mutex m_mutex;
    std::function<void()> m_observer;
};
