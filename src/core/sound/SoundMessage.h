#pragma once

#include "core/net/ListenerServices.h"
#include "core/net/TcpSocket.h"

class MessageLog;
class SoundClip;
class SoundWindows;

// Sound messages on the data port: the header of kind Sound, the answer,
// then the samples, ended by the sender's close.
namespace SoundMessage {

// Sends a sound message: the header (kind Sound, the sender's name, the
// byte count, the recipient's address), the answer, then the samples in one
// send call. True only when the answer was not 0 and every byte was sent.
// The answer is waited for as long as it takes: the recipient's listener
// reaches the connection once its user has closed an open window.
// Blocking: call off the GUI thread. The cancellation (may be null) ends it
// at once.
bool send(const Ipv4Address &recipient, quint16 port, const QString &senderName,
          const char *samples, quint32 size, Cancellation *cancellation = nullptr);

// Reads the samples of a sound message into the clip: until the header's
// size or the clip's capacity has arrived, the connection ends or a receive
// fails (the connection's limits). The bytes received.
quint32 readSamples(TcpSocket &connection, quint32 size, SoundClip &clip);

// Serves a sound message whose header has been read: answers 1, reads the
// samples within the deadline, closes and queues the sound for its window.
// A sender that is gone before its first sample (the answer cannot be sent
// or the stream ends) queues nothing and is logged as not received.
void receive(TcpSocket &connection, const DataHeader &header, const Ipv4Address &peer,
             IncomingQueue &queue, MessageLog *log, int deadlineMs);

// The data listener's handler for sound messages.
DataConnectionHandler handler();

// The kind of a queued sound message, and how it is shown: in its window,
// then logged with the sender's address once the window has closed.
constexpr const char *kQueuedSound = "sound";
IncomingQueue::Presenter presenter(SoundWindows *windows, MessageLog *log);

} // namespace SoundMessage
