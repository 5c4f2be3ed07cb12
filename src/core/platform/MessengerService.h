#pragma once

#include <QString>
#include <QStringList>

// Stands in for the system's messenger service (NetMessageBufferSend): a
// short text to a computer, shown there in a window of the system's own.
class MessengerService {
public:
    virtual ~MessengerService() = default;
    // 0 when the text was delivered to the computer at the dotted address,
    // anything else when it was not. Blocking: call off the GUI thread.
    virtual int send(const QString &recipientAddress, const QString &senderName,
                     const QString &text) = 0;
};

// Delivers through Samba's WinPopup client:
//   smbclient -M <address> -I <address> -U <sender> -N
// with the text on standard input. smbclient is given the text and the
// sender name already in the ANSI code page, with both its Unix and DOS
// character sets set to that page: it cuts its input into 127-byte pieces
// before converting them, and a UTF-8 character cut in two would make it
// send the raw UTF-8 bytes. Delivered only when smbclient exits with 0 and
// writes nothing to standard error (smbd answers a refusal with exit 0 and
// an error message).
class SmbclientMessenger : public MessengerService {
public:
    static constexpr int kTimeoutMs = 15000;
    // send()'s status when smbclient is not installed (or cannot run); -2
    // when it did not finish in time.
    static constexpr int kNotInstalled = -1;

    explicit SmbclientMessenger(const QString &program = QStringLiteral("smbclient"),
                                int timeoutMs = kTimeoutMs)
        : m_program(program), m_timeoutMs(timeoutMs)
    {
    }

    int send(const QString &recipientAddress, const QString &senderName,
             const QString &text) override;

private:
    QString m_program;
    int m_timeoutMs;
};
