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
    // may wait for a window the user has open; a peer silent for minutes is
    // given up.
    if (!DataPort::offer(socket, header, kAnswerTimeoutMs))
        return false;
    const qint64 sent = size > 0 ? socket.send(samples, size) : 0;
    socket.close();
    return sent == qint64(size);
}

void readSamples(TcpSocket &connection, quint32 size, SoundClip &clip)
{
    char *buffer = clip.sampleBuffer();
    char discard[65536];
    quint32 got = 0;
    while (got < size) {
        const quint32 left = size - got;
        qint64 n;
        if (got < SoundClip::kCapacity)
            n = connection.receive(buffer + got, std::min(left, SoundClip::kCapacity - got));
        else
            n = connection.receive(discard, std::min<quint32>(left, sizeof discard));
        if (n <= 0)
            break;
        got += quint32(n);
    }
    clip.setLength(std::min(got, SoundClip::kCapacity));
}

void receive(TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
             SoundWindows *windows, MessageLog *log)
{
    DataPort::answer(connection, 1);
    auto clip = std::make_unique<SoundClip>();
    readSamples(connection, header.size, *clip);
    if (windows)
        windows->showSound(header.senderName, *clip);
    connection.close();
    // The log names the computer that sent the sound.
    if (log) {
        QStringList octets;
        for (int i = 0; i < 4; ++i)
            octets << QString::number(peer.octets[i]);
        log->append(StringTable::format(StringId::SoundReceivedLog, octets),
                    LogDirection::Incoming);
    }
}

DataConnectionHandler handler(SoundWindows *windows)
{
    return [windows](TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
                     const ListenerServices &services) {
        receive(connection, header, peer, windows, services.log);
    };
}

} // namespace SoundMessage
