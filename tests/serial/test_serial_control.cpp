#include <QSignalSpy>
#include <QTest>

#include "engine/code_page.h"
#include "serial/mscomm.h"
#include "serial/os_comm_calls.h"
#include "serial/port_names.h"
#include "serial/serial_error.h"
#include "support/fake_serial_device.h"

using namespace parvolo;
using Code = SerialError::Code;
Q_DECLARE_METATYPE(SerialError::Code)

namespace {
// A control on a fake device that records the CommEvent of every OnComm.
struct Control {
    FakeSerialDevice::State state;
    FakeSerialDevice* fake;
    std::unique_ptr<MSComm> comm;
    QList<int> events;

    Control() {
        auto dev = std::make_unique<FakeSerialDevice>(&state);
        fake = dev.get();
        comm = std::make_unique<MSComm>(std::move(dev));
        comm->setRThreshold(1);
        comm->setSThreshold(1);
        comm->setInputMode(1);
        comm->setInBufferSize(4096);
        comm->setOutBufferSize(4096);
        QObject::connect(comm.get(), &MSComm::OnComm, [this] { events << comm->CommEvent(); });
    }
};

// The code of the error an operation raises; none when it raises nothing.
std::optional<Code> errorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const SerialError& e) {
        return e.code();
    }
    return std::nullopt;
}
}  // namespace

class SerialControlTest : public QObject {
    Q_OBJECT
private slots:
    void closedPortGuarantees();
    void propertyValidation_data();
    void propertyValidation();
    void settingsParse();
    void eventFromEachCause_data();
    void eventFromEachCause();
    void receiveEventPerArrivalAndInput();
    void sendEventAfterDrain();
    void overflowWithoutHandshaking();
    void throttlingWithHandshakingLosesNothing();
    void transmitBufferFull();
    void largeTextIntoEmptyQueue();
    void discardOutputOnlyFlushesTheDriverWhenItHoldsBytes();
    void purgeOnHandle();
    void hangUpIsOneEventAndKeepsReceivedBytes();
    void hangUpHandsOverWhatTheLineHeld();
    void sendAndReceiveWaitOnceOthersKeepTheirPlace();
    void failedOpenLeavesClosed();
    void portNames();
    void codePageEncode_data();
    void codePageEncode();
    void codePageDecode();
};

void SerialControlTest::closedPortGuarantees() {
    Control c;
    c.comm->setInBufferCount(0);
    c.comm->setOutBufferCount(0);
    c.comm->setDTREnable(true);
    QVERIFY(c.comm->DTREnable());
    QCOMPARE(c.comm->CommID(), -1);
    QCOMPARE(c.comm->InBufferCount(), qint16(0));
    QVERIFY(!PurgeComm(c.comm->CommID(), PURGE_RXCLEAR));
    quint32 errors = 0;
    QVERIFY(!ClearCommError(c.comm->CommID(), &errors, nullptr));
    QVERIFY(!PurgeComm(123456, PURGE_RXCLEAR));
    QCOMPARE(errorOf([&] { c.comm->CTSHolding(); }), Code::NotOpen);
    QCOMPARE(errorOf([&] { c.comm->setOutput(QStringLiteral("x")); }), Code::NotOpen);
}

void SerialControlTest::propertyValidation_data() {
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("value");
    QTest::addColumn<std::optional<Code>>("error");
    QTest::newRow("port 0") << 0 << 0 << std::optional(Code::InvalidPort);
    QTest::newRow("port 16") << 0 << 16 << std::optional(Code::InvalidPort);
    QTest::newRow("port 15") << 0 << 15 << std::optional<Code>();
    QTest::newRow("handshaking 4") << 1 << 4 << std::optional(Code::InvalidValue);
    QTest::newRow("handshaking 3") << 1 << 3 << std::optional<Code>();
    QTest::newRow("input mode 2") << 2 << 2 << std::optional(Code::InvalidValue);
    QTest::newRow("threshold -1") << 3 << -1 << std::optional(Code::InvalidValue);
    QTest::newRow("buffer 0") << 4 << 0 << std::optional(Code::InvalidValue);
    QTest::newRow("in count 5") << 5 << 5 << std::optional(Code::InvalidValue);
}

