#include "serial/remote_link.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "serial/serial_error.h"

namespace parvolo {

namespace {

struct SocketOption {
    int level, name, value;
};
// A peer that vanished without a word (network gone, machine off) is an end within half a
// minute, as an unplugged adapter is one at once; TCP alone would wait a quarter of an hour.
// The user timeout also covers a peer that answers but takes nothing (a zero window).
constexpr SocketOption kLiveness[] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                                      {IPPROTO_TCP, TCP_KEEPIDLE, 10},
                                      {IPPROTO_TCP, TCP_KEEPINTVL, 5},
                                      {IPPROTO_TCP, TCP_KEEPCNT, 3},
                                      {IPPROTO_TCP, TCP_USER_TIMEOUT, RemoteLink::kUserTimeoutMs}};
// Pieces handed to one sendmsg().
constexpr int kBatch = 64;
// Exit codes of a wait's nested loop; anything else ended it from outside.
constexpr int kWoken = 0x2217;
constexpr int kTimedOut = 0x2218;

bool isTransient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

bool isHostCharacter(QChar c) {
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
           c == QLatin1Char('.') || c == QLatin1Char('_');
}

using ResolvedAddress = RemoteLink::ResolvedAddress;

std::vector<ResolvedAddress> addressesOf(const addrinfo* list) {
    std::vector<ResolvedAddress> result;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        ResolvedAddress address;
        std::memcpy(&address.address, ai->ai_addr, ai->ai_addrlen);
        address.length = ai->ai_addrlen;
        result.push_back(address);
    }
    return result;
}

// A host name lookup on a thread of its own: getaddrinfo cannot be bounded, so a lookup that
// outlives its wait is abandoned and finishes on its own, waking nobody that is gone.
struct Lookup {
    std::atomic<bool> done{false};
    int status = 0;
    std::vector<ResolvedAddress> addresses;
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    ~Lookup() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

}  // namespace

RemoteLink::RemoteLink(QObject* parent) : QObject(parent) {}

RemoteLink::~RemoteLink() {
    close();
}

RemoteLink::Address RemoteLink::parseAddress(const QString& url, QLatin1String scheme) {
    auto bad = [&url](const QString& problem) { return SerialError::badRemoteName(url, problem); };
    if (!url.startsWith(scheme, Qt::CaseInsensitive)) throw bad(remote_texts::notRemoteScheme());
    const QString rest = url.mid(scheme.size());
    if (rest.isEmpty()) throw bad(remote_texts::noHost());

    Address address;
    qsizetype afterHost = 0;
    auto firstOf = [&rest](const char* chars, qsizetype from) {
        qsizetype i = from;
        while (i < rest.size() && !std::strchr(chars, rest.at(i).toLatin1())) ++i;
        return i;
    };
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) throw bad(remote_texts::badIpv6(rest.mid(1)));
        address.host = rest.mid(1, close - 1);
        in6_addr parsed{};
        if (address.host.isEmpty()) throw bad(remote_texts::noHost());
        if (::inet_pton(AF_INET6, address.host.toLatin1().constData(), &parsed) != 1)
            throw bad(remote_texts::badIpv6(address.host));
        afterHost = close + 1;
    } else {
        afterHost = firstOf(":/?#", 0);
        address.host = rest.left(afterHost);
        if (rest.left(firstOf("/?#", 0)).count(QLatin1Char(':')) > 1)
            throw bad(remote_texts::ipv6NeedsBrackets());
        if (address.host.isEmpty()) throw bad(remote_texts::noHost());
        if (!std::all_of(address.host.begin(), address.host.end(), isHostCharacter) ||
            address.host.size() > 253)
            throw bad(remote_texts::badHostCharacters(address.host));
    }

    if (afterHost >= rest.size()) throw bad(remote_texts::noPort());
    if (rest.at(afterHost) != QLatin1Char(':')) {
        if (rest.indexOf(QLatin1Char(':'), afterHost) < 0) throw bad(remote_texts::noPort());
        throw bad(remote_texts::trailingText(rest.mid(afterHost)));
    }
    const QString portText = rest.mid(afterHost + 1);
    qsizetype digits = 0;
    while (digits < portText.size() && portText.at(digits).isDigit() &&
           portText.at(digits).unicode() < 0x80)
        ++digits;
    if (digits == 0) {
        if (portText.isEmpty()) throw bad(remote_texts::noPort());
        throw bad(remote_texts::badPort(portText));
    }
    if (digits < portText.size()) throw bad(remote_texts::trailingText(portText.mid(digits)));
    const int port = digits <= 5 ? portText.toInt() : 0;
    if (port < 1 || port > 65535) throw bad(remote_texts::badPort(portText));
    address.port = quint16(port);
    return address;
}

