#include "serial/rfc2217_device.h"

#include "serial/port_names.h"

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
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "serial/serial_error.h"

namespace parvolo {

using namespace rfc2217;

namespace {

constexpr QLatin1String kScheme(kRemotePortScheme);
// Escaped bytes held for sending beside what the socket has taken.
constexpr qsizetype kMaxOutput = 16 * 1024;
// The socket's send buffer (the kernel doubles it).
constexpr int kSendBuffer = 16 * 1024;
struct SocketOption {
    int level, name, value;
};
constexpr SocketOption kLiveness[] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                                      {IPPROTO_TCP, TCP_KEEPIDLE, 10},
                                      {IPPROTO_TCP, TCP_KEEPINTVL, 5},
                                      {IPPROTO_TCP, TCP_KEEPCNT, 3},
                                      {IPPROTO_TCP, TCP_USER_TIMEOUT, 30000}};
// Decoded bytes held before the socket is left to throttle the server.
constexpr qsizetype kMaxInput = 64 * 1024;
// While an answer is awaited the socket is read whatever the control wants; past this much
// unread data the bytes are dropped (and reported) rather than kept without end.
constexpr qsizetype kHardInputLimit = 1 << 20;
constexpr qsizetype kMaxTail = 1 << 20;
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

// What a server wrote before it hung up, as far as it reads as text.
QString printableText(const QByteArray& bytes) {
    QString text;
    for (char c : bytes.left(200)) {
        if (c >= 0x20 && c < 0x7F)
            text.append(QLatin1Char(c));
        else if (!text.endsWith(QLatin1Char(' ')))
            text.append(QLatin1Char(' '));
    }
    return text.trimmed().left(120);
}

// SET-CONTROL carries flow control, break, DTR and RTS; an answer belongs to a request of the
// same group (a server that leaves one group unanswered must not shift the answers of another).
int answerGroup(quint8 command, quint8 value) {
    if (command != quint8(ComCommand::SetControl)) return 0;
    if (value <= control::kHardware || value >= 13) return 1;  // outbound and inbound flow
    if (value <= 6) return 2;                                  // break
    if (value <= 9) return 3;                                  // DTR
    return 4;                                                  // RTS
}

struct ResolvedAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

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

Rfc2217Device::Rfc2217Device(QObject* parent) : SerialDevice(parent) {}

Rfc2217Device::~Rfc2217Device() {
    close();
}

bool Rfc2217Device::isRemoteName(const QString& name) {
    return isRemotePortName(name);
}

Rfc2217Device::RemoteAddress Rfc2217Device::parseRemoteName(const QString& url) {
    auto bad = [&url](const QString& problem) { return SerialError::badRemoteName(url, problem); };
    if (!isRemoteName(url)) throw bad(RemoteTexts::notRemoteScheme());
    const QString rest = url.mid(kScheme.size());
    if (rest.isEmpty()) throw bad(RemoteTexts::noHost());

    RemoteAddress address;
    qsizetype afterHost = 0;
    auto firstOf = [&rest](const char* chars, qsizetype from) {
        qsizetype i = from;
        while (i < rest.size() && !std::strchr(chars, rest.at(i).toLatin1())) ++i;
        return i;
    };
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) throw bad(RemoteTexts::badIpv6(rest.mid(1)));
        address.host = rest.mid(1, close - 1);
        in6_addr parsed{};
        if (address.host.isEmpty()) throw bad(RemoteTexts::noHost());
        if (::inet_pton(AF_INET6, address.host.toLatin1().constData(), &parsed) != 1)
            throw bad(RemoteTexts::badIpv6(address.host));
        afterHost = close + 1;
    } else {
        afterHost = firstOf(":/?#", 0);
        address.host = rest.left(afterHost);
        if (rest.left(firstOf("/?#", 0)).count(QLatin1Char(':')) > 1)
            throw bad(RemoteTexts::ipv6NeedsBrackets());
        if (address.host.isEmpty()) throw bad(RemoteTexts::noHost());
        if (!std::all_of(address.host.begin(), address.host.end(), isHostCharacter) ||
            address.host.size() > 253)
            throw bad(RemoteTexts::badHostCharacters(address.host));
    }

    if (afterHost >= rest.size()) throw bad(RemoteTexts::noPort());
    if (rest.at(afterHost) != QLatin1Char(':')) {
        if (rest.indexOf(QLatin1Char(':'), afterHost) < 0) throw bad(RemoteTexts::noPort());
        throw bad(RemoteTexts::trailingText(rest.mid(afterHost)));
    }
    const QString portText = rest.mid(afterHost + 1);
    qsizetype digits = 0;
    while (digits < portText.size() && portText.at(digits).isDigit() &&
           portText.at(digits).unicode() < 0x80)
        ++digits;
    if (digits == 0) {
        if (portText.isEmpty()) throw bad(RemoteTexts::noPort());
        throw bad(RemoteTexts::badPort(portText));
    }
    if (digits < portText.size()) throw bad(RemoteTexts::trailingText(portText.mid(digits)));
    const int port = digits <= 5 ? portText.toInt() : 0;
    if (port < 1 || port > 65535) throw bad(RemoteTexts::badPort(portText));
    address.port = quint16(port);
    return address;
}

