#include "serial/port_holders.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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
#include <vector>
#include <utility>

namespace parvolo {

namespace {

// UNIX98 pty slaves use majors 136..143, the legacy BSD ones major 3.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr unsigned kLegacyPtySlaveMajor = 3;
// A lock file without a readable PID is taken for one being written this long after it appeared.
constexpr std::time_t kUnreadableLockGraceSeconds = 2;
// An HDB lock file is eleven bytes; some programs add their name and user after the PID.
constexpr qint64 kLargestLockFile = 128;
// The kernel's own limit (PID_MAX_LIMIT on 64-bit), for when /proc does not say.
constexpr qint64 kPidLimit = 4194304;

// Lock files this process holds, so that a file naming our own PID is told apart from one
// left by an earlier process that had the same number.
QSet<QString>& locksHeldHere() {
    static QSet<QString> held;
    return held;
}

qint64 largestPid() {
    static const qint64 largest = [] {
        QFile file(QStringLiteral("/proc/sys/kernel/pid_max"));
        bool ok = false;
        const qint64 value =
            file.open(QIODevice::ReadOnly) ? file.read(32).trimmed().toLongLong(&ok) : 0;
        return ok && value > 0 ? value : kPidLimit;
    }();
    return largest;
}

// The PID in a lock file: ASCII decimal (HDB style, any padding, perhaps followed by more
// words), or the four binary bytes of old programs.
LockFileState::Kind parseLockPid(const QByteArray& content, qint64& pid) {
    using Kind = LockFileState::Kind;
    pid = 0;
    if (content.isEmpty()) return Kind::Empty;
    if (content.size() == 4 && !std::isdigit(static_cast<unsigned char>(content.back())) &&
        content.back() != '\n' && content.back() != ' ') {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        pid = binary;
    } else {
        const QByteArray word = content.simplified().split(' ').value(0);
        // Ten digits hold every PID; more, or anything but digits, is not one (no sign, no
        // wrap-around: 4294967297 is not PID 1).
        if (word.isEmpty() || word.size() > 10)
            return word.isEmpty() ? Kind::Empty : Kind::NotANumber;
        for (const char c : word)
            if (!std::isdigit(static_cast<unsigned char>(c))) return Kind::NotANumber;
        pid = word.toLongLong();
    }
    return pid >= 1 && pid <= largestPid() ? Kind::Pid : Kind::PidOutOfRange;
}

bool processRuns(qint64 pid) {
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// What an existing lock file says about the port: someone has it, it can be cleared, or it
// is in the way.
enum class Verdict { Held, Stale, InTheWay };

Verdict judge(const LockFileState& state, bool heldHere) {
    using Kind = LockFileState::Kind;
    if (state.kind == Kind::Pid) {
        const bool ours = state.pid == ::getpid();
        if (ours ? heldHere : processRuns(state.pid)) return Verdict::Held;
        return Verdict::Stale;
    }
    if (state.invalid()) return state.mayBeBeingWritten() ? Verdict::Held : Verdict::Stale;
    return Verdict::InTheWay;
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
    const QString kernelName = QString::fromLocal8Bit(comm.read(64)).trimmed();
    // The kernel keeps 15 characters of the name; the command line has it whole. A program that
    // renamed itself keeps the name it chose.
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!commandLine.open(QIODevice::ReadOnly)) return kernelName;
    const QByteArray first = commandLine.read(4096).split('\0').value(0);
    const QString fullName = QFileInfo(QString::fromLocal8Bit(first)).fileName();
    return !kernelName.isEmpty() && fullName.startsWith(kernelName) ? fullName : kernelName;
}

bool LockFileState::mayBeBeingWritten() const {
    return invalid() && std::time(nullptr) - modified < kUnreadableLockGraceSeconds;
}

QString userName(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

LockFileState readLockFile(const QString& path) {
    using Kind = LockFileState::Kind;
    LockFileState state;
    state.path = path;
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat seen {};
    if (::lstat(nativePath.constData(), &seen) != 0) {
        state.error = errno;
        state.kind = errno == ENOENT ? Kind::Missing : Kind::Unreadable;
        return state;
    }
    state.type = seen.st_mode & S_IFMT;
    state.owner = seen.st_uid;
    state.size = seen.st_size;
    state.modified = seen.st_mtime;
    if (!S_ISREG(seen.st_mode)) {
        state.kind = Kind::NotAFile;
        return state;
    }
    if (seen.st_size > kLargestLockFile) {
        state.kind = Kind::TooLarge;
        return state;
    }
    // The flags keep a file swapped in since the lstat() from making this wait or follow a link.
    const int fd =
        ::open(nativePath.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        state.error = errno;
        state.kind = errno == ENOENT  ? Kind::Missing
                     : errno == ELOOP ? Kind::NotAFile
                                      : Kind::Unreadable;
        return state;
    }
    struct stat opened {};
    char content[kLargestLockFile + 1];
    ssize_t length = -1;
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode))
        length = ::read(fd, content, sizeof content);
    else
        state.type = opened.st_mode & S_IFMT;
    state.error = errno;
    ::close(fd);
    if (!S_ISREG(opened.st_mode)) {
        state.kind = Kind::NotAFile;
        return state;
    }
    if (length < 0) {
        state.kind = Kind::Unreadable;
        return state;
    }
    state.error = 0;
    state.size = length;
    if (length > kLargestLockFile) {
        state.kind = Kind::TooLarge;
        return state;
    }
    state.kind = parseLockPid(QByteArray(content, int(length)), state.pid);
    return state;
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
                                 PortHolder* holder, LockFileState* state) {
    release();
    const QString path = lockFilePath(directory, devicePath);
    const QByteArray nativePath = QFile::encodeName(path);
    LockFileState found;
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

        found = readLockFile(path);
        if (state) *state = found;
        if (found.kind == LockFileState::Kind::Missing) continue;  // its owner just removed it
        switch (judge(found, locksHeldHere().contains(path))) {
            case Verdict::Held:
                if (holder)
                    *holder = found.kind == LockFileState::Kind::Pid
                                  ? PortHolder{found.pid, programName(found.pid)}
                                  : PortHolder{};
                return Outcome::HeldByOther;
            case Verdict::InTheWay:
                return Outcome::Blocked;
            case Verdict::Stale:
                break;
        }
        // Its owner is gone: the lock is stale. In the sticky lock directory only its owner
        // (or root) may remove it; a port whose lock nobody can see past is not taken.
        if (::unlink(nativePath.constData()) != 0 && errno != ENOENT) {
            found.error = errno;
            found.kind = LockFileState::Kind::CannotRemove;
            if (state) *state = found;
            return Outcome::Blocked;
        }
    }
    // Someone keeps putting a lock back as fast as we clear it.
    if (holder) *holder = PortHolder{};
    return Outcome::HeldByOther;
}

