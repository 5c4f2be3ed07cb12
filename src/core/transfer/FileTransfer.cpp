#include "FileTransfer.h"

#include "FileOfferWindows.h"
#include "OfferedFile.h"
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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace FileTransfer {

namespace {

void logIncoming(MessageLog *log, const QString &text)
{
    if (log)
        log->append(text, LogDirection::Incoming);
}

// A file name holds this many bytes on the file systems we write to.
constexpr qsizetype kNameBytes = 255;
// The most a received file's name gains: " (999).part" for a part kept,
// "." and ".XXXXXX" for the temporary file.
constexpr qsizetype kSuffixBytes = 11;

qsizetype nameBytes(const QString &name)
{
    return QFile::encodeName(name).size();
}

// The name shortened to at most maxBytes bytes as the file system stores
// it and at most maxChars characters, keeping a short extension and never
// splitting a character.
QString fitName(const QString &name, qsizetype maxBytes, qsizetype maxChars = 1 << 20)
{
    if (name.size() <= maxChars && nameBytes(name) <= maxBytes)
        return name;
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString extension = dot > 0 && name.size() - dot <= 20 ? name.mid(dot) : QString();
    QString base = name.left(name.size() - extension.size());
    const qsizetype roomBytes = maxBytes - nameBytes(extension);
    const qsizetype roomChars = maxChars - extension.size();
    while (!base.isEmpty() && (base.size() > roomChars || nameBytes(base) > roomBytes)) {
        base.chop(1);
        if (!base.isEmpty() && base.back().isHighSurrogate())
            base.chop(1);
    }
    base = base.trimmed();
    if (base.isEmpty())
        base = StringTable::text(StringId::UnnamedFile);
    return base + extension;
}

// "name.part", or "name (2).part" and so on when that exists.
QString partName(const QString &target)
{
    const QFileInfo info(target);
    const QString stem = info.dir().filePath(fitName(info.fileName(), kNameBytes - kSuffixBytes));
    QString candidate = stem + QStringLiteral(".part");
    for (int i = 2; QFileInfo::exists(candidate) && i < 1000; ++i)
        candidate = stem + QStringLiteral(" (%1).part").arg(i);
    return candidate;
}

// What a new file's permissions are: 0666 less the process's umask.
mode_t newFileMode()
{
    mode_t mask = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint value = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    mask = mode_t(value);
            }
        }
    }
    return 0666 & ~mask;
}

// The received file's permissions: those of the file it replaces (its read
// and write bits), else a new file's; its data on the disk before it takes
// the target's name.
bool prepareForRename(QTemporaryFile &temp, const QString &target)
{
    struct stat replaced;
    const bool replacing = ::stat(QFile::encodeName(target).constData(), &replaced) == 0;
    // Never the set-user-ID, set-group-ID or sticky bits: the content came
    // from the network.
    const mode_t mode = replacing ? (replaced.st_mode & 0777) : newFileMode();
    return ::fchmod(temp.handle(), mode) == 0 && ::fsync(temp.handle()) == 0;
}