// ---- waiting ----

template <typename Done>
Rfc2217Device::WaitResult Rfc2217Device::waitUntil(Done done, int boundMs) {
    const quint64 generation = m_generation;
    const QPointer<Rfc2217Device> self(this);
    auto settled = [&]() -> std::optional<WaitResult> {
        if (!self) return WaitResult::Destroyed;
        if (m_generation != generation) return WaitResult::Closed;
        if (done()) return WaitResult::Done;
        if (m_hungUp) return WaitResult::HungUp;
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
        // A destroyed device took m_waits with it.
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

void Rfc2217Device::wakeWaits() {
    // Every wait looks again at what it waits for; the innermost returns first.
    for (QEventLoop* loop : m_waits) loop->exit(kWoken);
}

// ---- opening ----

void Rfc2217Device::open(const QString& url) {
    if (m_fd >= 0 || m_opening) throw SerialError::alreadyOpen();
    const RemoteAddress address = parseRemoteName(url);

    const quint64 generation = ++m_generation;
    m_opening = true;
    m_url = url;
    m_hungUp = false;
    m_readBack.reset();
    const QPointer<Rfc2217Device> self(this);
    // Any failure below leaves the device closed; one that closed or destroyed it meanwhile
    // leaves it to whoever did that.
    auto fail = [&, generation](const SerialError& error) -> SerialError {
        if (self && m_generation == generation) close();
        return error;
    };
    auto cancelled = [&] { return fail(SerialError::remoteOpenCancelled(url)); };

    // Numeric addresses need no lookup; names are looked up on a thread, within the bound.
    const QByteArray host = address.host.toUtf8();
    const QByteArray service = QByteArray::number(address.port);
    std::vector<ResolvedAddress> addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int numeric = ::getaddrinfo(host.constData(), service.constData(), &hints, &list);
    if (numeric == 0) {
        addresses = addressesOf(list);
        ::freeaddrinfo(list);
    } else {
        auto lookup = std::make_shared<Lookup>();
        if (lookup->wakeFd < 0) throw fail(SerialError::openFailed(url, errno));
        try {
            std::thread([lookup, host, service] {
                addrinfo hints{};
                hints.ai_family = AF_UNSPEC;
                hints.ai_socktype = SOCK_STREAM;
                hints.ai_flags = AI_NUMERICSERV;
                addrinfo* list = nullptr;
                lookup->status =
                    ::getaddrinfo(host.constData(), service.constData(), &hints, &list);
                if (lookup->status == 0) {
                    lookup->addresses = addressesOf(list);
                    ::freeaddrinfo(list);
                }
                lookup->done.store(true, std::memory_order_release);
                const quint64 one = 1;
                (void)!::write(lookup->wakeFd, &one, sizeof one);
            }).detach();
        } catch (const std::system_error& e) {
            throw fail(SerialError::openFailed(url, e.code().value()));
        }
        QSocketNotifier woken(lookup->wakeFd, QSocketNotifier::Read);
        QObject::connect(&woken, &QSocketNotifier::activated, this, [this] { wakeWaits(); });
        const WaitResult result = waitUntil(
            [&lookup] { return lookup->done.load(std::memory_order_acquire); }, m_bounds.lookupMs);
        if (result == WaitResult::Destroyed || result == WaitResult::Closed) throw cancelled();
        if (result != WaitResult::Done)
            throw fail(SerialError::remoteLookupTimedOut(url, address.host, m_bounds.lookupMs));
        if (lookup->status != 0)
            throw fail(SerialError::remoteHostNotFound(
                url, address.host, QString::fromLocal8Bit(::gai_strerror(lookup->status))));
        addresses = lookup->addresses;
    }
    if (addresses.empty())
        throw fail(SerialError::remoteHostNotFound(
            url, address.host, QString::fromLocal8Bit(::gai_strerror(EAI_NONAME))));

    // Each address in turn, all within one bound.
    QElapsedTimer clock;
    clock.start();
    int lastError = ETIMEDOUT;
    int fd = -1;
    for (const ResolvedAddress& candidate : addresses) {
        const int remaining = m_bounds.connectMs - int(clock.elapsed());
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
        // A server that vanished without a word (network gone, machine off) is a hang-up
        // within half a minute, as an unplugged adapter is one at once; TCP alone would wait
        // a quarter of an hour.
        for (const auto& [level, name, value] : kLiveness)
            ::setsockopt(s, level, name, &value, sizeof value);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&candidate.address), candidate.length) ==
            0) {
            fd = s;
            break;
        }
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
            throw cancelled();
        }
        int err = ETIMEDOUT;
        socklen_t length = sizeof err;
        if (result == WaitResult::Done && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
            err = errno;
        if (result == WaitResult::Done && err == 0) {
            fd = s;
            break;
        }
        lastError = err;
        ::close(s);
    }
    if (fd < 0) {
        if (lastError == ETIMEDOUT)
            throw fail(SerialError::remoteConnectTimedOut(url, m_bounds.connectMs));
        throw fail(SerialError::remoteUnreachable(url, lastError));
    }

    m_fd = fd;
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &Rfc2217Device::onReadActivated);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &Rfc2217Device::onWriteActivated);

    // Telnet first: without the server's DO COM-PORT nothing about the port can be set.
    queueCommand(m_options.start());
    flush();
    const WaitResult result = waitUntil(
        [this] {
            const auto state = m_options.local(option::kComPort);
            return state == OptionNegotiation::State::On ||
                   state == OptionNegotiation::State::Refused;
        },
        m_bounds.answerMs);
    switch (result) {
        case WaitResult::Destroyed:
        case WaitResult::Closed:
            throw cancelled();
        case WaitResult::HungUp:
            throw fail(SerialError::remoteClosed(url, printableText(m_input)));
        case WaitResult::TimedOut:
        case WaitResult::Ended:
            throw fail(SerialError::remoteNoAnswer(url, QStringLiteral("COM ポート制御の申し込み"),
                                                   m_bounds.answerMs));
        case WaitResult::Done:
            break;
    }
    if (m_options.local(option::kComPort) != OptionNegotiation::State::On)
        throw fail(SerialError::remoteRefusedControl(url));

    // Not every server answers the masks, so they are not waited for.
    queueCommand(setLineStateMask(linestate::kErrors));
    queueCommand(setModemStateMask(modemstate::kAll));
    flush();
    if (m_hungUp) throw fail(SerialError::remoteClosed(url, printableText(m_input)));
    // What arrived during the negotiation is the far end's; the control reads it after open.
    m_opening = false;
    updateNotifiers();
}

