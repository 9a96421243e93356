// parvolo-check as a program against the loopback plug over ptys: its exit codes, its JSON
// report, its summary, the signals that end it and the far end going away.
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QXmlStreamReader>
#include <QtTest>

#include <signal.h>
#include <sys/stat.h>

#include <optional>

#include "serial/port_holders.h"
#include "support/holder_process.h"
#include "support/json_subset.h"
#include "support/loopback_plug.h"
#include "support/remote_server.h"

using parvolo::programName;

namespace {

// Bytes a process has written so far (all files), from /proc: how a test sees blocks going out
// without a terminal for the progress line.
qint64 bytesWritten(qint64 pid) {
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("wchar: ")) return line.mid(7).toLongLong();
    return -1;
}

// Whether a process has the file open.
bool hasOpen(qint64 pid, const QString& path) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget() == path) return true;
    return false;
}

class Checker {
public:
    // Starts parvolo-check with the JSON report on stdout; `prefix` runs it through another
    // program (setpriv), `environment` is added to the test's.
    explicit Checker(const QStringList& arguments, const QStringList& environment = {},
                     const QStringList& prefix = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& pair : environment)
            env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        m_process.setProcessEnvironment(env);
        const QStringList command =
            prefix + QStringList{qEnvironmentVariable("PARVOLO_CHECK_BIN")} + arguments +
            QStringList{QStringLiteral("--json"), QStringLiteral("-")};
        m_process.start(command.first(), command.mid(1));
        m_clock.start();
        m_process.waitForStarted();
    }
    ~Checker() {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    qint64 pid() const { return m_process.processId(); }
    void signal(int number) { ::kill(pid_t(pid()), number); }
    // Waits (bounded) for the end; the exit code, -1 when it did not end or crashed.
    int finish(int boundMs = 20000) {
        if (!m_process.waitForFinished(boundMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        m_elapsedMs = m_clock.elapsed();
        m_report =
            QJsonDocument::fromJson(m_process.readAllStandardOutput(), &m_jsonError).object();
        m_summary = QString::fromUtf8(m_process.readAllStandardError());
        return m_process.exitCode();
    }
    const QJsonObject& report() const { return m_report; }
    bool reportParsed() const { return m_jsonError.error == QJsonParseError::NoError; }
    const QString& summary() const { return m_summary; }
    qint64 elapsedMs() const { return m_elapsedMs; }
    qint64 value(const char* key) const { return m_report.value(QLatin1String(key)).toInteger(-1); }
    // The summary's first line agrees with the report.
    bool summaryStartsWithTheResult() const {
        return m_summary.startsWith(QStringLiteral("parvolo-check: %1 (exit %2)\n")
                                        .arg(m_report.value("result").toString())
                                        .arg(value("exit_code")));
    }

private:
    QProcess m_process;
    QElapsedTimer m_clock;
    QJsonObject m_report;
    QJsonParseError m_jsonError{};
    QString m_summary;
    qint64 m_elapsedMs = 0;
};

// A run in which every block came back whole.
QJsonObject echoed(int blocks, int length) {
    return json(QStringLiteral(R"({"result": "pass", "blocks": %1, "matched_bytes": %2,
        "received_bytes": %2, "mismatches": 0, "line_errors": 0, "first_mismatch": 0,
        "abandoned_blocks": 0, "kernel_line_errors": null, "lines": null,
        "round_trip_us": {"count": %1}, "settings_requested": {"block_length": %3}})")
                    .arg(blocks)
                    .arg(blocks * length)
                    .arg(length));
}

// A pty has no modem lines: the line check is skipped, never passed.
QJsonObject linesSkipped(int blocks) {
    return json(QStringLiteral(R"({"blocks": %1, "lines": {"result": "skipped",
        "reason": "the device has no modem lines", "pins": {"CTS": {"result": "skipped"},
        "DSR": {"result": "skipped"}, "DCD": {"result": "skipped"}}}})")
                    .arg(blocks));
}

// Runs a program to its end (bounded); its stdout, or nothing when it failed.
std::optional<QByteArray> runTool(const QString& program, const QStringList& arguments) {
    QProcess tool;
    tool.start(program, arguments);
    if (!tool.waitForFinished(20000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        qWarning("%s: %s", qPrintable(program), tool.readAllStandardError().constData());
        return std::nullopt;
    }
    return tool.readAllStandardOutput();
}

QString sourceFile(const char* path) {
    return QStringLiteral(PARVOLO_SOURCE_DIR "/") + QLatin1String(path);
}

}  // namespace

