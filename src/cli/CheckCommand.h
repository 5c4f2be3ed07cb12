#pragma once

#include "Command.h"

#include <functional>

// tarvello check: whether the ports of other computers open, or without a
// computer what on this one stands in the way.
class CheckCommand : public Command {
public:
    using Command::Command;
    QString name() const override { return QStringLiteral("check"); }
    QString help() const override;
    int execute(const QStringList &arguments) override;

private:
    using Finding = std::function<void(const QString &line, bool problem)>;
    int checkThisComputer();
    void checkDiscovery(const Finding &finding);
    void checkFirewall(const Finding &finding);
};
