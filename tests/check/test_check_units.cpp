// The checker's parts that need no serial port: the command line, the result and exit code of
// a run, the round-trip statistics, the handshake-line verdicts, the JSON report and the port
// list's look at devices (ptys and plain files here).
#include <QTemporaryDir>
#include <QtTest>

#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "check_options.h"
#include "check_report.h"
#include "check_result.h"
#include "line_check.h"
#include "port_list.h"
#include "progress_line.h"
#include "round_trip_stats.h"
#include "support/holder_process.h"
#include "support/json_subset.h"
#include "support/pty_pair.h"

using namespace parvolo;

namespace {

// The options in one line, so that a row states all of them.
QString describe(const CheckOptions& o) {
    QString text = QStringLiteral("%1#%2 %3 %4%5%6 %7 %8:%9 ")
                       .arg(o.port)
                       .arg(o.comPort)
                       .arg(o.line.baudRate)
                       .arg(o.line.dataBitCount())
                       .arg(parityLetter(o.line.parity))
                       .arg(o.line.stopBitCount())
                       .arg(flowWord(o.line.flow), sendWord(o.send))
                       .arg(o.text.size());
    switch (o.stopRule) {
        case StopRule::Blocks:
            text += QStringLiteral("blocks:%1").arg(o.blocks);
            break;
        case StopRule::Duration:
            text += QStringLiteral("duration:%1ms").arg(o.durationMs);
            break;
        case StopRule::Continuous:
            text += QStringLiteral("continuous");
            break;
    }
    if (!o.jsonPath.isEmpty()) text += QStringLiteral(" json:") + o.jsonPath;
    if (o.lines) text += QStringLiteral(" lines");
    if (o.quiet) text += QStringLiteral(" quiet");
    return text;
}

using Action = CommandLine::Action;

}  // namespace

Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(RunFacts)
Q_DECLARE_METATYPE(LinesVerdict)

class CheckUnitsTest : public QObject {
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
    void classification_data();
    void classification();
    void roundTripStatistics_data();
    void roundTripStatistics();
    void lineVerdicts_data();
    void lineVerdicts();
    void jsonReport_data();
    void jsonReport();
    void portStatusWithoutOpening();
    void recentRate_data();
    void recentRate();
    void worstOfSeveral_data();
    void worstOfSeveral();
    void remoteUnknownsAreNull();
};