class CheckProcessTest : public QObject {
    Q_OBJECT
private slots:
    void runs_data();
    void runs();
    void cannotOpenReasons_data();
    void cannotOpenReasons();
    void farEndFaults_data();
    void farEndFaults();
    void endedMidRun_data();
    void endedMidRun();
    void usageErrorWritesNoReport();
    void plantedLockIsNamed();
    void reportNotWritten_data();
    void reportNotWritten();
    void manyPortsAtOnce();
    void remotePorts_data();
    void remotePorts();
    void longRunFollowedAndKilled();
    void eventLog_data();
    void eventLog();
    void reconnect_data();
    void reconnect();
    void htmlPage();
};

// Why a port could not be opened, for a script: the reason word and the window's number in the
// report, whatever the language of the texts, which follows the locale.
void CheckProcessTest::cannotOpenReasons_data() {
    QTest::addColumn<QString>("port");  // PLUG: the loopback plug's device
    QTest::addColumn<QString>("how");   // held: another process has it; nobody: run as nobody
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("japanese");
    for (const char* locale : {"C.UTF-8", "ja_JP.UTF-8"}) {
        auto row = [locale](const char* name, const char* port, const char* how, const char* reason,
                            int number, const char* english, const char* japanese) {
            QTest::addRow("%s, %s", name, locale)
                << port << how << reason << number
                << (locale[0] == 'C' ? QString::fromUtf8(english) : QString())
                << (locale[0] == 'j' ? QString::fromUtf8(japanese) : QString());
        };
        row("missing", "/dev/ttyParvoloNowhere", "", "missing", 8002, "Cannot open",
            "を開けません");
        row("busy", "PLUG", "held", "busy", 8010, " is in use: ", " は使用中です: ");
        row("permission", "PLUG", "nobody", "permission", 8010, "No permission to open",
            "を開く権限がありません");
        row("not a serial port", "/dev/null", "", "not-a-serial-port", 8002,
            "/dev/null is not a serial port", "/dev/null はシリアルポートではありません");
        row("refused connection", "rfc2217://127.0.0.1:1", "", "unreachable", 8002,
            "the server is not running", "サーバーが動いていないか");
    }
}

void CheckProcessTest::cannotOpenReasons() {
    QFETCH(QString, port);
    QFETCH(QString, how);
    QFETCH(QString, english);
    QFETCH(QString, japanese);
    LoopbackPlug plug;
    std::optional<HolderProcess> holder;
    QStringList prefix;
    if (port == QLatin1String("PLUG")) {
        START_PLUG(plug, {});
        port = plug.device();
    }
    if (how == QLatin1String("held")) {
        holder.emplace(port, HolderProcess::Flock);
        QVERIFY(holder->ok());
    }
    if (how == QLatin1String("nobody")) {
        // Root opens any device; the permission check needs a user the device refuses.
        if (::geteuid() != 0) QSKIP("needs root to run the checker as nobody");
        ::chmod(QFile::encodeName(port).constData(), 0600);
        prefix = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    const QString locale =
        english.isEmpty() ? QStringLiteral("ja_JP.UTF-8") : QStringLiteral("C.UTF-8");
    Checker checker({port}, {"LANG=" + locale, "LANGUAGE=", "LC_ALL=", "LC_MESSAGES="}, prefix);
    QCOMPARE(checker.finish(), 3);
    const QJsonObject& got = checker.report();
    QCOMPARE(got.value("result").toString(), QStringLiteral("cannot-open"));
    QTEST(got.value("error_reason").toString(), "reason");
    QTEST(int(got.value("error_number").toInteger()), "number");
    // Nothing was applied and nothing counted: unknown, not zero.
    QCOMPARE(got.value("line_errors"), QJsonValue());
    QCOMPARE(got.value("line_rate_bytes_per_second"), QJsonValue());
    const QString error = got.value("error").toString();
    QVERIFY2(error.contains(english.isEmpty() ? japanese : english), qPrintable(error));
    QVERIFY2(checker.summary().contains(error), qPrintable(checker.summary()));
}

void CheckProcessTest::runs_data() {
    QTest::addColumn<QStringList>("plugOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QJsonObject>("report");  // the values that the row is about
    QTest::addColumn<int>("farEnd");          // bytes the plug received
    QTest::addColumn<QString>("says");        // in the error, or in the summary without one
    QTest::addColumn<bool>("held");           // another process holds the port (flock)
    auto row = [](const char* name, const QStringList& plug, const QStringList& arguments, int code,
                  const QJsonObject& report, int farEnd, const QString& says = {},
                  bool held = false) {
        QTest::newRow(name) << plug << arguments << code << report << farEnd << says << held;
    };
    row("default text", {}, {"--blocks", "200"}, 0, echoed(200, 16), 3200);
    row("count-up, advancing per block", {}, {"--count-up", "--blocks", "50"}, 0, echoed(50, 38),
        1900);
    row("115200 2 stop bits, half-width katakana", {},
        {"--baud", "115200", "--stop-bits", "2", "--text", "ｱｲｳ 123", "--blocks", "20"}, 0,
        echoed(20, 7), 140);
    row("every 100th byte corrupted", {"--corrupt-every", "100"}, {"--blocks", "250"}, 1,
        json(R"({"result": "mismatch", "blocks": 250, "mismatches": 40, "first_mismatch": 100,
            "matched_bytes": 3960, "received_bytes": 4000, "abandoned_blocks": 0})"),
        4000);
    // The first block's time-out (3000 ms for 16 bytes at 9600 bit/s) ends the run at once.
    row("sink: nothing echoed", {"--sink"}, {}, 2,
        json(R"({"result": "no-answer", "blocks": 0, "abandoned_blocks": 1, "received_bytes": 0,
            "settings_requested": {"timeout_ms": 3000}})"),
        16, "nothing came back");
    // 100 characters of 9 bits at 300 bit/s take 3000 ms: the window's estimate doubles the
    // time-out, and the report states it although no block went out.
    row("port held by another process", {},
        {"--baud", "300", "--text", QString(100, QLatin1Char('x'))}, 3,
        json(R"({"result": "cannot-open", "settings_applied": null,
            "settings_requested": {"timeout_ms": 6000}})"),
        0, "is in use", true);
    // The pty driver takes neither; the report shows what it made of the request.
    const QJsonObject refused = json(R"({"result": "settings-not-applied",
        "settings_applied": {"data_bits": 8, "parity": "none"}})");
    row("7 data bits on a pty", {}, {"--data-bits", "7"}, 4, refused, 0, "data bits 7");
    row("even parity on a pty", {}, {"--parity", "even"}, 4, refused, 0, "parity even");
    row("lines on a pty, with the data test", {}, {"--lines", "--blocks", "5"}, 0, linesSkipped(5),
        80, "lines       skipped");
    row("lines on a pty only: nothing checked", {}, {"--lines", "--blocks", "0"}, 2,
        linesSkipped(0), 0, "lines       skipped");
}

