#pragma once

#include "core/base/Ipv4Address.h"

#include <QString>

#include <optional>

// Forward and reverse IPv4 look-ups. Blocking: call off the GUI thread.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // The first IPv4 address of a name.
    virtual std::optional<Ipv4Address> addressOf(const QString &name) = 0;
    // The name of an address.
    virtual std::optional<QString> nameOf(const Ipv4Address &address) = 0;
};

// The system's resolver (getaddrinfo/getnameinfo). A name that does not
// resolve as given is tried once more in the .local domain (mDNS through
// nss-mdns) and, for a single label, at the same time the way Windows
// answers it (LLMNR, a NetBIOS name query). Names pass through the ANSI code
// page, as on Windows.
class SystemHostResolver : public HostResolver {
public:
    // askWindows false: no LLMNR or NetBIOS query leaves the computer.
    explicit SystemHostResolver(bool askWindows = true) : m_askWindows(askWindows) {}
    std::optional<Ipv4Address> addressOf(const QString &name) override;
    std::optional<QString> nameOf(const Ipv4Address &address) override;

private:
    bool m_askWindows;
};