void Rfc2217Device::close() {
    if (m_fd < 0 && !m_opening) return;
    ++m_generation;
    wakeWaits();
    releaseSocket();
    m_opening = false;
    m_hungUp = false;
    m_url.clear();
    m_readWanted = m_writeWanted = false;
    m_readyReadPosted = false;
    m_decoder.reset();
    m_options = OptionNegotiation();
    m_input.clear();
    m_output.clear();
    m_outputBytes = 0;
    m_flowSuspended = false;
    m_pending.clear();
    m_linesUnanswered = false;
    m_modemState.reset();
    m_lineCounts.reset();
}

void Rfc2217Device::releaseSocket() {
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

// ---- answers ----

quint64 Rfc2217Device::expectAnswer(ComCommand command, quint8 value) {
    const int group = answerGroup(quint8(command), value);
    // An earlier request of the same kind that was given up on and is still unanswered will not
    // be answered now: its answer would be taken for this one's.
    std::erase_if(m_pending, [&](const PendingAnswer& p) {
        return p.abandoned && p.command == quint8(command) && p.group == group;
    });
    const quint64 id = m_nextAnswerId++;
    m_pending.push_back({id, quint8(command), group, std::nullopt, false});
    return id;
}

bool Rfc2217Device::answered(quint64 id) const {
    for (const PendingAnswer& p : m_pending)
        if (p.id == id) return p.value.has_value();
    return false;
}

std::optional<QByteArray> Rfc2217Device::takeAnswer(quint64 id) {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->id != id) continue;
        std::optional<QByteArray> value = std::move(it->value);
        m_pending.erase(it);
        return value;
    }
    return std::nullopt;
}

