#include "SoundMessage.h"

#include "SoundClip.h"
#include "SoundWindows.h"
#include "core/base/MessageLog.h"
#include "core/base/StringTable.h"
#include "core/net/DataPort.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
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

namespace {

QStringList octetsOf(const Ipv4Address &peer)
{
    QStringList octets;
    for (int i = 0; i < 4; ++i)
        octets << QString::number(peer.octets[i] & 0xff);
    return octets;
}

// The queued form: the sender's name (16-bit length, UTF-16), the peer's
// four octets, then the samples.
QByteArray encodeQueued(const QString &sender, const Ipv4Address &peer, const SoundClip &clip)
{
    QByteArray data;
    const QString name = sender.left(0xffff);
    char units[2];
    qToLittleEndian<quint16>(quint16(name.size()), units);
    data.append(units, 2);
    data.append(reinterpret_cast<const char *>(name.utf16()), name.size() * 2);
    for (int i = 0; i < 4; ++i)
        data.append(char(peer.octets[i] & 0xff));
    data.append(clip.samples(), clip.length());
    return data;
}

} // namespace

void receive(TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
             IncomingQueue &queue, MessageLog *log, int deadlineMs)
{
    const bool answered = DataPort::answer(connection, 1);
    connection.setReceiveDeadline(deadlineMs);
    auto clip = std::make_unique<SoundClip>();
    const quint32 got = answered ? readSamples(connection, header.size, *clip) : 0;
    connection.close();
    if (header.size > 0 && got == 0) {
        // The sender has gone: there is nothing to play.
        if (log)
            log->append(StringTable::format(StringId::SoundNotReceivedLog, octetsOf(peer)),
                        LogDirection::Incoming);
        return;
    }
    queue.push({QString::fromLatin1(kQueuedSound), encodeQueued(header.senderName, peer, *clip)});
}

DataConnectionHandler handler()
{
    return [](TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
              const ListenerServices &services) {
        receive(connection, header, peer, *services.sounds, services.log, services.deadlineMs);
    };
}

IncomingQueue::Presenter presenter(SoundWindows *windows, MessageLog *log)
{
    return [windows, log](const QByteArray &data) {
        if (data.size() < 6)
            return true; // nothing to show
        const quint16 units = qFromLittleEndian<quint16>(data.constData());
        if (data.size() < 2 + 2 * qsizetype(units) + 4)
            return true;
        const QString sender(reinterpret_cast<const QChar *>(data.constData() + 2), units);
        qsizetype at = 2 + 2 * qsizetype(units);
        Ipv4Address peer;
        for (int i = 0; i < 4; ++i)
            peer.octets[i] = quint8(data.at(at + i));
        at += 4;
        auto clip = std::make_unique<SoundClip>();
        const qsizetype length = qMin<qsizetype>(data.size() - at, SoundClip::kCapacity);
        std::memcpy(clip->sampleBuffer(), data.constData() + at, size_t(length));
        clip->setLength(quint32(length));
        if (windows && !windows->showSound(sender, *clip))
            return false;
        // The log names the computer that sent the sound.
        if (log)
            log->append(StringTable::format(StringId::SoundReceivedLog, octetsOf(peer)),
                        LogDirection::Incoming);
        return true;
    };
}

} // namespace SoundMessage
