#include "peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace parvolo::loopback {

namespace {

// Echo bytes held while the client does not read them. Past this the plug stops reading, so a
// client that never reads is throttled by the kernel instead of growing this process forever.
constexpr std::size_t kMaxQueued = 4 * 1024 * 1024;
constexpr std::size_t kReadSize = 64 * 1024;
constexpr std::size_t kPatternChunk = 64 * 1024;

// `what` is a message with %1 for the C library's reason. errno is read before translating,
// which may change it.
std::string osError(const char* what) {
    const int error = errno;
    return PlugTexts::tr(what).arg(QString::fromLocal8Bit(std::strerror(error))).toStdString();
}

// Whether a process other than this one has `path` open, as /proc/PID/fd tells.
bool openElsewhere(const std::string& path) {
    DIR* proc = opendir("/proc");
    if (!proc) return true;  // cannot tell: leave everything as it is
    const std::string self = std::to_string(getpid());
    bool found = false;
    while (const dirent* process = readdir(proc)) {
        if (found) break;
        const std::string pid = process->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) continue;
        while (const dirent* entry = readdir(fds)) {
            char target[256];
            const std::string link = fdDir + "/" + entry->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && path.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) {
                found = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

}  // namespace

Peer::Peer(const Options& options)
    : m_options(options),
      m_transform(options.corruptEvery, options.dropEvery, options.addEvery),
      m_meter(0, 0),
      m_inLine(options.mode == Mode::Echo ? options.rate : 0),
      m_outLine(options.mode == Mode::Echo ? options.rate : 0),
      m_pattern(options.pattern) {}

Peer::~Peer() {
    if (m_closeWatch >= 0) close(m_closeWatch);
    if (m_master >= 0) close(m_master);
    if (m_slave >= 0) close(m_slave);
}

std::int64_t Peer::nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Peer::open(std::string& error) {
    if (openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
        error = osError(QT_TRANSLATE_NOOP("PlugTexts", "cannot create a pseudo-terminal: %1"));
        return false;
    }
    // Neither end may leak into programs a test harness might start from here.
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    if (fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0) {
        error =
            osError(QT_TRANSLATE_NOOP("PlugTexts", "cannot make the pty master non-blocking: %1"));
        return false;
    }

    // Termios requests on a pty master act on the slave, so this one call makes the line raw
    // for both directions: no echo, no CR/LF mapping, no signal characters, no XON/XOFF, even
    // for a client that opens the port and sends before setting any mode.
    termios mode{};
    if (tcgetattr(m_slave, &mode) != 0) {
        error = osError(QT_TRANSLATE_NOOP("PlugTexts", "cannot read the pty mode: %1"));
        return false;
    }
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(m_slave, TCSANOW, &mode) != 0) {
        error = osError(QT_TRANSLATE_NOOP("PlugTexts", "cannot set the pty to raw mode: %1"));
        return false;
    }

    char name[128];
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        error = osError(QT_TRANSLATE_NOOP("PlugTexts", "cannot name the pty: %1"));
        return false;
    }
    m_slavePath = name;

    // Told of every close of the slave, so that a client killed before it could clear the
    // exclusive flag does not lock the next one out. Without it the plug still works.
    m_closeWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_closeWatch >= 0 && inotify_add_watch(m_closeWatch, m_slavePath.c_str(),
                                               IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        close(m_closeWatch);
        m_closeWatch = -1;
    }
    return true;
}

std::uint64_t Peer::pendingInput() const {
    int count = 0;
    return ioctl(m_master, FIONREAD, &count) == 0 && count > 0 ? std::uint64_t(count) : 0;
}

// A line forgets what was on it when its user goes: neither the echo the client did not read
// nor what it wrote and the plug had not yet taken may reach the next client.
void Peer::dropClientQueues() {
    int unread = 0;
    if (ioctl(m_slave, FIONREAD, &unread) != 0 || unread < 0) unread = 0;
    m_discarded += m_queued + pendingInput() + std::uint64_t(unread);
    tcflush(m_slave, TCIFLUSH);
    tcflush(m_master, TCIFLUSH);
    m_queue.clear();
    m_queued = 0;
    m_inPending = 0;
    m_inputIdle = true;
    m_masterFull = false;
}

void Peer::onClientClosed() {
    char events[4096];
    while (read(m_closeWatch, events, sizeof events) > 0) {
    }
    // A client that still has the slave open keeps its queues and its exclusive flag.
    if (openElsewhere(m_slavePath)) return;
    if (m_options.mode == Mode::Echo) dropClientQueues();
    // TIOCEXCL marks the tty, not the process, and this plug keeps the tty alive: after a
    // client that set it is gone, only this plug can clear it.
    auto exclusive = [this] {
        int set = 0;
        return ioctl(m_slave, TIOCGEXCL, &set) == 0 && set;
    };
    if (!exclusive()) return;
    // Asked again right before clearing: a client that was closing during the scan has cleared
    // its own flag by now, and one opening since is given as little room as can be.
    if (!exclusive()) return;
    ioctl(m_slave, TIOCNXCL);
    ++m_exclusiveCleared;
}

