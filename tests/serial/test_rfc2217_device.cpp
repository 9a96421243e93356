// Rfc2217Device against real Telnet com-port servers (ser2net, pyserial's PortManager) that
// export a pty of the loopback plug, and against a scripted server (tests/remote/) for what
// they do not show: silence, refusals, other values, notifications, a paused reader.

#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "serial/rfc2217_device.h"
#include "serial/serial_error.h"
#include "support/remote_server.h"
#include "support/window_language.h"

using namespace parvolo;
using Code = SerialError::Code;
Q_DECLARE_METATYPE(SerialError::Code)
Q_DECLARE_METATYPE(LineSettings)
Q_DECLARE_METATYPE(LineEvent)

namespace {

LineSettings settingsOf(qint32 baud, Parity parity, DataBits data, FlowControl flow) {
    return LineSettings{baud, parity, data, StopBits::One, flow};
}

QByteArray readAll(Rfc2217Device& device) {
    QByteArray all;
    char chunk[4096];
    for (qint64 n; (n = device.read(chunk, sizeof chunk)) > 0;) all.append(chunk, qsizetype(n));
    return all;
}

Rfc2217Device::Bounds shortBounds(int answerMs) {
    Rfc2217Device::Bounds bounds;
    bounds.answerMs = answerMs;
    bounds.lookupMs = 2000;
    return bounds;
}

}  // namespace

class TestRfc2217Device : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { m_servers.clear(); }
    void remoteNames_data();
    void remoteNames();
    void openFailures_data();
    void openFailures();
    void session_data();
    void session();
    void settingAnswers_data();
    void settingAnswers();
    void lineSwitches_data();
    void lineSwitches();
    void notifications_data();
    void notifications();
    void hangUp_data();
    void hangUp();
    void boundedOutput();
    void readingPaused();
    void waitEndedFromInside_data();
    void waitEndedFromInside();

private:
    // One running server per kind, reused between rows; each serves one client at a time.
    RemoteServer* server(const QString& kind);
    void skipUnless(const QString& kind);

    std::map<QString, std::unique_ptr<RemoteServer>> m_servers;
    bool m_haveSer2net = false;
    bool m_havePyserial = false;
};

void TestRfc2217Device::initTestCase() {
    m_haveSer2net = !QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                                    {"/usr/sbin", "/usr/bin", "/sbin"})
                         .isEmpty();
    m_havePyserial =
        QProcess::execute(RemoteServer::python(), {"-c", "import serial.rfc2217"}) == 0;
    QVERIFY2(!qEnvironmentVariableIsEmpty("PARVOLO_LOOPBACK_BIN"), "PARVOLO_LOOPBACK_BIN unset");
}

void TestRfc2217Device::skipUnless(const QString& kind) {
    if (kind == QLatin1String("ser2net") && !m_haveSer2net) QSKIP("ser2net is not installed");
    if (kind == QLatin1String("pyserial") && !m_havePyserial) QSKIP("python3-serial is missing");
}

RemoteServer* TestRfc2217Device::server(const QString& kind) {
    auto& slot = m_servers[kind];
    if (!slot) {
        slot = std::make_unique<RemoteServer>();
        if (!slot->start(kind)) slot.reset();
    }
    return slot.get();
}

#define SERVER(var, kind)             \
    skipUnless(kind);                 \
    RemoteServer* var = server(kind); \
    QVERIFY2(var, qPrintable(QStringLiteral("no %1 server").arg(kind)))