void Rfc2217Device::abandonAnswer(quint64 id) {
    for (PendingAnswer& p : m_pending)
        if (p.id == id) p.abandoned = true;
}

// ---- settings and lines ----

void Rfc2217Device::applySettings(const LineSettings& settings) {
    if (!usable() || m_opening) return;
    const QString url = m_url;
    auto refuse = [&](const QString& what, const QString& problem) {
        throw SerialError::settingRefused(url, what, problem);
    };
    if (settings.baudRate <= 0)
        refuse(SettingTexts::baudRate(settings.baudRate), SettingTexts::rateMustBePositive());
    const std::optional<quint8> flow = flowCode(settings.flow);
    if (!flow)
        refuse(SettingTexts::flowControl(settings.rtsCts(), settings.xonXoff()),
               SettingTexts::remoteFlowCannotCombine());
    const QByteArray commands[] = {setBaudRate(quint32(settings.baudRate)),
                                   setDataSize(settings.dataBits), setParity(settings.parity),
                                   setStopSize(settings.stopBits), setControl(*flow)};
    for (const QByteArray& command : commands)
        if (command.isEmpty()) throw SerialError::invalidValue();

    const ComCommand order[] = {ComCommand::SetBaudRate, ComCommand::SetDataSize,
                                ComCommand::SetParity, ComCommand::SetStopSize,
                                ComCommand::SetControl};
    const QString whats[] = {
        SettingTexts::baudRate(settings.baudRate), SettingTexts::dataBits(settings.dataBitCount()),
        SettingTexts::parity(settings.parity), SettingTexts::stopBits(settings.stopBitCount()),
        SettingTexts::flowControl(settings.rtsCts(), settings.xonXoff())};
    quint64 ids[5];
    for (int i = 0; i < 5; ++i) {
        ids[i] = expectAnswer(order[i], i == 4 ? *flow : 0);
        queueCommand(commands[i]);
    }
    flush();
    const WaitResult result = waitUntil(
        [&] {
            return std::all_of(std::begin(ids), std::end(ids),
                               [&](quint64 id) { return answered(id); });
        },
        m_bounds.answerMs);
    if (result == WaitResult::Destroyed) return;
    if (result != WaitResult::Done) {
        int firstUnanswered = -1;
        for (int i = 0; i < 5; ++i) {
            if (answered(ids[i])) {
                takeAnswer(ids[i]);
            } else {
                abandonAnswer(ids[i]);
                if (firstUnanswered < 0) firstUnanswered = i;
            }
        }
        // A hang-up is reported through hungUp(); a close needs no word.
        if (result == WaitResult::HungUp || result == WaitResult::Closed) return;
        throw SerialError::remoteSettingUnanswered(url, whats[std::max(0, firstUnanswered)],
                                                   m_bounds.answerMs);
    }

    QByteArray values[5];
    for (int i = 0; i < 5; ++i) values[i] = takeAnswer(ids[i]).value_or(QByteArray());
    const std::optional<quint32> baud = baudOfValue(values[0]);
    std::optional<DataBits> dataRead;
    if (const auto size = byteOfValue(values[1]); size && *size >= 5 && *size <= 8)
        dataRead = DataBits(*size);
    const auto byteOf = [&](int i) { return byteOfValue(values[i]).value_or(0); };
    const std::optional<Parity> parityRead = parityOfCode(byteOf(2));
    const std::optional<StopBits> stopRead = stopBitsOfCode(byteOf(3));
    const std::optional<FlowControl> flowRead = flowOfCode(byteOf(4));

    // What the server says it has now; nothing when an answer has no meaning here.
    if (baud && dataRead && parityRead && stopRead && flowRead)
        m_readBack = LineSettings{qint32(std::min<quint32>(*baud, INT32_MAX)), *parityRead,
                                  *dataRead, *stopRead, *flowRead};
    else
        m_readBack.reset();

    // An answer that has no meaning is named by its bytes.
    const auto codeOf = [&](int i, const char* setting) {
        return SettingTexts::serverCode(QString::fromUtf8(setting),
                                        QString::fromLatin1(values[i].toHex(' ').toUpper()));
    };
    // A UART reaches most rates only approximately; 2% is what a receiver tolerates.
    const qint64 wantedBaud = settings.baudRate;
    if (!baud || std::llabs(qint64(*baud) - wantedBaud) * 50 > wantedBaud)
        refuse(whats[0], SettingTexts::serverAnswers(baud ? SettingTexts::baudRate(*baud)
                                                          : codeOf(0, "通信速度")));
    if (dataRead != settings.dataBits)
        refuse(whats[1],
               SettingTexts::serverAnswers(dataRead ? SettingTexts::dataBits(int(*dataRead))
                                                    : codeOf(1, "データビット")));
    if (parityRead != settings.parity)
        refuse(whats[2], SettingTexts::serverAnswers(parityRead ? SettingTexts::parity(*parityRead)
                                                                : codeOf(2, "パリティ")));
    if (stopRead != settings.stopBits)
        refuse(whats[3],
               SettingTexts::serverAnswers(stopRead ? SettingTexts::stopBits(int(*stopRead))
                                                    : codeOf(3, "ストップビット")));
    if (flowRead != settings.flow)
        refuse(whats[4], SettingTexts::serverAnswers(
                             flowRead ? SettingTexts::flowControl(*flowRead == FlowControl::RtsCts,
                                                                  *flowRead == FlowControl::XonXoff)
                                      : codeOf(4, "フロー制御")));
}

