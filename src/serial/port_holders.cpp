#include "serial/port_holders.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace parvolo {

namespace {

// UNIX98 pty slaves use majors 136..143, the legacy BSD ones major 3.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr unsigned kLegacyPtySlaveMajor = 3;
// A lock file without a readable PID is taken for one being written this long after it appeared.
constexpr std::time_t kUnreadableLockGraceSeconds = 2;

// Lock files this process holds, so that a file naming our own PID is told apart from one
// left by an earlier process that had the same number.
QSet<QString>& locksHeldHere() {
    static QSet<QString> held;
    return held;
}

// The PID in a lock file: ASCII decimal (HDB style, any padding), or the four binary bytes of
// old programs. 0 when there is none.
qint64 lockFilePid(const QByteArray& content) {
    if (content.size() == 4 && !std::isdigit(static_cast<unsigned char>(content.back())) &&
        content.back() != '\n' && content.back() != ' ') {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary;
    }
    bool ok = false;
    const qint64 pid = content.trimmed().split(' ').value(0).toLongLong(&ok);
    return ok ? pid : 0;
}

bool processRuns(qint64 pid) {
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

QString lockFileName(const QString& devicePath) {
    static const QString kDev = QStringLiteral("/dev/");
    QString name = devicePath.startsWith(kDev) ? devicePath.mid(kDev.size())
                                               : QFileInfo(devicePath).fileName();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

QString programName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly)) return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

PortLock::PortLock(PortLock&& other) noexcept : m_path(std::exchange(other.m_path, QString())) {}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
    if (this != &other) {
        release();
        m_path = std::exchange(other.m_path, QString());
    }
    return *this;
}

PortLock::~PortLock() {
    release();
}

PortLock::Outcome PortLock::take(const QString& directory, const QString& devicePath,
                                 PortHolder* holder) {
    release();
    const QString path = directory + QLatin1Char('/') + lockFileName(devicePath);
    const QByteArray nativePath = QFile::encodeName(path);
    // A few rounds: another round follows the removal of a stale file, or a lock that its
    // owner removed while we looked at it.
    for (int round = 0; round < 3; ++round) {
        const int fd = ::open(nativePath.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            ::fchmod(fd, 0644);  // readable by every program that checks it, whatever the umask
            char text[16];
            const int length = std::snprintf(text, sizeof text, "%10d\n", int(::getpid()));
            const bool written = ::write(fd, text, size_t(length)) == length;
            ::close(fd);
            if (!written) {
                ::unlink(nativePath.constData());
                return Outcome::NotKept;
            }
            m_path = path;
            locksHeldHere().insert(path);
            return Outcome::Taken;
        }
        if (errno != EEXIST) return Outcome::NotKept;

        QFile existing(path);
        struct stat st {};
        if (!existing.open(QIODevice::ReadOnly) || ::fstat(existing.handle(), &st) != 0) {
            // Its owner removed it between our two looks: try to take it again.
            if (existing.error() == QFileDevice::OpenError && !QFile::exists(path)) continue;
            return Outcome::NotKept;
        }
        const qint64 pid = lockFilePid(existing.read(64));
        existing.close();
        const bool ours = pid == ::getpid();
        if ((processRuns(pid) && !ours) || (ours && locksHeldHere().contains(path))) {
            if (holder) *holder = PortHolder{pid, programName(pid)};
            return Outcome::HeldByOther;
        }
        if (pid <= 0 && std::time(nullptr) - st.st_mtime < kUnreadableLockGraceSeconds) {
            if (holder) *holder = PortHolder{};
            return Outcome::HeldByOther;
        }
        // Its owner is gone: the lock is stale.
        if (::unlink(nativePath.constData()) != 0 && errno != ENOENT) return Outcome::NotKept;
    }
    return Outcome::NotKept;
}

void PortLock::release() {
    if (m_path.isEmpty()) return;
    const QString path = std::exchange(m_path, QString());
    locksHeldHere().remove(path);
    QFile file(path);
    // Only our own: someone may have judged it stale and put theirs in its place.
    if (file.open(QIODevice::ReadOnly) && lockFilePid(file.read(64)) == ::getpid()) {
        file.close();
        ::unlink(QFile::encodeName(path).constData());
    }
}

PortHolder lockFileHolder(const QString& directory, const QString& devicePath) {
    QFile file(directory + QLatin1Char('/') + lockFileName(devicePath));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const qint64 pid = lockFilePid(file.read(64));
    return processRuns(pid) ? PortHolder{pid, programName(pid)} : PortHolder{};
}

PortHolder flockHolder(dev_t device, ino_t inode) {
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly)) return {};
    const QByteArray id = QByteArray::number(major(device), 16).rightJustified(2, '0') + ':' +
                          QByteArray::number(minor(device), 16).rightJustified(2, '0') + ':' +
                          QByteArray::number(quint64(inode));
    // "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF"; waiters have "->" after the number.
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields[1] != "FLOCK" || fields[5] != id) continue;
        const qint64 pid = fields[4].toLongLong();
        if (pid > 0) return PortHolder{pid, programName(pid)};
    }
    return {};
}

QList<PortHolder> deviceOpeners(dev_t rdev, pid_t except) {
    QList<PortHolder> holders;
    DIR* proc = ::opendir("/proc");
    if (!proc) return holders;
    while (const dirent* process = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == except) continue;
        char fdDir[64];
        std::snprintf(fdDir, sizeof fdDir, "/proc/%ld/fd", pid);
        DIR* fds = ::opendir(fdDir);
        if (!fds) continue;  // another user's process, or gone
        bool holds = false;
        while (const dirent* entry = ::readdir(fds)) {
            if (entry->d_name[0] == '.') continue;
            char link[sizeof fdDir + sizeof entry->d_name];
            std::snprintf(link, sizeof link, "%s/%s", fdDir, entry->d_name);
            char target[64];
            const ssize_t length = ::readlink(link, target, sizeof target - 1);
            // Only device nodes can be the port; sockets, pipes and files are skipped unread.
            if (length < 5 || std::strncmp(target, "/dev/", 5) != 0) continue;
            struct stat st {};
            if (::stat(link, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (holds) holders.append(PortHolder{pid, programName(pid)});
    }
    ::closedir(proc);
    return holders;
}

bool isPseudoTerminal(dev_t rdev) {
    const unsigned number = major(rdev);
    return (number >= kPtySlaveMajorFirst && number <= kPtySlaveMajorLast) ||
           number == kLegacyPtySlaveMajor;
}

}  // namespace parvolo