void CheckProcessTest::runs() {
    QFETCH(QStringList, plugOptions);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QJsonObject, report);
    QFETCH(QString, says);
    QFETCH(bool, held);
    QVERIFY(!report.isEmpty());
    LoopbackPlug plug;
    START_PLUG(plug, plugOptions);
    std::optional<HolderProcess> holder;
    if (held) {
        holder.emplace(plug.device(), HolderProcess::Flock);
        QVERIFY(holder->ok());
        says += QStringLiteral(": %1 (PID %2)").arg(programName(holder->pid())).arg(holder->pid());
    }
    Checker checker(arguments + QStringList{"COM1"});
    QCOMPARE(checker.finish(), exitCode);
    QVERIFY(checker.reportParsed());
    QCOMPARE(checker.report().value("in_progress"), QJsonValue(false));
    QVERIFY(checker.report().value("ended_at").toString() >=
            checker.report().value("started_at").toString());
    const QJsonObject& got = checker.report();
    const QString wrong = jsonDifferences(got, report);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QCOMPARE(checker.value("exit_code"), exitCode);
    QVERIFY2(checker.summaryStartsWithTheResult(), qPrintable(checker.summary()));
    const QString error = got.value("error").toString();
    QVERIFY2((error.isEmpty() ? checker.summary() : error).contains(says),
             qPrintable(checker.summary()));
    QVERIFY(checker.summary().contains(error));
    // What was asked for is what the driver read back, unless the row is about a refusal.
    const QJsonObject requested = got.value("settings_requested").toObject();
    const QJsonObject applied = got.value("settings_applied").toObject();
    if (exitCode != 4 && !applied.isEmpty())
        for (const char* key : {"baud", "data_bits", "parity", "stop_bits", "flow"})
            QCOMPARE(applied.value(QLatin1String(key)), requested.value(QLatin1String(key)));
    if (exitCode == 0 && checker.value("blocks") > 0)
        QVERIFY(got.value("bytes_per_second").toDouble() > 0);
    // Without an answer the run ends after the first block's time-out, not after all of them.
    if (checker.value("abandoned_blocks") > 0) {
        const qint64 timeout = requested.value("timeout_ms").toInteger();
        QVERIFY2(checker.elapsedMs() >= timeout && checker.elapsedMs() < timeout + 1500,
                 qPrintable(QString::number(checker.elapsedMs())));
    }
    // The far end saw every block once, and the port was given back.
    QTEST(int(plug.stop().value(QStringLiteral("received"))), "farEnd");
    QVERIFY(!QFile::exists(plug.lockFile()));
}

