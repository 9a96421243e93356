#pragma once

#include <QByteArray>
#include <QString>

#include <QFile>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

// A pseudo-terminal pair for tests: the slave's path is what a port opens; the master plays the
// far end of the line.
class PtyPair {
public:
    PtyPair() {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) return;
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_path = QString::fromLocal8Bit(name);
    }
    ~PtyPair() {
        closeMaster();
        if (m_slave >= 0) ::close(m_slave);
    }
    bool ok() const { return m_master >= 0 && !m_path.isEmpty(); }
    const QString& path() const { return m_path; }
    int slave() const { return m_slave; }
    void closeMaster() {
        if (m_master >= 0) ::close(m_master);
        m_master = -1;
    }
    bool send(const QByteArray& bytes) {
        return ::write(m_master, bytes.constData(), bytes.size()) == bytes.size();
    }
    // Everything the device has written so far, accumulated over calls.
    const QByteArray& received() {
        char chunk[512];
        ssize_t got;
        while ((got = ::read(m_master, chunk, sizeof chunk)) > 0) m_received.append(chunk, got);
        return m_received;
    }

private:
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees "no slave" between sessions
    QString m_path;
    QByteArray m_received;
};

// A device's number, by which a test's fake ioctls know the one tty they answer for.
inline dev_t deviceNumber(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_rdev : 0;
}

inline bool isDevice(int fd, dev_t rdev) {
    struct stat st {};
    return rdev != 0 && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev;
}

// Replaces ioctl() in a test program: the modem-line requests on the one tty that `fake` answers
// for (its rdev) go to fake.answer(); everything else goes to the kernel.
#define FAKE_MODEM_IOCTL(fake)                                                             \
    extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {                    \
        va_list args;                                                                      \
        va_start(args, request);                                                           \
        void* arg = va_arg(args, void*);                                                   \
        va_end(args);                                                                      \
        const bool modemRequest = request == TIOCMGET || request == TIOCMBIS ||            \
                                  request == TIOCMBIC || request == TIOCGICOUNT ||         \
                                  request == TIOCMIWAIT;                                   \
        if (modemRequest && isDevice(fd, (fake).rdev)) return (fake).answer(request, arg); \
        return int(::syscall(SYS_ioctl, fd, request, arg));                                \
    }
