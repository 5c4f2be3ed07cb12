#pragma once

#include <QString>
#include <QtGlobal>

#include <ctime>

// A file as it is offered to a recipient: only a regular file whose length
// its metadata gives, since the header promises that length. The path is
// looked at before anything is opened, so a pipe, a FIFO or a device is
// never opened (that could block, or end a FIFO's writer with SIGPIPE).
// While it is sent it is read up to the offered length and no further.
class OfferedFile {
public:
    enum class Problem {
        None,
        Missing,
        Folder,
        Device, // a character or block device (/dev/zero)
        Pipe,   // a FIFO, or a pipe such as <(command)
        Socket,
        SizeUnknown, // the metadata gives no length (/proc, /sys)
        Unreadable,  // cannot be opened for reading; error() says why
    };

    OfferedFile() = default;
    ~OfferedFile();
    OfferedFile(const OfferedFile &) = delete;
    OfferedFile &operator=(const OfferedFile &) = delete;

    // Looks at the path and opens it when it is a regular file.
    Problem open(const QString &path);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    // The system's error of an Unreadable file or a failed read.
    int error() const { return m_error; }
    // The length offered: the file's length when it was opened.
    qint64 size() const { return m_size; }

    // Reads the next piece, never past the offered length: the bytes read,
    // 0 at the offered length or where the file now ends before it, -1 when
    // reading failed.
    qint64 read(char *buffer, qint64 max);
    // Once read to its end: whether the file is still the one offered (its
    // length reached and not passed, not written to since it was opened).
    bool unchanged() const;

    // The problem for people, naming the path; empty for None.
    static QString problemText(Problem problem, const QString &path, int error = 0);

private:
    int m_fd = -1;
    int m_error = 0;
    qint64 m_size = 0;
    qint64 m_position = 0;
    timespec m_modified{};
};
