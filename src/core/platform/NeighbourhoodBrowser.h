#pragma once

#include "core/base/Ipv4Address.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// How a user of the list was found; an entry may have been found several
// ways at once.
namespace FoundBy {
enum : std::uint8_t {
    AddressBook = 0x1,
    DnsSd = 0x2,       // announcing _tarvello._tcp or _workstation._tcp
    WsDiscovery = 0x4, // answering WS-Discovery as a computer (Windows)
    Tarvello = 0x8,    // with DnsSd: a Tarvello announces itself there
};
} // namespace FoundBy

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
    // FoundBy flags.
    std::uint8_t foundBy = 0;
};

// The computers of the network neighbourhood.
class NeighbourhoodBrowser {
public:
    virtual ~NeighbourhoodBrowser() = default;
    // Fills the records in the order the network reports them; false when
    // the neighbourhood cannot be enumerated at all. Blocks: call it off the
    // GUI thread.
    virtual bool enumerate(QList<NetResource> &records) = 0;

    // The user asked for a fresh look: the next enumeration waits a moment
    // for the answers of a new search.
    virtual void rescan() {}
    // Told, on any thread, when a computer comes or goes; a browser that
    // knows only what it is asked never calls it.
    virtual void onChange(std::function<void()> observer) { (void)observer; }
    // The address the neighbourhood gave a computer of this name, if it
    // knows one. Does not block.
    virtual std::optional<Ipv4Address> addressOf(const QString &name)
    {
        (void)name;
        return std::nullopt;
    }
    // Makes this computer's Tarvello known to the others while its message
    // listener holds its port (ports as on the wire); withdraw() takes it
    // back. Any thread; may block briefly.
    virtual void announce(const QString &name, quint16 messagePort, quint16 dataPort)
    {
        (void)name;
        (void)messagePort;
        (void)dataPort;
    }
    virtual void withdraw() {}
};
