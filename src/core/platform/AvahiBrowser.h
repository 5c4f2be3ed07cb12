#pragma once

#include "NeighbourhoodBrowser.h"

// The network neighbourhood through DNS-SD: the hosts that Avahi sees
// announcing _workstation._tcp in the local domain. Each becomes a
// container record named "\\" and its host name without ".local". Without a
// reachable Avahi daemon the enumeration fails.
class AvahiBrowser : public NeighbourhoodBrowser {
public:
    // How long to wait for Avahi to report everything it knows.
    explicit AvahiBrowser(int timeoutMs = 3000) : m_timeoutMs(timeoutMs) {}

    bool enumerate(QList<NetResource> &records) override;

private:
    int m_timeoutMs;
};
