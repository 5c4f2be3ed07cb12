#pragma once

#include "core/base/Ipv4Address.h"

#include <QList>
#include <QString>

#include <cstdint>

// One user that can be addressed: the text shown for them and their address.
// An address whose first value is 0 marks a user absent from the network.
struct UserEntry {
    QString displayText;
    Ipv4Address address;
    // How the user was found (FoundBy flags); not part of who they are.
    std::uint8_t foundBy = 0;

    QString dottedAddress() const { return address.dotted(); }
    bool operator==(const UserEntry &other) const
    {
        return displayText == other.displayText && address == other.address;
    }
};

// The users in the order the build appended them; a position identifies a
// user in the menus until the next build.
using UserList = QList<UserEntry>;