// Far ends that add, double or lose bytes fail the run in both modes, with where and how it
// first went wrong; one block at a time and with blocks in flight find the same place.
void CheckProcessTest::farEndFaults_data() {
    QTest::addColumn<QStringList>("plugOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QJsonObject>("report");
    for (const bool stream : {false, true}) {
        const QStringList mode = stream ? QStringList{"--stream"} : QStringList{};
        const QString word = stream ? "stream" : "block";
        auto row = [&](const char* name, const QStringList& plug, const QStringList& arguments,
                       const char* failure, int extra, int missing) {
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(name), word)))
                << plug << arguments + mode
                << json(QStringLiteral(R"({"result": "mismatch", "exit_code": 1, "mode": "%1",
                        "first_failure": %2, "extra_bytes": %3, "missing_bytes": %4})")
                            .arg(word, QLatin1String(failure))
                            .arg(extra)
                            .arg(missing));
        };
        // One block alone goes first in both modes, so the copy of it is extra in both; later
        // copies of equal blocks in flight are told from the echo only by what was sent.
        row("every chunk back twice", {"--duplicate"}, {"--blocks", "1"},
            R"({"kind": "extra", "block": 1, "byte": 17, "byte_in_block": 17})", 16, 0);
        row("count-up, every chunk back twice", {"--duplicate"}, {"--count-up", "--blocks", "1"},
            R"({"kind": "extra", "block": 1, "byte": 39, "byte_in_block": 39})", 38, 0);
        row("one byte added per 100 blocks", {"--add-every", "1605"}, {"--blocks", "250"},
            R"({"kind": "extra", "block": 101, "byte": 1606, "byte_in_block": 6})", 2, 0);
        row("one byte lost per 100 blocks", {"--drop-every", "1605"}, {"--blocks", "150"},
            R"({"kind": "missing", "block": 101, "byte": 1605, "byte_in_block": 5})", 0, 1);
        row("every 100th byte corrupted", {"--corrupt-every", "100"}, {"--blocks", "250"},
            R"({"kind": "mismatch", "block": 7, "byte": 100, "byte_in_block": 4})", 0, 0);
    }
}

void CheckProcessTest::farEndFaults() {
    QFETCH(QStringList, plugOptions);
    QFETCH(QStringList, arguments);
    QFETCH(QJsonObject, report);
    QVERIFY(!report.isEmpty());
    LoopbackPlug plug;
    START_PLUG(plug, plugOptions);
    Checker checker(arguments + QStringList{"--baud", "115200", "COM1"});
    QCOMPARE(checker.finish(), 1);
    QVERIFY(checker.reportParsed());
    const QString wrong = jsonDifferences(checker.report(), report);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    // What went wrong is said in the summary too.
    const QJsonObject failure = report.value("first_failure").toObject();
    QVERIFY2(checker.summary().contains(QStringLiteral("first fault %1 at block %2")
                                            .arg(failure.value("kind").toString())
                                            .arg(failure.value("block").toInteger())),
             qPrintable(checker.summary()));
}

void CheckProcessTest::endedMidRun_data() {
    QTest::addColumn<int>("signal");  // 0: the plug is killed, as an unplugged cable
    QTest::addColumn<bool>("echo");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("note");
    const QString interrupted = QStringLiteral("interrupted; the block in flight was not counted");
    QTest::newRow("Ctrl+C") << int(SIGINT) << true << 0 << interrupted;
    QTest::newRow("SIGTERM") << int(SIGTERM) << true << 0 << interrupted;
    QTest::newRow("SIGHUP") << int(SIGHUP) << true << 0 << interrupted;
    // Stopped before anything came back: not a pass, however few blocks were missed.
    QTest::newRow("Ctrl+C with nothing back") << int(SIGINT) << false << 2 << interrupted;
    QTest::newRow("plug killed") << 0 << true << 5 << "the device went away mid-run";
}

// Ended from outside within 2 s, with a report of what was done.
void CheckProcessTest::endedMidRun() {
    QFETCH(int, signal);
    QFETCH(bool, echo);
    QFETCH(int, exitCode);
    QFETCH(QString, note);
    LoopbackPlug plug;
    START_PLUG(plug, echo ? QStringList{} : QStringList{QStringLiteral("--sink")});
    Checker checker({"COM1", "--continuous"});
    // The lock file's 11 bytes come first. The port is opened after the stop signals are taken,
    // and a sanitizer's own writes can count before that.
    QTRY_VERIFY_WITH_TIMEOUT(hasOpen(checker.pid(), plug.device()) &&
                                 bytesWritten(checker.pid()) >= 11 + (echo ? 100 * 16 : 16),
                             10000);
    signal ? checker.signal(signal) : plug.kill();
    QCOMPARE(checker.finish(2000), exitCode);
    QVERIFY(checker.reportParsed());
    QVERIFY2(checker.summaryStartsWithTheResult() && checker.summary().contains(note),
             qPrintable(checker.summary()));
    QCOMPARE(checker.value("exit_code"), exitCode);
    // The block in flight is not counted: whatever of it had come back is less than a block.
    const qint64 blocks = checker.value("blocks");
    QCOMPARE(checker.value("abandoned_blocks"), 0);
    QCOMPARE(checker.value("mismatches"), 0);
    QVERIFY(checker.value("received_bytes") - blocks * 16 < 16);
    if (echo) QVERIFY(blocks >= 100);
    // The port was given back on the way out.
    QVERIFY(!QFile::exists(plug.lockFile()));
    if (signal) QVERIFY(plug.stop().value(QStringLiteral("received")) >= blocks * 16);
}

