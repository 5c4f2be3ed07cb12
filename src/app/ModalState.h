#pragma once

#include <atomic>

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
    }
    // After it has closed.
    void end()
    {
        ModalWindowOpen = false;
        ModalWindowHandle = nullptr;
    }

    static ModalState &instance();
};
