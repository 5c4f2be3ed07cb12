#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QString>

#include <functional>

// Keeps a second Tarvello of the same user from starting: the first
// instance listens on a local socket named after the instance title, in the
// user's runtime folder; a later one that can connect to it knows it is not
// alone. The command line asks the running instance over the same socket.
class SingleInstance {
public:
    // Answers one request line (without its line break).
    using Answer = std::function<QByteArray(const QByteArray &request)>;

    SingleInstance();

    // True when this is the only instance; it then holds the socket until it
    // is destroyed. A socket left by a crashed instance is replaced.
    bool acquire();
    // Who answers the command line's requests; without one, nothing is said.
    void setAnswer(Answer answer) { m_answer = std::move(answer); }

    QString socketPath() const { return m_path; }

    // A request must arrive this soon after the connection.
    static constexpr int kRequestTimeoutMs = 2000;

private:
    QString m_path;
    QLocalServer m_server;
    Answer m_answer;
};