void CheckProcessTest::usageErrorWritesNoReport() {
    QTemporaryDir dir;
    const QString json = dir.filePath(QStringLiteral("report.json"));
    QProcess checker;
    checker.start(qEnvironmentVariable("PARVOLO_CHECK_BIN"),
                  {"COM1", "--fox", "--count-up", "--json", json});
    QVERIFY(checker.waitForFinished(10000));
    QCOMPARE(checker.exitCode(), 64);
    QCOMPARE(checker.readAllStandardError(),
             QByteArray("parvolo-check: choose one of --text, --fox and --count-up\n"
                        "Try 'parvolo-check --help' for more information.\n"));
    QVERIFY(!QFile::exists(json));
}

// A FIFO at the port's lock path, as any local user can make one: the run and --list end at
// once, naming the file, and the FIFO is left as it was.
void CheckProcessTest::plantedLockIsNamed() {
    LoopbackPlug plug;
    START_PLUG(plug);
    const QByteArray lock = QFile::encodeName(plug.lockFile());
    QCOMPARE(::mkfifo(lock.constData(), 0666), 0);
    const auto removeFifo = qScopeGuard([&] { ::unlink(lock.constData()); });
    Checker checker({"COM1"});
    QCOMPARE(checker.finish(2000), 3);
    const QString error = checker.report().value("error").toString();
    QVERIFY2(error.contains(plug.lockFile()) && error.contains(QStringLiteral("FIFO")),
             qPrintable(error));
    QProcess list;
    list.start(qEnvironmentVariable("PARVOLO_CHECK_BIN"), {"--list"});
    QVERIFY(list.waitForFinished(2000));
    QCOMPARE(list.exitCode(), 0);
    const QString line = QString::fromUtf8(list.readAllStandardOutput()).split('\n').value(1);
    QVERIFY2(
        line.startsWith(QStringLiteral("COM1 ")) &&
            line.endsWith(QStringLiteral("blocked: %1 is not a lock file").arg(plug.lockFile())),
        qPrintable(line));
    struct stat st {};
    QVERIFY(::lstat(lock.constData(), &st) == 0 && S_ISFIFO(st.st_mode));
}

// A report that did not get written whole is an error of its own, known before any block is
// sent where the file cannot be opened, and never waited for.
void CheckProcessTest::reportNotWritten_data() {
    QTest::addColumn<QString>("report");  // "fifo": a FIFO that nothing reads
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("farEnd");  // bytes the plug received
    QTest::newRow("full device") << "/dev/full"
                                 << "No space left on device" << 80;
    QTest::newRow("file that refuses writes") << "/proc/version"
                                              << "Input/output error" << 80;
    QTest::newRow("missing directory") << "/nonexistent/report.json"
                                       << "No such file or directory" << 0;
    QTest::newRow("FIFO nothing reads") << "fifo"
                                        << "a FIFO that nothing reads" << 0;
}

void CheckProcessTest::reportNotWritten() {
    QFETCH(QString, report);
    QFETCH(QString, reason);
    LoopbackPlug plug;
    START_PLUG(plug);
    QTemporaryDir dir;
    if (report == QLatin1String("fifo")) {
        report = dir.filePath(QStringLiteral("report"));
        QCOMPARE(::mkfifo(QFile::encodeName(report).constData(), 0600), 0);
    }
    QProcess checker;
    checker.start(qEnvironmentVariable("PARVOLO_CHECK_BIN"),
                  {"COM1", "--blocks", "5", "--json", report});
    QVERIFY(checker.waitForFinished(5000));
    QCOMPARE(checker.exitCode(), 6);
    const QString said = QString::fromUtf8(checker.readAllStandardError());
    QVERIFY2(said.contains(QStringLiteral("cannot write the report %1: %2").arg(report, reason)),
             qPrintable(said));
    QTEST(int(plug.stop().value(QStringLiteral("received"))), "farEnd");
}