void CheckUnitsTest::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("expected");  // describe() of the options, or part of the message

    auto run = [](const char* name, QStringList args, const char* options) {
        QTest::newRow(name) << args << Action::Run << QString::fromUtf8(options);
    };
    auto usage = [](const char* name, QStringList args, const char* message) {
        QTest::newRow(name) << args << Action::UsageError << QString::fromUtf8(message);
    };
    run("defaults", {"COM1"}, "COM1#1 9600 8N1 none text:16 blocks:1000");
    run("device path", {"/dev/ttyUSB0"}, "/dev/ttyUSB0#0 9600 8N1 none text:16 blocks:1000");
    run("remote port", {"rfc2217://[::1]:4001"},
        "rfc2217://[::1]:4001#0 9600 8N1 none text:16 blocks:1000");
    run("several ports", {"COM2", "/dev/ttyUSB0", "rfc2217://lab:4001"},
        "COM2#2 9600 8N1 none text:16 blocks:1000");
    run("com in lower case", {"com15"}, "com15#15 9600 8N1 none text:16 blocks:1000");
    run("every line setting",
        {"--baud", "115200", "--data-bits", "7", "--parity", "even", "--stop-bits", "2", "--flow",
         "xonxoff", "COM3"},
        "COM3#3 115200 7E2 xonxoff text:16 blocks:1000");
    run("own text", {"--text", "ab ｱ", "COM1"}, "COM1#1 9600 8N1 none text:4 blocks:1000");
    run("fox", {"--fox", "COM1"}, "COM1#1 9600 8N1 none fox:53 blocks:1000");
    run("count-up", {"--count-up", "COM1"}, "COM1#1 9600 8N1 none count-up:38 blocks:1000");
    run("blocks", {"--blocks", "250", "COM1"}, "COM1#1 9600 8N1 none text:16 blocks:250");
    run("duration in seconds", {"--duration", "1.5", "COM1"},
        "COM1#1 9600 8N1 none text:16 duration:1500ms");
    run("continuous", {"--continuous", "COM1"}, "COM1#1 9600 8N1 none text:16 continuous");
    run("only the lines", {"--lines", "--blocks", "0", "COM1"},
        "COM1#1 9600 8N1 none text:16 blocks:0 lines");
    run("json to stdout, quiet", {"COM1", "--json", "-", "--quiet"},
        "COM1#1 9600 8N1 none text:16 blocks:1000 json:- quiet");
    run("longest text", {"--text", QString(32767, QLatin1Char('x')), "COM1"},
        "COM1#1 9600 8N1 none text:32767 blocks:1000");

    QTest::newRow("help wins over errors")
        << QStringList{"--bogus", "-h"} << Action::Help << "Exit codes:";
    QTest::newRow("version") << QStringList{"--version"} << Action::Version << "parvolo-check 1.";
    QTest::newRow("list") << QStringList{"--list"} << Action::List << "";

    usage("blocks in flight without --stream", {"--in-flight", "4", "COM1"},
          "--in-flight needs --stream");
    usage("no block in flight", {"--stream", "--in-flight", "0", "COM1"},
          "--in-flight takes a whole number from 1 to 4096, not '0'");
    usage("no port", {}, "no PORT given");
    usage("a port twice", {"COM1", "/dev/ttyUSB0", "com1"}, "com1 given twice");
    usage("--junit to the JSON's file", {"--json", "r", "--junit", "r", "COM1"}, "same FILE");
    usage("COM0", {"COM0"}, "ports are COM1 to COM15");
    usage("COM16", {"COM16"}, "ports are COM1 to COM15");
    usage("bare device name", {"ttyUSB0"}, "PORT is COM1..COM15, a device path");
    usage("unknown option", {"--speed", "9600", "COM1"}, "Unknown option 'speed'");
    usage("baud 0", {"--baud", "0", "COM1"}, "--baud takes a whole number from 1 to 2147483647");
    usage("baud past 32 bits", {"--baud", "2147483648", "COM1"}, "--baud takes");
    usage("5 data bits", {"--data-bits", "5", "COM1"},
          "--data-bits takes a whole number from 7 to 8");
    usage("parity word", {"--parity", "N", "COM1"},
          "--parity takes none|even|odd|mark|space, not 'N'");
    usage("both flows", {"--flow", "rtscts+xonxoff", "COM1"}, "--flow takes none|rtscts|xonxoff");
    usage("empty text", {"--text", "", "COM1"}, "--text must not be empty");
    usage("text too long", {"--text", QString(32768, QLatin1Char('x')), "COM1"},
          "32768 characters long; a block holds at most 32767");
    usage("two-byte character", {"--text", "a漢", "COM1"}, "'漢' (position 2) is not one byte");
    usage("character CP932 lacks", {"--text", "€", "COM1"}, "is not one byte in CP932");
    usage("fox and count-up", {"--fox", "--count-up", "COM1"}, "choose one of --text, --fox");
    usage("blocks and duration", {"--blocks", "5", "--duration", "1", "COM1"},
          "choose one of --blocks, --duration and --continuous");
    usage("negative blocks", {"--blocks", "-1", "COM1"}, "--blocks takes");
    usage("no blocks, no lines", {"--blocks", "0", "COM1"}, "--blocks 0 checks nothing");
    usage("zero duration", {"--duration", "0", "COM1"}, "--duration takes seconds");
    usage("endless duration", {"--duration", "inf", "COM1"}, "--duration takes seconds");
    usage("lines with rts/cts", {"--lines", "--flow", "rtscts", "COM1"},
          "--lines drives RTS itself");
    usage("empty json", {"--json", "", "COM1"}, "--json needs a FILE or -");
    usage("list with a port", {"--list", "COM1"}, "--list takes no PORT");
}

