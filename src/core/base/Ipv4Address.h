#pragma once

#include <QString>

#include <array>
#include <cstdint>

// An IPv4 address as the user list holds it: four integers, first octet
// first. A first value of 0 marks an entry without a known address. Only the
// low 8 bits of each value reach the wire.
struct Ipv4Address {
    std::array<std::int32_t, 4> octets{};

    bool isAbsent() const { return octets[0] == 0; }
    bool isLoopback() const { return (octets[0] & 0xff) == 127; }
    // "%d.%d.%d.%d", the values as stored.
    QString dotted() const
    {
        return QStringLiteral("%1.%2.%3.%4")
            .arg(octets[0])
            .arg(octets[1])
            .arg(octets[2])
            .arg(octets[3]);
    }
    bool operator==(const Ipv4Address &) const = default;

    static Ipv4Address loopback() { return Ipv4Address{{127, 0, 0, 1}}; }
};
