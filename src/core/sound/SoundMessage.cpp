#include "SoundMessage.h"

#include "SoundClip.h"
#include "SoundWindows.h"
#include "core/base/MessageLog.h"
#include "core/base/StringTable.h"
#include "core/net/DataPort.h"

#include <algorithm>
#include <memory>

namespace SoundMessage {

bool send(const Ipv4Address &recipient, quint16 port, const QString &senderName,
          const char *samples, quint32 size, Cancellation *cancellation)
{
    DataHeader header;
    header.kind = static_cast<quint32>(DataKind::Sound);
    header.senderName = senderName;
    header.size = size;
    header.setAddress(recipient);
    TcpSocket socket;
    socket.setCancellation(cancellation);
    if (!socket.connectTo(recipient, port))
        return false;
    // The recipient answers once its listener reaches the connection, which
    // may wait for a window the user has open.
    if (!DataPort::offer(socket, header, 0))
        return false;
    const qint64 sent = size > 0 ? socket.send(samples, size) : 0;
    socket.close();
    return sent == qint64(size);
}

quint32 readSamples(TcpSocket &connection, quint32 size, SoundClip &clip)
{
    // Past the clip's capacity nothing more is read: the connection closes.
    const quint32 wanted = std::min(size, SoundClip::kCapacity);
    char *buffer = clip.sampleBuffer();
    quint32 got = 0;
    while (got < wanted) {
        const qint64 n = connection.receive(buffer + got, wanted - got);
        if (n <= 0)
            break;
        got += quint32(n);
    }
    clip.setLength(got);
    return got;
}

void receive(TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
             SoundWindows *windows, MessageLog *log, int deadlineMs)
{
    QStringList octets;
    for (int i = 0; i < 4; ++i)
        octets << QString::number(peer.octets[i]);
    const bool answered = DataPort::answer(connection, 1);
    connection.setReceiveDeadline(deadlineMs);
    auto clip = std::make_unique<SoundClip>();
    const quint32 got = answered ? readSamples(connection, header.size, *clip) : 0;
    connection.close();
    if (header.size > 0 && got == 0) {
        // The sender has gone: there is nothing to play.
        if (log)
            log->append(StringTable::format(StringId::SoundNotReceivedLog, octets),
                        LogDirection::Incoming);
        return;
    }
    if (windows)
        windows->showSound(header.senderName, *clip);
    // The log names the computer that sent the sound.
    if (log)
        log->append(StringTable::format(StringId::SoundReceivedLog, octets),
                    LogDirection::Incoming);
}

DataConnectionHandler handler(SoundWindows *windows)
{
    return [windows](TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
                     const ListenerServices &services) {
        receive(connection, header, peer, windows, services.log, services.deadlineMs);
    };
}

} // namespace SoundMessage