void CheckUnitsTest::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(QString, expected);
    const CommandLine command = parseCommandLine(QStringList{"parvolo-check"} + arguments);
    QVERIFY2(command.action == action, qPrintable(command.text));
    if (action == Action::Run)
        QCOMPARE(describe(command.options), expected);
    else
        QVERIFY2(command.text.contains(expected), qPrintable(command.text));
}

void CheckUnitsTest::classification_data() {
    QTest::addColumn<RunFacts>("facts");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("exitCode");
    using E = RunEnd;
    using L = LinesVerdict;
    auto row = [](const char* name, const RunFacts& facts, const char* result, int code) {
        QTest::newRow(name) << facts << QString::fromLatin1(result) << code;
    };
    row("clean run", RunFacts{.end = E::Finished, .blocks = 1000, .receivedBytes = 16000}, "pass",
        0);
    row("one byte wrong",
        RunFacts{.end = E::Finished, .blocks = 1000, .mismatches = 1, .receivedBytes = 16000},
        "mismatch", 1);
    row("every block back twice: all equal, half of it extra",
        RunFacts{.end = E::Finished, .blocks = 1000, .receivedBytes = 32000, .extraBytes = 16000},
        "mismatch", 1);
    row("line error, bytes equal",
        RunFacts{.end = E::Finished, .blocks = 1000, .lineErrors = 1, .receivedBytes = 16000},
        "mismatch", 1);
    row("failed pin, data clean",
        RunFacts{.end = E::Finished, .blocks = 10, .receivedBytes = 160, .lines = L::Fail},
        "mismatch", 1);
    row("lines skipped, data clean",
        RunFacts{.end = E::Finished, .blocks = 10, .receivedBytes = 160, .lines = L::Skipped},
        "pass", 0);
    row("lines passed, data clean",
        RunFacts{.end = E::Finished, .blocks = 10, .receivedBytes = 160, .lines = L::Pass}, "pass",
        0);
    row("first block timed out, nothing back", RunFacts{.end = E::NoAnswer, .mismatches = 1},
        "no-answer", 2);
    row("interrupted before anything came back", RunFacts{.end = E::Interrupted}, "no-answer", 2);
    row("interrupted inside the first block", RunFacts{.end = E::Interrupted, .receivedBytes = 7},
        "mismatch", 1);
    row("interrupted after clean blocks",
        RunFacts{.end = E::Interrupted, .blocks = 500, .receivedBytes = 8007}, "pass", 0);
    row("cannot open", RunFacts{.end = E::CannotOpen}, "cannot-open", 3);
    row("settings refused", RunFacts{.end = E::SettingsNotApplied}, "settings-not-applied", 4);
    row("line lost after clean blocks",
        RunFacts{.end = E::LineLost, .blocks = 500, .receivedBytes = 8000}, "line-lost", 5);
    row("went silent after clean blocks",
        RunFacts{.end = E::WentSilent, .blocks = 500, .mismatches = 3, .receivedBytes = 8000},
        "mismatch", 1);
    row("only lines, passed", RunFacts{.end = E::Finished, .sentBlocks = false, .lines = L::Pass},
        "pass", 0);
    row("only lines, failed", RunFacts{.end = E::Finished, .sentBlocks = false, .lines = L::Fail},
        "mismatch", 1);
    row("only lines, no modem lines",
        RunFacts{.end = E::Finished, .sentBlocks = false, .lines = L::Skipped}, "no-answer", 2);
    row("only lines, interrupted", RunFacts{.end = E::Interrupted, .sentBlocks = false},
        "no-answer", 2);
}

void CheckUnitsTest::classification() {
    QFETCH(RunFacts, facts);
    const CheckResult result = classify(facts);
    QTEST(resultWord(result), "result");
    QTEST(exitCode(result), "exitCode");
}