// ---- waiting ----

RemoteLink::WaitResult RemoteLink::waitUntil(const std::function<bool()>& done, int boundMs) {
    const quint64 session = m_session;
    const QPointer<RemoteLink> self(this);
    auto settled = [&]() -> std::optional<WaitResult> {
        if (!self) return WaitResult::Destroyed;
        if (m_session != session) return WaitResult::Closed;
        if (done()) return WaitResult::Done;
        if (m_ended) return WaitResult::HungUp;
        return std::nullopt;
    };
    if (const auto result = settled()) return *result;

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.exit(kTimedOut);
    });
    timer.start(std::max(0, boundMs));
    m_waits.push_back(&loop);
    updateNotifiers();
    for (;;) {
        const int code = loop.exec(QEventLoop::ExcludeUserInputEvents);
        // A destroyed link took m_waits with it.
        if (!self) return WaitResult::Destroyed;
        std::optional<WaitResult> result = settled();
        if (!result && (timedOut || code != kWoken))
            result = timedOut || code == kTimedOut ? WaitResult::TimedOut : WaitResult::Ended;
        if (!result) continue;
        std::erase(m_waits, &loop);
        updateNotifiers();
        return *result;
    }
}

void RemoteLink::wakeWaits() {
    // The innermost returns first.
    for (QEventLoop* loop : m_waits) loop->exit(kWoken);
}

// ---- connecting ----

// Numeric addresses need no lookup; names are looked up on a thread, within the bound.
std::vector<RemoteLink::ResolvedAddress> RemoteLink::lookUp(const QString& url,
                                                            const Address& address, int boundMs) {
    const QByteArray host = address.host.toUtf8();
    const QByteArray service = QByteArray::number(address.port);
    std::vector<ResolvedAddress> addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.constData(), service.constData(), &hints, &list) == 0) {
        addresses = addressesOf(list);
        ::freeaddrinfo(list);
        return addresses;
    }
    auto lookup = std::make_shared<Lookup>();
    if (lookup->wakeFd < 0) throw SerialError::openFailed(url, errno);
    try {
        std::thread([lookup, host, service] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* list = nullptr;
            lookup->status = ::getaddrinfo(host.constData(), service.constData(), &hints, &list);
            if (lookup->status == 0) {
                lookup->addresses = addressesOf(list);
                ::freeaddrinfo(list);
            }
            lookup->done.store(true, std::memory_order_release);
            const quint64 one = 1;
            (void)!::write(lookup->wakeFd, &one, sizeof one);
        }).detach();
    } catch (const std::system_error& e) {
        throw SerialError::openFailed(url, e.code().value());
    }
    QSocketNotifier woken(lookup->wakeFd, QSocketNotifier::Read);
    QObject::connect(&woken, &QSocketNotifier::activated, this, [this] { wakeWaits(); });
    const WaitResult result =
        waitUntil([&lookup] { return lookup->done.load(std::memory_order_acquire); }, boundMs);
    if (result == WaitResult::Destroyed || result == WaitResult::Closed)
        throw SerialError::remoteOpenCancelled(url);
    if (result != WaitResult::Done)
        throw SerialError::remoteLookupTimedOut(url, address.host, boundMs);
    if (lookup->status != 0)
        throw SerialError::remoteHostNotFound(
            url, address.host, QString::fromLocal8Bit(::gai_strerror(lookup->status)));
    return lookup->addresses;
}