// A long run watched from outside: with stderr not a terminal, one stamped status line a
// second, never one per block; the JSON report on disk is a whole run in progress at every
// moment, so that a kill -9 leaves the last one.
void CheckProcessTest::longRunFollowedAndKilled() {
    LoopbackPlug plug;
    START_PLUG(plug);
    QTemporaryDir dir;
    const QString report = dir.filePath(QStringLiteral("r.json"));
    QProcess checker;
    QElapsedTimer clock;
    clock.start();
    checker.start(qEnvironmentVariable("PARVOLO_CHECK_BIN"),
                  {"--duration", "60", "--status-every", "1", "--snapshot-every", "1", "--json",
                   report, "COM1"});
    QVERIFY(checker.waitForStarted());
    QString status;
    QTRY_VERIFY_WITH_TIMEOUT(
        (status += QString::fromUtf8(checker.readAllStandardError())).count(QLatin1Char('\n')) >= 3,
        10000);
    ::kill(pid_t(checker.processId()), SIGKILL);
    QVERIFY(checker.waitForFinished(5000));
    const double seconds = double(clock.elapsed()) / 1000.0;

    static const QRegularExpression line(QStringLiteral(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d COM1 0:00:\d\d  blocks \d+  )"
        R"(\d+ B/s  mismatches 0  line errors 0  remaining 0:00:\d\d$)"));
    const QStringList lines = status.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.size() <= seconds + 1, qPrintable(status));
    for (const QString& text : lines) QVERIFY2(line.match(text).hasMatch(), qPrintable(text));

    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonParseError error;
    const QJsonObject last = QJsonDocument::fromJson(file.readAll(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(last.value("in_progress"), QJsonValue(true));
    QCOMPARE(last.value("result"), QJsonValue(QStringLiteral("running")));
    QVERIFY(last.value("exit_code").isNull() && last.value("ended_at").isNull());
    QVERIFY(last.value("blocks").toInteger() > 0);
    QVERIFY(last.value("duration_seconds").toDouble() >= 1.0);
}

// The event log of a run with every 1000th byte corrupted: one failure event per corruption, at
// its block and byte, between a start and an end, with times that never go back; and a run that
// fails on every other byte logs a bounded number of them and counts the rest.
void CheckProcessTest::eventLog_data() {
    QTest::addColumn<int>("corruptEvery");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("logged");     // failure events
    QTest::addColumn<int>("notLogged");  // counted in the end event instead (at least)
    QTest::newRow("every 1000th byte") << 1000 << 300 << 4 << 0;
    QTest::newRow("every 2nd byte: bounded") << 2 << 300 << 1000 << 1000;
}

void CheckProcessTest::eventLog() {
    QFETCH(int, corruptEvery);
    QFETCH(int, blocks);
    QFETCH(int, logged);
    QFETCH(int, notLogged);
    LoopbackPlug plug;
    START_PLUG(plug, {"--corrupt-every", QString::number(corruptEvery)});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("events.jsonl"));
    Checker checker({"--blocks", QString::number(blocks), "--log", path, "COM1"});
    QCOMPARE(checker.finish(), 1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QJsonObject> events;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.isEmpty()) events << QJsonDocument::fromJson(line).object();
    QVERIFY(events.size() >= 2);
    QCOMPARE(events.first().value("event"), QJsonValue(QStringLiteral("start")));
    QCOMPARE(events.last().value("event"), QJsonValue(QStringLiteral("end")));
    QVERIFY(events.last().value("not_logged").toInteger() >= notLogged);
    int failures = 0;
    for (qsizetype i = 0; i < events.size(); ++i) {
        const QJsonObject& e = events[i];
        QVERIFY(!e.value("time").toString().isEmpty());
        if (i > 0) QVERIFY(e.value("t").toDouble() >= events[i - 1].value("t").toDouble());
        if (e.value("event") != QJsonValue(QStringLiteral("failure"))) continue;
        ++failures;
        if (corruptEvery < 1000) continue;
        QCOMPARE(e.value("byte").toInteger(), qint64(corruptEvery) * failures);
        QCOMPARE(e.value("block").toInteger(), (qint64(corruptEvery) * failures + 15) / 16);
        QCOMPARE(e.value("got").toInt(), 255 - e.value("expected").toInt());
    }
    QCOMPARE(failures, logged);
}

// A device that goes away mid-run: with --reconnect the run waits for it on the same COM
// number and goes on, the outage logged and counted, and never passes; without, or when it
// does not come back in time, the run ends as line-lost as it always did.
void CheckProcessTest::reconnect_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("plugBack");
    QTest::addColumn<int>("outages");
    QTest::addColumn<QString>("note");  // in the summary
    QTest::newRow("comes back") << QStringList{"--duration", "4", "--reconnect", "5"} << true << 1
                                << "outages     1, ";
    QTest::newRow("not waited for")
        << QStringList{"--duration", "4"} << true << 0 << "the device went away mid-run\n";
    QTest::newRow("does not come back in time")
        << QStringList{"--duration", "20", "--reconnect", "1"} << false << 0
        << "the device went away mid-run: it did not come back within 1 s";
}