void TestRfc2217Device::remoteNames_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("problem");  // empty: taken
    QTest::newRow("name") << "rfc2217://serial-1.lab:2217" << QString();
    QTest::newRow("IPv4, scheme in capitals") << "RFC2217://10.0.0.7:1" << QString();
    QTest::newRow("IPv6 in brackets") << "rfc2217://[::1]:65535" << QString();
    QTest::newRow("no port") << "rfc2217://host" << remote_texts::noPort();
    QTest::newRow("empty port") << "rfc2217://host:" << remote_texts::noPort();
    QTest::newRow("port 0") << "rfc2217://host:0" << remote_texts::badPort("0");
    QTest::newRow("port too large") << "rfc2217://host:65536" << remote_texts::badPort("65536");
    QTest::newRow("port not a number") << "rfc2217://host:x1" << remote_texts::badPort("x1");
    QTest::newRow("a path after the port")
        << "rfc2217://host:2217/dev/ttyS0" << remote_texts::trailingText("/dev/ttyS0");
    QTest::newRow("a path and no port") << "rfc2217://host/dev/ttyS0" << remote_texts::noPort();
    QTest::newRow("no host") << "rfc2217://:2217" << remote_texts::noHost();
    QTest::newRow("space in the host")
        << "rfc2217://my host:1" << remote_texts::badHostCharacters("my host");
    QTest::newRow("a user name") << "rfc2217://me@h:1" << remote_texts::badHostCharacters("me@h");
    QTest::newRow("IPv6 without brackets")
        << "rfc2217://::1:2217" << remote_texts::ipv6NeedsBrackets();
    QTest::newRow("not IPv6 in brackets") << "rfc2217://[::g]:1" << remote_texts::badIpv6("::g");
    QTest::newRow("a local port") << "/dev/ttyUSB0" << remote_texts::notRemoteScheme();
}

void TestRfc2217Device::remoteNames() {
    QFETCH(QString, url);
    QFETCH(QString, problem);
    QCOMPARE(Rfc2217Device::isRemoteName(url), problem != remote_texts::notRemoteScheme());
    try {
        const Rfc2217Device::RemoteAddress address = Rfc2217Device::parseRemoteName(url);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // The host and port as written, brackets off.
        const QString rest = url.mid(10);
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        QCOMPARE(address.host, rest.left(colon).remove(QRegularExpression(QStringLiteral("[][]"))));
        QCOMPARE(QString::number(address.port), rest.mid(colon + 1));
    } catch (const SerialError& e) {
        QVERIFY2(!problem.isEmpty(), qPrintable(e.description()));
        QCOMPARE(e.code(), Code::NoSuchPort);
        QCOMPARE(e.description(), SerialError::badRemoteName(url, problem).description());
    }
}

void TestRfc2217Device::openFailures_data() {
    QTest::addColumn<QString>("kind");  // a scripted mode, "refused" or "unknown host"
    QTest::addColumn<Code>("code");
    QTest::addColumn<QString>("text");  // found in the description
    QTest::newRow("connection refused") << "refused" << Code::NoSuchPort << osReason(ECONNREFUSED);
    QTest::newRow("unknown host") << "unknown host" << Code::NoSuchPort << "no-such-host.invalid";
    QTest::newRow("server accepts and never answers")
        << "silent" << Code::OpenFailed << "応答しません";
    QTest::newRow("server refuses port control") << "refuse" << Code::OpenFailed << "断りました";
    QTest::newRow("server says it is busy and closes")
        << "busy" << Code::OpenFailed << "「Port already in use」";
}

void TestRfc2217Device::openFailures() {
    QFETCH(QString, kind);
    QFETCH(Code, code);
    QFETCH(QString, text);
    QString url;
    int bound = -1;  // socket held so that nobody else takes its port
    std::unique_ptr<RemoteServer> scripted;
    if (kind == QLatin1String("refused")) {
        bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QCOMPARE(::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length);
        url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(address.sin_port));
    } else if (kind == QLatin1String("unknown host")) {
        url = QStringLiteral("rfc2217://no-such-host.invalid:2217");
    } else {
        scripted = std::make_unique<RemoteServer>();
        QVERIFY(scripted->start("scripted:" + kind));
        url = scripted->url();
    }

    Rfc2217Device device;
    device.setBounds(shortBounds(800));
    QElapsedTimer clock;
    clock.start();
    try {
        device.open(url);
        QFAIL("opened");
    } catch (const SerialError& e) {
        QCOMPARE(e.code(), code);
        QVERIFY2(e.description().contains(url) && e.description().contains(text),
                 qPrintable(e.description()));
    }
    if (bound >= 0) ::close(bound);
    QVERIFY(clock.elapsed() < 4000);
    QVERIFY(!device.isOpen());
    QCOMPARE(device.handle(), -1);
}

void TestRfc2217Device::session_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("linesCounted");  // the server reports line state
    // ser2net reports the line state (no errors) as soon as the mask is set; pyserial's
    // PortManager only when asked. Both report the modem lines (all off on a pty) at once.
    QTest::newRow("ser2net") << "ser2net" << true;
    QTest::newRow("pyserial") << "pyserial" << false;
}

