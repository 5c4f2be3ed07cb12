#pragma once

#include "ListenerServices.h"
#include "ListenerThread.h"

#include <QtGlobal>


// Accepts data connections (sound messages and file offers) one at a time,
// reads each one's header and hands it on by kind.
class DataListener : public ListenerThread {
public:
    DataListener(const ListenerServices &services, StopState &stop, quint16 port);
    ~DataListener() override;

    quint16 port() const { return m_port; }

private:
    void run() override;

    const ListenerServices &m_services;
    StopState &m_stop;
    const quint16 m_port;
};