void Rfc2217Device::setRts(bool on) {
    setLine(on ? control::kRtsOn : control::kRtsOff, QStringLiteral("RTS"), on);
}

void Rfc2217Device::setDtr(bool on) {
    setLine(on ? control::kDtrOn : control::kDtrOff, QStringLiteral("DTR"), on);
}

void Rfc2217Device::setLine(quint8 value, const QString& line, bool on) {
    if (!usable() || m_opening) return;
    const QString url = m_url;
    queueCommand(setControl(value));
    // A server that let a line change go unanswered (ser2net on a device without modem lines)
    // has a port without lines, which takes changes silently as a local one does; waiting on
    // every switch would only stall the window.
    if (m_linesUnanswered) {
        flush();
        return;
    }
    const quint64 id = expectAnswer(ComCommand::SetControl, value);
    flush();
    const WaitResult result =
        waitUntil([&] { return answered(id); }, std::min(m_bounds.answerMs, kLineAnswerMs));
    switch (result) {
        case WaitResult::Destroyed:
            return;
        case WaitResult::HungUp:
        case WaitResult::Closed:
            abandonAnswer(id);
            return;
        case WaitResult::TimedOut:
        case WaitResult::Ended:
            abandonAnswer(id);
            m_linesUnanswered = true;
            return;
        case WaitResult::Done:
            break;
    }
    const std::optional<quint8> answer = byteOfValue(takeAnswer(id).value_or(QByteArray()));
    if (answer == value) return;
    QString problem;
    if (answer == control::kRtsOn || answer == control::kRtsOff)
        problem = RemoteTexts::serverAnswered(QStringLiteral("RTS"), answer == control::kRtsOn);
    else if (answer == control::kDtrOn || answer == control::kDtrOff)
        problem = RemoteTexts::serverAnswered(QStringLiteral("DTR"), answer == control::kDtrOn);
    else
        problem = RemoteTexts::serverAnsweredCode(answer ? int(*answer) : -1);
    throw SerialError::remoteLineRefused(url, line, on, problem);
}