void SerialControlTest::propertyValidation() {
    QFETCH(int, which);
    QFETCH(int, value);
    Control c;
    const std::function<void()> setters[] = {
        [&] { c.comm->setCommPort(qint16(value)); },
        [&] { c.comm->setHandshaking(value); },
        [&] { c.comm->setInputMode(value); },
        [&] { c.comm->setRThreshold(qint16(value)); },
        [&] { c.comm->setInBufferSize(qint16(value)); },
        [&] { c.comm->setInBufferCount(qint16(value)); },
    };
    QTEST(errorOf(setters[which]), "error");
}

void SerialControlTest::settingsParse() {
    const LineSettings s = parseSettings(QStringLiteral("115200,n,8,1"), FlowControl::RtsCts);
    QCOMPARE(s.baudRate, 115200);
    QCOMPARE(s.parity, Parity::None);
    QCOMPARE(s.flow, FlowControl::RtsCts);
    const LineSettings slow = parseSettings(QStringLiteral("300,S,5,2"), FlowControl::None);
    QCOMPARE(slow.parity, Parity::Space);
    QCOMPARE(slow.bitsPerCharacter(), 9);
    for (const char* bad : {"9600,,8,1", "9600,X,8,1", "0,N,8,1", "9600,N,9,1", "9600,N,8,3",
                            "9600,N,8", "abc,N,8,1"})
        QCOMPARE(errorOf([&] { parseSettings(QString::fromLatin1(bad), FlowControl::None); }),
                 Code::InvalidValue);
    Control c;
    c.comm->setSettings(QStringLiteral("38400,E,7,2"));
    c.comm->setPortOpen(true);
    QCOMPARE(c.state.settings.baudRate, 38400);
    QCOMPARE(c.state.settings.dataBits, DataBits::Seven);
    c.state.refuseSettings = true;
    QCOMPARE(errorOf([&] { c.comm->setSettings(QStringLiteral("9600,N,8,1")); }),
             Code::SettingRefused);
    QCOMPARE(c.comm->Settings(), QStringLiteral("38400,E,7,2"));
}

void SerialControlTest::eventFromEachCause_data() {
    QTest::addColumn<int>("code");
    for (int code : {3, 4, 5, 6, 7, 1001, 1004, 1006, 1008, 1009})
        QTest::newRow(qPrintable(QString::number(code))) << code;
}

void SerialControlTest::eventFromEachCause() {
    QFETCH(int, code);
    Control c;
    c.comm->setPortOpen(true);
    if (code >= 3 && code <= 5)
        c.fake->setLine(code, true);
    else
        c.fake->raiseLineEvent(code);
    QTRY_COMPARE(c.events, QList<int>{code});
    if (code == 3) QVERIFY(c.comm->CTSHolding());
    if (code == 4) QVERIFY(c.comm->DSRHolding());
    if (code == 5) QVERIFY(c.comm->CDHolding());
}

void SerialControlTest::receiveEventPerArrivalAndInput() {
    Control c;
    c.comm->setPortOpen(true);
    c.fake->receive("abc");
    QTRY_COMPARE(c.events, QList<int>{2});
    c.fake->receive("de");
    QTRY_COMPARE(c.events, (QList<int>{2, 2}));
    QCOMPARE(c.comm->InBufferCount(), qint16(5));
    QCOMPARE(c.comm->Input(), QByteArray("abcde"));
    QCOMPARE(c.comm->InBufferCount(), qint16(0));
    QCOMPARE(c.comm->Input(), QByteArray());
}