bool Peer::wantInput() const {
    return m_options.mode != Mode::Echo || m_queued < kMaxQueued;
}

bool Peer::readInput(std::int64_t now, bool drainAll, std::string& error) {
    char buffer[kReadSize];
    const bool paced = pacedInput() && !drainAll;
    while (drainAll || wantInput()) {
        std::size_t room = sizeof buffer;
        if (m_options.mode == Mode::Echo && !drainAll) room = std::min(room, kMaxQueued - m_queued);
        // Only the bytes that are through the line by now are taken; the rest wait in the
        // kernel, and a client writing faster than the line is held back there.
        if (paced) room = static_cast<std::size_t>(m_inLine.through(now, room));
        if (room == 0) return true;
        const ssize_t n = read(m_master, buffer, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            error = osError(QT_TRANSLATE_NOOP("PlugTexts", "reading the pty failed: %1"));
            return false;
        }
        if (n == 0) {
            error = PlugTexts::tr("the pty closed unexpectedly").toStdString();
            return false;
        }
        m_received += static_cast<std::uint64_t>(n);
        if (m_options.mode != Mode::Echo) continue;

        // The chunk's first byte was through one character after the line was free; its echo
        // follows the turnaround later, and the rest at the line's pace behind it.
        const std::int64_t delay = static_cast<std::int64_t>(m_options.delayNs);
        std::int64_t release = delay ? now + delay : 0;
        if (paced) {
            release = static_cast<std::int64_t>(m_inLine.freeNs() + m_inLine.nsPerByte()) + delay;
            m_inLine.take(static_cast<std::uint64_t>(n));
        }
        // Appending to the tail saves a chunk per read, but a chunk only frees its memory once
        // fully written, so one that keeps growing under a steady stream is closed.
        if (m_queue.empty() || m_queue.back().releaseNs != release ||
            m_queue.back().bytes.size() >= kReadSize) {
            m_queue.push_back(Chunk{release, {}, 0});
        }
        std::string& tail = m_queue.back().bytes;
        const std::size_t before = tail.size();
        m_transform.apply(std::string_view(buffer, static_cast<std::size_t>(n)), tail);
        if (m_options.duplicate) {
            const std::size_t made = tail.size() - before;
            tail.append(tail, before, made);
            m_duplicated += made;
        }
        m_queued += tail.size() - before;
        if (m_queue.back().offset == tail.size()) m_queue.pop_back();  // everything dropped
    }
    return true;
}

void Peer::topUpPattern(std::int64_t now) {
    if (m_options.mode != Mode::Generate || !m_queue.empty()) return;
    if (m_options.generateOnInput && m_received == 0) return;
    std::uint64_t wanted = std::min<std::uint64_t>(m_meter.available(now), kPatternChunk);
    if (m_options.generateBytes) wanted = std::min(wanted, *m_options.generateBytes - m_produced);
    const std::size_t count = static_cast<std::size_t>(wanted);
    if (count == 0) return;
    Chunk chunk;
    m_pattern.produce(count, chunk.bytes);
    m_produced += count;
    m_queued += count;
    m_queue.push_back(std::move(chunk));
}

bool Peer::writeOutput(std::int64_t now, std::string& error) {
    const bool generating = m_options.mode == Mode::Generate;
    while (!m_queue.empty()) {
        Chunk& head = m_queue.front();
        if (head.releaseNs > now) return true;
        if (!generating) m_outLine.ready(head.releaseNs);
        const std::uint64_t left = head.bytes.size() - head.offset;
        const std::uint64_t allowed =
            generating ? m_meter.available(now) : m_outLine.through(now, left);
        if (allowed == 0) return true;
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(head.bytes.size() - head.offset, allowed));
        const ssize_t n = write(m_master, head.bytes.data() + head.offset, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_masterFull = true;
                return true;
            }
            error = osError(QT_TRANSLATE_NOOP("PlugTexts", "writing the pty failed: %1"));
            return false;
        }
        if (generating)
            m_meter.consume(static_cast<std::uint64_t>(n));
        else
            m_outLine.take(static_cast<std::uint64_t>(n));
        m_written += static_cast<std::uint64_t>(n);
        m_queued -= static_cast<std::size_t>(n);
        head.offset += static_cast<std::size_t>(n);
        if (head.offset == head.bytes.size()) m_queue.pop_front();
    }
    return true;
}