ModemLines Rfc2217Device::modemLines() const {
    ModemLines lines;
    if (!usable() || m_opening || !m_modemState) return lines;
    lines.cts = *m_modemState & modemstate::kCts;
    lines.dsr = *m_modemState & modemstate::kDsr;
    lines.dcd = *m_modemState & modemstate::kDcd;
    lines.ri = *m_modemState & modemstate::kRi;
    return lines;
}

// ---- data ----

qint64 Rfc2217Device::read(char* data, qint64 maxSize) {
    if (m_fd < 0 || m_opening || maxSize <= 0) return 0;
    const qint64 n = std::min<qint64>(maxSize, m_input.size());
    if (n <= 0) return 0;
    std::memcpy(data, m_input.constData(), size_t(n));
    m_input.remove(0, qsizetype(n));
    updateNotifiers();
    return n;
}

qint64 Rfc2217Device::write(const char* data, qint64 size) {
    if (!usable() || m_opening || size <= 0) return 0;
    const qsizetype room = kMaxOutput - m_outputBytes;
    if (room <= 0) return 0;
    QByteArray escaped;
    escaped.reserve(std::min<qsizetype>(room, qsizetype(size) * 2));
    qint64 taken = 0;
    for (; taken < size; ++taken) {
        const bool iac = quint8(data[taken]) == telnet::kIac;
        if (escaped.size() + (iac ? 2 : 1) > room) break;
        escaped.append(data[taken]);
        if (iac) escaped.append(data[taken]);
    }
    if (taken == 0) return 0;
    if (!m_output.empty() && m_output.back().data)
        m_output.back().bytes.append(escaped);
    else
        m_output.push_back({escaped, 0, true});
    m_outputBytes += escaped.size();
    flush();
    return taken;
}

void Rfc2217Device::queueCommand(const QByteArray& bytes) {
    if (bytes.isEmpty() || !usable()) return;
    m_output.push_back({bytes, 0, false});
    m_outputBytes += bytes.size();
}