void SerialControlTest::sendEventAfterDrain() {
    Control c;
    c.comm->setPortOpen(true);
    c.state.holdTransmit = true;
    c.comm->setOutput(QStringLiteral("hello"));
    QCOMPARE(c.comm->OutBufferCount(), qint16(5));
    QTest::qWait(30);
    QVERIFY(c.events.isEmpty());  // still in the driver
    c.fake->releaseTransmit();
    QTRY_COMPARE(c.events, QList<int>{1});
    QCOMPARE(c.comm->OutBufferCount(), qint16(0));
    QCOMPARE(c.state.written, QByteArray("hello"));
}

void SerialControlTest::overflowWithoutHandshaking() {
    Control c;
    c.comm->setPortOpen(true);
    // A burst larger than the buffer: the rest waits in the kernel instead of being dropped.
    QByteArray burst;
    for (int i = 0; i < 5000; ++i) burst.append(char(i % 253));
    c.fake->receive(burst);
    QTRY_COMPARE(c.comm->InBufferCount(), qint16(4096));
    QCOMPARE(c.state.kernelInput.size(), 5000 - 4096);
    QByteArray got = c.comm->Input();
    QTRY_COMPARE(c.comm->InBufferCount(), qint16(5000 - 4096));
    got += c.comm->Input();
    QCOMPARE(got, burst);
    QVERIFY(!c.events.contains(1008));
    // Bytes the driver itself had to drop are reported as the receive overflow.
    c.fake->raiseLineEvent(1008);
    QTRY_VERIFY(c.events.contains(1008));
    quint32 errors = 0;
    QVERIFY(ClearCommError(c.comm->CommID(), &errors, nullptr));
    QVERIFY(errors & 1);
}

void SerialControlTest::throttlingWithHandshakingLosesNothing() {
    Control c;
    c.comm->setHandshaking(2);
    c.comm->setPortOpen(true);
    QByteArray all;
    for (int i = 0; i < 10000; ++i) all.append(char(i % 251));
    c.fake->receive(all);
    QTRY_COMPARE(c.comm->InBufferCount(), qint16(4096));
    QVERIFY(!c.state.readNotification);  // the rest waits in the kernel
    QByteArray got;
    while (got.size() < all.size()) {
        got += c.comm->Input();
        QTest::qWait(1);
    }
    QCOMPARE(got, all);
    QVERIFY(!c.events.contains(1008));
}

void SerialControlTest::transmitBufferFull() {
    Control c;
    c.comm->setPortOpen(true);
    c.state.holdTransmit = true;
    c.state.driverCapacity = 10;
    c.comm->setOutput(QString(3000, QLatin1Char('a')));
    c.comm->setOutput(QString(2000, QLatin1Char('b')));  // does not fit beside the queued data
    QTRY_VERIFY(c.events.contains(1010));
    QCOMPARE(c.comm->OutBufferCount(), qint16(3000));
    c.state.driverCapacity = 1 << 20;
    c.fake->releaseTransmit();
    QTRY_COMPARE(c.comm->OutBufferCount(), qint16(0));
    QCOMPARE(c.state.written, QByteArray(3000, 'a'));
}

void SerialControlTest::largeTextIntoEmptyQueue() {
    Control c;
    c.comm->setPortOpen(true);
    c.state.holdTransmit = true;
    c.state.driverCapacity = 0;
    c.comm->setOutput(QString(6000, QLatin1Char('z')));
    QCOMPARE(c.comm->OutBufferCount(), qint16(6000));
    QTest::qWait(10);
    QVERIFY(!c.events.contains(1010));
}

void SerialControlTest::discardOutputOnlyFlushesTheDriverWhenItHoldsBytes() {
    Control c;
    c.comm->setPortOpen(true);
    c.comm->setOutput(QStringLiteral("gone"));
    c.comm->setOutBufferCount(0);
    QCOMPARE(c.state.discardedOutput, 0);  // nothing in the driver: nothing recalled
    c.state.holdTransmit = true;
    c.comm->setOutput(QStringLiteral("held"));
    c.comm->setOutBufferCount(0);
    QCOMPARE(c.state.discardedOutput, 1);
    QCOMPARE(c.comm->OutBufferCount(), qint16(0));
}

