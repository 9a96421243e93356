// parvolo-check as a program against the loopback plug over ptys: its exit codes, its JSON
// report, its summary, the signals that end it and the far end going away.
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <signal.h>

#include "serial/port_holders.h"
#include "serial/posix_serial_device.h"
#include "support/holder_process.h"
#include "support/loopback_plug.h"

using namespace parvolo;

namespace {

#define START_PLUG(plug, ...) QVERIFY2((plug).start(__VA_ARGS__), qPrintable((plug).error()))

// Bytes a process has written so far (all files), from /proc: how a test sees blocks going out
// without a terminal for the progress line.
qint64 bytesWritten(qint64 pid) {
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("wchar: ")) return line.mid(7).toLongLong();
    return -1;
}

class Checker {
public:
    // Starts parvolo-check with the JSON report on stdout.
    explicit Checker(const QStringList& arguments) {
        m_process.start(qEnvironmentVariable("PARVOLO_CHECK_BIN"),
                        arguments + QStringList{QStringLiteral("--json"), QStringLiteral("-")});
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

private:
    QProcess m_process;
    QElapsedTimer m_clock;
    QJsonObject m_report;
    QJsonParseError m_jsonError{};
    QString m_summary;
    qint64 m_elapsedMs = 0;
};

QString lockFileOf(const LoopbackPlug& plug) {
    const QString pty = QFileInfo(plug.portDir() + QStringLiteral("/COM1")).canonicalFilePath();
    return QStringLiteral("%1/%2").arg(QLatin1String(PosixSerialDevice::kLockDirectory),
                                       lockFileName(pty));
}

}  // namespace

class CheckProcessTest : public QObject {
    Q_OBJECT
private slots:
    void echoCountsExactly_data();
    void echoCountsExactly();
    void corruptEveryHundredth();
    void sinkGivesNoAnswerWithinTheTimeout();
    void portHeldByAnotherProcess();
    void settingsThePtyRefuses_data();
    void settingsThePtyRefuses();
    void plugKilledMidRun();
    void stopSignalEndsWithAReport_data();
    void stopSignalEndsWithAReport();
    void linesOnAPtyAreSkipped_data();
    void linesOnAPtyAreSkipped();
    void usageErrorWritesNoReport();
};

void CheckProcessTest::echoCountsExactly_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("length");
    QTest::newRow("default text") << QStringList{} << 200 << 16;
    QTest::newRow("fox") << QStringList{"--fox"} << 50 << 53;
    QTest::newRow("count-up, advancing per block") << QStringList{"--count-up"} << 50 << 38;
    QTest::newRow("115200 2 stop bits, half-width katakana")
        << QStringList{"--baud", "115200", "--stop-bits", "2", "--text", "ｱｲｳ 123"} << 20 << 7;
}

void CheckProcessTest::echoCountsExactly() {
    QFETCH(QStringList, options);
    QFETCH(int, blocks);
    QFETCH(int, length);
    LoopbackPlug plug;
    START_PLUG(plug);
    Checker checker(options + QStringList{"COM1", "--blocks", QString::number(blocks)});
    QCOMPARE(checker.finish(), 0);
    QVERIFY(checker.reportParsed());
    const qint64 bytes = qint64(blocks) * length;
    QCOMPARE(checker.value("blocks"), blocks);
    QCOMPARE(checker.value("matched_bytes"), bytes);
    QCOMPARE(checker.value("received_bytes"), bytes);
    QCOMPARE(checker.value("mismatches"), 0);
    QCOMPARE(checker.value("line_errors"), 0);
    QCOMPARE(checker.value("first_mismatch"), 0);
    QCOMPARE(checker.value("abandoned_blocks"), 0);
    QCOMPARE(checker.value("exit_code"), 0);
    QCOMPARE(checker.report().value("result").toString(), QStringLiteral("pass"));
    QCOMPARE(checker.report().value("round_trip_us").toObject().value("count").toInt(), blocks);
    QVERIFY(checker.report().value("kernel_line_errors").isNull());  // a pty keeps none
    QVERIFY(checker.report().value("lines").isNull());
    QVERIFY(checker.report().value("bytes_per_second").toDouble() > 0);
    // What was asked for is what the driver read back.
    const QJsonObject requested = checker.report().value("settings_requested").toObject();
    const QJsonObject applied = checker.report().value("settings_applied").toObject();
    for (const char* key : {"baud", "data_bits", "parity", "stop_bits", "flow"})
        QCOMPARE(applied.value(QLatin1String(key)), requested.value(QLatin1String(key)));
    QCOMPARE(requested.value("block_length").toInt(), length);
    QVERIFY(checker.summary().startsWith(QStringLiteral("parvolo-check: pass (exit 0)\n")));
    // The far end saw every block once, and the port was given back.
    QCOMPARE(plug.stop().value(QStringLiteral("received")), bytes);
    QVERIFY(!QFile::exists(lockFileOf(plug)));
}

