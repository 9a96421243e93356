#pragma once

// Who else has a serial port. Three places tell: the UUCP lock file that serial programs keep
// in /var/lock (LCK.. and the device name, the owner's PID as ten characters and a newline),
// a flock() on the device (listed with its PID in /proc/locks), and the open descriptors of
// every process (/proc/PID/fd, as fuser reads them). A pseudo-terminal's far end holds it by
// design, so the descriptor scan is only asked about devices that are not ptys.

#include <QList>
#include <QString>

#include <sys/types.h>

namespace parvolo {

struct PortHolder {
    qint64 pid = 0;   // 0: not known
    QString program;  // its name (/proc/PID/comm), empty when not known
};

// The name other serial programs give a device's lock file: "LCK.." and the path below /dev
// with '/' as '_' (ttyS0, ttyUSB0, pts_3); outside /dev, the file name.
QString lockFileName(const QString& devicePath);

// The program name of a running process, empty when it cannot be read.
QString programName(qint64 pid);

// A UUCP lock file taken by this process; removed again by release() or the destructor.
class PortLock {
public:
    enum class Outcome {
        Taken,        // the file is ours
        HeldByOther,  // a live process holds it
        NotKept,      // no lock file can be kept here (the directory is missing or read-only)
    };

    PortLock() = default;
    PortLock(PortLock&& other) noexcept;
    PortLock& operator=(PortLock&& other) noexcept;
    ~PortLock();

    // Takes the lock for the device (its real path) in directory; a lock left by a process
    // that no longer runs is removed first. On HeldByOther, holder names who has it.
    Outcome take(const QString& directory, const QString& devicePath, PortHolder* holder);
    void release();
    const QString& path() const { return m_path; }

private:
    QString m_path;
};

// The live process named by the device's lock file in directory, found without taking or
// removing anything (a stale file names nobody); pid 0 when there is none.
PortHolder lockFileHolder(const QString& directory, const QString& devicePath);

// The process holding a flock() on the file with this device and inode numbers.
PortHolder flockHolder(dev_t device, ino_t inode);

// Processes other than `except` with a descriptor open on the device `rdev`.
QList<PortHolder> deviceOpeners(dev_t rdev, pid_t except);

// A pseudo-terminal's slave side (UNIX98 or legacy), from its device number.
bool isPseudoTerminal(dev_t rdev);

}  // namespace parvolo
