#pragma once

#include "CommandLine.h"
#include "Diagnosis.h"
#include "core/base/StringTable.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

class QIODevice;
class QTextStream;
struct Settings;

// One subcommand of the executable: its name, its help and what it does,
// with what every subcommand shares (the usage message, name look-ups, the
// configured ports, how a connection went). Each subcommand is its own
// class in its own file; CommandLine picks one by name.
class Command {
public:
    Command(const CommandLineServices &services, QIODevice &input, QTextStream &out,
            QTextStream &err);
    virtual ~Command() = default;

    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    virtual QString name() const = 0;
    virtual QString help() const = 0;
    // Runs the subcommand with the arguments that follow its name; the exit
    // status.
    virtual int execute(const QStringList &arguments) = 0;

    // The line that says how a connection to a port went.
    static QString portLine(StringId portName, quint16 wirePort, const Diagnosis::PortProbe &probe,
                            int timeoutMs);
    // The exit status a failed connection gives: nothing listens is a
    // refusal, everything else unreachable.
    static int statusOf(const Diagnosis::PortProbe &probe);

    // The help with the exit statuses, as every command's help ends.
    static QString withStatuses(const QString &help);

protected:
    // An option the command takes: "--from" with a value, "--messenger"
    // without.
    struct Option {
        QString name;
        bool takesValue = false;
    };
    // The arguments taken apart as GNU programs do: options anywhere before
    // "--" ("--name value" or "--name=value"), the rest in order as operands
    // ("-" is one). The options given, each with its value.
    struct Arguments {
        QHash<QString, QString> options;
        QStringList operands;
    };
    // False, with the usage message said, for an unknown option or one
    // without its value.
    bool parse(const QStringList &arguments, const QList<Option> &known, Arguments &parsed);
    int usageError(const QString &problem);
    // Prints the help when the arguments ask for it.
    bool printedHelp(const QStringList &arguments);
    // What is wrong with a computer's name as given, before any look-up:
    // empty, or an option (after "--", still no name).
    static std::optional<QString> hostProblem(const QString &host);
    // The recipient's address, or a message and false.
    bool resolve(const QString &host, Ipv4Address &address);
    // A name's address: the running Tarvello's neighbourhood first, then the
    // system's look-ups; without a running Tarvello, last a search of the
    // neighbourhood on the spot.
    std::optional<Ipv4Address> lookUp(const QString &host);
    Settings settings() const;
    quint16 messagePort() const;
    quint16 dataPort() const;

    const CommandLineServices &m_services;
    QIODevice &m_input;
    QTextStream &m_out;
    QTextStream &m_err;
};
