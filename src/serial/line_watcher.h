#pragma once

// The serial layer's only code that runs on threads of its own, in one unit so that all that
// crosses threads is reviewed together. The line watcher sleeps in TIOCMIWAIT on its own
// duplicate of the port's descriptor (the kernel reports modem-line changes only to a caller
// that sleeps there) and merely posts what it saw to the device's thread. Retiring it stops the
// posts at once; a closer thread then knocks it out of its wait with a signal, joins it and
// makes the port's last close(), which the kernel may hold back while a line stalled by flow
// control drains. An open of a device whose last close is still running waits for it briefly.

#include <functional>
#include <memory>
#include <thread>

#include <sys/types.h>

namespace parvolo {

enum class WatchReport { LinesChanged, Unsupported, HungUp };

class LineWatcher {
public:
    // Called on the watcher's thread, never after retire(): it may only post to the device's
    // thread.
    using Post = std::function<void(WatchReport)>;

    LineWatcher() = default;
    ~LineWatcher();
    LineWatcher(const LineWatcher&) = delete;
    LineWatcher& operator=(const LineWatcher&) = delete;

    // Starts watching the port; false when no watcher could be started (the caller polls).
    bool start(int portFd, Post post);
    bool isWatching() const { return m_watch != nullptr; }
    // The device is about to sample the lines: a change after this is reported again.
    void changeTaken();
    // Stops the watcher, then on a closer thread joins it and closes fd (the port's own
    // descriptor; -1 for none). A close after a retirement without one waits for that watcher,
    // so that the port's descriptor is always the last to close.
    void retire(int fd);

    // Waits, at most a quarter of a second, for the last close of the device to finish; false
    // when it still runs.
    static bool waitUntilClosed(dev_t device);

private:
    struct Watch;
    struct Retired;
    static void finishRetired(Retired& retired);

    std::shared_ptr<Watch> m_watch;
    std::thread m_thread;
    std::shared_ptr<Retired> m_retiring;
};

}  // namespace parvolo
