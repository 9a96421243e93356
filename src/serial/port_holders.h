#pragma once

// Who else has a serial port. Three places tell: the UUCP lock file that serial programs keep
// in /var/lock (LCK.. and the device name, the owner's PID as ten characters and a newline),
// a flock() on the device (listed with its PID in /proc/locks), and the open descriptors of
// every process (/proc/PID/fd, as fuser reads them). A pseudo-terminal's far end holds it by
// design, so the descriptor scan is only asked about devices that are not ptys.

#include <QList>
#include <QString>

#include <sys/types.h>

#include <ctime>

namespace parvolo {

struct PortHolder {
    qint64 pid = 0;   // 0: not known
    QString program;  // its name (/proc/PID/comm), empty when not known
};

// The name other serial programs give a device's lock file: "LCK.." and the path below /dev
// with '/' as '_' (ttyS0, ttyUSB0, pts_3); outside /dev, the file name.
QString lockFileName(const QString& devicePath);

// The program name of a running process as the user knows it (from its command line, where the
// kernel's own name is cut to 15 characters), empty when it cannot be read.
QString programName(qint64 pid);

// What is at a lock file's path. It is looked at without following a link, without opening a
// device or a FIFO and without waiting, because anyone may put anything in the lock directory.
struct LockFileState {
    enum class Kind {
        Missing,        // nothing there
        Pid,            // a lock file naming a PID (whose process may have ended)
        Empty,          // a regular file without a PID: empty,
        TooLarge,       // larger than any lock file,
        NotANumber,     // not a PID in either form,
        PidOutOfRange,  // or a number no process can have
        NotAFile,       // a FIFO, a link, a directory, a device or a socket
        Unreadable,     // a lock file this user may not read
        CannotRemove,   // a stale lock file this user may not remove
    };
    Kind kind = Kind::Missing;
    QString path;
    qint64 pid = 0;
    mode_t type = 0;  // the S_IFMT bits of what is there
    uid_t owner = 0;
    qint64 size = 0;
    int error = 0;  // why it could not be read or removed
    std::time_t modified = 0;

    // A regular file that holds no usable PID.
    bool invalid() const {
        return kind == Kind::Empty || kind == Kind::TooLarge || kind == Kind::NotANumber ||
               kind == Kind::PidOutOfRange;
    }
    // An invalid file so new that its writer may still be at it; an older one is stale.
    bool mayBeBeingWritten() const;
};

LockFileState readLockFile(const QString& path);

// The name of a user, or the number when the user database does not know it.
QString userName(uid_t uid);

// Who may open a device that refused us with EACCES.
struct DeviceAccess {
    QString group;        // a group that may open it; empty: only its owner and root may
    QString owner;        // the user who owns it
    bool joined = false;  // the user is in that group, but this session started before
    bool unknown = true;  // the device could not be looked at
};

// Reads the device's owner, group and mode, and the user's groups now and at the next login.
DeviceAccess deviceAccess(const QString& path);

// A UUCP lock file taken by this process; removed again by release() or the destructor.
class PortLock {
public:
    enum class Outcome {
        Taken,        // the file is ours
        HeldByOther,  // a live process holds it
        NotKept,      // no lock file can be kept here (the directory is missing or read-only)
        Blocked,      // something at the lock path cannot be judged or cleared (see the state)
    };

    PortLock() = default;
    PortLock(PortLock&& other) noexcept;
    PortLock& operator=(PortLock&& other) noexcept;
    ~PortLock();

    // Takes the lock for the device (its real path) in directory; a lock left by a process
    // that no longer runs is removed first. On HeldByOther, holder names who has it. On Blocked,
    // and on HeldByOther by a lock file without a PID (one still being written), state says
    // what is at the lock path.
    Outcome take(const QString& directory, const QString& devicePath, PortHolder* holder,
                 LockFileState* state = nullptr);
    void release();
    const QString& path() const { return m_path; }

private:
    QString m_path;
};

// The device's lock file in directory, and the live process it names, found without taking or
// removing anything (a stale file names nobody); pid 0 when there is none.
QString lockFilePath(const QString& directory, const QString& devicePath);
PortHolder lockFileHolder(const QString& directory, const QString& devicePath);

// The process holding a flock() on the file with this device and inode numbers.
PortHolder flockHolder(dev_t device, ino_t inode);

// Processes other than `except` with a descriptor open on the device `rdev`.
QList<PortHolder> deviceOpeners(dev_t rdev, pid_t except);

// A pseudo-terminal's slave side (UNIX98 or legacy), from its device number.
bool isPseudoTerminal(dev_t rdev);

}  // namespace parvolo
