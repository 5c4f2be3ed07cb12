#include "DataPort.h"

#include "IncomingWindows.h"
#include "app/ModalState.h"
#include "app/StringTable.h"
#include "messaging/MessageLog.h"
#include "sound/SoundClip.h"
#include "transfer/FileTransfer.h"

#include <algorithm>

namespace DataPort {

namespace {

bool answer(TcpSocket &connection, quint32 word)
{
    const QByteArray bytes = encodeAnswer(word);
    return connection.send(bytes.constData(), bytes.size()) == bytes.size();
}

void receiveSoundMessage(TcpSocket &connection, const DataHeader &header,
                         const ListenerServices &services)
{
    auto clip = std::make_unique<SoundClip>();
    readSamples(connection, header.size, *clip);
    if (services.modal)
        services.modal->begin();
    if (services.windows)
        services.windows->showSound(header.senderName, *clip);
    if (services.modal)
        services.modal->end();
}

QString octet(const Ipv4Address &a, int i)
{
    return QString::number(a.octets[i]);
}

} // namespace

void refuse(TcpSocket &connection)
{
    answer(connection, 0);
    connection.close();
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

void handleDataConnection(TcpSocket &connection, const DataHeader &header,
                          const Ipv4Address &peer, const ListenerServices &services)
{
    if (header.isKind(DataKind::Sound)) {
        answer(connection, 1);
        receiveSoundMessage(connection, header, services);
        connection.close();
        // The log names the computer that sent the sound.
        if (services.log)
            services.log->append(StringTable::format(StringId::SoundReceivedLog,
                                                     {octet(peer, 0), octet(peer, 1),
                                                      octet(peer, 2), octet(peer, 3)}),
                                 LogDirection::Incoming);
        return;
    }
    if (header.isKind(DataKind::File)) {
        FileTransfer::receiveFileOffer(connection, header, services);
        return;
    }
    refuse(connection);
}

bool sendSoundMessage(const Ipv4Address &recipient, quint16 port, const QString &senderName,
                      const char *samples, quint32 size)
{
    DataHeader header;
    header.kind = static_cast<quint32>(DataKind::Sound);
    header.senderName = senderName;
    header.size = size;
    header.setAddress(recipient);
    TcpSocket socket;
    if (!socket.connectTo(recipient, port))
        return false;
    const QByteArray bytes = header.encode();
    if (socket.send(bytes.constData(), bytes.size()) != bytes.size())
        return false;
    // An answer that cannot be read counts as a refusal. The recipient
    // answers once its listener reaches the connection, which may wait for
    // a window the user has open; a peer silent for minutes is given up.
    char word[4] = {0, 0, 0, 0};
    socket.setReceiveTimeout(kAnswerTimeoutMs);
    if (!socket.receiveExactly(word, sizeof word) || decodeAnswer(word) == 0)
        return false;
    const qint64 sent = size > 0 ? socket.send(samples, size) : 0;
    socket.close();
    return sent == qint64(size);
}

} // namespace DataPort
