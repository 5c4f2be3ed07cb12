#pragma once

#include "core/base/Ipv4Address.h"
#include "core/net/DataHeader.h"
#include "core/net/ListenerServices.h"

#include <QString>

class Cancellation;
class FileOfferWindows;
class MessageLog;

#include <functional>

class TcpSocket;

// What the file-sending worker reports to its window.
enum class FileSendStatus : int {
    Progress = 0,     // argument: the percentage sent, 0 to 100
    Done = 1,         // the whole file went
    Refused = 2,      // the answer was 0 or could not be read
    NoConnection = 3, // the recipient's data port could not be reached;
                      // argument: the system's error
    CannotOpen = 5,   // the file could not be opened for reading
    Interrupted = 6,  // the transfer broke off before the end of the file
    NotRegular = 7,   // not a regular file with a known length; argument:
                      // the OfferedFile::Problem
    Changed = 8,      // the file grew, shrank or was written to while sent
};

// The record handed to the worker.
struct FileSendJob {
    Ipv4Address recipient;
    quint16 port = 0; // the data port
    QString senderName;
    QString path;     // the file to send
    QString fileName; // its name without folder, as offered
    // Ends the transfer at once from another thread (may be null).
    Cancellation *cancellation = nullptr;
};

namespace FileTransfer {

// Bytes in one piece read from the file and sent.
constexpr qint64 kSendPiece = 65535;
// Bytes the receiver takes in one receive.
constexpr qint64 kReceivePiece = 65536;
// How long the sender waits for the recipient's decision (prompt and save
// dialog).
constexpr int kAnswerTimeoutMs = 10 * 60 * 1000;
// The receiver hands what it writes to the disk in steps of this many
// bytes, with this many steps on their way at once (it waits for the oldest
// before it hands on another), so that little is left for the sync before
// the file takes its name and the disk still gets a deep queue.
constexpr qint64 kWriteBackStep = qint64(8) << 20;
constexpr int kWriteBackSteps = 4;
// How long the sender waits for the receiver to close after the last byte:
// the receiver's last steps stored even at 1 MB/s, with room to spare.
constexpr int kCloseTimeoutMs = 60000;

// The whole percentage of a file sent so far, from its real 64-bit length
// (files of 4 GiB and more count right); 100 for an empty file.
int percentSent(qint64 sent, qint64 length);

// A size for people: "%d байт", "%d Кбайт" or "%d.%d Мбайт" (also past
// 4 GiB, for the command line's rates and files).
QString sizeText(quint64 bytes);

// A name from the network reduced to a plain file name: no folders, no
// "..", no control characters, no leading dots or blanks, at most 200
// characters and 244 bytes (the file system's 255 less what the receiver
// adds), shortened before a short extension; "файл" when nothing is left.
QString safeFileName(const QString &offered);

// The sending side of the file exchange, run by the worker: connects,
// offers a regular file, and streams exactly the offered length in pieces,
// reporting as it goes. Done only when the receiver closed in order after
// the last byte (it has stored the file); a file that changed meanwhile
// ends with a reset, so the receiver does not keep it either. Blocking.
void sendFile(const FileSendJob &job, const std::function<void(FileSendStatus, int)> &report);

// The receiving side for a File header: asks through the incoming windows,
// answers, and copies the stream into a temporary file in the chosen folder
// that takes the chosen name, on the disk, when the offered length has
// arrived and the sender closed in order; only then does it close in order
// itself. Refusals, and files that arrive incomplete or cannot be written,
// are logged, and the sender gets a reset.
void receiveFileOffer(TcpSocket &connection, const DataHeader &header, FileOfferWindows *windows,
                      MessageLog *log);

// The data listener's handler for file offers, put to the user in these
// windows.
DataConnectionHandler offerHandler(FileOfferWindows *windows);

} // namespace FileTransfer