void Rfc2217Device::flush() {
    while (usable() && !m_output.empty()) {
        OutChunk& chunk = m_output.front();
        // Held back by the server; commands queued ahead of the data still go.
        if (chunk.data && m_flowSuspended) break;
        const ssize_t sent =
            ::send(m_fd, chunk.bytes.constData() + chunk.sent,
                   size_t(chunk.bytes.size() - chunk.sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (isTransient(errno)) break;
            return hangUp();
        }
        chunk.sent += sent;
        m_outputBytes -= sent;
        if (chunk.sent < chunk.bytes.size()) break;
        m_output.pop_front();
    }
    updateNotifiers();
}

qsizetype Rfc2217Device::unsentDataBytes() const {
    qsizetype count = 0;
    for (const OutChunk& chunk : m_output) {
        if (!chunk.data) continue;
        const QByteArrayView unsent = QByteArrayView(chunk.bytes).sliced(chunk.sent);
        // A doubled IAC is one byte of the control's.
        count += unsent.size() - unsent.count(char(telnet::kIac)) / 2;
    }
    return count;
}

qint64 Rfc2217Device::driverOutputCount() const {
    if (!usable() || m_opening) return 0;
    int queued = 0;
    if (::ioctl(m_fd, SIOCOUTQ, &queued) != 0) queued = 0;
    return unsentDataBytes() + std::max(0, queued);
}

void Rfc2217Device::discardInput() {
    if (!usable() || m_opening) return;
    m_input.clear();
    queueCommand(purgeData(purge::kReceived));
    flush();
}

void Rfc2217Device::discardOutput() {
    if (!usable() || m_opening) return;
    std::deque<OutChunk> kept;
    for (OutChunk& chunk : m_output) {
        if (!chunk.data) {
            kept.push_back(std::move(chunk));
            continue;
        }
        if (chunk.sent == 0) continue;
        // The socket took some of this chunk; a doubled IAC cut in two must be completed, or
        // the server would read the next command's IAC as data.
        qsizetype i = 0;
        while (i < chunk.sent) i += quint8(chunk.bytes.at(i)) == telnet::kIac ? 2 : 1;
        chunk.bytes.truncate(i);
        if (chunk.sent < chunk.bytes.size()) kept.push_back(std::move(chunk));
    }
    m_output = std::move(kept);
    m_outputBytes = 0;
    for (const OutChunk& chunk : m_output) m_outputBytes += chunk.bytes.size() - chunk.sent;
    queueCommand(purgeData(purge::kToSend));
    flush();
}

void Rfc2217Device::setReadNotification(bool enabled) {
    m_readWanted = enabled;
    if (!usable() || m_opening) return;
    updateNotifiers();
    if (enabled && !m_input.isEmpty()) postReadyRead();
}

void Rfc2217Device::setWriteNotification(bool enabled) {
    m_writeWanted = enabled;
    if (usable()) updateNotifiers();
}

void Rfc2217Device::updateNotifiers() {
    if (!usable()) return;
    const bool waiting = !m_waits.empty();
    if (m_readNotifier)
        m_readNotifier->setEnabled(waiting || m_opening ||
                                   (m_readWanted && m_input.size() < kMaxInput));
    const bool sendable = !m_output.empty() && !(m_output.front().data && m_flowSuspended);
    const bool room = m_outputBytes < kMaxOutput;
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(sendable || (m_writeWanted && room && !m_opening));
}

void Rfc2217Device::postReadyRead() {
    if (m_readyReadPosted) return;
    m_readyReadPosted = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_generation) return;
            m_readyReadPosted = false;
            if (usable() && !m_opening && m_readWanted && !m_input.isEmpty()) emit readyRead();
        },
        Qt::QueuedConnection);
}

void Rfc2217Device::onWriteActivated() {
    if (!usable()) return;
    flush();
    if (usable() && !m_opening && m_writeWanted && m_outputBytes < kMaxOutput) emit readyWrite();
}

void Rfc2217Device::onReadActivated() {
    if (!usable()) return;
    char chunk[16384];
    const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && isTransient(errno)) return;
    if (got <= 0) return hangUp();

    const qsizetype before = m_input.size();
    std::vector<ServerMessage> messages;
    m_decoder.feed(QByteArrayView(chunk, got), m_input, messages);
    std::vector<LineEvent> events;
    if (m_input.size() > kHardInputLimit) {
        m_input.truncate(std::max(before, kHardInputLimit));
        events.push_back(LineEvent::ReceiveOverflow);
    }
    const bool arrived = m_input.size() > before;
    for (const ServerMessage& message : messages) handleMessage(message, events);
    flush();
    if (!messages.empty()) wakeWaits();

    // A receiver may close or destroy the device in the middle of these.
    const QPointer<Rfc2217Device> self(this);
    const quint64 generation = m_generation;
    auto live = [&] { return self && generation == m_generation && usable(); };
    // Line errors go ahead of the bytes they damaged, as on a local port. While opening
    // nobody listens yet: what the lines are is kept, their history is not news.
    for (LineEvent event : events) {
        if (!live()) return;
        if (!m_opening) emit lineEvent(event);
    }
    if (!live()) return;
    updateNotifiers();
    if (arrived && m_readWanted && !m_opening) emit readyRead();
}