void TestRfc2217Device::session() {
    QFETCH(QString, kind);
    QFETCH(bool, linesCounted);
    SERVER(remote, kind);
    Rfc2217Device device;
    device.open(remote->url());
    QVERIFY(device.isOpen());
    QVERIFY(device.isRemote());
    QVERIFY(device.handle() >= 0);
    QCOMPARE(device.url(), remote->url());

    const LineSettings wanted = settingsOf(19200, Parity::None, DataBits::Eight, FlowControl::None);
    device.applySettings(wanted);
    QCOMPARE(device.readBackSettings(), std::optional<LineSettings>(wanted));
    QVERIFY(device.hasModemLines());
    QCOMPARE(device.modemLines().dcd || device.modemLines().cts, false);
    QCOMPARE(device.kernelLineCounts().has_value(), linesCounted);

    // Every byte value through the plug and back, IAC included.
    QSignalSpy arrived(&device, &SerialDevice::readyRead);
    device.setReadNotification(true);
    QByteArray sent;
    for (int i = 0; i < 1024; ++i) sent.append(char(i));
    QCOMPARE(device.write(sent.constData(), sent.size()), sent.size());
    QByteArray echoed;
    QTRY_VERIFY_WITH_TIMEOUT((echoed += readAll(device)).size() >= sent.size(), 5000);
    QCOMPARE(echoed.toHex(), sent.toHex());
    QVERIFY(arrived.count() > 0);
    QTRY_COMPARE(device.driverOutputCount(), 0);
    device.close();
    QVERIFY(!device.isOpen());
    QCOMPARE(device.handle(), -1);
}

void TestRfc2217Device::settingAnswers_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<LineSettings>("wanted");
    QTest::addColumn<QString>("what");     // empty: taken
    QTest::addColumn<QString>("instead");  // what the refusal says the port has
    QTest::addColumn<LineSettings>("readBack");
    const auto s = settingsOf;
    using P = Parity;
    using D = DataBits;
    using F = FlowControl;
    // A pty refuses 7 data bits and parity (EINVAL); pyserial reads back and answers the old
    // value, ser2net repeats what it was asked.
    QTest::newRow("pyserial: 7 data bits refused")
        << "pyserial" << s(9600, P::None, D::Seven, F::None) << setting_texts::dataBits(7)
        << setting_texts::dataBits(8) << s(9600, P::None, D::Eight, F::None);
    QTest::newRow("pyserial: even parity refused")
        << "pyserial" << s(9600, P::Even, D::Eight, F::None) << setting_texts::parity(P::Even)
        << setting_texts::parity(P::None) << s(9600, P::None, D::Eight, F::None);
    QTest::newRow("ser2net: 7 data bits answered as taken")
        << "ser2net" << s(9600, P::None, D::Seven, F::None) << QString() << QString()
        << s(9600, P::None, D::Seven, F::None);
    QTest::newRow("a port that stays at 9600")
        << "scripted:fixed" << s(19200, P::None, D::Eight, F::None)
        << setting_texts::baudRate(19200) << setting_texts::baudRate(9600)
        << s(9600, P::None, D::Eight, F::None);
    QTest::newRow("a port without flow control")
        << "scripted:fixed" << s(9600, P::None, D::Eight, F::RtsCts)
        << setting_texts::flowControl(true, false) << setting_texts::flowControl(false, false)
        << s(9600, P::None, D::Eight, F::None);
    QTest::newRow("a port that has it all")
        << "scripted:fixed" << s(9600, P::None, D::Eight, F::None) << QString() << QString()
        << s(9600, P::None, D::Eight, F::None);
}

void TestRfc2217Device::settingAnswers() {
    QFETCH(QString, kind);
    QFETCH(LineSettings, wanted);
    QFETCH(QString, what);
    QFETCH(QString, instead);
    QFETCH(LineSettings, readBack);
    SERVER(remote, kind);
    Rfc2217Device device;
    device.open(remote->url());
    try {
        device.applySettings(wanted);
        QVERIFY2(what.isEmpty(), qPrintable(what));
    } catch (const SerialError& e) {
        QCOMPARE(e.description(), SerialError::settingRefused(remote->url(), what,
                                                              setting_texts::serverAnswers(instead))
                                      .description());
    }
    QCOMPARE(device.readBackSettings(), std::optional<LineSettings>(readBack));
}