std::int64_t Peer::nextWakeNs(std::int64_t now, std::int64_t deadline) const {
    // Bytes from the client waiting for the line.
    if (pacedInput() && !m_inputIdle && m_inPending > 0 && wantInput()) {
        const std::uint64_t wanted = std::min(m_inPending, m_inLine.batch());
        deadline = std::min(deadline, std::max(now + 1, m_inLine.whenThrough(wanted)));
    }
    // A full master is woken by POLLOUT; timers would only spin.
    if (m_masterFull) return deadline;
    if (m_options.mode == Mode::Echo) {
        if (m_queue.empty()) return deadline;
        const Chunk& head = m_queue.front();
        LineClock line = m_outLine;
        line.ready(std::max(head.releaseNs, now));
        const std::uint64_t wanted =
            std::min<std::uint64_t>(head.bytes.size() - head.offset, line.batch());
        return std::min(deadline, std::max(now + 1, line.whenThrough(wanted)));
    }
    if (m_queue.empty()) {
        if (m_options.mode != Mode::Generate) return deadline;
        if (m_options.generateBytes && m_produced >= *m_options.generateBytes) return deadline;
        if (m_options.generateOnInput && m_received == 0) return deadline;
        return std::min(deadline, m_meter.lastRefillNs() + m_meter.nsUntil(m_meter.batch()));
    }
    const Chunk& head = m_queue.front();
    if (head.releaseNs > now) return std::min(deadline, head.releaseNs);
    const std::uint64_t wanted =
        std::min<std::uint64_t>(head.bytes.size() - head.offset, m_meter.batch());
    return std::min(deadline, std::max(now + 1, m_meter.lastRefillNs() + m_meter.nsUntil(wanted)));
}

bool Peer::run(const volatile std::sig_atomic_t& stopRequested, const sigset_t& waitMask,
               std::string& error) {
    // A line's bytes are due to the microsecond; the kernel's default 50 µs slack on every
    // timed wait would add to each round trip.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    m_startNs = nowNs();
    m_meter = RateMeter(m_options.mode == Mode::Generate ? m_options.generateRate : m_options.rate,
                        m_startNs);
    const std::int64_t deadline =
        m_options.quitAfterMs
            ? m_startNs + static_cast<std::int64_t>(*m_options.quitAfterMs) * 1'000'000
            : std::numeric_limits<std::int64_t>::max();

    bool ok = true;
    while (ok && !stopRequested) {
        const std::int64_t now = nowNs();
        if (now >= deadline) break;
        if (!m_masterFull) {
            topUpPattern(now);
            if (!writeOutput(now, error)) {
                ok = false;
                break;
            }
        }

        if (pacedInput() && !m_inputIdle) {
            if (!readInput(now, false, error)) {
                ok = false;
                break;
            }
            m_inPending = pendingInput();
            if (m_inPending == 0) m_inputIdle = true;
        }

        pollfd watched[2] = {{m_master, 0, 0}, {m_closeWatch, POLLIN, 0}};
        pollfd& master = watched[0];
        // Paced input is taken on the line's clock once bytes are known to wait.
        if (wantInput() && (!pacedInput() || m_inputIdle)) master.events |= POLLIN;
        if (m_masterFull) master.events |= POLLOUT;
        const std::int64_t wake = nextWakeNs(now, deadline);
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (wake != std::numeric_limits<std::int64_t>::max()) {
            const std::int64_t wait = std::max<std::int64_t>(0, wake - now);
            timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000);
            timeoutPtr = &timeout;
        }
        if (ppoll(watched, m_closeWatch >= 0 ? 2 : 1, timeoutPtr, &waitMask) < 0) {
            if (errno == EINTR) continue;
            error = osError(QT_TRANSLATE_NOOP("PlugTexts", "waiting on the pty failed: %1"));
            ok = false;
            break;
        }
        if (watched[1].revents & POLLIN) onClientClosed();
        if (master.revents & POLLOUT) m_masterFull = false;
        if (master.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
            const std::int64_t seen = nowNs();
            if (pacedInput()) {
                // The line was idle: the bytes just seen start on it now.
                if (m_inputIdle) m_inLine.ready(seen);
                m_inputIdle = false;
                m_inPending = pendingInput();
            }
            ok = readInput(seen, false, error);
        }
    }
    // A client's close that came with the stop is still seen, so that the summary counts what
    // it left behind.
    if (ok && m_closeWatch >= 0) {
        pollfd closed{m_closeWatch, POLLIN, 0};
        if (poll(&closed, 1, 0) > 0) onClientClosed();
    }
    // Count what the client sent before the stop as well, so its summary matches what it wrote.
    if (ok) ok = readInput(nowNs(), true, error);
    m_endNs = nowNs();
    return ok;
}

Stats Peer::stats() const {
    Stats s;
    s.received = m_received;
    s.corrupted = m_transform.corrupted();
    s.dropped = m_transform.dropped();
    if (m_options.mode == Mode::Generate) {
        s.generated = m_written;
    } else {
        s.echoed = m_written;
        s.unsent = m_queued;
    }
    s.elapsedMs = (m_endNs - m_startNs) / 1'000'000;
    s.exclusiveCleared = m_exclusiveCleared;
    s.added = m_transform.added() + m_duplicated;
    s.discarded = m_discarded;
    return s;
}

}  // namespace parvolo::loopback
