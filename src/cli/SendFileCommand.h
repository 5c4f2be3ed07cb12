#pragma once

#include "Command.h"

// tarvello send-file: a file offered and sent as the send-file window does,
// with its progress.
class SendFileCommand : public Command {
public:
    using Command::Command;
    QString name() const override { return QStringLiteral("send-file"); }
    QString help() const override;
    int execute(const QStringList &arguments) override;
};