// line, on, problem (empty: taken; kSilent: taken after a wait for an answer that never came)
using Switches = QList<std::tuple<QString, bool, QString>>;
const QString kSilent = QStringLiteral("silent");
Q_DECLARE_METATYPE(Switches)

void TestRfc2217Device::lineSwitches_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<Switches>("switches");
    QTest::newRow("pyserial takes them all")
        << "pyserial"
        << Switches{{"RTS", true, ""}, {"DTR", true, ""}, {"RTS", false, ""}, {"DTR", false, ""}};
    QTest::newRow("a port whose lines stay off")
        << "scripted:fixed"
        << Switches{{"RTS", true, remote_texts::serverAnswered("RTS", false)},
                    {"RTS", false, ""},
                    {"DTR", true, remote_texts::serverAnswered("DTR", false)}};
    // ser2net does not answer a line change its device refuses (a pty has no lines): the port
    // has no lines, and takes the changes silently; only the first one waits.
    QTest::newRow("ser2net on a pty")
        << "ser2net" << Switches{{"RTS", true, kSilent}, {"DTR", true, ""}, {"RTS", false, ""}};
}

void TestRfc2217Device::lineSwitches() {
    QFETCH(QString, kind);
    QFETCH(Switches, switches);
    SERVER(remote, kind);
    Rfc2217Device device;
    device.setBounds(shortBounds(400));
    device.open(remote->url());
    for (const auto& [line, on, problem] : switches) {
        QElapsedTimer clock;
        clock.start();
        try {
            line == QLatin1String("RTS") ? device.setRts(on) : device.setDtr(on);
            QVERIFY2(problem.isEmpty() || problem == kSilent, qPrintable(problem));
        } catch (const SerialError& e) {
            QCOMPARE(e.code(), Code::LineRefused);
            QCOMPARE(
                e.description(),
                SerialError::remoteLineRefused(remote->url(), line, on, problem).description());
        }
        // Only a wait for silence takes the whole bound.
        QCOMPARE(clock.elapsed() >= 350, problem == kSilent);
    }
    // The session goes on.
    const char byte = 'x';
    device.setReadNotification(true);
    QCOMPARE(device.write(&byte, 1), 1);
    QByteArray echoed;
    if (kind != QLatin1String("scripted:fixed"))
        QTRY_COMPARE(echoed += readAll(device), QByteArray("x"));
}

using Orders = QStringList;
using Events = QList<LineEvent>;
Q_DECLARE_METATYPE(Events)

void TestRfc2217Device::notifications_data() {
    QTest::addColumn<Orders>("orders");  // to the scripted server after the open
    QTest::addColumn<Events>("events");
    QTest::addColumn<int>("lines");    // CTS 1, DSR 2, DCD 4, RI 8 afterwards; -1: not known
    QTest::addColumn<int>("counted");  // line errors counted; -1: not known
    using E = LineEvent;
    QTest::newRow("nothing reported: lines and counts unknown") << Orders{} << Events{} << -1 << -1;
    QTest::newRow("a first report is a state, not a change")
        << Orders{"modem 30"} << Events{} << 3 << -1;
    QTest::newRow("deltas in a first report are changes")
        << Orders{"modem 11"} << Events{E::CtsChanged} << 1 << -1;
    QTest::newRow("level changes after the first")
        << Orders{"modem 00", "modem a0"} << Events{E::DsrChanged, E::CarrierChanged} << 6 << -1;
    QTest::newRow("a ring is one event, at its end")
        << Orders{"modem 00", "modem 40", "modem 00"} << Events{E::Ring} << 0 << -1;
    QTest::newRow("a ring's trailing edge") << Orders{"modem 04"} << Events{E::Ring} << 0 << -1;
    QTest::newRow("an edge bit on both edges (pyserial) is still one ring")
        << Orders{"modem 00", "modem 44", "modem 04"} << Events{E::Ring} << 0 << -1;
    // Two notifications in one read: each kind is one event, every error is counted.
    QTest::newRow("line errors, each counted")
        << Orders{"raw fffa2c6a1efff0 fffa2c6a08fff0"}
        << Events{E::Break, E::FramingError, E::Overrun, E::ParityError} << -1 << 5;
    QTest::newRow("modem changes in one read are one change per line")
        << Orders{"modem 00", "raw fffa2c6b11fff0 fffa2c6b01fff0 fffa2c6b31fff0"}
        << Events{E::CtsChanged, E::DsrChanged} << 3 << -1;
    QTest::newRow("a line state without errors makes counts known")
        << Orders{"line 61"} << Events{} << -1 << 0;
}