void CheckUnitsTest::roundTripStatistics_data() {
    QTest::addColumn<QList<quint64>>("times");
    QTest::addColumn<quint64>("median");  // nearest rank; 0: only against the sorted truth
    QTest::addColumn<quint64>("p99");
    QList<quint64> oneToHundred, oneToThousand, oneOutlier(99, 10), wide;
    for (quint64 i = 1; i <= 100; ++i) oneToHundred << i;
    for (quint64 i = 1; i <= 1000; ++i) oneToThousand << i;
    oneOutlier << 1000000;
    std::mt19937_64 random(14);
    for (int i = 0; i < 5000; ++i) wide << 40 + random() % 3000000;
    QTest::newRow("nothing") << QList<quint64>{} << quint64(0) << quint64(0);
    QTest::newRow("one block") << QList<quint64>{500001} << quint64(500001) << quint64(500001);
    QTest::newRow("1 to 100") << oneToHundred << quint64(50) << quint64(99);
    QTest::newRow("1 to 1000") << oneToThousand << quint64(0) << quint64(0);
    QTest::newRow("one slow block in 100") << oneOutlier << quint64(10) << quint64(10);
    QTest::newRow("40 us to 3 s, random") << wide << quint64(0) << quint64(0);
}

void CheckUnitsTest::roundTripStatistics() {
    QFETCH(QList<quint64>, times);
    QFETCH(quint64, median);
    QFETCH(quint64, p99);
    RoundTripStats stats;
    for (quint64 t : times) stats.add(t);
    QCOMPARE(stats.count(), quint64(times.size()));
    QList<quint64> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    auto exact = [&](double percent) {
        if (sorted.isEmpty()) return quint64(0);
        const qsizetype rank = qsizetype(std::ceil(percent * double(sorted.size()) / 100.0));
        return sorted[std::max<qsizetype>(rank, 1) - 1];
    };
    if (!sorted.isEmpty()) {
        QCOMPARE(stats.min(), sorted.first());
        QCOMPARE(stats.max(), sorted.last());
    }
    // Given rows are exact; every row is within the histogram's 1/256 of the sorted truth.
    if (median || p99) {
        QCOMPARE(stats.percentile(50), median);
        QCOMPARE(stats.percentile(99), p99);
    }
    for (double percent : {1.0, 50.0, 90.0, 99.0, 100.0}) {
        const double truth = double(exact(percent));
        const double got = double(stats.percentile(percent));
        QVERIFY2(std::abs(got - truth) <= truth / 256.0,
                 qPrintable(QStringLiteral("p%1: %2, exact %3").arg(percent).arg(got).arg(truth)));
    }
}

void CheckUnitsTest::lineVerdicts_data() {
    QTest::addColumn<QString>("wiring");
    QTest::addColumn<QString>("failures");  // pin: why, for each failed pin
    QTest::addColumn<QString>("driver");    // the port's driver; empty for one that has all
    auto row = [](const char* name, const char* wiring, const char* failures,
                  const char* driver = "") {
        QTest::newRow(name) << QString::fromLatin1(wiring) << QString::fromLatin1(failures)
                            << QString::fromLatin1(driver);
    };
    row("DE-9 loopback plug", "plug", "");
    row("nothing wired", "open",
        "CTS: stayed off with RTS on; DSR: stayed off with DTR on; DCD: stayed off with DTR on");
    row("CTS wired to DTR", "cts-on-dtr", "CTS: stayed on with RTS off");
    row("DCD not wired", "no-dcd", "DCD: stayed off with DTR on");
    row("CTS stuck on", "cts-stuck", "CTS: stayed on with RTS off");
    row("DSR on RTS", "dsr-on-rts", "DSR: stayed off with DTR on");
    // ACM has no CTS (the driver reads it as on): not available, neither passed nor failed.
    row("ACM board on the plug", "cts-stuck", "", "cdc_acm");
    row("ACM board, DCD not wired", "no-dcd", "DCD: stayed off with DTR on", "cdc_acm");
}

