#pragma once

#include "ListenerThread.h"

// Accepts text messages on the message port, one connection at a time, and
// shows each in its window; the message is logged once the window closed.
class MessageListener : public ListenerThread {
public:
    MessageListener(const ListenerServices &services, StopState &stop, quint16 port)
        : ListenerThread("tv-message", services, stop, port)
    {
    }
    ~MessageListener() override { join(); }

private:
    void run() override;
};