void CheckProcessTest::reconnect() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, plugBack);
    QFETCH(int, outages);
    QFETCH(QString, note);
    LoopbackPlug plug;
    START_PLUG(plug);
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("events.jsonl"));
    Checker checker(arguments + QStringList{"--log", log, "COM1"});
    QFile events(log);
    QTRY_VERIFY_WITH_TIMEOUT(events.size() > 0, 5000);  // the port is open and the run going
    plug.kill();
    // An unplugged adapter leaves no node; a dangling link to a pty could meet another test's.
    if (!plugBack) QVERIFY(QFile::remove(plug.portDir() + QStringLiteral("/COM1")));
    if (plugBack) START_PLUG(plug);
    QCOMPARE(checker.finish(), 5);
    QCOMPARE(checker.value("outages"), qint64(outages));
    QVERIFY2(checker.summary().contains(note), qPrintable(checker.summary()));
    QVERIFY(events.open(QIODevice::ReadOnly));
    const QByteArray text = events.readAll();
    // Every outage waited for is logged, and its return when it came back.
    QCOMPARE(text.count("\"event\":\"outage\""), arguments.contains("--reconnect") ? 1 : 0);
    QCOMPARE(text.count("\"event\":\"return\""), outages);
}

// The page of a run with every 1000th byte corrupted: well-formed (it is XHTML as well), one
// mark per corruption on the timeline and a row for each, and nothing it would fetch.
void CheckProcessTest::htmlPage() {
    LoopbackPlug plug;
    START_PLUG(plug, {"--corrupt-every", "1000"});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run.html"));
    Checker checker({"--blocks", "300", "--html", path, "COM1"});
    QCOMPARE(checker.finish(), 1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray page = file.readAll();
    QXmlStreamReader xml(page);
    while (!xml.atEnd()) xml.readNext();
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(page.count("<line class=\"failure\""), 4);
    QCOMPARE(page.count("<td>mismatch at block"), 4);
    for (const char* outside : {"http:", "https:", "src=", "<script", "<link", "url("})
        QVERIFY2(!page.contains(outside), outside);
}

QTEST_GUILESS_MAIN(CheckProcessTest)
#include "test_check_process.moc"

// Four ports at once: one clean, one corrupting, one whose plug is pulled mid-run, one clean.
// The faulty two fail on their own, the others pass, the exit code is the worst port's, and
// the JUnit file says the same to the tools CI systems read it with.
void CheckProcessTest::manyPortsAtOnce() {
    LoopbackPlug plugs[4];
    const QStringList options[4] = {{}, {"--corrupt-every", "500"}, {}, {}};
    QStringList ports;
    for (int i = 0; i < 4; ++i) {
        START_PLUG(plugs[i], options[i]);
        ports << plugs[i].portDir() + QStringLiteral("/COM1");
    }
    QTemporaryDir dir;
    const QString junit = dir.filePath(QStringLiteral("junit.xml"));
    Checker checker(QStringList{"--duration", "3", "--junit", junit} + ports);
    QTRY_VERIFY_WITH_TIMEOUT(bytesWritten(checker.pid()) >= 4 * (11 + 200 * 16), 10000);
    plugs[2].kill();
    QCOMPARE(checker.finish(10000), 5);
    QVERIFY(checker.reportParsed());
    const QJsonObject& report = checker.report();
    QCOMPARE(report.value("result").toString(), QStringLiteral("line-lost"));
    QCOMPARE(report.value("ports_failed").toInt(), 2);
    const QJsonArray results = report.value("ports").toArray();
    QCOMPARE(results.size(), 4);
    const QStringList words = {"pass", "mismatch", "line-lost", "pass"};
    for (int i = 0; i < 4; ++i) {
        const QJsonObject port = results[i].toObject();
        QCOMPARE(port.value("result").toString(), words[i]);
        QCOMPARE(port.value("settings_requested").toObject().value("port").toString(), ports[i]);
        // The pulled plug did not hold up the others: they ran their three seconds.
        if (i != 2) QVERIFY(port.value("duration_seconds").toDouble() >= 2.9);
        if (i != 2) QVERIFY(port.value("blocks").toInt() > 1000);
    }
    QVERIFY2(checker.summary().contains(QStringLiteral("4 ports, 2 passed, 2 failed: line-lost")),
             qPrintable(checker.summary()));

    QVERIFY(runTool(QStringLiteral("xmllint"),
                    {"--noout", "--schema", sourceFile("tests/check/data/JUnit.xsd"), junit}));
    const auto parsed = runTool(QStringLiteral("/usr/bin/python3"),
                                {sourceFile("tests/check/junit_cases.py"), junit});
    QVERIFY(parsed);
    const QJsonObject seen = QJsonDocument::fromJson(*parsed).object();
    QCOMPARE(seen.value("suites").toInt(), 1);
    QCOMPARE(seen.value("tests").toInt(), 4);
    QCOMPARE(seen.value("failures").toInt(), 2);
    const QJsonArray cases = seen.value("cases").toArray();
    for (int i = 0; i < 4; ++i) {
        const QJsonObject c = cases[i].toObject();
        QCOMPARE(c.value("name").toString(), ports[i] + QStringLiteral(" 9600 8N1, flow none"));
        QCOMPARE(c.value("failure_type").toString(), i == 0 || i == 3 ? QString() : words[i]);
    }
    QVERIFY(cases[1]
                .toObject()
                .value("failure_message")
                .toString()
                .startsWith(QStringLiteral(
                    "mismatch: mismatch at block 32, byte 4 of the block (byte 500 sent)")));
    QCOMPARE(seen.value("properties").toObject().value(ports[1] + ".first_mismatch").toString(),
             QStringLiteral("500"));
}

void CheckProcessTest::remotePorts_data() {
    QTest::addColumn<QString>("server");  // what RemoteServer starts; "none": nothing listens
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("killServer");  // mid-run
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QJsonObject>("report");  // the values that the row is about
    QTest::addColumn<QString>("says");        // in the error
    const QStringList blocks = {"--blocks", "300"};
    QTest::newRow("ser2net") << "ser2net" << blocks << false << 0
                             << json(R"({"result": "pass", "blocks": 300, "line_errors": 0,
                                    "settings_applied": {"baud": 9600, "data_bits": 8},
                                    "remote": {"line_errors_reported": true, "modem_lines": null}})")
                             << QString();
    // pyserial's server never reports the line state: the line errors are unknown, not 0.
    QTest::newRow("pyserial") << "pyserial" << QStringList{"--baud", "115200", "--blocks", "300"}
                              << false << 0
                              << json(R"({"result": "pass", "blocks": 300, "line_errors": null,
                                     "kernel_line_errors": null,
                                     "settings_applied": {"baud": 115200},
                                     "remote": {"line_errors_reported": false}})")
                              << QString();
    // A pty takes no parity: the server answers with what its port kept.
    QTest::newRow("refused setting")
        << "pyserial" << QStringList{"--parity", "even", "--data-bits", "7"} << false << 4
        << json(R"({"result": "settings-not-applied", "blocks": 0,
               "settings_applied": {"data_bits": 8}})")
        << QStringLiteral("the server answered");
    QTest::newRow("server killed") << "ser2net" << QStringList{"--continuous"} << true << 5
                                   << json(R"({"result": "line-lost"})") << QString();
    QTest::newRow("server never answers")
        << "scripted:silent" << blocks << false << 3
        << json(R"({"result": "cannot-open", "settings_applied": null})")
        << QStringLiteral("does not answer");
    QTest::newRow("nothing listens")
        << "none" << blocks << false << 3 << json(R"({"result": "cannot-open"})")
        << QStringLiteral("Cannot connect to");
}

