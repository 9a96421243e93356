#include "report_file.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "serial/serial_error.h"

namespace parvolo {

namespace {

// A pipe takes this much without blocking once poll() says it is writable.
constexpr size_t kPipeChunk = 4096;

}  // namespace

ReportFile::~ReportFile() {
    if (m_ownsFd && m_fd >= 0) ::close(m_fd);
}

bool ReportFile::fail(int err) {
    switch (err) {
        case ETIMEDOUT:
            m_error =
                QStringLiteral("nothing read the report for %1 s").arg(kStalledWriteMs / 1000);
            break;
        case ENXIO:
            m_error = QStringLiteral("a FIFO that nothing reads");
            break;
        default:
            m_error = osReason(err);
    }
    if (m_ownsFd && m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    return false;
}

bool ReportFile::open(const QString& path) {
    if (path == QLatin1String("-")) {
        std::fflush(stdout);
        m_fd = STDOUT_FILENO;
        m_ownsFd = false;
        return true;
    }
    // O_NONBLOCK: a FIFO nobody reads fails with ENXIO instead of waiting for a reader.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) return fail(errno);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_ownsFd = true;
    return true;
}

bool ReportFile::writeAndClose(const QByteArray& text) {
    if (m_fd < 0) return false;
    for (qsizetype done = 0; done < text.size();) {
        pollfd ready{m_fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, kStalledWriteMs);
        if (polled < 0 && errno == EINTR) continue;
        if (polled < 0) return fail(errno);
        if (polled == 0) return fail(ETIMEDOUT);
        const size_t chunk = std::min(kPipeChunk, size_t(text.size() - done));
        const ssize_t written = ::write(m_fd, text.constData() + done, chunk);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return fail(written < 0 ? errno : EIO);
        done += written;
    }
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
