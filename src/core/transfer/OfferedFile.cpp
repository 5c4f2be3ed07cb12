#include "OfferedFile.h"

#include "core/base/StringTable.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace {

using Problem = OfferedFile::Problem;

Problem kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return Problem::None;
    if (S_ISDIR(mode))
        return Problem::Folder;
    if (S_ISFIFO(mode))
        return Problem::Pipe;
    if (S_ISSOCK(mode))
        return Problem::Socket;
    return Problem::Device;
}

// File systems that make their files' lengths up: /proc says 0 and /sys
// 4096 whatever a read gives.
bool lengthIsMadeUp(int fd)
{
#ifdef __linux__
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
    case BPF_FS_MAGIC:
        return true;
    default:
        break;
    }
#endif
    // Elsewhere: a file that says it is empty but is not.
    char c;
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_size == 0 && ::pread(fd, &c, 1, 0) > 0;
}

} // namespace

OfferedFile::~OfferedFile()
{
    close();
}

void OfferedFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

OfferedFile::Problem OfferedFile::open(const QString &path)
{
    close();
    m_error = 0;
    m_size = m_position = 0;
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0) {
        m_error = errno;
        return m_error == ENOENT || m_error == ENOTDIR ? Problem::Missing : Problem::Unreadable;
    }
    if (const Problem kind = kindOf(st.st_mode); kind != Problem::None)
        return kind;
    // Not blocking even if the path became a FIFO since it was looked at.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        m_error = errno;
        return Problem::Unreadable;
    }
    Problem problem = Problem::None;
    if (::fstat(fd, &st) != 0) {
        m_error = errno;
        problem = Problem::Unreadable;
    } else if (problem = kindOf(st.st_mode); problem == Problem::None && lengthIsMadeUp(fd)) {
        problem = Problem::SizeUnknown;
    }
    if (problem != Problem::None) {
        ::close(fd);
        return problem;
    }
    ::fcntl(fd, F_SETFL, 0);
    m_fd = fd;
    m_size = st.st_size;
    m_modified = st.st_mtim;
    return Problem::None;
}

qint64 OfferedFile::read(char *buffer, qint64 max)
{
    const qint64 want = qMin(max, m_size - m_position);
    if (m_fd < 0 || want <= 0)
        return m_fd < 0 ? -1 : 0;
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, size_t(want));
        if (n >= 0) {
            m_position += n;
            return n;
        }
        if (errno != EINTR) {
            m_error = errno;
            return -1;
        }
    }
}

bool OfferedFile::unchanged() const
{
    struct stat st;
    char c;
    return m_fd >= 0 && m_position == m_size && ::fstat(m_fd, &st) == 0 && st.st_size == m_size &&
           st.st_mtim.tv_sec == m_modified.tv_sec && st.st_mtim.tv_nsec == m_modified.tv_nsec &&
           ::pread(m_fd, &c, 1, m_size) == 0;
}

QString OfferedFile::problemText(Problem problem, const QString &path, int error)
{
    using StringTable::format;
    switch (problem) {
    case Problem::None:
        break;
    case Problem::Missing:
        return format(StringId::CliNoSuchFile, {path});
    case Problem::Folder:
        return format(StringId::CliNotAFile, {path});
    case Problem::Device:
        return format(StringId::FileIsDevice, {path});
    case Problem::Pipe:
        return format(StringId::FileIsPipe, {path});
    case Problem::Socket:
        return format(StringId::FileIsSocket, {path});
    case Problem::SizeUnknown:
        return format(StringId::FileSizeUnknown, {path});
    case Problem::Unreadable:
        return format(StringId::CliCannotRead,
                      {path, QString::fromLocal8Bit(std::strerror(error))});
    }
    return QString();
}