void CheckUnitsTest::lineVerdicts() {
    QFETCH(QString, wiring);
    auto far = [&](const LineStep& step) {
        ModemLines lines{step.rts, step.dtr, step.dtr, false};
        if (wiring == QLatin1String("open")) lines = {};
        if (wiring == QLatin1String("cts-on-dtr")) lines.cts = step.dtr;
        if (wiring == QLatin1String("no-dcd")) lines.dcd = false;
        if (wiring == QLatin1String("cts-stuck")) lines.cts = true;
        if (wiring == QLatin1String("dsr-on-rts")) lines.dsr = step.rts;
        return lines;
    };
    QFETCH(QString, driver);
    LineCheck check;
    check.useDriver(driver.isEmpty() ? nullptr : &capabilitiesOf(driver));
    bool allSettled = true;
    for (const LineStep& step : kLineSteps) {
        QCOMPARE(check.verdict(), LinesVerdict::NotChecked);
        const ModemLines seen = check.seenOnDriver(step, far(step));
        allSettled = allSettled && LineCheck::settled(step, seen);
        check.record(step, seen);
    }
    QCOMPARE(check.pinUnavailable(0), driver == QLatin1String("cdc_acm"));
    QStringList failures;
    for (int pin = 0; pin < kPinCount; ++pin)
        if (check.pinFailed(pin))
            failures << QLatin1String(kPins[pin].pin) + QStringLiteral(": ") +
                            check.pinFailure(pin);
    QTEST(failures.join(QStringLiteral("; ")), "failures");
    QCOMPARE(check.verdict(), failures.isEmpty() ? LinesVerdict::Pass : LinesVerdict::Fail);
    QCOMPARE(allSettled, failures.isEmpty());

    // A device without modem lines is skipped, never passed; a refused output fails.
    LineCheck skipped;
    skipped.skip(QStringLiteral("no modem lines"));
    QCOMPARE(skipped.verdict(), LinesVerdict::Skipped);
    LineCheck refused;
    refused.refuse(QStringLiteral("RTS refused"));
    QCOMPARE(refused.verdict(), LinesVerdict::Fail);
}

void CheckUnitsTest::jsonReport_data() {
    QTest::addColumn<bool>("pass");
    QTest::addColumn<QJsonObject>("expected");
    QTest::newRow("pass with lines and kernel counts") << true << json(R"({"result": "pass",
        "exit_code": 0, "error": null, "error_reason": null, "error_number": null,
        "bytes_per_second": 96,
        "round_trip_us": {"min": 100, "median": 200, "max": 300},
        "kernel_line_errors": {"frame": 1, "buffer_overrun": 5},
        "lines": {"result": "pass", "pins": {"DCD": {"follows": "DTR"}}}})");
    QTest::newRow("port busy") << false << json(R"({"result": "cannot-open", "exit_code": 3,
        "error": "/dev/ttyUSB1 は使用中です: minicom (PID 42) が使っています",
        "error_reason": "busy", "error_number": 8010, "line_rate_bytes_per_second": null,
        "settings_applied": null, "round_trip_us": null, "kernel_line_errors": null,
        "lines": {"result": "not-checked"}})");
}

void CheckUnitsTest::jsonReport() {
    QFETCH(bool, pass);
    QFETCH(QJsonObject, expected);
    CommandLine command =
        parseCommandLine({"parvolo-check", "--baud", "115200", "--data-bits", "7", "--parity",
                          "odd", "--stop-bits", "2", "--lines", "--blocks", "3", "COM2"});
    QVERIFY(command.action == Action::Run && !expected.isEmpty());
    const CheckOptions& options = command.options;
    CheckOutcome outcome;
    outcome.devicePath = QStringLiteral("/dev/ttyUSB1");
    if (pass) {
        outcome.applied = options.line;
        outcome.counters = {3, 48, 0, 48, 0, 0};
        outcome.placed.matched = 48;
        outcome.timeoutMs = 3000;
        outcome.blockLength = 16;
        outcome.seconds = 0.5;
        for (quint64 t : {300, 100, 200}) outcome.roundTrip.add(t);
        outcome.kernelLineErrors = KernelLineCounts{1, 2, 3, 4, 5};
        for (const LineStep& step : kLineSteps)
            outcome.lines.record(step, {step.rts, step.dtr, step.dtr, false});
    } else {
        outcome.end = RunEnd::CannotOpen;
        outcome.error = expected.value("error").toString();
        outcome.reason = SerialReason::Busy;
        outcome.errorNumber = error_numbers::HardwareUnavailable;
    }
    const QJsonObject report =
        reportJson(options, outcome, pass ? CheckResult::Pass : CheckResult::CannotOpen);
    QCOMPARE(
        report.keys(),  // sorted
        QStringLiteral(
            "abandoned_blocks blocks bytes_per_second compared_bytes "
            "duration_seconds error error_number error_reason exit_code extra_bytes first_failure "
            "first_mismatch format_version in_flight kernel_line_errors line_errors "
            "line_rate_bytes_per_second lines matched_bytes mismatches "
            "missing_bytes mode outage_seconds outages received_bytes remote result round_trip_us "
            "settings_applied settings_requested timed_out_bytes")
            .split(QLatin1Char(' ')));
    expected.insert("settings_requested", json(R"({"port": "COM2", "device": "/dev/ttyUSB1",
        "parity": "odd"})"));
    const QString wrong = jsonDifferences(report, expected);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    // 1 start + 7 data + 1 parity + 2 stop bits.
    if (pass) QCOMPARE(report.value("line_rate_bytes_per_second").toDouble(), 115200.0 / 11);
}

