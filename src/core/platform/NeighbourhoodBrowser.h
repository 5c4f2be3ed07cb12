#pragma once

#include "core/base/Ipv4Address.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// One record of an enumeration of the network neighbourhood, shaped like
// the network browser's: a usage, a type and a remote name.
struct NetResource {
    static constexpr std::uint32_t kUsageConnectable = 0x1;
    static constexpr std::uint32_t kUsageContainer = 0x2;
    static constexpr std::uint32_t kTypeAny = 0;

    std::uint32_t usage = kUsageContainer;
    std::uint32_t type = kTypeAny;
    bool hasRemoteName = true;
    QString remoteName; // "\\NAME" for a computer
    // The computer's address when the browse has learnt it already; it then
    // need not be looked up by name.
    std::optional<Ipv4Address> address;
};

// The computers of the network neighbourhood.
class NeighbourhoodBrowser {
public:
    virtual ~NeighbourhoodBrowser() = default;
    // Fills the records in the order the network reports them; false when
    // the neighbourhood cannot be enumerated at all. Blocks: call it off the
    // GUI thread.
    virtual bool enumerate(QList<NetResource> &records) = 0;
};