// Each address in turn, all within one bound; the connected socket.
int RemoteLink::connectFirst(const QString& url, const std::vector<ResolvedAddress>& addresses,
                             int boundMs) {
    QElapsedTimer clock;
    clock.start();
    int lastError = ETIMEDOUT;
    for (const ResolvedAddress& candidate : addresses) {
        const int remaining = boundMs - int(clock.elapsed());
        if (remaining <= 0) break;
        const int s = ::socket(candidate.address.ss_family,
                               SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (s < 0) {
            lastError = errno;
            continue;
        }
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A small send queue, as a serial driver has: what the kernel holds cannot be
        // discarded, and at a slow line rate megabytes of it would take hours to leave.
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
        for (const auto& [level, name, value] : kLiveness)
            ::setsockopt(s, level, name, &value, sizeof value);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&candidate.address), candidate.length) ==
            0)
            return s;
        if (errno != EINPROGRESS) {
            lastError = errno;
            ::close(s);
            continue;
        }
        bool writable = false;
        WaitResult result;
        {
            QSocketNotifier connected(s, QSocketNotifier::Write);
            QObject::connect(&connected, &QSocketNotifier::activated, this, [&, this] {
                writable = true;
                wakeWaits();
            });
            result = waitUntil([&writable] { return writable; }, remaining);
        }
        if (result == WaitResult::Destroyed || result == WaitResult::Closed) {
            ::close(s);
            throw SerialError::remoteOpenCancelled(url);
        }
        int err = ETIMEDOUT;
        socklen_t length = sizeof err;
        if (result == WaitResult::Done && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
            err = errno;
        if (result == WaitResult::Done && err == 0) return s;
        lastError = err;
        ::close(s);
    }
    if (lastError == ETIMEDOUT) throw SerialError::remoteConnectTimedOut(url, boundMs);
    throw SerialError::remoteUnreachable(url, lastError);
}

void RemoteLink::connectTo(const QString& url, const Address& address, const Bounds& bounds) {
    if (m_fd >= 0) throw SerialError::alreadyOpen();
    const quint64 session = ++m_session;
    m_ended = false;
    m_endReason.clear();
    // A wait that ended because the link was closed or destroyed throws "cancelled" at once and
    // leaves the link to whoever did that.
    const std::vector<ResolvedAddress> addresses = lookUp(url, address, bounds.lookupMs);
    if (addresses.empty())
        throw SerialError::remoteHostNotFound(url, address.host,
                                              QString::fromLocal8Bit(::gai_strerror(EAI_NONAME)));
    const int fd = connectFirst(url, addresses, bounds.connectMs);
    if (session != m_session) {
        ::close(fd);
        throw SerialError::remoteOpenCancelled(url);
    }

    m_fd = fd;
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &RemoteLink::onReadable);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &RemoteLink::onWritable);
    updateNotifiers();
}

void RemoteLink::close() {
    ++m_session;
    wakeWaits();
    releaseSocket();
    m_ended = false;
    m_endReason.clear();
    m_reading = m_wantWritable = m_dataHeld = false;
    m_output.clear();
    m_queued = 0;
}

void RemoteLink::releaseSocket() {
    // close() can run inside a notifier's own activation, so they are deleted later.
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (!*notifier) continue;
        (*notifier)->setEnabled(false);
        (*notifier)->disconnect(this);
        (*notifier)->deleteLater();
        *notifier = nullptr;
    }
    // Never blocks: a TCP close without SO_LINGER hands what is queued to the kernel.
    if (m_fd >= 0) ::close(std::exchange(m_fd, -1));
}

// ---- output ----

void RemoteLink::queue(QByteArray bytes, Part part) {
    if (bytes.isEmpty() || !usable()) return;
    if (m_queued + bytes.size() > kMaxQueued)
        return end(SerialTexts::tr("it stopped reading what was sent (%1 KiB waited)")
                       .arg(kMaxQueued / 1024));
    m_queued += bytes.size();
    // A piece the socket has begun on is not grown, so that what was sent of it never
    // outgrows the queue's bound.
    if (!m_output.empty() && m_output.back().part == part && m_output.back().sent == 0)
        m_output.back().bytes.append(bytes);
    else
        m_output.push_back({std::move(bytes), 0, part});
}

void RemoteLink::flush() {
    while (usable() && !m_output.empty()) {
        iovec pieces[kBatch];
        int count = 0;
        qsizetype offered = 0;
        for (const Piece& piece : m_output) {
            // Held back by the far side; commands queued ahead of the data still go.
            if (count == kBatch || (piece.part == Part::Data && m_dataHeld)) break;
            pieces[count++] = {const_cast<char*>(piece.bytes.constData()) + piece.sent,
                               size_t(piece.bytes.size() - piece.sent)};
            offered += piece.bytes.size() - piece.sent;
        }
        if (count == 0) break;
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = size_t(count);
        const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (isTransient(errno)) break;
            return endWithError(errno);
        }
        consume(qsizetype(sent));
        if (sent < offered) break;  // the socket is full
    }
    updateNotifiers();
}

