// A USB serial adapter with a programmable far end, for a real USB serial driver in a test
// guest. It plugs itself in through vhci-hcd (USB/IP over one end of a socketpair), lets the chip
// model (chip.h) answer the driver's requests as that chip does, and plays the line: bytes leave
// at the configured rate, come back through a loopback plug (TX->RX, RTS->CTS, DTR->DSR and
// DCD), and a control socket takes one command a line to cut wires, set lines, ring, inject line
// errors or unplug.
//
//   usb-serial-adapter --chip NAME --control SOCKET [--port N] [--vhci DIR] [--serial TEXT]
//                                                         serve (TEXT: the serial number, "" none)
//   usb-serial-adapter --ask SOCKET COMMAND...          send one command, print the reply
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chip.h"

using namespace adapter;

namespace {

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "[%.3f] ", double(nowNs() % 1000000000000) / 1e9);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// USB/IP: every message starts with a 48-byte big-endian header.
constexpr uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr uint32_t kDirIn = 1;
constexpr int kHeader = 48;
constexpr int kEconnreset = 104, kEpipe = 32, kEproto = 71;

uint32_t be32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return ntohl(v);
}
void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    v = htonl(v);
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + 4);
}

struct Urb {
    uint32_t seqnum = 0;
    int length = 0;
    std::vector<uint8_t> data;  // OUT data not yet taken into the transmit FIFO
    size_t taken = 0;
};

// A line the far end drives: by its wire, or held on or off by a command.
enum class Level { Wire, On, Off };

struct Waiter {
    int fd = -1;
    int64_t deadline = 0;
    std::function<bool()> done;
    std::function<std::string()> reply;
};

struct Client {
    int fd = -1;
    std::string input;
};

class Adapter : public Line {
public:
    Adapter(std::unique_ptr<Chip> chip, std::string control, int port, std::string vhci)
        : m_chip(std::move(chip)),
          m_controlPath(std::move(control)),
          m_port(port),
          m_vhci(std::move(vhci)) {
        m_chip->attach(this);
    }
    // --serial: the adapter gives this serial number instead of the chip's ("" for none).
    void setSerialNumber(std::string serial) { m_serial = std::move(serial); }

    int run() {
        if (!listenControl()) return 1;
        if (!attach()) return 1;
        for (;;) {
            if (m_quit) return 0;
            serviceLine(nowNs());
            std::vector<pollfd> fds;
            if (m_usb >= 0) fds.push_back({m_usb, POLLIN, 0});
            fds.push_back({m_listen, POLLIN, 0});
            for (const Client& c : m_clients) fds.push_back({c.fd, POLLIN, 0});
            const int64_t wake = nextWake();
            int timeoutMs = -1;
            if (wake != INT64_MAX)
                timeoutMs = int(std::clamp<int64_t>((wake - nowNs() + 999999) / 1000000, 0, 1000));
            if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
                logLine("poll: %s", std::strerror(errno));
                return 1;
            }
            size_t i = 0;
            if (m_usb >= 0 && (fds[i++].revents & (POLLIN | POLLHUP | POLLERR))) readUsb();
            if (fds[i++].revents & POLLIN) acceptClient();
            for (; i < fds.size(); ++i)
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readClient(fds[i].fd);
            std::erase_if(m_clients, [](const Client& c) { return c.fd < 0; });
        }
    }

