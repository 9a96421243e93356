#include "serial/stop_signals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

namespace parvolo {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The handler may run on any thread; a lock-free atomic is safe to read there.
std::atomic<int> g_writeEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free);
// When the oldest stop signal that the main thread has not yet dealt with arrived; 0: none.
std::atomic<long long> g_unhandledSinceNs{0};
static_assert(std::atomic<long long>::is_always_lock_free);

long long monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void onStopSignal(int signal) {
    // Only async-signal-safe calls here, and errno belongs to the interrupted code.
    const int savedErrno = errno;
    const long long now = monotonicNs();
    long long unhandledSince = 0;
    if (!g_unhandledSinceNs.compare_exchange_strong(unhandledSince, now) &&
        now - unhandledSince >= StopSignals::kStuckNs) {
        // The main thread has not dealt with an earlier one for a second: something it waits in
        // does not end. The signal's own action ends the program instead.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    const unsigned char number = static_cast<unsigned char>(signal);
    if (const int fd = g_writeEnd.load(); fd >= 0) (void)!::write(fd, &number, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    // Non-blocking, so that the handler never waits on a full pipe.
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_writeEnd = m_pipe[1];
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::onPipeReadable);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;  // other threads' system calls carry on undisturbed
    for (int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
}

StopSignals::~StopSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
    g_writeEnd = -1;
    delete m_notifier;  // before its descriptor goes
    for (int fd : m_pipe)
        if (fd >= 0) ::close(fd);
}

void StopSignals::onPipeReadable() {
    unsigned char numbers[16];
    const ssize_t count = ::read(m_pipe[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i) emit received(numbers[i]);
    g_unhandledSinceNs = 0;
}

}  // namespace parvolo
