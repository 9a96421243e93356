#include "support/holder_process.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

HolderProcess::HolderProcess(const QString& path, int hold) {
    const QByteArray nativePath = QFile::encodeName(path);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls in the child of a threaded program.
        ::close(ready[0]);
        if (!nativePath.isEmpty()) {
            const int fd = ::open(nativePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) ::_exit(1);
            if ((hold & Flock) && ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::_exit(1);
            if ((hold & Exclusive) && ::ioctl(fd, TIOCEXCL) != 0) ::_exit(1);
        }
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    if (pid < 0) {
        ::close(ready[0]);
        return;
    }
    m_pid = pid;
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    const bool holding = ::poll(&wait, 1, 5000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!holding) kill();
}

HolderProcess::~HolderProcess() {
    kill();
}

void HolderProcess::kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

pid_t deadProcessId() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return pid;
}