bool moveInto(const QString &from, const QString &to)
{
    // rename() replaces an existing file in one step.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The new name on the disk too. Not every file system can sync a folder;
// the file's own data is synced already.
void syncFolderOf(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes a received file and hands it to the disk as it grows, a step at a
// time, waiting for the oldest step on its way: the sync at the end then has
// little left to do, and the page cache never holds much of the file
// unwritten.
class ReceivedData {
public:
    explicit ReceivedData(int fd) : m_fd(fd) {}

    // All of it, or false with errno set.
    bool write(const char *data, qint64 size)
    {
        while (size > 0) {
            const ssize_t n = ::write(m_fd, data, size_t(size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = EIO;
                return false;
            }
            data += n;
            size -= n;
            m_written += n;
        }
        writeBack();
        return true;
    }

private:
    void writeBack()
    {
#ifdef __linux__
        // Failures are left to the sync at the end, which reports them.
        while (m_written - m_handedOn >= kWriteBackStep) {
            ::sync_file_range(m_fd, m_handedOn, kWriteBackStep, SYNC_FILE_RANGE_WRITE);
            const qint64 oldest = m_handedOn - (kWriteBackSteps - 1) * kWriteBackStep;
            if (oldest >= 0)
                ::sync_file_range(m_fd, oldest, kWriteBackStep,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                      SYNC_FILE_RANGE_WAIT_AFTER);
            m_handedOn += kWriteBackStep;
        }
#endif
    }

    int m_fd;
    qint64 m_written = 0;
    qint64 m_handedOn = 0;
};

} // namespace

int percentSent(qint64 sent, qint64 length)
{
    return length > 0 ? int(double(sent) * 100.0 / double(length)) : 100;
}

QString sizeText(quint64 n)
{
    using StringTable::format;
    if (n < 1024)
        return format(StringId::SizeBytes, {QString::number(n)});
    if (n < 1024000)
        return format(StringId::SizeKilobytes, {QString::number(n / 1024)});
    // The thousandths with their leading zeros: 1,049,600 bytes are 1.025.
    return format(StringId::SizeMegabytes,
                  {QString::number(n / 1024000),
                   QStringLiteral("%1").arg((n % 1024000) / 1024, 3, 10, QLatin1Char('0'))});
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
    if (clean.isEmpty())
        return StringTable::text(StringId::UnnamedFile);
    // At most 200 characters, and short enough in bytes for the file system
    // with room for the suffixes the receiver adds.
    return fitName(clean, kNameBytes - kSuffixBytes, 200);
}

void sendFile(const FileSendJob &job, const std::function<void(FileSendStatus, int)> &report)
{
    TcpSocket socket;
    socket.setCancellation(job.cancellation);
    if (!socket.connectTo(job.recipient, job.port)) {
        report(FileSendStatus::NoConnection, socket.lastError());
        return;
    }
    OfferedFile file;
    const OfferedFile::Problem problem = file.open(job.path);
    if (problem == OfferedFile::Problem::Missing || problem == OfferedFile::Problem::Unreadable) {
        report(FileSendStatus::CannotOpen, 0);
        return;
    }
    if (problem != OfferedFile::Problem::None) {
        report(FileSendStatus::NotRegular, int(problem));
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
        const int percent = percentSent(total, length);
        if (percent != reported) {
            reported = percent;
            report(FileSendStatus::Progress, percent);
        }
    }
    // Exactly the offered length went, of the file as it was offered: one
    // that grew, shrank or was written to is not sent as if it were whole.
    const bool changed = whole && !file.unchanged();
    whole = whole && !changed;
    file.close();
    if (whole) {
        // The receiver closes in order once it has stored everything: wait
        // for that close, so that a receiver that broke down is not taken
        // for a success.
        socket.shutdownSend();
        socket.setReceiveTimeout(kCloseTimeoutMs);
        char rest[64];
        qint64 n;
        while ((n = socket.receive(rest, sizeof rest)) > 0) {
        }
        whole = n == 0;
    }
    // Anything but a whole file ends with a reset: the receiver must not
    // take the end of the stream for the end of the file.
    if (whole)
        socket.close();
    else
        socket.abort();
    report(changed ? FileSendStatus::Changed
           : whole ? FileSendStatus::Done
                   : FileSendStatus::Interrupted,
           0);
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
    QTemporaryFile temp(info.dir().filePath(QStringLiteral(".") +
                                            fitName(info.fileName(), kNameBytes - kSuffixBytes) +
                                            QStringLiteral(".XXXXXX")));
    temp.setAutoRemove(false);
    if (!temp.open()) {
        logIncoming(log, StringTable::format(StringId::FileNotSavedLog,
                                             {name, sender, temp.errorString()}));
        DataPort::refuse(connection);
        return;
    }
    const bool answered = DataPort::answer(connection, 1);

    std::vector<char> buffer(kReceivePiece);
    ReceivedData data(temp.handle());
    quint64 received = 0;
    bool writeFailed = false;
    qint64 n = -1;
    while (answered && (n = connection.receive(buffer.data(), kReceivePiece)) > 0) {
        if (!data.write(buffer.data(), n)) {
            writeFailed = true;
            break;
        }
        received += quint64(n);
    }
    if (writeFailed) {
        const int writeError = errno;
        // The sender learns of the failure from the reset.
        connection.abort();
        logIncoming(log, StringTable::format(
                             StringId::FileNotSavedLog,
                             {name, sender, QString::fromLocal8Bit(std::strerror(writeError))}));
        temp.remove();
        return;
    }
    // Complete: the stream ended in order with the announced size (its lower
    // 32 bits, which is all the header carries).
    const bool lengthRight = quint32(received & 0xffffffffu) == header.size;
    const bool complete = n == 0 && lengthRight;
    if (!complete && received == 0) {
        // The sender has gone before its first byte (it gave up waiting, or
        // ended): nothing arrived, nothing is kept.
        connection.abort();
        temp.remove();
        logIncoming(log,
                    StringTable::format(StringId::FileNotSavedLog,
                                        {name, sender, StringTable::text(StringId::SenderGone)}));
        return;
    }
    const bool prepared = prepareForRename(temp, complete ? target : QString());
    const int prepareError = errno;
    temp.close();
    if (complete) {
        // The file takes its name before the connection closes, so the
        // sender's "done" means stored; a failure resets the connection.
        if (!prepared) {
            connection.abort();
            logIncoming(log,
                        StringTable::format(
                            StringId::FileNotSavedLog,
                            {name, sender, QString::fromLocal8Bit(std::strerror(prepareError))}));
            QFile::remove(temp.fileName());
        } else if (moveInto(temp.fileName(), target)) {
            syncFolderOf(target);
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
    // Never the orderly close for a file not stored: that would tell the
    // sender that it arrived.
    connection.abort();
    const QString part = partName(target);
    if (!moveInto(temp.fileName(), part)) {
        QFile::remove(temp.fileName());
        return;
    }
    const QString got = sizeText(quint32(qMin<quint64>(received, 0xffffffffu)));
    // The whole length came, but the sender broke off instead of closing:
    // its file changed while it was sent, or the connection broke.
    logIncoming(
        log, lengthRight
                 ? StringTable::format(StringId::FileEndNotConfirmedLog, {name, sender, got, part})
                 : StringTable::format(StringId::FileIncompleteLog,
                                       {name, sender, got, sizeText(header.size), part}));
}

DataConnectionHandler offerHandler(FileOfferWindows *windows)
{
    return [windows](TcpSocket &connection, const DataHeader &header, const Ipv4Address &,
                     const ListenerServices &services) {
        receiveFileOffer(connection, header, windows, services.log);
    };
}

} // namespace FileTransfer