private:
    // --- plugging in ------------------------------------------------------------------------
    bool attach() {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            logLine("socketpair: %s", std::strerror(errno));
            return false;
        }
        // Speed 2 is full speed, as the chip is; the device id is ours to choose.
        const std::string line =
            std::to_string(m_port) + " " + std::to_string(pair[1]) + " 65538 2";
        const std::string path = m_vhci + "/attach";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        const bool ok = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size());
        const int err = errno;
        if (fd >= 0) ::close(fd);
        ::close(pair[1]);  // the kernel holds its own reference now
        if (!ok) {
            logLine("attach through %s failed: %s", path.c_str(), std::strerror(err));
            ::close(pair[0]);
            return false;
        }
        m_usb = pair[0];
        m_usbInput.clear();
        m_plugged = true;
        ++m_attaches;
        logLine("attached on vhci port %d", m_port);
        return true;
    }

    void unplugged(const char* why) {
        if (m_usb >= 0) ::close(m_usb);
        m_usb = -1;
        m_plugged = false;
        m_pendingIn.clear();
        m_pendingOut.clear();
        m_pendingInterrupt.clear();
        m_txFifo.clear();
        m_configured = false;
        m_chip->unplugged();
        logLine("unplugged (%s)", why);
    }

    bool detach() {
        const std::string path = m_vhci + "/detach";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        const std::string line = std::to_string(m_port);
        const bool ok = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size());
        if (fd >= 0) ::close(fd);
        m_unplugNs = nowNs();
        // Until the host lets go of the connection, what it still sends fails at once, as a host
        // controller fails transfers to a device that is gone; unanswered, a driver's control
        // request would wait out its 5 s timeout.
        m_detaching = ok;
        for (const int64_t end = m_unplugNs + 500000000;
             m_detaching && m_usb >= 0 && nowNs() < end;) {
            pollfd p{m_usb, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) readUsb();
        }
        m_detaching = false;
        if (m_usb >= 0) unplugged(ok ? "detach" : "socket closed");
        return true;
    }

    // --- USB/IP -----------------------------------------------------------------------------
    void readUsb() {
        uint8_t chunk[65536];
        const ssize_t got = ::read(m_usb, chunk, sizeof chunk);
        if (got <= 0) {
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
            unplugged(m_detaching ? "detach" : "the host closed the connection");
            return;
        }
        m_usbInput.insert(m_usbInput.end(), chunk, chunk + got);
        while (m_usb >= 0 && m_usbInput.size() >= size_t(kHeader)) {
            const uint8_t* h = m_usbInput.data();
            const uint32_t command = be32(h);
            size_t need = kHeader;
            const uint32_t direction = be32(h + 12);
            const int length = int(be32(h + 24));
            if (command == kCmdSubmit && direction != kDirIn) need += size_t(std::max(length, 0));
            if (m_usbInput.size() < need) break;
            handleUsb(h, need);
            m_usbInput.erase(m_usbInput.begin(), m_usbInput.begin() + long(need));
        }
    }

    void handleUsb(const uint8_t* h, size_t size) {
        const uint32_t command = be32(h);
        const uint32_t seqnum = be32(h + 4);
        const uint32_t direction = be32(h + 12);
        const uint32_t ep = be32(h + 16);
        if (command == kCmdUnlink) return unlink(seqnum, be32(h + 20));
        if (command != kCmdSubmit) {
            logLine("unknown USB/IP command %u", command);
            return;
        }
        if (m_detaching) {
            logLine("request on endpoint %u fails: unplugged", ep);
            return reply(seqnum, -kEproto, {});
        }
        Urb urb;
        urb.seqnum = seqnum;
        urb.length = int(be32(h + 24));
        if (direction != kDirIn) urb.data.assign(h + kHeader, h + size);
        if (ep == 0) return control(urb, h + 40);
        const Endpoints eps = m_chip->endpoints();
        if (ep == eps.bulkIn && direction == kDirIn) {
            m_pendingIn.push_back(std::move(urb));
            return;
        }
        if (ep == eps.interruptIn && eps.interruptIn != 0 && direction == kDirIn) {
            m_pendingInterrupt.push_back(std::move(urb));
            serviceLine(nowNs());
            return;
        }
        if (ep == eps.bulkOut && direction != kDirIn) {
            m_pendingOut.push_back(std::move(urb));
            serviceLine(nowNs());
            return;
        }
        reply(seqnum, -kEpipe, {});
    }

    void reply(uint32_t seqnum, int status, const std::vector<uint8_t>& data, int outLength = 0) {
        std::vector<uint8_t> out;
        putBe32(out, kRetSubmit);
        putBe32(out, seqnum);
        putBe32(out, 0);
        putBe32(out, 0);
        putBe32(out, 0);
        putBe32(out, uint32_t(status));
        putBe32(out, uint32_t(data.empty() ? outLength : int(data.size())));
        out.resize(kHeader, 0);
        out.insert(out.end(), data.begin(), data.end());
        send(out);
    }

    void send(const std::vector<uint8_t>& out) {
        size_t done = 0;
        while (m_usb >= 0 && done < out.size()) {
            const ssize_t n = ::send(m_usb, out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                unplugged("the host stopped reading");
                return;
            }
        }
    }

    void unlink(uint32_t seqnum, uint32_t victim) {
        int status = 0;  // already given back
        for (auto* queue : {&m_pendingIn, &m_pendingOut, &m_pendingInterrupt}) {
            const auto it = std::find_if(queue->begin(), queue->end(),
                                         [&](const Urb& u) { return u.seqnum == victim; });
            if (it == queue->end()) continue;
            queue->erase(it);
            status = -kEconnreset;
            ++m_unlinks;
        }
        std::vector<uint8_t> out;
        putBe32(out, kRetUnlink);
        putBe32(out, seqnum);
        putBe32(out, 0);
        putBe32(out, 0);
        putBe32(out, 0);
        putBe32(out, uint32_t(status));
        out.resize(kHeader, 0);
        send(out);
    }

    void control(const Urb& urb, const uint8_t* raw) {
        const Setup setup{.type = raw[0],
                          .request = raw[1],
                          .value = le16(raw + 2),
                          .index = le16(raw + 4),
                          .length = le16(raw + 6)};
        std::vector<uint8_t> in;
        bool stall = false;
        if ((setup.type & 0x60) == 0) {
            stall = !standardRequest(setup.request, setup.value, in);
        } else {
            stall = !m_chip->control(setup, urb.data, in);
        }
        if (stall) {
            logLine("stall: type %02x request %02x value %04x index %04x", setup.type,
                    setup.request, setup.value, setup.index);
            return reply(urb.seqnum, -kEpipe, {});
        }
        if (in.size() > setup.length) in.resize(setup.length);
        reply(urb.seqnum, 0, in, int(urb.data.size()));
    }

    bool standardRequest(uint8_t request, uint16_t value, std::vector<uint8_t>& in) {
        switch (request) {
            case 0:  // GET_STATUS
                in = {0, 0};
                return true;
            case 1:   // CLEAR_FEATURE
            case 11:  // SET_INTERFACE
                return true;
            case 6:  // GET_DESCRIPTOR
                return descriptor(uint8_t(value >> 8), uint8_t(value & 0xFF), in);
            case 8:  // GET_CONFIGURATION
                in = {uint8_t(m_configured ? 1 : 0)};
                return true;
            case 9:  // SET_CONFIGURATION
                m_configured = value == 1;
                return true;
            default:
                return false;
        }
    }

    // --- the line ---------------------------------------------------------------------------
    bool ctsSeen() const { return level(m_cts, m_outputs.rts && !m_cut["rts-cts"]); }
    bool dsrSeen() const { return level(m_dsr, m_outputs.dtr && !m_cut["dtr-dsr"]); }
    bool dcdSeen() const { return level(m_dcd, m_outputs.dtr && !m_cut["dtr-dcd"]); }
    bool riSeen() const { return level(m_ri, false); }
    static bool level(Level l, bool wire) { return l == Level::Wire ? wire : l == Level::On; }

    void linesChanged() { m_chip->inputsChanged(inputs()); }

    bool transmitAllowed() const {
        if (m_holdTx) return false;
        return !m_flow.rtsCts || ctsSeen();
    }

    // --- what the chip model drives and reads (Line) -----------------------------------------
    void setBaud(double made) override { m_baud = made; }
    void setFormat(const DataFormat& format) override { m_format = format; }
    void setBreak(bool on) override {
        if (on && !m_breakOn) ++m_breaksSent;
        m_breakOn = on;
    }
    void setFlow(const Flow& flow) override { m_flow = flow; }
    void setOutputs(const Outputs& outputs) override {
        if (m_outputs.dtr && !outputs.dtr) ++m_dtrDrops;
        m_outputs = outputs;
        linesChanged();
    }
    Outputs outputs() const override { return m_outputs; }
    Inputs inputs() const override {
        return {.cts = ctsSeen(), .dsr = dsrSeen(), .ri = riSeen(), .dcd = dcdSeen()};
    }
    void purge(bool transmit, bool receive) override {
        if (transmit) m_txFifo.clear();
        if (receive) m_rxQueue.clear();
    }
    void opened() override { ++m_opens; }
    size_t transmitQueued() const override { return m_txFifo.size(); }
    size_t receiveQueued() const override { return m_rxQueue.size(); }
    void note(const char* format, ...) override {
        char text[256];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        logLine("%s", text);
        m_log.emplace_back(text);
        if (m_log.size() > 400) m_log.pop_front();
    }

    void serviceLine(int64_t now) {
        runTimedActions(now);
        const int64_t charNs = std::max<int64_t>(1, characterNs(m_format, m_baud));
        // The transmit side: a byte leaves every character time while flow control lets it.
        takeOutput();
        if (!transmitAllowed() || m_txFifo.empty()) {
            m_txClock = std::max(m_txClock, now);
        } else {
            while (!m_txFifo.empty() && transmitAllowed() && m_txClock + charNs <= now) {
                m_txClock += charNs;
                transmitted(m_txFifo.front());
                m_txFifo.pop_front();
                takeOutput();
            }
            if (m_txFifo.empty()) m_txClock = std::max(m_txClock, now);
        }
        // What the far end sends arrives at the same pace.
        if (m_farSend.empty()) {
            m_rxClock = std::max(m_rxClock, now);
        } else {
            while (!m_farSend.empty() && m_rxClock + charNs <= now) {
                m_rxClock += charNs;
                arrive({m_farSend.front(), 0});
                m_farSend.pop_front();
            }
        }
        answerIn(now);
        finishWaiters(now);
    }

    // Bulk OUT data moves into the chip's transmit FIFO as it has room; a transfer completes when
    // its last byte is in, which is how the driver learns that the chip took it.
    void takeOutput() {
        const size_t fifo = size_t(m_chip->transmitFifo());
        while (!m_pendingOut.empty() && m_txFifo.size() < fifo) {
            Urb& urb = m_pendingOut.front();
            while (urb.taken < urb.data.size() && m_txFifo.size() < fifo)
                m_txFifo.push_back(urb.data[urb.taken++]);
            if (urb.taken < urb.data.size()) break;
            const uint32_t seqnum = urb.seqnum;
            const int length = int(urb.data.size());
            m_pendingOut.pop_front();
            reply(seqnum, 0, {}, length);
            if (m_usb < 0) return;
        }
    }

    void transmitted(uint8_t byte) {
        // The driver turns flow control off as it closes; what counts is what the data met.
        m_usedFlow = m_flow;
        ++m_farCount;
        if (m_farBytes.size() < (1u << 20)) m_farBytes.push_back(byte);
        if (!m_cut["tx-rx"]) arrive({byte, 0});
    }

    void arrive(RxByte byte) {
        if (int(m_rxQueue.size()) >= m_chip->receiveFifo()) {
            // The chip's receive buffer is full: the byte is lost and the next one says so.
            m_overrunPending = true;
            ++m_lostBytes;
            return;
        }
        if (m_overrunPending) byte.errors |= kOverrun;
        m_overrunPending = false;
        m_rxQueue.push_back(byte);
    }

    void answerIn(int64_t now) {
        if (m_usb < 0 || !m_configured) return;
        answerInterrupt();
        while (m_usb >= 0 && !m_pendingIn.empty() && now >= m_chip->inDue(m_rxQueue, m_lastInNs)) {
            const std::vector<uint8_t> packet =
                m_chip->inPacket(m_rxQueue, m_pendingIn.front().length);
            if (packet.empty()) break;  // nothing to say: the chip lets the host wait
            const uint32_t seqnum = m_pendingIn.front().seqnum;
            m_pendingIn.pop_front();
            reply(seqnum, 0, packet);
            m_lastInNs = now;
        }
        // Taking received bytes can give the chip something to report on its interrupt
        // endpoint (a CDC-ACM board tells of a byte's error there before the byte goes up).
        answerInterrupt();
    }

    void answerInterrupt() {
        std::vector<uint8_t> packet;
        while (m_usb >= 0 && !m_pendingInterrupt.empty() && m_chip->interruptPacket(packet)) {
            const uint32_t seqnum = m_pendingInterrupt.front().seqnum;
            m_pendingInterrupt.pop_front();
            reply(seqnum, 0, packet);
        }
    }

    int64_t nextWake() const {
        int64_t wake = INT64_MAX;
        const int64_t charNs = std::max<int64_t>(1, characterNs(m_format, m_baud));
        if ((!m_txFifo.empty() || !m_pendingOut.empty()) && transmitAllowed())
            wake = std::min(wake, m_txClock + charNs);
        if (!m_farSend.empty()) wake = std::min(wake, m_rxClock + charNs);
        if (!m_pendingIn.empty() && m_configured)
            wake = std::min(wake, m_chip->inDue(m_rxQueue, m_lastInNs));
        for (const auto& [at, action] : m_timed) wake = std::min(wake, at);
        for (const Waiter& w : m_waiters) wake = std::min(wake, w.deadline);
        return wake;
    }

    void runTimedActions(int64_t now) {
        while (!m_timed.empty() && m_timed.begin()->first <= now) {
            auto action = std::move(m_timed.begin()->second);
            m_timed.erase(m_timed.begin());
            action();
        }
    }

    // --- the control socket -----------------------------------------------------------------
    bool listenControl() {
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_controlPath.size() >= sizeof address.sun_path) {
            logLine("control socket path too long: %s", m_controlPath.c_str());
            return false;
        }
        std::strcpy(address.sun_path, m_controlPath.c_str());
        ::unlink(m_controlPath.c_str());
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, 8) != 0) {
            logLine("control socket %s: %s", m_controlPath.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }

    void acceptClient() {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) m_clients.push_back({fd, {}});
    }

    void readClient(int fd) {
        auto it = std::find_if(m_clients.begin(), m_clients.end(),
                               [fd](const Client& c) { return c.fd == fd; });
        if (it == m_clients.end()) return;
        char chunk[4096];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            dropClient(*it);
            return;
        }
        it->input.append(chunk, size_t(got));
        for (size_t end; (end = it->input.find('\n')) != std::string::npos;) {
            const std::string line = it->input.substr(0, end);
            it->input.erase(0, end + 1);
            command(fd, line);
        }
    }

    void dropClient(Client& client) {
        std::erase_if(m_waiters, [&](const Waiter& w) { return w.fd == client.fd; });
        ::close(client.fd);
        client.fd = -1;
    }

    static void answer(int fd, const std::string& text) {
        const std::string line = text + "\n";
        (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    }

    std::string stateText() const {
        char text[512];
        std::snprintf(
            text, sizeof text,
            "ok chip=%s plugged=%d baud=%.1f data=%d parity=%s stop=%s flow=%s used_flow=%s "
            "break=%d dtr=%d rts=%d "
            "cts=%d dsr=%d dcd=%d ri=%d received=%llu txq=%zu rxq=%zu dtr_drops=%d breaks=%d "
            "lost=%d unlinks=%d attaches=%d",
            m_chip->name(), int(m_plugged), m_baud, m_format.dataBits,
            parityName(m_format.parity).c_str(), stopName(m_format).c_str(),
            flowName(m_flow).c_str(), flowName(m_usedFlow).c_str(), int(m_breakOn),
            int(m_outputs.dtr), int(m_outputs.rts), int(ctsSeen()), int(dsrSeen()), int(dcdSeen()),
            int(riSeen()), static_cast<unsigned long long>(m_farCount), m_txFifo.size(),
            m_rxQueue.size(), m_dtrDrops, m_breaksSent, m_lostBytes, m_unlinks, m_attaches);
        const std::string extra = m_chip->stateWords();
        return extra.empty() ? text : text + (" " + extra);
    }

    void setLine(Level& line, Level to) {
        line = to;
        linesChanged();
    }

    void command(int fd, const std::string& line) {
        const std::vector<std::string> w = words(line);
        if (w.empty()) return answer(fd, "error empty command");
        const std::string& verb = w[0];
        auto arg = [&](size_t i, long fallback) {
            return i < w.size() ? std::strtol(w[i].c_str(), nullptr, 10) : fallback;
        };
        if (verb == "state") return answer(fd, stateText());
        if (verb == "received") return answer(fd, "ok " + std::to_string(m_farCount));
        if (verb == "received-bytes") {
            std::string hex = "ok ";
            char two[3];
            for (uint8_t b : m_farBytes) {
                std::snprintf(two, sizeof two, "%02x", b);
                hex += two;
            }
            return answer(fd, hex);
        }
        if (verb == "clear") {
            m_farCount = 0;
            m_farBytes.clear();
            m_dtrDrops = 0;
            m_breaksSent = 0;
            m_log.clear();
            return answer(fd, "ok");
        }
        if (verb == "log") {
            std::string all = "ok";
            for (const std::string& entry : m_log) all += " | " + entry;
            return answer(fd, all);
        }
        if (verb == "set" && w.size() == 3) {
            std::map<std::string, Level*> lines{
                {"cts", &m_cts}, {"dsr", &m_dsr}, {"dcd", &m_dcd}, {"ri", &m_ri}};
            std::map<std::string, Level> levels{
                {"on", Level::On}, {"off", Level::Off}, {"wire", Level::Wire}};
            if (!lines.count(w[1]) || !levels.count(w[2]))
                return answer(fd, "error usage: set cts|dsr|dcd|ri on|off|wire");
            setLine(*lines[w[1]], levels[w[2]]);
            return answer(fd, "ok");
        }
        if ((verb == "cut" || verb == "mend") && w.size() == 2) {
            const bool cut = verb == "cut";
            if (w[1] == "all") {
                for (auto& [name, state] : m_cut) state = false;
            } else if (m_cut.count(w[1])) {
                m_cut[w[1]] = cut;
            } else {
                return answer(fd, "error wires: tx-rx rts-cts dtr-dsr dtr-dcd" +
                                      std::string(cut ? "" : " all"));
            }
            linesChanged();
            return answer(fd, "ok");
        }
        if (verb == "hold-tx" && w.size() == 2) {
            m_holdTx = w[1] == "on";
            return answer(fd, "ok");
        }
        if (verb == "ring") {
            // ring [COUNT] [ON_MS] [OFF_MS]
            const long count = arg(1, 1), onMs = arg(2, 200), offMs = arg(3, 200);
            if (count < 1 || count > 100 || onMs < 1 || offMs < 1)
                return answer(fd, "error usage: ring [1..100] [on ms] [off ms]");
            int64_t at = nowNs();
            for (long i = 0; i < count; ++i) {
                m_timed.emplace(at, [this] { setLine(m_ri, Level::On); });
                at += onMs * 1000000;
                m_timed.emplace(at, [this] { setLine(m_ri, Level::Off); });
                at += offMs * 1000000;
            }
            return answer(fd, "ok");
        }
        if (verb == "error" && (w.size() == 2 || w.size() == 3)) {
            std::map<std::string, uint8_t> kinds{{"parity", kParityError},
                                                 {"framing", kFramingError},
                                                 {"overrun", kOverrun},
                                                 {"break", kBreak}};
            uint8_t byte = w[1] == "break" ? 0 : 'E';
            if (!kinds.count(w[1]) || (w.size() == 3 && !parseByte(w[2], byte)))
                return answer(fd, "error usage: error parity|framing|overrun|break [byte]");
            m_rxQueue.push_back({byte, kinds[w[1]]});
            return answer(fd, "ok");
        }
        if (verb == "send" && w.size() >= 2) {
            std::vector<uint8_t> bytes;
            for (size_t i = 1; i < w.size(); ++i) {
                uint8_t b = 0;
                if (!parseByte(w[i], b)) return answer(fd, "error not a byte: " + w[i]);
                bytes.push_back(b);
            }
            m_farSend.insert(m_farSend.end(), bytes.begin(), bytes.end());
            return answer(fd, "ok");
        }
        if (verb == "wait-received" && w.size() >= 2) {
            const unsigned long long want = std::strtoull(w[1].c_str(), nullptr, 10);
            return wait(
                fd, arg(2, 5000), [this, want] { return m_farCount >= want; },
                [this] { return std::to_string(m_farCount); });
        }
        if (verb == "wait-dtr-drop") {
            // Counted since the last clear, so that a drop before the command is not missed.
            return wait(
                fd, arg(1, 5000), [this] { return m_dtrDrops > 0; },
                [this] { return "dtr_drops=" + std::to_string(m_dtrDrops); });
        }
        if (verb == "wait-open") {
            // The driver opens the port with a reset; the next one after this command.
            const int seen = m_opens;
            return wait(
                fd, arg(1, 5000), [this, seen] { return m_opens > seen; },
                [] { return std::string(); });
        }
        if (verb == "unplug") {
            if (!m_plugged) return answer(fd, "error not plugged in");
            detach();
            return answer(fd, "ok");
        }
        if (verb == "plug") {
            if (m_plugged) return answer(fd, "error already plugged in");
            // Another root-hub port keeps a new plug clear of the old port's late teardown.
            if (w.size() == 2) m_port = int(arg(1, m_port));
            return answer(fd, attach() ? "ok" : "error attach failed");
        }
        if (verb == "quit") {
            m_quit = true;
            return answer(fd, "ok");
        }
        answer(fd, "error unknown command: " + line);
    }

    void wait(int fd, long timeoutMs, std::function<bool()> done,
              std::function<std::string()> text) {
        if (done()) return answer(fd, "ok " + text());
        m_waiters.push_back(
            {fd, nowNs() + int64_t(timeoutMs) * 1000000, std::move(done), std::move(text)});
    }

    void finishWaiters(int64_t now) {
        for (Waiter& w : m_waiters) {
            if (w.done())
                answer(w.fd, "ok " + w.reply());
            else if (now >= w.deadline)
                answer(w.fd, "timeout " + w.reply());
            else
                continue;
            w.fd = -1;
        }
        std::erase_if(m_waiters, [](const Waiter& w) { return w.fd < 0; });
    }

    std::unique_ptr<Chip> m_chip;
    // The chip's descriptors, with the serial number string replaced when one was given.
    bool descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const {
        constexpr uint8_t kSerialIndex = 14;  // clear of every chip's own strings
        if (m_serial && kind == 3 && index == kSerialIndex) {
            if (m_serial->empty()) return false;
            out = stringDescriptor(*m_serial);
            return true;
        }
        if (!m_chip->descriptor(kind, index, out)) return false;
        if (m_serial && kind == 1 && out.size() > 16)
            out[16] = m_serial->empty() ? 0 : kSerialIndex;
        return true;
    }

    std::string m_controlPath;
    std::optional<std::string> m_serial;
    int m_port = 0;
    std::string m_vhci;
    int m_usb = -1;
    int m_listen = -1;
    bool m_quit = false;
    bool m_plugged = false;
    bool m_detaching = false;
    bool m_configured = false;
    int m_attaches = 0;
    int64_t m_unplugNs = 0;
    std::vector<uint8_t> m_usbInput;
    std::vector<Client> m_clients;
    std::vector<Waiter> m_waiters;

    std::deque<Urb> m_pendingIn, m_pendingOut, m_pendingInterrupt;
    std::deque<uint8_t> m_txFifo;
    std::deque<RxByte> m_rxQueue;
    std::deque<uint8_t> m_farSend;
    int64_t m_txClock = 0, m_rxClock = 0, m_lastInNs = 0;
    bool m_overrunPending = false;
    int m_lostBytes = 0;
    int m_unlinks = 0;
    std::multimap<int64_t, std::function<void()>> m_timed;

    double m_baud = 9600;
    DataFormat m_format;
    bool m_breakOn = false;
    Flow m_flow;
    Flow m_usedFlow;
    Outputs m_outputs;
    Level m_cts = Level::Wire, m_dsr = Level::Wire, m_dcd = Level::Wire, m_ri = Level::Wire;
    mutable std::map<std::string, bool> m_cut{
        {"tx-rx", false}, {"rts-cts", false}, {"dtr-dsr", false}, {"dtr-dcd", false}};
    bool m_holdTx = false;
    int m_dtrDrops = 0;
    int m_breaksSent = 0;
    int m_opens = 0;
    unsigned long long m_farCount = 0;
    std::vector<uint8_t> m_farBytes;
    std::deque<std::string> m_log;
};

