#pragma once

#include "ListenerThread.h"

// Accepts data connections (sound messages and file offers) one at a time,
// reads each one's header and hands it on by kind.
class DataListener : public ListenerThread {
public:
    DataListener(const ListenerServices &services, StopState &stop, quint16 port)
        : ListenerThread("tv-data", services, stop, port)
    {
    }
    ~DataListener() override { join(); }

private:
    void run() override;
};