void TestRfc2217Device::notifications() {
    QFETCH(Orders, orders);
    QFETCH(Events, events);
    QFETCH(int, lines);
    QFETCH(int, counted);
    SERVER(remote, QStringLiteral("scripted:answer"));
    Rfc2217Device device;
    device.open(remote->url());
    QSignalSpy seen(&device, &SerialDevice::lineEvent);
    device.setReadNotification(true);
    for (const QString& order : orders) QCOMPARE(remote->order(order), QStringLiteral("OK"));
    // A round trip behind the notifications: when it is answered they have been read.
    device.setRts(true);
    Events got;
    for (const QList<QVariant>& signal : seen) got << signal.at(0).value<LineEvent>();
    QCOMPARE(got, events);
    QCOMPARE(device.hasModemLines(), lines >= 0);
    const ModemLines now = device.modemLines();
    QCOMPARE(int(now.cts) | int(now.dsr) << 1 | int(now.dcd) << 2 | int(now.ri) << 3,
             std::max(lines, 0));
    const std::optional<KernelLineCounts> counts = device.kernelLineCounts();
    QCOMPARE(counts.has_value(), counted >= 0);
    if (counts)
        QCOMPARE(int(counts->brk + counts->frame + counts->parity + counts->overrun), counted);
}

void TestRfc2217Device::hangUp_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("how");  // "kill" the server, or a scripted order
    QTest::newRow("ser2net killed") << "ser2net"
                                    << "kill";
    QTest::newRow("pyserial killed") << "pyserial"
                                     << "kill";
    QTest::newRow("scripted server closes") << "scripted:answer"
                                            << "close";
    QTest::newRow("scripted server resets") << "scripted:answer"
                                            << "reset";
}

