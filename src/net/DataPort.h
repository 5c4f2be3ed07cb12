#pragma once

#include "DataHeader.h"
#include "TcpSocket.h"

// The data port exchange: a header, a 4-byte answer, then the payload.
namespace DataPort {

// Answers 0 and closes the connection.
void refuse(TcpSocket &connection);

// Serves one connection whose header (not a stop) has been read, by its
// kind, and closes it. Sound messages and file offers are not received yet:
// like any unknown kind they are answered 0.
void handleDataConnection(TcpSocket &connection, const DataHeader &header);

} // namespace DataPort
