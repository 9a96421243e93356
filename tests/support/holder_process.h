#pragma once

#include <QString>

#include <sys/types.h>

// Another program holding a file the way serial programs do: a child process that opens it
// (read-write, no controlling terminal, non-blocking) and, if asked, takes flock() or sets the
// exclusive flag, then waits until it is killed. With an empty path it holds nothing and is
// only a live process.
class HolderProcess {
public:
    enum Hold { OpenOnly = 0, Flock = 1, Exclusive = 2 };

    explicit HolderProcess(const QString& path = QString(), int hold = OpenOnly);
    ~HolderProcess();
    HolderProcess(const HolderProcess&) = delete;
    HolderProcess& operator=(const HolderProcess&) = delete;

    // The child holds what it was asked to.
    bool ok() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // Ends it (SIGKILL) and reaps it; what it held is released by the kernel.
    void kill();

private:
    pid_t m_pid = -1;
};

// The number of a process that has just ended.
pid_t deadProcessId();
