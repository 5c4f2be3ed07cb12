#pragma once

#include "Command.h"

// tarvello users: the user list as the running Tarvello's tray menu holds
// it, or one built on the spot.
class UsersCommand : public Command {
public:
    using Command::Command;
    QString name() const override { return QStringLiteral("users"); }
    QString help() const override;
    int execute(const QStringList &arguments) override;
};