void SerialControlTest::purgeOnHandle() {
    Control c;
    c.comm->setPortOpen(true);
    c.fake->receive("abc");
    QTRY_COMPARE(c.comm->InBufferCount(), qint16(3));
    c.state.kernelInput = "more";
    QVERIFY(PurgeComm(c.comm->CommID(), PURGE_RXCLEAR));
    QCOMPARE(c.comm->InBufferCount(), qint16(0));
    QVERIFY(c.state.kernelInput.isEmpty());
    COMMTIMEOUTS timeouts;
    QVERIFY(SetCommTimeouts(c.comm->CommID(), &timeouts));
    const int handle = c.comm->CommID();
    c.comm->setPortOpen(false);
    QVERIFY(!PurgeComm(handle, PURGE_RXCLEAR));
}

void SerialControlTest::hangUpIsOneEventAndKeepsReceivedBytes() {
    Control c;
    c.comm->setPortOpen(true);
    c.fake->receive("last words");
    QTRY_COMPARE(c.comm->InBufferCount(), qint16(10));
    c.fake->hangUp();
    c.fake->hangUp();
    QTRY_VERIFY(c.events.contains(1011));
    QTest::qWait(20);
    QCOMPARE(c.events.count(1011), 1);
    QVERIFY(c.comm->PortOpen());
    QVERIFY(!c.comm->CTSHolding());
    c.comm->setRTSEnable(false);  // touches nothing, raises nothing
    c.comm->setOutput(QStringLiteral("x"));
    QCOMPARE(c.comm->Input(), QByteArray("last words"));
    c.comm->setPortOpen(false);
    QCOMPARE(c.state.closes, 1);
}

void SerialControlTest::hangUpHandsOverWhatTheLineHeld() {
    Control c;
    c.comm->setPortOpen(true);
    QByteArray tail;
    for (int i = 0; i < 10000; ++i) tail.append(char('A' + i % 26));
    // Still in the kernel, more than the control's buffer holds, when the line goes away.
    c.state.kernelInput = tail;
    c.fake->hangUp();
    QTRY_VERIFY(c.events.contains(1011));
    // The bytes are announced before the hang-up, so a reader sees them first.
    QCOMPARE(c.events, (QList<int>{2, 1011}));
    QCOMPARE(c.comm->Input(), tail);
}

void SerialControlTest::sendAndReceiveWaitOnceOthersKeepTheirPlace() {
    Control c;
    c.comm->setPortOpen(true);
    c.state.echo = true;
    // Nothing is delivered in between: every Output and arrival finds the last ones waiting.
    for (int i = 0; i < 1000; ++i) {
        c.comm->setOutput(QStringLiteral("x"));
        c.fake->raiseLineEvent(1004);
        QCoreApplication::sendPostedEvents();
    }
    QCOMPARE(c.comm->pendingEventCount(), 1000 + 2);
    QTRY_COMPARE(c.events.size(), 1000 + 2);
    QCOMPARE(c.events.count(1), 1);
    QCOMPARE(c.events.count(2), 1);
    QCOMPARE(c.events.count(1004), 1000);  // line errors are counted one by one
    QCOMPARE(c.comm->Input(), QByteArray(1000, 'x'));
    QCOMPARE(c.comm->pendingEventCount(), 0);
}

void SerialControlTest::failedOpenLeavesClosed() {
    Control c;
    c.state.openError = Code::Busy;
    QCOMPARE(errorOf([&] { c.comm->setPortOpen(true); }), Code::Busy);
    QVERIFY(!c.comm->PortOpen());
    c.state.openError.reset();
    c.state.refuseSettings = true;
    QCOMPARE(errorOf([&] { c.comm->setPortOpen(true); }), Code::SettingRefused);
    QVERIFY(!c.comm->PortOpen());
    QVERIFY(!c.state.open);
    c.state.refuseSettings = false;
    c.comm->setPortOpen(true);
    QCOMPARE(errorOf([&] { c.comm->setPortOpen(true); }), Code::AlreadyOpen);
}

