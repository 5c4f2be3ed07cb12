#include "DataPort.h"

namespace DataPort {

void refuse(TcpSocket &connection)
{
    const QByteArray answer = encodeAnswer(0);
    connection.send(answer.constData(), answer.size());
    connection.close();
}

void handleDataConnection(TcpSocket &connection, const DataHeader &header)
{
    Q_UNUSED(header);
    refuse(connection);
}

} // namespace DataPort
