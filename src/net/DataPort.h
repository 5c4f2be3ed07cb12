#pragma once

#include "DataHeader.h"
#include "ListenerServices.h"
#include "TcpSocket.h"

class SoundClip;

// The data port exchange: a header, a 4-byte answer word, then the payload.
namespace DataPort {

// How long a sender waits for the answer word.
constexpr int kAnswerTimeoutMs = 120000;

// Answers 0 and closes the connection.
void refuse(TcpSocket &connection);

// Serves one connection whose header (not a stop) has been read, by its
// kind, and closes it: a sound is answered 1, read and shown; a file offer
// is put to the user and, when accepted, stored; any other kind is answered
// 0.
void handleDataConnection(TcpSocket &connection, const DataHeader &header,
                          const Ipv4Address &peer, const ListenerServices &services);

// Reads the samples of a sound message into the clip: until the header's
// size has arrived, the connection ends or a receive fails. At most the
// clip's capacity is kept; the rest of a longer sound is read and dropped.
void readSamples(TcpSocket &connection, quint32 size, SoundClip &clip);

// Sends a sound message: the header (kind Sound, the sender's name, the
// byte count, the recipient's address), the answer, then the samples in one
// send call. True only when the answer was not 0 and every byte was sent.
// Blocking: call off the GUI thread.
bool sendSoundMessage(const Ipv4Address &recipient, quint16 port, const QString &senderName,
                      const char *samples, quint32 size);

} // namespace DataPort
