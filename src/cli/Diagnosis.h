#pragma once

#include "core/base/Ipv4Address.h"

#include <QList>
#include <QString>

// What `tarvello check` finds out, one question per function. Blocking.
namespace Diagnosis {

// A dotted address of four numbers 0..255, as typed; false for anything else.
bool parseAddress(const QString &text, Ipv4Address &address);

enum class PortState { Open, Refused, NoAnswer, NoRoute, Failed };
struct PortProbe {
    PortState state = PortState::Failed;
    int error = 0; // the system's error when not open
};
// What a connect's system error says.
PortState stateOf(int error);
// Opens (and closes at once) a connection to a configured port number.
PortProbe probePort(const Ipv4Address &address, quint16 configuredPort, int timeoutMs);

// Who listens on a TCP port of this computer (network namespace).
struct PortHolder {
    bool held = false;
    bool visible = false; // the process was found (it may be another user's)
    int pid = 0;
    QString program; // its command name
};
PortHolder holderOf(quint16 wirePort);

// Whether the executable may listen on a TCP port below 1024, and why.
// What lets the program open a port below the system's unprivileged range.
// CapabilityIgnored: the executable's file has the capability, but this
// process did not get it from there (see capabilityIgnoredReason).
enum class BindRight { NotNeeded, Root, Capability, CapabilityIgnored, System, Denied };
BindRight bindRight(quint16 wirePort, const QString &executable, int *unprivilegedStart);
// Why a file's capability does not reach the process: its file system is
// mounted nosuid, the process may gain no privileges (no_new_privs), or
// the capability is not in its bounding set.
enum class IgnoredBecause { NoSuid, NoNewPrivileges, BoundingSet, Unknown };
IgnoredBecause capabilityIgnoredReason(const QString &executable);

// The rules of `nft -j list ruleset` (its JSON) that stop new incoming
// connections to a port of the protocol ("tcp" or "udp") on the way in
// (base chains of the prerouting, input and ingress hooks; output and
// forwarding are left out): a drop or reject rule that matches the port, or
// a chain whose policy is drop and that accepts nothing for it. Certain only
// where every condition of the rules before is known; a rule that depends on
// what this reading cannot know (a named set, a jump, an address, an
// interface, a limit) makes it "may block", naming that rule. Each as the
// port, the rule as nft writes it, and whether it is the chain's policy.
struct Blocked {
    quint16 port = 0;
    QString rule;
    bool certain = true;
    bool policy = false; // the chain's policy drop; rule is then the uncertain rule, if any
    QString chain;       // family, table and name: "inet filter input"
};
// False when the text is not nft's JSON.
bool firewallBlocks(const QByteArray &json, const QList<quint16> &wirePorts,
                    const QString &protocol, QList<Blocked> &blocked);

// Whether Avahi's configuration forbids publishing services: the setting
// that does, or empty.
QString avahiPublishingOff(const QString &configFile);

} // namespace Diagnosis
