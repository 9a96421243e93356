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
#include <termios.h>
#include <unistd.h>

namespace parvolo::loopback {

namespace {

// Echo bytes held while the client does not read them. Past this the plug stops reading, so a
// client that never reads is throttled by the kernel instead of growing this process forever.
constexpr std::size_t kMaxQueued = 4 * 1024 * 1024;
constexpr std::size_t kReadSize = 64 * 1024;
constexpr std::size_t kPatternChunk = 64 * 1024;

std::string osError(const std::string& what) {
    return what + ": " + std::strerror(errno);
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
      m_transform(options.corruptEvery, options.dropEvery),
      m_meter(0, 0),
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
        error = osError("cannot create a pseudo-terminal");
        return false;
    }
    // Neither end may leak into programs a test harness might start from here.
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    if (fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0) {
        error = osError("cannot make the pty master non-blocking");
        return false;
    }

    // Termios requests on a pty master act on the slave, so this one call makes the line raw
    // for both directions: no echo, no CR/LF mapping, no signal characters, no XON/XOFF, even
    // for a client that opens the port and sends before setting any mode.
    termios mode{};
    if (tcgetattr(m_slave, &mode) != 0) {
        error = osError("cannot read the pty mode");
        return false;
    }
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(m_slave, TCSANOW, &mode) != 0) {
        error = osError("cannot set the pty to raw mode");
        return false;
    }

    char name[128];
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        error = osError("cannot name the pty");
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

void Peer::onClientClosed() {
    char events[4096];
    while (read(m_closeWatch, events, sizeof events) > 0) {
    }
    // TIOCEXCL marks the tty, not the process, and this plug keeps the tty alive: after a
    // client that set it is gone, only this plug can clear it. A client that still has the
    // slave open keeps its flag.
    auto exclusive = [this] {
        int set = 0;
        return ioctl(m_slave, TIOCGEXCL, &set) == 0 && set;
    };
    if (!exclusive() || openElsewhere(m_slavePath)) return;
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
    while (drainAll || wantInput()) {
        std::size_t room = sizeof buffer;
        if (m_options.mode == Mode::Echo && !drainAll) room = std::min(room, kMaxQueued - m_queued);
        const ssize_t n = read(m_master, buffer, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            error = osError("reading the pty failed");
            return false;
        }
        if (n == 0) {
            error = "the pty closed unexpectedly";
            return false;
        }
        m_received += static_cast<std::uint64_t>(n);
        if (m_options.mode != Mode::Echo) continue;

        const std::int64_t release =
            m_options.delayMs ? now + static_cast<std::int64_t>(m_options.delayMs) * 1'000'000 : 0;
        // Appending to the tail saves a chunk per read, but a chunk only frees its memory once
        // fully written, so one that keeps growing under a steady stream is closed.
        if (m_queue.empty() || m_queue.back().releaseNs != release ||
            m_queue.back().bytes.size() >= kReadSize) {
            m_queue.push_back(Chunk{release, {}, 0});
        }
        std::string& tail = m_queue.back().bytes;
        const std::size_t before = tail.size();
        m_transform.apply(std::string_view(buffer, static_cast<std::size_t>(n)), tail);
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
    while (!m_queue.empty()) {
        Chunk& head = m_queue.front();
        if (head.releaseNs > now) return true;
        const std::uint64_t allowed = m_meter.available(now);
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
            error = osError("writing the pty failed");
            return false;
        }
        m_meter.consume(static_cast<std::uint64_t>(n));
        m_written += static_cast<std::uint64_t>(n);
        m_queued -= static_cast<std::size_t>(n);
        head.offset += static_cast<std::size_t>(n);
        if (head.offset == head.bytes.size()) m_queue.pop_front();
    }
    return true;
}

std::int64_t Peer::nextWakeNs(std::int64_t now, std::int64_t deadline) const {
    // A full master is woken by POLLOUT; timers would only spin.
    if (m_masterFull) return deadline;
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

        pollfd watched[2] = {{m_master, 0, 0}, {m_closeWatch, POLLIN, 0}};
        pollfd& master = watched[0];
        if (wantInput()) master.events |= POLLIN;
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
            error = osError("waiting on the pty failed");
            ok = false;
            break;
        }
        if (watched[1].revents & POLLIN) onClientClosed();
        if (master.revents & POLLOUT) m_masterFull = false;
        if (master.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
            ok = readInput(nowNs(), false, error);
        }
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
    return s;
}

}  // namespace parvolo::loopback
