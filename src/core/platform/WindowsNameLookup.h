#pragma once

#include "core/base/Ipv4Address.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <atomic>
#include <optional>

// A Windows computer's name is known to neither DNS nor mDNS on most LANs;
// Windows answers it over LLMNR (RFC 4795) and NetBIOS name queries
// (RFC 1002), and so do Samba's nmbd and systemd-resolved. This asks both.
namespace WindowsNameLookup {

// Where the queries go; tests point them at loopback.
struct Targets {
    // LLMNR: the multicast group and port; NetBIOS: the port, and the
    // addresses to send to. Empty broadcast list: every IPv4 interface's
    // broadcast address (getifaddrs; up, broadcast-capable, not loopback).
    QHostAddress llmnrGroup{QStringLiteral("224.0.0.252")};
    quint16 llmnrPort = 5355;
    quint16 netbiosPort = 137;
    QList<QHostAddress> netbiosBroadcasts;
    bool llmnrMulticast = true; // false in tests: send the LLMNR query unicast to llmnrGroup
};

// Asks the LAN for the IPv4 address of a single-label computer name: an
// LLMNR query and a NetBIOS name query sent at once, the first valid answer
// wins; nullopt after timeoutMs. Blocking: call it off the GUI thread.
// Names that cannot be a Windows computer's (empty, a dot, characters
// outside [A-Za-z0-9-_] and printable non-ASCII; NetBIOS: more than 15 bytes
// in the ANSI code page; LLMNR: more than 63 bytes of UTF-8) are not asked
// over the protocol they do not fit; neither fits: nullopt at once.
std::optional<Ipv4Address> lookUp(const QString &name, int timeoutMs = 1500,
                                  const Targets &targets = {});
// The same, giving up (nullopt) within about 50 ms once `stop` becomes
// true: for a caller that asks elsewhere at the same time.
std::optional<Ipv4Address> lookUp(const QString &name, int timeoutMs, const Targets &targets,
                                  const std::atomic<bool> &stop);

// The wire forms, one place each. A query is empty when the name cannot be
// asked over that protocol; an answer is the first address of a datagram
// that answers exactly that query, nullopt for anything else.
QByteArray llmnrQuery(quint16 id, const QString &name); // A/IN question
std::optional<Ipv4Address> llmnrAnswer(const QByteArray &datagram, quint16 id, const QString &name);
QByteArray netbiosQuery(quint16 id, const QString &name); // broadcast flag set, RD set, NB/IN
std::optional<Ipv4Address> netbiosAnswer(const QByteArray &datagram, quint16 id,
                                         const QString &name);

} // namespace WindowsNameLookup
