#pragma once

#include "DataHeader.h"
#include "ListenerServices.h"
#include "TcpSocket.h"

// The data port exchange: a header, a 4-byte answer word, then the payload.
namespace DataPort {

// Answers with a word (1 accepts, 0 refuses); true when all of it was sent.
bool answer(TcpSocket &connection, quint32 word);
// Answers 0 and closes the connection.
void refuse(TcpSocket &connection);

// The sender's side of the exchange on a connected socket: the header, then
// the recipient's answer, waited for up to the given time. True when the
// answer came and was not 0; an answer that cannot be read is a refusal.
bool offer(TcpSocket &socket, const DataHeader &header, int answerTimeoutMs);

} // namespace DataPort