void SerialControlTest::portNames() {
    QTemporaryDir dir;
    qputenv("PARVOLO_PORT_DIR", dir.path().toUtf8());
    QCOMPARE(resolvePortPath(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(resolvePortPath(15), QStringLiteral("/dev/ttyS14"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("COM3"))));
    QCOMPARE(resolvePortPath(3), dir.filePath(QStringLiteral("COM3")));
    QVERIFY(
        QFile::link(QStringLiteral("/nonexistent/ttyUSB9"), dir.filePath(QStringLiteral("COM4"))));
    QCOMPARE(resolvePortPath(4), dir.filePath(QStringLiteral("COM4")));

    // The checker opens any device path through the same control; COMn comes back without one.
    Control c;
    c.comm->setCommPort(3);
    QCOMPARE(c.comm->portPath(), dir.filePath(QStringLiteral("COM3")));
    c.comm->setDevicePath(QStringLiteral("/dev/ttyUSB7"));
    c.comm->setPortOpen(true);
    QCOMPARE(c.state.path, QStringLiteral("/dev/ttyUSB7"));
    QCOMPARE(errorOf([&] { c.comm->setDevicePath(QString()); }), Code::AlreadyOpen);
    c.comm->setPortOpen(false);
    c.comm->setDevicePath(QString());
    QCOMPARE(c.comm->portPath(), dir.filePath(QStringLiteral("COM3")));
    qunsetenv("PARVOLO_PORT_DIR");
    QVERIFY(portMapDirectory().endsWith(QStringLiteral("/.config/parvolo/ports")));
}

void SerialControlTest::codePageEncode_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII") << QStringLiteral("AZ09\r\n~") << QByteArray("AZ09\r\n~");
    QTest::newRow("half-width katakana") << QStringLiteral("ｱﾟ｡") << QByteArray("\xB1\xDF\xA1");
    QTest::newRow("kanji is two bytes") << QStringLiteral("漢") << QByteArray("\x8A\xBF");
    QTest::newRow("mixed") << QStringLiteral("Aあｱ") << QByteArray("A\x82\xA0\xB1");
    QTest::newRow("no such character") << QStringLiteral("€x") << QByteArray("?x");
}

void SerialControlTest::codePageEncode() {
    QFETCH(QString, text);
    QTEST(code_page::encode(text), "bytes");
}

void SerialControlTest::codePageDecode() {
    QByteArray all;
    for (int b = 0; b < 256; ++b) all.append(char(b));
    const QString text = code_page::decodeBytes(all);
    QCOMPARE(text.size(), 256);
    for (int b = 0; b < 256; ++b) {
        QChar expected = b < 0x80                   ? QChar(b)
                         : (b >= 0xA1 && b <= 0xDF) ? QChar(char16_t(0xFF61 + b - 0xA1))
                                                    : QChar(QChar::ReplacementCharacter);
        QCOMPARE(text.at(b), expected);
    }
    QCOMPARE(text.at(0x80), QChar(QChar::ReplacementCharacter));
    QCOMPARE(text.at(0xA0), QChar(QChar::ReplacementCharacter));
    QCOMPARE(text.at(0xFF), QChar(QChar::ReplacementCharacter));
    // Round trip of everything single-byte.
    QByteArray singles;
    for (int b = 0; b < 256; ++b)
        if (b < 0x80 || (b >= 0xA1 && b <= 0xDF)) singles.append(char(b));
    QCOMPARE(code_page::encode(code_page::decodeBytes(singles)), singles);
}

QTEST_MAIN(SerialControlTest)
#include "test_serial_control.moc"
