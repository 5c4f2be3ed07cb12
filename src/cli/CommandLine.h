#pragma once

#include "core/base/Ipv4Address.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class Command;
class HostResolver;
class MessengerService;
class NeighbourhoodBrowser;
class QIODevice;
class QTextStream;
class SettingsStore;
struct Settings;

// What the subcommands take from the system; main() fills it, tests fill it
// with fakes.
struct CommandLineServices {
    SettingsStore *store = nullptr;
    HostResolver *resolver = nullptr;
    MessengerService *messenger = nullptr;
    NeighbourhoodBrowser *browser = nullptr;
    // The number of audio inputs and outputs.
    std::function<std::pair<int, int>()> audioDevices;
    // This computer's names: the header line's, and the messenger's sender.
    QString hostName;
    QString netBiosName;
    // The executable, named in the capability fix.
    QString executable;
    // Where the firewall rules come from: `nft list ruleset`.
    QString nftProgram = QStringLiteral("nft");
    // Where a progress bar may redraw its line.
    bool outputIsTerminal = false;
    // Asks this user's running Tarvello (see InstanceChannel); no value when
    // none runs.
    std::function<std::optional<QByteArray>(const QByteArray &request)> askInstance;
    // The Avahi daemon answers.
    std::function<bool()> dnsSdRunning;
    // Read for whether Avahi may publish services.
    QString avahiConfig = QStringLiteral("/etc/avahi/avahi-daemon.conf");
    // The address book, for a user list built on the spot.
    QString addressBookFile;
};

// The subcommands of the executable: send, send-file, check and users (each
// a Command of its own), with the general help. They run without a display and beside the tray
// program: no single-instance lock, no listening port.
class CommandLine {
public:
    // Every subcommand's exit statuses; the help says them from one entry of
    // the string table (CliStatuses), the README and the manual page too.
    enum Status { Delivered = 0, Refused = 1, Usage = 2, Unreachable = 3 };

    // Whether the arguments (without the program's name) are for the command
    // line rather than the tray program: any but none or Qt's own options
    // (-platform, -display...). An unknown one is said there, with status 2.
    static bool handles(const QStringList &arguments);

    CommandLine(const CommandLineServices &services, QIODevice &input, QTextStream &out,
                QTextStream &err);

    // Runs what the arguments say; the exit status.
    int run(const QStringList &arguments);

private:
    // The subcommand of that name, or none.
    std::unique_ptr<Command> make(const QString &name);

    const CommandLineServices &m_services;
    QIODevice &m_input;
    QTextStream &m_out;
    QTextStream &m_err;
};
