#include "DataPort.h"

namespace DataPort {

bool answer(TcpSocket &connection, quint32 word)
{
    const QByteArray bytes = encodeAnswer(word);
    return connection.send(bytes.constData(), bytes.size()) == bytes.size();
}

void refuse(TcpSocket &connection)
{
    answer(connection, 0);
    connection.close();
}

bool offer(TcpSocket &socket, const DataHeader &header, int answerTimeoutMs)
{
    const QByteArray bytes = header.encode();
    if (socket.send(bytes.constData(), bytes.size()) != bytes.size())
        return false;
    char word[4] = {0, 0, 0, 0};
    socket.setReceiveTimeout(answerTimeoutMs);
    return socket.receiveExactly(word, sizeof word) && decodeAnswer(word) != 0;
}

} // namespace DataPort
