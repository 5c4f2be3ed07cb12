#pragma once

#include <QLocalServer>
#include <QString>

// Keeps a second Tarvello of the same user and session from starting: the
// first instance listens on a local socket named after the instance title,
// in the user's runtime folder; a later one that can connect to it knows it
// is not alone.
class SingleInstance {
public:
    static constexpr auto kInstanceTitle = "{1E55945C-F84D-4c99-830D-CA86CE07EC2E}";

    SingleInstance();

    // True when this is the only instance; it then holds the socket until it
    // is destroyed. A socket left by a crashed instance is replaced.
    bool acquire();

    QString socketPath() const { return m_path; }

private:
    QString m_path;
    QLocalServer m_server;
};