void PortLock::release() {
    if (m_path.isEmpty()) return;
    const QString path = std::exchange(m_path, QString());
    locksHeldHere().remove(path);
    // Only our own: someone may have judged it stale and put theirs in its place.
    const LockFileState state = readLockFile(path);
    if (state.kind == LockFileState::Kind::Pid && state.pid == ::getpid())
        ::unlink(QFile::encodeName(path).constData());
}

QString lockFilePath(const QString& directory, const QString& devicePath) {
    return directory + QLatin1Char('/') + lockFileName(devicePath);
}

PortHolder lockFileHolder(const QString& directory, const QString& devicePath) {
    const LockFileState state = readLockFile(lockFilePath(directory, devicePath));
    if (state.kind != LockFileState::Kind::Pid || !processRuns(state.pid)) return {};
    return PortHolder{state.pid, programName(state.pid)};
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

// Who may open a device: its owner and group, and whether the user is in that group now or only
// after logging in again.
namespace {

QString groupName(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

bool inGroups(gid_t gid, const std::vector<gid_t>& groups) {
    for (gid_t g : groups)
        if (g == gid) return true;
    return false;
}

std::vector<gid_t> sessionGroups() {
    std::vector<gid_t> groups(size_t(std::max(0, ::getgroups(0, nullptr))));
    groups.resize(size_t(std::max(0, ::getgroups(int(groups.size()), groups.data()))));
    groups.push_back(::getegid());
    return groups;
}

// The groups the user database gives the user now, which a new login would have.
std::vector<gid_t> databaseGroups() {
    const passwd* user = ::getpwuid(::getuid());
    if (!user) return {};
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return {};
    }
    groups.resize(size_t(count));
    return groups;
}

}  // namespace

DeviceAccess deviceAccess(const QString& path) {
    DeviceAccess access;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return access;
    constexpr mode_t kReadWrite = S_IRGRP | S_IWGRP;
    // Open to everyone and still refused: something else (an ACL, a security module) said no.
    if ((st.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH)) return access;
    access.unknown = false;
    access.owner = userName(st.st_uid);
    if ((st.st_mode & kReadWrite) != kReadWrite || st.st_gid == 0) return access;
    access.group = groupName(st.st_gid);
    access.joined = inGroups(st.st_gid, databaseGroups()) && !inGroups(st.st_gid, sessionGroups());
    return access;
}

}  // namespace parvolo