void TestRfc2217Device::hangUp() {
    QFETCH(QString, kind);
    QFETCH(QString, how);
    skipUnless(kind);
    RemoteServer remote;  // its own: it is killed
    QVERIFY(remote.start(kind));
    Rfc2217Device device;
    device.open(remote.url());
    QSignalSpy arrived(&device, &SerialDevice::readyRead);
    QSignalSpy gone(&device, &SerialDevice::hungUp);
    device.setReadNotification(true);
    QCOMPARE(device.write("tail\xff", 5), 5);
    QTRY_VERIFY(arrived.count() > 0);  // echoed and held, not read

    if (how == QLatin1String("kill"))
        remote.kill();
    else
        QCOMPARE(remote.order(how), QStringLiteral("OK"));
    QTRY_COMPARE(gone.count(), 1);
    QByteArray tail;
    QTRY_COMPARE(tail += readAll(device), QByteArray("tail\xff"));
    // Gone quietly: nothing reads, writes or raises, and no second word.
    char byte = 0;
    QCOMPARE(device.read(&byte, 1), 0);
    QCOMPARE(device.write("x", 1), 0);
    device.applySettings(LineSettings{});
    device.setRts(true);
    device.discardOutput();
    QCOMPARE(device.driverOutputCount(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(gone.count(), 1);
    QVERIFY(device.isOpen());
    device.close();
    QVERIFY(!device.isOpen());
}

void TestRfc2217Device::boundedOutput() {
    SERVER(remote, QStringLiteral("scripted:answer"));
    Rfc2217Device device;
    device.open(remote->url());
    QCOMPARE(remote->order("echo off"), QStringLiteral("OK"));
    QCOMPARE(remote->order("pause"), QStringLiteral("OK"));

    // With the server not reading, the socket fills and then our own buffer, which is bounded.
    const QByteArray block(4096, char(0xFF));
    qint64 accepted = 0;
    qint64 last = 0;
    for (int i = 0; i < 20000 && (last = device.write(block.constData(), block.size())) > 0; ++i)
        accepted += last;
    QCOMPARE(last, 0);
    QVERIFY(device.driverOutputCount() > 0);

    QSignalSpy writable(&device, &SerialDevice::readyWrite);
    device.setWriteNotification(true);
    QCoreApplication::processEvents();
    QCOMPARE(writable.count(), 0);
    // Dropped: what the socket has not taken. A doubled IAC the socket took half of is
    // completed, so the purge behind it still reads as a command.
    const qint64 before = device.driverOutputCount();
    device.discardOutput();
    QVERIFY(device.driverOutputCount() < before);
    QCOMPARE(remote->order("resume"), QStringLiteral("OK"));
    QTRY_VERIFY(writable.count() > 0);
    QStringList gotLines;
    QTRY_VERIFY((gotLines += remote->got()).contains(QStringLiteral("GOT 12 02")));
    const qint64 received = remote->order("count").mid(6).toLongLong();
    QVERIFY(received > 0 && received < accepted);
    QTRY_COMPARE(device.driverOutputCount(), 0);
}

void TestRfc2217Device::readingPaused() {
    SERVER(remote, QStringLiteral("scripted:answer"));
    Rfc2217Device device;
    device.open(remote->url());
    QSignalSpy arrived(&device, &SerialDevice::readyRead);
    device.setReadNotification(false);
    QCOMPARE(remote->order("data 41ff42"), QStringLiteral("OK"));
    // A wait reads through to its answer; the data before it is kept, not announced.
    device.setDtr(true);
    QCoreApplication::processEvents();
    QCOMPARE(arrived.count(), 0);
    device.setReadNotification(true);
    QTRY_COMPARE(arrived.count(), 1);
    QCOMPARE(readAll(device), QByteArray("A\xff"
                                         "B"));
}

void TestRfc2217Device::waitEndedFromInside_data() {
    QTest::addColumn<QString>("during");  // "open" (a silent server) or "settings"
    QTest::addColumn<QString>("action");
    for (const char* during : {"open", "settings"})
        for (const char* action : {"close", "destroy", "quit"})
            QTest::addRow("%s during %s", action, during) << QString(during) << QString(action);
}

void TestRfc2217Device::waitEndedFromInside() {
    QFETCH(QString, during);
    QFETCH(QString, action);
    const bool opening = during == QLatin1String("open");
    RemoteServer remote;
    QVERIFY(remote.start(opening ? "scripted:silent" : "scripted:answer"));
    QCOMPARE(remote.order("mute 1"), QStringLiteral("OK"));  // the baud rate goes unanswered
    QPointer<Rfc2217Device> device = new Rfc2217Device;
    device->setBounds(shortBounds(3000));
    if (!opening) device->open(remote.url());

    QTimer::singleShot(100, [&] {
        if (action == QLatin1String("close")) device->close();
        if (action == QLatin1String("destroy")) delete device.data();
        // What quit() does while the program runs its event loop.
        if (action == QLatin1String("quit")) QCoreApplication::exit(0);
    });
    QElapsedTimer clock;
    clock.start();
    QString error;
    try {
        opening ? device->open(remote.url()) : device->applySettings(LineSettings{});
    } catch (const SerialError& e) {
        error = e.description();
    }
    QVERIFY2(clock.elapsed() < 2000, "the wait went on");
    QString expected;  // a close or destroy during settings needs no word
    if (action == QLatin1String("quit")) {
        // Ended from outside: no answer, said at once.
        expected = opening
                       ? SerialError::remoteNoAnswer(remote.url(), "COM ポート制御の申し込み", 3000)
                             .description()
                       : SerialError::remoteSettingUnanswered(remote.url(),
                                                              setting_texts::baudRate(9600), 3000)
                             .description();
        // An application quit leaves every later event loop ending at once; one exec() resets it.
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
    } else if (opening) {
        expected = SerialError::remoteOpenCancelled(remote.url()).description();
    }
    QCOMPARE(error, expected);
    QCOMPARE(device.isNull(), action == QLatin1String("destroy"));
    if (device) QCOMPARE(device->isOpen(), !opening && action == QLatin1String("quit"));
    delete device.data();
}

PARVOLO_TEST_IN_WINDOW_LANGUAGE

QTEST_GUILESS_MAIN(TestRfc2217Device)
#include "test_rfc2217_device.moc"
