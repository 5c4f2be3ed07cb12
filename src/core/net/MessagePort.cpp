#include "MessagePort.h"

#include "core/base/StringTable.h"
#include "core/platform/CodePage.h"

#include <cstring>
#include <thread>

namespace MessagePort {

QString messageHeaderLine(const QString &hostName)
{
    return StringTable::format(StringId::MessageHeaderLine, {hostName});
}

QByteArray encodeMessage(const QString &hostName, const QString &text, const CodePage &page)
{
    return page.fromUnicode(messageHeaderLine(hostName) + text);
}

SendResult sendMessage(const Ipv4Address &recipient, quint16 port, const QString &hostName,
                       const QString &text, Cancellation *cancellation, int *connectError)
{
    TcpSocket socket;
    socket.setCancellation(cancellation);
    if (!socket.connectTo(recipient, port)) {
        if (connectError)
            *connectError = socket.lastError();
        return SendResult::NoConnection;
    }
    const QByteArray bytes = encodeMessage(hostName, text, CodePage::ansi());
    const qint64 sent = socket.send(bytes.constData(), bytes.size());
    socket.close();
    return sent < 0 ? SendResult::WriteFailed : SendResult::Delivered;
}

bool receiveText(TcpSocket &listening, QString &text, const ReceiveLimits &limits,
                 Ipv4Address *peer)
{
    text.clear();
    TcpSocket connection = listening.accept(peer);
    if (!connection.isOpen()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return false;
    }
    connection.setCancellation(limits.cancellation);
    connection.setReceiveTimeout(limits.idleTimeoutMs);
    connection.setReceiveDeadline(limits.deadlineMs);
    const CodePage page = CodePage::ansi();
    char buffer[kBlockSize + 1];
    while (text.size() < kMaxMessageChars) {
        const qint64 n = connection.receive(buffer, kBlockSize);
        if (n <= 0)
            break;
        buffer[n] = '\0';
        text += page.toUnicode(buffer, qsizetype(std::strlen(buffer)));
    }
    text.truncate(kMaxMessageChars);
    connection.close();
    return true;
}

} // namespace MessagePort
