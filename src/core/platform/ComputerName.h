#pragma once

#include <QString>

// The local computer's names.
namespace ComputerName {

// The host name as the sockets layer reports it, decoded from the ANSI code
// page; empty when it cannot be read. The sender's name in every message.
QString localHostName();

// The NetBIOS-style name Samba derives: the short host name, upper-cased,
// cut to 15 characters.
QString netBiosName();
// The same name for any host name (the neighbourhood's computers).
QString netBiosNameOf(const QString &hostName);

} // namespace ComputerName
