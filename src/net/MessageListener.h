#pragma once

#include "ListenerServices.h"
#include "ListenerThread.h"

#include <QtGlobal>


// Accepts text messages on the message port, one connection at a time, and
// shows each in its window; the message is logged once the window closed.
class MessageListener : public ListenerThread {
public:
    MessageListener(const ListenerServices &services, StopState &stop, quint16 port);
    ~MessageListener() override;

    quint16 port() const { return m_port; }

private:
    void run() override;

    const ListenerServices &m_services;
    StopState &m_stop;
    const quint16 m_port;
};