void RemoteLink::consume(qsizetype sent) {
    m_queued -= sent;
    while (sent > 0 && !m_output.empty()) {
        Piece& piece = m_output.front();
        const qsizetype taken = std::min(sent, piece.bytes.size() - piece.sent);
        piece.sent += taken;
        sent -= taken;
        if (piece.sent == piece.bytes.size()) m_output.pop_front();
    }
}

qint64 RemoteLink::socketQueued() const {
    int queued = 0;
    if (!usable() || ::ioctl(m_fd, SIOCOUTQ, &queued) != 0) return 0;
    return std::max(0, queued);
}

std::vector<QByteArrayView> RemoteLink::unsentData() const {
    std::vector<QByteArrayView> views;
    for (const Piece& piece : m_output)
        if (piece.part == Part::Data)
            views.push_back(QByteArrayView(piece.bytes).sliced(piece.sent));
    return views;
}

void RemoteLink::discardUnsentData(const std::function<qsizetype(QByteArrayView, qsizetype)>& cut) {
    std::deque<Piece> kept;
    for (Piece& piece : m_output) {
        if (piece.part == Part::Data) {
            if (piece.sent == 0) continue;
            piece.bytes.truncate(cut(piece.bytes, piece.sent));
            if (piece.sent >= piece.bytes.size()) continue;
        }
        kept.push_back(std::move(piece));
    }
    m_output = std::move(kept);
    m_queued = 0;
    for (const Piece& piece : m_output) m_queued += piece.bytes.size() - piece.sent;
    updateNotifiers();
}

void RemoteLink::setDataHeld(bool held) {
    m_dataHeld = held;
    updateNotifiers();
}

// ---- notifiers ----

void RemoteLink::setReading(bool wanted) {
    m_reading = wanted;
    updateNotifiers();
}

void RemoteLink::setWantWritable(bool wanted) {
    m_wantWritable = wanted;
    updateNotifiers();
}

void RemoteLink::updateNotifiers() {
    if (!usable()) return;
    if (m_readNotifier) m_readNotifier->setEnabled(m_reading || !m_waits.empty());
    const bool sendable = !m_output.empty() && !(m_output.front().part == Part::Data && m_dataHeld);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(sendable || (m_wantWritable && m_queued < kMaxData));
}

void RemoteLink::onWritable() {
    if (!usable()) return;
    flush();
    if (usable() && m_wantWritable && m_queued < kMaxData && writable) writable();
}

void RemoteLink::onReadable() {
    if (!usable()) return;
    char chunk[16384];
    const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && isTransient(errno)) return;
    if (got < 0) return endWithError(errno);
    if (got == 0) return end(SerialTexts::tr("it closed the connection"));
    if (received) received(QByteArrayView(chunk, got));
}

void RemoteLink::endWithError(int err) {
    switch (err) {
        case ETIMEDOUT:
            return end(SerialTexts::tr("nothing came back from the network for %1 s")
                           .arg(kUserTimeoutMs / 1000));
        case ECONNRESET:
            return end(SerialTexts::tr("it reset the connection"));
        default:
            return end(SerialTexts::tr("the connection failed: %1").arg(osReason(err)));
    }
}

void RemoteLink::end(QString reason) {
    if (!usable()) return;
    // What the socket still holds is the end of what the far side sent.
    char chunk[16384];
    qsizetype taken = 0;
    while (taken < kMaxTail) {
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            taken += got;
            if (receivedAtEnd) receivedAtEnd(QByteArrayView(chunk, got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    m_ended = true;
    m_endReason = std::move(reason);
    m_output.clear();
    m_queued = 0;
    // A closed socket is readable forever; left enabled, the notifiers would spin.
    if (m_readNotifier) m_readNotifier->setEnabled(false);
    if (m_writeNotifier) m_writeNotifier->setEnabled(false);
    wakeWaits();
    if (ended) ended();
}

}  // namespace parvolo
