#include "FileTransfer.h"

#include "FileOfferWindows.h"
#include "core/base/MessageLog.h"
#include "core/base/StringTable.h"
#include "core/net/DataPort.h"
#include "core/net/TcpSocket.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace FileTransfer {

namespace {

// How long the sender waits for the receiver to close after the last byte,
// which tells that everything arrived.
constexpr int kCloseTimeoutMs = 30000;

void logIncoming(MessageLog *log, const QString &text)
{
    if (log)
        log->append(text, LogDirection::Incoming);
}

void answer(TcpSocket &connection, quint32 word)
{
    const QByteArray bytes = encodeAnswer(word);
    connection.send(bytes.constData(), bytes.size());
}

// "name.part", or "name (2).part" and so on when that exists.
QString partName(const QString &target)
{
    QString candidate = target + QStringLiteral(".part");
    for (int i = 2; QFileInfo::exists(candidate) && i < 1000; ++i)
        candidate = target + QStringLiteral(" (%1).part").arg(i);
    return candidate;
}

bool moveInto(const QString &from, const QString &to)
{
    // rename() replaces an existing file in one step.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace

QString sizeText(quint32 n)
{
    using StringTable::format;
    if (n < 1024)
        return format(StringId::SizeBytes, {QString::number(n)});
    if (n < 1024000)
        return format(StringId::SizeKilobytes, {QString::number(n / 1024)});
    return format(StringId::SizeMegabytes,
                  {QString::number(n / 1024000), QString::number((n % 1024000) / 1024)});
}

QString safeFileName(const QString &offered)
{
    QString name = offered;
    const qsizetype slash = qMax(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
    if (slash >= 0)
        name = name.mid(slash + 1);
    QString clean;
    for (QChar c : name) {
        // Control characters and invisible formatting (a right-to-left
        // override can disguise an extension) are left out.
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Format ||
            c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
            continue;
        clean += c;
    }
    // Leading dots would hide the file; blanks at either end are lost easily.
    qsizetype start = 0;
    while (start < clean.size() && (clean.at(start) == u'.' || clean.at(start).isSpace()))
        ++start;
    clean = clean.mid(start).trimmed();
    constexpr qsizetype kMaxLength = 200;
    if (clean.size() > kMaxLength) {
        const qsizetype dot = clean.lastIndexOf(u'.');
        const QString extension = dot > 0 && clean.size() - dot <= 20 ? clean.mid(dot) : QString();
        clean = clean.left(kMaxLength - extension.size()).trimmed() + extension;
    }
    if (clean.isEmpty())
        clean = StringTable::text(StringId::UnnamedFile);
    return clean;
}

void sendFile(const FileSendJob &job, const std::function<void(FileSendStatus, int)> &report)
{
    TcpSocket socket;
    socket.setCancellation(job.cancellation);
    if (!socket.connectTo(job.recipient, job.port)) {
        report(FileSendStatus::NoConnection, 0);
        return;
    }
    QFile file(job.path);
    if (!file.open(QIODevice::ReadOnly)) {
        report(FileSendStatus::CannotOpen, 0);
        return;
    }
    const qint64 length = file.size();
    DataHeader header;
    header.kind = static_cast<quint32>(DataKind::File);
    header.fileName = job.fileName;
    header.senderName = job.senderName;
    header.size = quint32(quint64(length) & 0xffffffffu); // the lower 32 bits
    header.setAddress(job.recipient);
    // The recipient answers after its user decided.
    if (!DataPort::offer(socket, header, kAnswerTimeoutMs)) {
        report(FileSendStatus::Refused, 0);
        return;
    }

    report(FileSendStatus::Progress, 0);
    std::vector<char> buffer(kSendPiece);
    qint64 total = 0;
    int reported = 0;
    bool whole = true;
    for (;;) {
        const qint64 n = file.read(buffer.data(), kSendPiece);
        if (n == 0)
            break;
        if (n < 0 || socket.send(buffer.data(), n) != n) {
            whole = false;
            break;
        }
        total += n;
        // The real 64-bit length: files of 4 GiB and more count right.
        const int percent = length > 0 ? int(double(total) * 100.0 / double(length)) : 100;
        if (percent != reported) {
            reported = percent;
            report(FileSendStatus::Progress, percent);
        }
    }
    file.close();
    if (whole) {
        // The receiver closes once it has everything: wait for that close,
        // so that a receiver that broke down is not taken for a success.
        socket.shutdownSend();
        socket.setReceiveTimeout(kCloseTimeoutMs);
        char rest[64];
        qint64 n;
        while ((n = socket.receive(rest, sizeof rest)) > 0) {
        }
        whole = n == 0;
    }
    socket.close();
    report(whole ? FileSendStatus::Done : FileSendStatus::Interrupted, 0);
}

void receiveFileOffer(TcpSocket &connection, const DataHeader &header, FileOfferWindows *windows,
                      MessageLog *log)
{
    const QString name = safeFileName(header.fileName);
    const QString sender = header.senderName;
    const QString target = windows ? windows->askFileOffer(sender, name, header.size) : QString();
    if (target.isEmpty()) {
        logIncoming(log, StringTable::format(StringId::OfferRefusedLog, {sender, name}));
        DataPort::refuse(connection);
        return;
    }

    // The file is written beside its target as a temporary file (on Linux
    // one without a name until it is moved, so that a receiver killed in the
    // middle leaves nothing behind) and takes the target's name only when
    // everything has arrived: a transfer that fails never destroys a file
    // that was there.
    const QFileInfo info(target);
    QTemporaryFile temp(
        info.dir().filePath(QStringLiteral(".") + info.fileName() + QStringLiteral(".XXXXXX")));
    temp.setAutoRemove(false);
    if (!temp.open()) {
        logIncoming(log, StringTable::format(StringId::FileNotSavedLog,
                                             {name, sender, temp.errorString()}));
        DataPort::refuse(connection);
        return;
    }
    answer(connection, 1);

    std::vector<char> buffer(kReceivePiece);
    quint64 received = 0;
    bool writeFailed = false;
    qint64 n;
    while ((n = connection.receive(buffer.data(), kReceivePiece)) > 0) {
        if (temp.write(buffer.data(), n) != n) {
            writeFailed = true;
            break;
        }
        received += quint64(n);
    }
    if (writeFailed || !temp.flush()) {
        // The sender learns of the failure from the reset.
        connection.abort();
        logIncoming(log, StringTable::format(StringId::FileNotSavedLog,
                                             {name, sender, temp.errorString()}));
        temp.remove();
        return;
    }
    temp.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    temp.close();
    // Complete: the stream ended in order with the announced size (its lower
    // 32 bits, which is all the header carries).
    const bool complete = n == 0 && quint32(received & 0xffffffffu) == header.size;
    if (complete) {
        // The file takes its name before the connection closes, so the
        // sender's "done" means stored; a failure resets the connection.
        if (moveInto(temp.fileName(), target)) {
            connection.close();
        } else {
            connection.abort();
            logIncoming(log, StringTable::format(
                                 StringId::FileNotSavedLog,
                                 {name, sender, QString::fromLocal8Bit(std::strerror(errno))}));
            QFile::remove(temp.fileName());
        }
        return;
    }
    connection.close();
    const QString part = partName(target);
    if (!moveInto(temp.fileName(), part)) {
        QFile::remove(temp.fileName());
        return;
    }
    logIncoming(log, StringTable::format(StringId::FileIncompleteLog,
                                         {name, sender,
                                          sizeText(quint32(qMin<quint64>(received, 0xffffffffu))),
                                          sizeText(header.size), part}));
}

DataConnectionHandler offerHandler(FileOfferWindows *windows)
{
    return [windows](TcpSocket &connection, const DataHeader &header, const Ipv4Address &,
                     const ListenerServices &services) {
        receiveFileOffer(connection, header, windows, services.log);
    };
}

} // namespace FileTransfer