void CheckProcessTest::corruptEveryHundredth() {
    LoopbackPlug plug;
    START_PLUG(plug, {QStringLiteral("--corrupt-every"), QStringLiteral("100")});
    Checker checker({"COM1", "--blocks", "250"});
    QCOMPARE(checker.finish(), 1);
    QCOMPARE(checker.report().value("result").toString(), QStringLiteral("mismatch"));
    QCOMPARE(checker.value("blocks"), 250);
    QCOMPARE(checker.value("mismatches"), 40);
    QCOMPARE(checker.value("first_mismatch"), 100);
    QCOMPARE(checker.value("matched_bytes"), 3960);
    QCOMPARE(checker.value("received_bytes"), 4000);
    QCOMPARE(checker.value("abandoned_blocks"), 0);
}

// Nothing is echoed: the first block's time-out (3000 ms for 16 bytes at 9600 bit/s) ends the
// run at once, not after 1000 of them.
void CheckProcessTest::sinkGivesNoAnswerWithinTheTimeout() {
    LoopbackPlug plug;
    START_PLUG(plug, {QStringLiteral("--sink")});
    Checker checker({"COM1"});
    QCOMPARE(checker.finish(), 2);
    QCOMPARE(checker.report().value("settings_requested").toObject().value("timeout_ms").toInt(),
             3000);
    QVERIFY2(checker.elapsedMs() >= 3000 && checker.elapsedMs() < 3000 + 1500,
             qPrintable(QString::number(checker.elapsedMs())));
    QCOMPARE(checker.report().value("result").toString(), QStringLiteral("no-answer"));
    QCOMPARE(checker.value("blocks"), 0);
    QCOMPARE(checker.value("abandoned_blocks"), 1);
    QCOMPARE(checker.value("received_bytes"), 0);
    QCOMPARE(plug.stop().value(QStringLiteral("received")), 16);
}

void CheckProcessTest::portHeldByAnotherProcess() {
    LoopbackPlug plug;
    START_PLUG(plug);
    const QString pty = QFileInfo(plug.portDir() + QStringLiteral("/COM1")).canonicalFilePath();
    HolderProcess holder(pty, HolderProcess::Flock);
    QVERIFY(holder.ok());
    // 100 characters of 9 bits at 300 bit/s take 3000 ms: the window's estimate doubles the
    // time-out, and the report states it although no block went out.
    Checker checker({"COM1", "--baud", "300", "--text", QString(100, QLatin1Char('x'))});
    QCOMPARE(checker.finish(), 3);
    QCOMPARE(checker.report().value("settings_requested").toObject().value("timeout_ms").toInt(),
             6000);
    QCOMPARE(checker.report().value("result").toString(), QStringLiteral("cannot-open"));
    const QString error = checker.report().value("error").toString();
    QVERIFY2(error.contains(QStringLiteral("は使用中です")) &&
                 error.contains(QStringLiteral("(PID %1)").arg(holder.pid())),
             qPrintable(error));
    QVERIFY(checker.summary().contains(error));
    QVERIFY(checker.report().value("settings_applied").isNull());
    QCOMPARE(plug.stop().value(QStringLiteral("received")), 0);
}

void CheckProcessTest::settingsThePtyRefuses_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("named");
    QTest::newRow("7 data bits") << QStringList{"--data-bits", "7"}
                                 << QStringLiteral("データビット 7");
    QTest::newRow("even parity") << QStringList{"--parity", "even"}
                                 << QStringLiteral("パリティ 偶数");
}

void CheckProcessTest::settingsThePtyRefuses() {
    QFETCH(QStringList, options);
    QFETCH(QString, named);
    LoopbackPlug plug;
    START_PLUG(plug);
    Checker checker(options + QStringList{"COM1"});
    QCOMPARE(checker.finish(), 4);
    QCOMPARE(checker.report().value("result").toString(), QStringLiteral("settings-not-applied"));
    QVERIFY(checker.report().value("error").toString().contains(named));
    // What the driver made of the request: 8 data bits, no parity.
    const QJsonObject applied = checker.report().value("settings_applied").toObject();
    QCOMPARE(applied.value("data_bits").toInt(), 8);
    QCOMPARE(applied.value("parity").toString(), QStringLiteral("none"));
    QCOMPARE(plug.stop().value(QStringLiteral("received")), 0);
}