// The checker on ports that ser2net and pyserial's server export, and on servers that fail.
void CheckProcessTest::remotePorts() {
    QFETCH(QString, server);
    QFETCH(QStringList, arguments);
    QFETCH(bool, killServer);
    QFETCH(int, exitCode);
    QFETCH(QJsonObject, report);
    QFETCH(QString, says);
    RemoteServer remote;
    QString url = QStringLiteral("rfc2217://127.0.0.1:1");  // a port nobody serves
    if (server != QLatin1String("none")) {
        QVERIFY2(remote.start(server), qPrintable(server));
        url = remote.url();
    }
    Checker checker(arguments + QStringList{url});
    if (killServer) {
        // The plug has echoed a hundred blocks: the run is well under way.
        QTRY_VERIFY_WITH_TIMEOUT(bytesWritten(remote.plugPid()) >= 100 * 16, 10000);
        remote.kill();
    }
    // Every wait is bounded: a silent server ends the run within its 3 s answer bound.
    QCOMPARE(checker.finish(15000), exitCode);
    QVERIFY(checker.elapsedMs() < 10000);
    QVERIFY(checker.reportParsed());
    const QString wrong = jsonDifferences(checker.report(), report);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    const QString error = checker.report().value("error").toString();
    QVERIFY2(error.contains(says), qPrintable(error));
    QVERIFY2(checker.summaryStartsWithTheResult(), qPrintable(checker.summary()));
}