void Rfc2217Device::handleMessage(const ServerMessage& message, std::vector<LineEvent>& events) {
    if (message.kind == ServerMessage::Kind::Negotiation) {
        queueCommand(m_options.receive(message.verb, message.option));
        return;
    }
    if (message.command < kServerOffset) return;  // a client's command: not for us
    const quint8 command = message.command - kServerOffset;
    switch (ComCommand(command)) {
        case ComCommand::NotifyLineState: {
            const quint8 state = byteOfValue(message.value).value_or(0);
            if (!m_lineCounts) m_lineCounts = KernelLineCounts{};
            const std::pair<quint8, LineEvent> errors[] = {
                {linestate::kBreak, LineEvent::Break},
                {linestate::kFraming, LineEvent::FramingError},
                {linestate::kParity, LineEvent::ParityError},
                {linestate::kOverrun, LineEvent::Overrun}};
            for (const auto& [bit, event] : errors) {
                if (!(state & bit)) continue;
                switch (event) {
                    case LineEvent::Break:
                        ++m_lineCounts->brk;
                        break;
                    case LineEvent::FramingError:
                        ++m_lineCounts->frame;
                        break;
                    case LineEvent::ParityError:
                        ++m_lineCounts->parity;
                        break;
                    default:
                        ++m_lineCounts->overrun;
                        break;
                }
                events.push_back(event);
            }
            return;
        }
        case ComCommand::NotifyModemState: {
            const std::optional<quint8> state = byteOfValue(message.value);
            if (!state) return;
            // The first report says how the lines are; only its deltas are changes.
            const quint8 last = m_modemState.value_or(*state);
            const quint8 changed = quint8(*state ^ last);
            auto changedLine = [&](quint8 level, quint8 delta) {
                return (changed & level) || (*state & delta);
            };
            if (changedLine(modemstate::kCts, modemstate::kCtsDelta))
                events.push_back(LineEvent::CtsChanged);
            if (changedLine(modemstate::kDsr, modemstate::kDsrDelta))
                events.push_back(LineEvent::DsrChanged);
            if (changedLine(modemstate::kDcd, modemstate::kDcdDelta))
                events.push_back(LineEvent::CarrierChanged);
            // One ring, one event, at its end, as the local port reports it. pyserial's server
            // sets the edge bit on both edges, so the level must be off too.
            const bool ringEnded = (*state & modemstate::kRiTrailingEdge) ||
                                   ((last & modemstate::kRi) && !(*state & modemstate::kRi));
            if (ringEnded && !(*state & modemstate::kRi)) events.push_back(LineEvent::Ring);
            m_modemState = *state;
            return;
        }
        case ComCommand::FlowControlSuspend:
            m_flowSuspended = true;
            return;
        case ComCommand::FlowControlResume:
            m_flowSuspended = false;
            return;
        default:
            break;
    }
    const int group = answerGroup(command, byteOfValue(message.value).value_or(0));
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->command != command || it->group != group || it->value) continue;
        if (it->abandoned)
            m_pending.erase(it);  // the late answer of a request given up on ends there
        else
            it->value = message.value;
        return;
    }
}

void Rfc2217Device::hangUp() {
    if (!usable()) return;
    // What the socket still holds is the end of what the far side sent.
    char chunk[16384];
    std::vector<ServerMessage> ignored;
    while (m_input.size() < kMaxTail) {
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0)
            m_decoder.feed(QByteArrayView(chunk, got), m_input, ignored);
        else if (got < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    m_hungUp = true;
    m_output.clear();
    m_outputBytes = 0;
    // A closed socket is readable forever; left enabled, the notifiers would spin.
    if (m_readNotifier) m_readNotifier->setEnabled(false);
    if (m_writeNotifier) m_writeNotifier->setEnabled(false);
    wakeWaits();
    // Posted, not emitted here: hang-up is found inside read(), write() and the waits, and the
    // caller should finish its own step first. A failed open reports it as its error instead.
    if (m_opening) return;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation) emit hungUp();
        },
        Qt::QueuedConnection);
}

}  // namespace parvolo