// Every status --list gives, found without opening anything: a plain file, a link to nothing,
// a free pty, a pty another process holds with flock(), and one whose lock file names a
// running process.
void CheckUnitsTest::portStatusWithoutOpening() {
    QTemporaryDir dir;
    DeviceRoots roots = defaultDeviceRoots();
    roots.lockDirectory = dir.filePath(QStringLiteral("lock"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("lock")));
    PtyPair free, flocked, locked;
    QVERIFY(!free.path().isEmpty() && !flocked.path().isEmpty() && !locked.path().isEmpty());
    auto link = [&](const QString& target, const char* name) {
        const QString path = dir.filePath(QLatin1String(name));
        QVERIFY(QFile::link(target, path));
    };
    link(free.path(), "COM1");
    link(QStringLiteral("/dev/nothing-here"), "COM2");
    link(flocked.path(), "COM3");
    link(locked.path(), "COM4");
    QFile plain(dir.filePath(QStringLiteral("COM5")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    HolderProcess holder(flocked.path(), HolderProcess::Flock);
    QVERIFY(holder.ok());
    HolderProcess lockOwner;
    QVERIFY(lockOwner.ok());
    QFile lockFile(roots.lockDirectory + QLatin1Char('/') + lockFileName(locked.path()));
    QVERIFY(lockFile.open(QIODevice::WriteOnly));
    lockFile.write(QByteArray::number(lockOwner.pid()).rightJustified(10, ' ') + '\n');
    lockFile.close();

    auto status = [&](const char* name) {
        return describePort(QLatin1String(name), dir.filePath(QLatin1String(name)), roots);
    };
    const PortEntry com1 = status("COM1");
    QCOMPARE(com1.status, QStringLiteral("ok"));
    QCOMPARE(com1.device, free.path());
    QCOMPARE(com1.driver, QStringLiteral("pty"));
    const PortEntry com2 = status("COM2");
    QCOMPARE(com2.status, QStringLiteral("missing (No such file or directory)"));
    QCOMPARE(com2.target, QStringLiteral("/dev/nothing-here"));
    QCOMPARE(status("COM3").status,
             QStringLiteral("busy: %1 (PID %2)").arg(programName(holder.pid())).arg(holder.pid()));
    QCOMPARE(
        status("COM4").status,
        QStringLiteral("busy: %1 (PID %2)").arg(programName(lockOwner.pid())).arg(lockOwner.pid()));
    QCOMPARE(status("COM5").status, QStringLiteral("not a serial device"));
    // Nothing was taken: the lock file is the owner's still, and the pty opens for anyone.
    QVERIFY(lockFile.open(QIODevice::ReadOnly));
    QCOMPARE(lockFile.readAll().trimmed().toLongLong(), qint64(lockOwner.pid()));

    const QString table = formatPortList({com1, com2}, {});
    QVERIFY2(
        table.contains(QRegularExpression(QStringLiteral("COM1 +%1 -> %2 +- +pty +- +- +- +- +ok\n")
                                              .arg(QRegularExpression::escape(com1.path),
                                                   QRegularExpression::escape(free.path())))),
        qPrintable(table));
    QVERIFY2(table.contains(QStringLiteral("-> /dev/nothing-here")), qPrintable(table));
    QVERIFY2(
        table.endsWith(QStringLiteral("without a COM number (open them by path):\nnone found\n")),
        qPrintable(table));
}

// The live rate is the last five seconds', not the average since the start: a rate that
// dropped shows at once.
void CheckUnitsTest::recentRate_data() {
    QTest::addColumn<QList<QPointF>>("samples");  // (seconds, bytes so far)
    QTest::addColumn<double>("rate");
    QTest::newRow("one sample") << QList<QPointF>{{0, 0}} << 0.0;
    QTest::newRow("steady") << QList<QPointF>{{0, 0}, {1, 1000}, {2, 2000}} << 1000.0;
    QTest::newRow("dropped after a fast hour: the last 5 s only")
        << QList<QPointF>{{0, 0},           {3600, 36000000}, {3601, 36000100},
                          {3603, 36000300}, {3606, 36000600}, {3609, 36000900}}
        << 100.0;
    QTest::newRow("stopped") << QList<QPointF>{{0, 0}, {10, 5000}, {12, 5000}, {16, 5000}} << 0.0;
}

void CheckUnitsTest::recentRate() {
    QFETCH(QList<QPointF>, samples);
    QFETCH(double, rate);
    RecentRate recent(5.0);
    for (const QPointF& sample : samples) recent.add(sample.x(), qint64(sample.y()));
    QCOMPARE(recent.bytesPerSecond(), rate);
}

void CheckUnitsTest::worstOfSeveral_data() {
    QTest::addColumn<QList<CheckResult>>("results");
    QTest::addColumn<CheckResult>("worst");
    using R = CheckResult;
    QTest::newRow("all pass") << QList<R>{R::Pass, R::Pass} << R::Pass;
    QTest::newRow("one mismatch") << QList<R>{R::Pass, R::Mismatch, R::Pass} << R::Mismatch;
    QTest::newRow("lost outranks busy")
        << QList<R>{R::CannotOpen, R::LineLost, R::Mismatch} << R::LineLost;
    QTest::newRow("busy outranks silence")
        << QList<R>{R::NoAnswer, R::CannotOpen, R::NoAnswer} << R::CannotOpen;
}

void CheckUnitsTest::worstOfSeveral() {
    QFETCH(QList<CheckResult>, results);
    QFETCH(CheckResult, worst);
    QCOMPARE(worstResult(results), worst);
}

// A remote server that never reported the lines or line errors: unknown, not off or zero.
void CheckUnitsTest::remoteUnknownsAreNull() {
    CheckOptions options;
    options.port = QStringLiteral("rfc2217://lab:4001");
    CheckOutcome outcome;
    outcome.remote = true;
    outcome.lineErrorsKnown = false;
    const QJsonObject report = reportJson(options, outcome, CheckResult::Pass);
    QVERIFY(report.value("line_errors").isNull());
    QVERIFY(report.value("kernel_line_errors").isNull());
    QVERIFY(report.value("remote").toObject().value("modem_lines").isNull());
    QCOMPARE(report.value("remote").toObject().value("line_errors_reported"), QJsonValue(false));
    outcome.lineErrorsKnown = true;
    outcome.modemLines = ModemLines{true, false, true, false};
    const QJsonObject known = reportJson(options, outcome, CheckResult::Pass);
    QCOMPARE(known.value("line_errors"), QJsonValue(0));
    QCOMPARE(known.value("remote").toObject().value("modem_lines").toObject().value("dcd"),
             QJsonValue(true));
    // A local port is not remote.
    QVERIFY(reportJson(options, CheckOutcome{}, CheckResult::Pass).value("remote").isNull());
}

QTEST_GUILESS_MAIN(CheckUnitsTest)
#include "test_check_units.moc"
