#pragma once

#include "core/base/Ipv4Address.h"

#include <QList>
#include <QString>

// One user that can be addressed: the text shown for them and their address.
// An address whose first value is 0 marks a user absent from the network.
struct UserEntry {
    QString displayText;
    Ipv4Address address;

    QString dottedAddress() const { return address.dotted(); }
    bool operator==(const UserEntry &) const = default;
};

// The users in the order the build appended them; a position identifies a
// user in the menus until the next build.
using UserList = QList<UserEntry>;
