#pragma once

#include "TcpSocket.h"
#include "core/base/Ipv4Address.h"

#include <QByteArray>
#include <QString>

class CodePage;

// The text message exchange: the sender connects, writes the text in the
// ANSI code page and closes; the close ends the message. No framing, no reply.
namespace MessagePort {

// The incoming window holds at most this many characters; a peer that sends
// more loses its connection once the window is full.
constexpr qsizetype kMaxMessageChars = 10485759;
constexpr qint64 kBlockSize = 4096;
// A peer that sends nothing for this long ends its message.
constexpr int kIdleTimeoutMs = 30000;
// A message arrives whole within this long of its accept, however slowly
// its bytes trickle in; what arrived by then is the message.
constexpr int kDeadlineMs = 30000;

// "Сообщение от <host>:" and CR LF.
QString messageHeaderLine(const QString &hostName);
// The bytes on the wire: the header line and the text in the code page.
QByteArray encodeMessage(const QString &hostName, const QString &text, const CodePage &page);

enum class SendResult { Delivered, NoConnection, WriteFailed };

// Connects to the recipient's message port, writes the message in one send
// call and closes. A send that writes fewer bytes than asked is not repeated
// and counts as delivered. The cancellation (may be null) ends it at once.
// The system's error of a connection that could not be made goes to
// connectError (may be null).
SendResult sendMessage(const Ipv4Address &recipient, quint16 port, const QString &hostName,
                       const QString &text, Cancellation *cancellation = nullptr,
                       int *connectError = nullptr);

// How long a connection may take.
struct ReceiveLimits {
    int idleTimeoutMs = kIdleTimeoutMs;
    int deadlineMs = kDeadlineMs;
    // Ends the connection at once from another thread (may be null).
    Cancellation *cancellation = nullptr;
};

// Accepts one connection and reads its message until the peer closes, a
// read fails, the peer stays silent for the idle limit, the deadline passes
// or the text fills the window; then the connection is closed. Each block
// is decoded on its own up to its first zero byte. False (after a pause of
// 100 ms) when accepting failed; otherwise true with the text, maybe empty.
bool receiveText(TcpSocket &listening, QString &text, const ReceiveLimits &limits = {},
                 Ipv4Address *peer = nullptr);

} // namespace MessagePort
