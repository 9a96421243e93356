#include "report_file.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "check_result.h"
#include "serial/serial_error.h"

namespace parvolo {

namespace {

// A pipe takes this much without blocking once poll() says it is writable.
constexpr size_t kPipeChunk = 4096;

}  // namespace

ReportFile::~ReportFile() {
    if (m_ownsFd && m_fd >= 0) ::close(m_fd);
    if (!m_temporary.isEmpty()) ::unlink(m_temporary.constData());
}

bool ReportFile::fail(int err) {
    switch (err) {
        case ETIMEDOUT:
            m_error =
                CheckTexts::tr("nothing read the report for %1 s").arg(kStalledWriteMs / 1000);
            break;
        case ENXIO:
            m_error = CheckTexts::tr("a FIFO that nothing reads");
            break;
        default:
            m_error = osReason(err);
    }
    if (m_ownsFd && m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_temporary.isEmpty()) ::unlink(m_temporary.constData());
    m_temporary.clear();
    m_path.clear();
    return false;
}

bool ReportFile::openTemporary() {
    const int slash = m_path.lastIndexOf('/');
    const QByteArray dir = slash < 0 ? QByteArray(".") : m_path.left(slash);
    QByteArray name = dir + "/." + m_path.mid(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno);
    // mkstemp() makes it 0600; a report is as readable as any file this user writes.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    m_fd = fd;
    m_ownsFd = true;
    m_temporary = name;
    return true;
}

bool ReportFile::renameIntoPlace() {
    if (::fsync(m_fd) != 0) return fail(errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) return fail(errno);
    if (::rename(m_temporary.constData(), m_path.constData()) != 0) return fail(errno);
    m_temporary.clear();
    return true;
}

bool ReportFile::open(const QString& path) {
    if (path == QLatin1String("-")) {
        std::fflush(stdout);
        m_fd = STDOUT_FILENO;
        m_ownsFd = false;
        return true;
    }
    const QByteArray name = QFile::encodeName(path);
    struct stat existing {};
    if (::stat(name.constData(), &existing) != 0 || S_ISREG(existing.st_mode)) {
        m_path = name;
        if (openTemporary()) return true;
        // A directory that takes no new file (or a file system without one, like /proc): the
        // report is written in place, and the error, if any, is the file's own.
    }
    // O_NONBLOCK: a FIFO nobody reads fails with ENXIO instead of waiting for a reader.
    const int fd = ::open(name.constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) return fail(errno);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_ownsFd = true;
    return true;
}

bool ReportFile::writeSnapshot(const QByteArray& text) {
    if (m_path.isEmpty()) return isOpen();
    // The first version goes into the file made at open(); each later one into a new one.
    if (m_fd < 0 && !openTemporary()) return false;
    return writeAll(m_fd, text) && renameIntoPlace();
}

bool ReportFile::writeAll(int fd, const QByteArray& text) {
    for (qsizetype done = 0; done < text.size();) {
        pollfd ready{fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, kStalledWriteMs);
        if (polled < 0 && errno == EINTR) continue;
        if (polled < 0) return fail(errno);
        if (polled == 0) return fail(ETIMEDOUT);
        const size_t chunk = std::min(kPipeChunk, size_t(text.size() - done));
        const ssize_t written = ::write(fd, text.constData() + done, chunk);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return fail(written < 0 ? errno : EIO);
        done += written;
    }
    return true;
}

bool ReportFile::writeAndClose(const QByteArray& text) {
    if (!m_path.isEmpty()) {
        const bool written = writeSnapshot(text);
        m_path.clear();
        return written;
    }
    if (m_fd < 0 || !writeAll(m_fd, text)) return false;
    struct stat st {};
    // A regular file's last blocks can still fail on the way to the disk (a full or remote
    // file system); only fsync() tells.
    if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && ::fsync(m_fd) != 0) return fail(errno);
    if (m_ownsFd) {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 && errno != EINTR) return fail(errno);
    }
    m_fd = -1;
    return true;
}

}  // namespace parvolo