int ask(const std::string& path, const std::string& line) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "adapter: cannot reach %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
    }
    const std::string out = line + "\n";
    (void)!::write(fd, out.data(), out.size());
    std::string reply;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') reply += c;
    ::close(fd);
    std::printf("%s\n", reply.c_str());
    return reply.rfind("ok", 0) == 0 ? 0 : 1;
}

int usage(const char* program) {
    std::string chips;
    for (const std::string& name : chipNames()) chips += (chips.empty() ? "" : "|") + name;
    std::fprintf(stderr,
                 "usage: %s --chip %s --control SOCKET [--port N] [--vhci DIR] [--serial TEXT]\n"
                 "       %s --ask SOCKET COMMAND...\n",
                 program, chips.c_str(), program);
    return 64;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string control, vhci = "/sys/devices/platform/vhci_hcd.0", chip;
    std::optional<std::string> serial;
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--ask" && i + 2 < argc) {
            std::string line;
            for (int j = i + 2; j < argc; ++j)
                line += (j > i + 2 ? " " : "") + std::string(argv[j]);
            return ask(argv[i + 1], line);
        }
        if (a == "--control" && i + 1 < argc)
            control = argv[++i];
        else if (a == "--chip" && i + 1 < argc)
            chip = argv[++i];
        else if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--vhci" && i + 1 < argc)
            vhci = argv[++i];
        else if (a == "--serial" && i + 1 < argc)
            serial = argv[++i];
        else
            return usage(argv[0]);
    }
    std::unique_ptr<Chip> model = makeChip(chip);
    if (control.empty() || !model) return usage(argv[0]);
    ::signal(SIGPIPE, SIG_IGN);
    setvbuf(stderr, nullptr, _IOLBF, 0);
    Adapter adapter(std::move(model), control, port, vhci);
    if (serial) adapter.setSerialNumber(*serial);
    return adapter.run();
}
