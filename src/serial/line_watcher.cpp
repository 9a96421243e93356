#include "serial/line_watcher.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>

#include "serial/serial_error.h"

namespace parvolo {

namespace {

constexpr int kWatchedLines = TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS;
constexpr auto kWatchKnockInterval = std::chrono::milliseconds(2);
// How long an open waits for the closer of the same device before saying it is still closing.
constexpr auto kEarlierCloseBound = std::chrono::milliseconds(250);

// Devices whose last close() is still running on a closer thread. An open of the same device
// in the meantime would wait in the kernel for that close, on the UI thread.
class PendingCloses {
public:
    void add(dev_t device) {
        std::lock_guard lock(m_mutex);
        m_devices.insert(device);
    }
    void remove(dev_t device) {
        {
            std::lock_guard lock(m_mutex);
            if (auto it = m_devices.find(device); it != m_devices.end()) m_devices.erase(it);
        }
        m_changed.notify_all();
    }
    bool waitUntilClosed(dev_t device) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kEarlierCloseBound,
                                  [&] { return m_devices.count(device) == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::multiset<dev_t> m_devices;
};

PendingCloses& pendingCloses() {
    // Never destroyed: a closer thread may still finish while the program exits.
    static PendingCloses* closes = new PendingCloses;
    return *closes;
}

// Stops the line watcher's TIOCMIWAIT. The handler does nothing; what matters is that it is
// installed without SA_RESTART, so the interrupted ioctl returns EINTR instead of resuming.
int wakeSignal() {
    static const int signal = [] {
        const int number = SIGRTMAX - 3;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(number, &action, nullptr);
        return number;
    }();
    return signal;
}

}  // namespace

// Shared between the device's thread and the watcher; outlives either side.
struct LineWatcher::Watch {
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool stopping = false;
    bool finished = false;
    // One "lines changed" report in flight at a time; the device clears it before sampling.
    std::atomic<bool> changeQueued{false};
};

// A watcher being stopped, and the descriptor to close once it is out.
struct LineWatcher::Retired {
    std::thread watcher;
    std::shared_ptr<Watch> watch;
    int fd = -1;
    dev_t device = 0;
    // An earlier retirement of the same session whose watcher must be out before fd closes.
    std::shared_ptr<Retired> previous;
    std::mutex mutex;
    std::condition_variable doneChanged;
    bool done = false;
};

LineWatcher::~LineWatcher() {
    if (m_thread.joinable()) retire(-1);
}

bool LineWatcher::waitUntilClosed(dev_t device) {
    return pendingCloses().waitUntilClosed(device);
}

bool LineWatcher::start(int portFd, Post post) {
    // The watcher has its own descriptor: should it ever outlive the port's close, it must not
    // wait on a number that has been reused for another file.
    const int fd = ::fcntl(portFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return false;
    auto watch = std::make_shared<Watch>();
    const int signal = wakeSignal();
    auto report = [watch, post = std::move(post)](WatchReport what) {
        std::lock_guard lock(watch->mutex);
        // Once retired, nothing more may be posted.
        if (watch->stopping) return false;
        post(what);
        return true;
    };
    try {
        m_thread = std::thread([watch, fd, signal, report] {
            sigset_t wake;
            sigemptyset(&wake);
            sigaddset(&wake, signal);
            pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
            // The wait counts changes from its own start: one that came between the open's look
            // and the first wait (the loopback's answer to DTR and RTS going up, while this
            // thread was still starting) would never be told. So a look as the waiting begins.
            bool firstWait = true;
            for (;;) {
                {
                    std::lock_guard lock(watch->mutex);
                    if (watch->stopping) break;
                }
                if (std::exchange(firstWait, false) && !watch->changeQueued.exchange(true) &&
                    !report(WatchReport::LinesChanged))
                    break;
                if (::ioctl(fd, TIOCMIWAIT, kWatchedLines) == 0) {
                    if (!watch->changeQueued.exchange(true) && !report(WatchReport::LinesChanged))
                        break;
                    continue;
                }
                const int err = errno;
                if (err == EINTR) continue;
                report(isDeviceGone(err) ? WatchReport::HungUp : WatchReport::Unsupported);
                break;
            }
            ::close(fd);
            {
                std::lock_guard lock(watch->mutex);
                watch->finished = true;
            }
            watch->finishedChanged.notify_all();
        });
    } catch (const std::system_error&) {
        ::close(fd);
        return false;
    }
    m_watch = std::move(watch);
    return true;
}

void LineWatcher::changeTaken() {
    if (m_watch) m_watch->changeQueued = false;
}

void LineWatcher::finishRetired(Retired& retired) {
    if (retired.watcher.joinable()) {
        std::unique_lock lock(retired.watch->mutex);
        // The signal can land between the stopping check and the ioctl, so knock until the
        // thread is out rather than once.
        while (!retired.watch->finished) {
            ::pthread_kill(retired.watcher.native_handle(), wakeSignal());
            retired.watch->finishedChanged.wait_for(lock, kWatchKnockInterval);
        }
        lock.unlock();
        retired.watcher.join();
    }
    if (const auto& previous = retired.previous) {
        std::unique_lock lock(previous->mutex);
        previous->doneChanged.wait(lock, [&] { return previous->done; });
    }
    // Every watcher's own descriptor is closed by now, so this is the last one: DTR drops.
    if (retired.fd >= 0) {
        ::close(retired.fd);
        pendingCloses().remove(retired.device);
    }
    {
        std::lock_guard lock(retired.mutex);
        retired.done = true;
    }
    retired.doneChanged.notify_all();
}

void LineWatcher::retire(int fd) {
    auto retired = std::make_shared<Retired>();
    retired->watcher = std::move(m_thread);
    retired->watch = std::move(m_watch);
    // Nothing is posted from here on, whenever the thread gets out.
    if (retired->watch) {
        std::lock_guard lock(retired->watch->mutex);
        retired->watch->stopping = true;
    }
    struct stat device {};
    if (fd >= 0 && ::fstat(fd, &device) == 0) {
        retired->fd = fd;
        retired->device = device.st_rdev;
        pendingCloses().add(device.st_rdev);
    } else if (fd >= 0) {
        ::close(fd);
    }
    if (fd >= 0) retired->previous = std::exchange(m_retiring, nullptr);
    if (!retired->watcher.joinable() && retired->fd < 0 && !retired->previous) return;
    if (fd < 0) m_retiring = retired;
    try {
        std::thread([retired] { finishRetired(*retired); }).detach();
    } catch (const std::system_error&) {
        finishRetired(*retired);
    }
}

}  // namespace parvolo
