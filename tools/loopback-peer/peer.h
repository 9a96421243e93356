#pragma once

#include "peer_logic.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace parvolo::loopback {

// The far end of the line: a pty pair whose master it serves in one poll loop. It keeps its own
// slave descriptor open for its whole life, so clients can come and go without the master ever
// reading EIO (the state of a pty whose slave side nobody holds). Because of that the slave's
// tty, and the exclusive flag a client sets on it, outlive every client; when the last client
// has closed the slave (killed or not), the plug clears the flag.
class Peer {
public:
    explicit Peer(const Options& options);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool open(std::string& error);
    const std::string& slavePath() const { return m_slavePath; }

    // Serves until stopRequested turns nonzero or --quit-after-ms expires. waitMask is the signal
    // mask while waiting: the stop signals are blocked everywhere else, so one that arrives
    // between the check and the wait still ends the wait.
    bool run(const volatile std::sig_atomic_t& stopRequested, const sigset_t& waitMask,
             std::string& error);

    Stats stats() const;

private:
    struct Chunk {
        std::int64_t releaseNs = 0;
        std::string bytes;
        std::size_t offset = 0;
    };

    static std::int64_t nowNs();
    bool wantInput() const;
    bool readInput(std::int64_t now, bool drainAll, std::string& error);
    bool writeOutput(std::int64_t now, std::string& error);
    void topUpPattern(std::int64_t now);
    std::int64_t nextWakeNs(std::int64_t now, std::int64_t deadline) const;
    void onClientClosed();
    void dropClientQueues();
    bool pacedInput() const { return m_options.mode == Mode::Echo && !m_inLine.unlimited(); }
    std::uint64_t pendingInput() const;

    Options m_options;
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    int m_closeWatch = -1;  // inotify on the slave's node: a client closed it
    std::uint64_t m_exclusiveCleared = 0;
    StreamTransform m_transform;
    RateMeter m_meter;        // --generate
    LineClock m_inLine;       // the client's bytes on their way here
    LineClock m_outLine;      // the echo on its way back
    bool m_inputIdle = true;  // nothing waiting from the client when last looked
    std::uint64_t m_inPending = 0;
    std::uint64_t m_duplicated = 0;
    std::uint64_t m_discarded = 0;
    PatternSource m_pattern;
    std::deque<Chunk> m_queue;
    std::size_t m_queued = 0;
    std::uint64_t m_produced = 0;  // pattern bytes made so far (--generate-bytes)
    bool m_masterFull = false;
    std::uint64_t m_received = 0;
    std::uint64_t m_written = 0;
    std::int64_t m_startNs = 0;
    std::int64_t m_endNs = 0;
};

}  // namespace parvolo::loopback