void CheckProcessTest::plugKilledMidRun() {
    LoopbackPlug plug;
    START_PLUG(plug);
    Checker checker({"COM1", "--continuous"});
    QTRY_VERIFY_WITH_TIMEOUT(bytesWritten(checker.pid()) > 100 * 16, 10000);
    QElapsedTimer sinceKill;
    sinceKill.start();
    plug.kill();
    QCOMPARE(checker.finish(2000), 5);
    QVERIFY2(sinceKill.elapsed() < 2000, qPrintable(QString::number(sinceKill.elapsed())));
    QCOMPARE(checker.report().value("result").toString(), QStringLiteral("line-lost"));
    QVERIFY(checker.value("blocks") >= 100);
    QCOMPARE(checker.value("mismatches"), 0);
    QVERIFY(checker.summary().contains(QStringLiteral("the device went away mid-run")));
}

void CheckProcessTest::stopSignalEndsWithAReport_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("echo");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("Ctrl+C") << int(SIGINT) << true << 0;
    QTest::newRow("SIGTERM") << int(SIGTERM) << true << 0;
    QTest::newRow("SIGHUP") << int(SIGHUP) << true << 0;
    // Stopped before anything came back: not a pass, however few blocks were missed.
    QTest::newRow("Ctrl+C with nothing back") << int(SIGINT) << false << 2;
}

void CheckProcessTest::stopSignalEndsWithAReport() {
    QFETCH(int, signal);
    QFETCH(bool, echo);
    QFETCH(int, exitCode);
    LoopbackPlug plug;
    START_PLUG(plug, echo ? QStringList{} : QStringList{QStringLiteral("--sink")});
    Checker checker({"COM1", "--continuous"});
    // The lock file's 11 bytes come first.
    QTRY_VERIFY_WITH_TIMEOUT(bytesWritten(checker.pid()) >= 11 + (echo ? 100 * 16 : 16), 10000);
    checker.signal(signal);
    QCOMPARE(checker.finish(2000), exitCode);
    QVERIFY(checker.reportParsed());
    QVERIFY2(checker.summary().contains(
                 QStringLiteral("interrupted; the block in flight was not counted")),
             qPrintable(checker.summary()));
    QCOMPARE(checker.value("exit_code"), exitCode);
    // The block in flight is not counted: whatever of it had come back is less than a block.
    const qint64 blocks = checker.value("blocks");
    QCOMPARE(checker.value("abandoned_blocks"), 0);
    QCOMPARE(checker.value("mismatches"), 0);
    QVERIFY(checker.value("received_bytes") - blocks * 16 < 16);
    if (echo) QVERIFY(blocks >= 100);
    // The port was given back on the way out.
    QVERIFY(!QFile::exists(lockFileOf(plug)));
    QVERIFY(plug.stop().value(QStringLiteral("received")) >= blocks * 16);
}

void CheckProcessTest::linesOnAPtyAreSkipped_data() {
    QTest::addColumn<QString>("blocks");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("with the data test") << "5" << 0;
    QTest::newRow("lines only: nothing checked") << "0" << 2;
}

void CheckProcessTest::linesOnAPtyAreSkipped() {
    QFETCH(QString, blocks);
    QFETCH(int, exitCode);
    LoopbackPlug plug;
    START_PLUG(plug);
    Checker checker({"COM1", "--lines", "--blocks", blocks});
    QCOMPARE(checker.finish(), exitCode);
    const QJsonObject lines = checker.report().value("lines").toObject();
    QCOMPARE(lines.value("result").toString(), QStringLiteral("skipped"));
    QCOMPARE(lines.value("reason").toString(), QStringLiteral("the device has no modem lines"));
    for (const char* pin : {"CTS", "DSR", "DCD"})
        QCOMPARE(
            lines.value("pins").toObject().value(QLatin1String(pin)).toObject().value("result"),
            QJsonValue(QStringLiteral("skipped")));
    QVERIFY(checker.summary().contains(QStringLiteral("lines       skipped")));
    QCOMPARE(checker.value("blocks"), blocks.toInt());
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

QTEST_GUILESS_MAIN(CheckProcessTest)
#include "test_check_process.moc"
