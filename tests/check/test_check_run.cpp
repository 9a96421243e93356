// The checker's run in this process, on the real PosixSerialDevice over the loopback plug's
// pty, for what a pty cannot do: this program answers the modem and counter ioctls of that
// pty itself, wired like a DE-9 loopback plug (RTS to CTS, DTR to DSR and DCD) or with a
// fault, and with line-error counters a test can bump.
#include <QSignalSpy>
#include <QtTest>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>

#include "check_options.h"
#include "check_report.h"
#include "check_run.h"
#include "support/loopback_plug.h"
#include "support/pty_pair.h"

using namespace parvolo;

namespace {

enum class Wiring { Plug, CtsOpen, DcdStuckOn };

struct FakeModem {
    std::atomic<dev_t> rdev{0};
    std::atomic<Wiring> wiring{Wiring::Plug};
    std::atomic<int> outputs{0};
    std::atomic<int> framingErrors{0};

    void reset(const QString& path, Wiring how) {
        framingErrors = outputs = 0;
        wiring = how;
        rdev = deviceNumber(path);
    }
    int levels() const {
        const bool rts = outputs & TIOCM_RTS;
        const bool dtr = outputs & TIOCM_DTR;
        int lines = outputs;
        if (rts && wiring != Wiring::CtsOpen) lines |= TIOCM_CTS;
        if (dtr) lines |= TIOCM_DSR;
        if (dtr || wiring == Wiring::DcdStuckOn) lines |= TIOCM_CD;
        return lines;
    }
    int answer(unsigned long request, void* arg) {
        switch (request) {
            case TIOCMGET:
                *static_cast<int*>(arg) = levels();
                return 0;
            case TIOCMBIS:
                outputs |= *static_cast<int*>(arg);
                return 0;
            case TIOCMBIC:
                outputs &= ~*static_cast<int*>(arg);
                return 0;
            case TIOCGICOUNT:
                *static_cast<serial_icounter_struct*>(arg) = {};
                static_cast<serial_icounter_struct*>(arg)->frame = framingErrors;
                return 0;
            default:  // TIOCMIWAIT too: the device then looks at its lines on a timer
                return errno = ENOTTY, -1;
        }
    }
};

FakeModem fakeModem;

CheckOptions optionsFor(const QStringList& arguments) {
    const CommandLine command = parseCommandLine(QStringList{"parvolo-check"} + arguments);
    return command.options;
}

}  // namespace

FAKE_MODEM_IOCTL(fakeModem)

Q_DECLARE_METATYPE(Wiring)

class CheckRunTest : public QObject {
    Q_OBJECT
private slots:
    void handshakeLines_data();
    void handshakeLines();
    void lineErrorFailsTheRunAndKernelCountsAreReported();
    void cleanup() { fakeModem.rdev = 0; }
};

void CheckRunTest::handshakeLines_data() {
    QTest::addColumn<Wiring>("wiring");
    QTest::addColumn<QString>("pins");  // the report's word for CTS, DSR and DCD
    QTest::addColumn<QString>("result");
    auto row = [](const char* name, Wiring wiring, const char* pins, const char* result) {
        QTest::newRow(name) << wiring << QString::fromLatin1(pins) << QString::fromLatin1(result);
    };
    row("DE-9 loopback plug", Wiring::Plug, "pass pass pass", "pass");
    row("CTS not wired", Wiring::CtsOpen, "fail pass pass", "mismatch");
    row("DCD stuck on", Wiring::DcdStuckOn, "pass pass fail", "mismatch");
}

void CheckRunTest::handshakeLines() {
    QFETCH(Wiring, wiring);
    LoopbackPlug plug;
    START_PLUG(plug);
    fakeModem.reset(plug.device(), wiring);
    const CheckOptions options = optionsFor({"COM1", "--lines", "--blocks", "10"});
    CheckRun run(options);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.isFinished(), 20000);
    const CheckOutcome& outcome = run.outcome();
    // The data test ran after the lines, with both outputs on again.
    QCOMPARE(outcome.counters.blocks, 10);
    QCOMPARE(outcome.counters.mismatches, 0);
    const CheckResult result = classify(run.facts());
    QTEST(resultWord(result), "result");
    const QJsonObject pins =
        reportJson(options, outcome, result).value("lines").toObject().value("pins").toObject();
    QStringList words;
    for (const char* pin : {"CTS", "DSR", "DCD"})
        words << pins.value(QLatin1String(pin)).toObject().value("result").toString();
    QTEST(words.join(QLatin1Char(' ')), "pins");
    QCOMPARE(outcome.lines.verdict(),
             words.contains(QStringLiteral("fail")) ? LinesVerdict::Fail : LinesVerdict::Pass);
    // The port closed with the outputs down.
    QCOMPARE(fakeModem.outputs.load(), 0);
}

// A framing error during a block: counted as a line error (the run fails although every byte
// matched), and the driver's own counters go into the report as what was counted during the
// run. The echo is held back so that the error is found while the block waits.
void CheckRunTest::lineErrorFailsTheRunAndKernelCountsAreReported() {
    LoopbackPlug plug;
    START_PLUG(plug, {QStringLiteral("--delay-ms"), QStringLiteral("300")});
    fakeModem.reset(plug.device(), Wiring::Plug);
    ++fakeModem.framingErrors;  // counted before the run: not part of it
    const CheckOptions options = optionsFor({"COM1", "--blocks", "1"});
    CheckRun run(options);
    run.start();
    ++fakeModem.framingErrors;
    QTRY_VERIFY_WITH_TIMEOUT(run.isFinished(), 20000);
    const CheckOutcome& outcome = run.outcome();
    QCOMPARE(outcome.counters.blocks, 1);
    QCOMPARE(outcome.counters.matchedBytes, 16);
    QCOMPARE(outcome.counters.lineErrors, 1);
    QVERIFY(outcome.kernelLineErrors);
    QVERIFY(*outcome.kernelLineErrors == (KernelLineCounts{1, 0, 0, 0, 0}));
    QCOMPARE(classify(run.facts()), CheckResult::Mismatch);
    QVERIFY(run.outcome().roundTrip.min() >= 300 * 1000);
}

QTEST_GUILESS_MAIN(CheckRunTest)
#include "test_check_run.moc"
