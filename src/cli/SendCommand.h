#pragma once

#include "Command.h"

// tarvello send: a text message, as the compose window sends it.
class SendCommand : public Command {
public:
    using Command::Command;
    QString name() const override { return QStringLiteral("send"); }
    QString help() const override;
    int execute(const QStringList &arguments) override;

private:
    // Says how many characters of what goes the code page cannot hold.
    void reportUnheld(const QString &going);
};
