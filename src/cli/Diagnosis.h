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
enum class BindRight { NotNeeded, Root, Capability, System, Denied };
BindRight bindRight(quint16 wirePort, const QString &executable, int *unprivilegedStart);

// The rules of `nft list ruleset` that stop incoming traffic to a port of
// the protocol ("tcp" or "udp"): a drop or reject rule that names the port,
// or an input chain whose policy is drop with no rule that accepts it. Each
// as the port and the rule's text.
struct Blocked {
    quint16 port = 0;
    QString rule;
};
QList<Blocked> firewallBlocks(const QString &ruleset, const QList<quint16> &wirePorts,
                              const QString &protocol = QStringLiteral("tcp"));

// Whether Avahi's configuration forbids publishing services: the setting
// that does, or empty.
QString avahiPublishingOff(const QString &configFile);

} // namespace Diagnosis
