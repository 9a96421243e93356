// parvolo-check on a real UART driver: QEMU's 16550 in the test guest, on the kernel's 8250
// driver, with an echo at its far end. Run through tests/hardware/uart/run.sh, which boots the
// guest; PARVOLO_UART_DEVICE names the UART and PARVOLO_CHECK_BIN the checker.
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include "json_subset.h"

namespace {

// A number from sysfs, -1 when there is none.
int sysValue(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return -1;
    bool ok = false;
    const int value = file.readAll().trimmed().toInt(&ok);
    return ok ? value : -1;
}

// What the kernel logs to; a test that opened it would fight the guest's console.
bool isConsole(const QString& device) {
    QFile consoles(QStringLiteral("/proc/consoles"));
    if (!consoles.open(QIODevice::ReadOnly)) return true;
    const QString name = QFileInfo(device).fileName();
    for (const QByteArray& line : consoles.readAll().split('\n'))
        if (line.split(' ').constFirst() == name.toUtf8()) return true;
    return false;
}

}  // namespace

class UartLegTest : public QObject {
    Q_OBJECT

    QString m_device;
    int m_topBaud = 0;  // divisor 1: the fastest the driver sets

    // One checker run with the JSON report on stdout; fails the test when it does not end.
    bool check(const QStringList& arguments, QJsonObject* report, int* exitCode) {
        QProcess process;
        process.start(qEnvironmentVariable("PARVOLO_CHECK_BIN"),
                      arguments + QStringList{QStringLiteral("--quiet"), QStringLiteral("--json"),
                                              QStringLiteral("-"), m_device});
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
            process.kill();
            process.waitForFinished(5000);
            qWarning("parvolo-check did not end: %s", qPrintable(process.errorString()));
            return false;
        }
        QJsonParseError error;
        *report = QJsonDocument::fromJson(process.readAllStandardOutput(), &error).object();
        *exitCode = process.exitCode();
        if (error.error != QJsonParseError::NoError)
            qWarning("report: %s; stderr: %s", qPrintable(error.errorString()),
                     process.readAllStandardError().constData());
        return error.error == QJsonParseError::NoError;
    }

private slots:
    void initTestCase() {
        m_device = qEnvironmentVariable("PARVOLO_UART_DEVICE");
        if (m_device.isEmpty())
            QFAIL("PARVOLO_UART_DEVICE is not set: this test runs in the test guest only");
        QVERIFY2(!isConsole(m_device), "the UART under test is the guest's console");
        QVERIFY(QFileInfo::exists(qEnvironmentVariable("PARVOLO_CHECK_BIN")));
        // The port must be a 16550A on the serial core (PORT_16550A is type 4), not a pty or a
        // USB adapter; its clock gives its top speed.
        const QString sys =
            QStringLiteral("/sys/class/tty/%1/").arg(QFileInfo(m_device).fileName());
        QCOMPARE(sysValue(sys + "type"), 4);
        m_topBaud = sysValue(sys + "uartclk") / 16;
        QCOMPARE(m_topBaud, 115200);
    }

    void echoes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        const QString clean =
            QStringLiteral(R"("mismatches": 0, "line_errors": 0, "first_mismatch": 0,
                "abandoned_blocks": 0, "kernel_line_errors": {"frame": 0, "overrun": 0,
                "parity": 0, "break": 0, "buffer_overrun": 0})");
        auto pass = [&](int blocks, int blockLength, const QString& applied) {
            return QStringLiteral(R"({"result": "pass", "exit_code": 0, "blocks": %1,
                "matched_bytes": %2, "received_bytes": %2, %3, "lines": null,
                "settings_requested": {"block_length": %4}, "settings_applied": %5})")
                .arg(blocks)
                .arg(blocks * blockLength)
                .arg(clean)
                .arg(blockLength)
                .arg(applied);
        };
        QTest::newRow("9600 8N1, 200 text blocks")
            << QStringList{"--blocks", "200"}
            << pass(200, 16,
                    R"({"baud": 9600, "data_bits": 8, "parity": "none", "stop_bits": 1,
                        "flow": "none"})");
        QTest::newRow("115200 7E2")
            << QStringList{"--baud", "115200",      "--data-bits", "7",        "--parity",
                           "even",   "--stop-bits", "2",           "--blocks", "50"}
            << pass(50, 16,
                    R"({"baud": 115200, "data_bits": 7, "parity": "even", "stop_bits": 2})");
        QTest::newRow("38400 odd parity")
            << QStringList{"--baud", "38400", "--parity", "odd", "--blocks", "50"}
            << pass(50, 16, R"({"baud": 38400, "parity": "odd"})");
        // Mark and space parity need CMSPAR, which the 8250 driver has.
        QTest::newRow("mark parity") << QStringList{"--parity", "mark", "--blocks", "20"}
                                     << pass(20, 16, R"({"parity": "mark"})");
        QTest::newRow("space parity") << QStringList{"--parity", "space", "--blocks", "20"}
                                      << pass(20, 16, R"({"parity": "space"})");
        // QEMU holds CTS on for a socket far end, so the driver lets the data go.
        QTest::newRow("RTS/CTS flow") << QStringList{"--flow", "rtscts", "--blocks", "20"}
                                      << pass(20, 16, R"({"flow": "rtscts"})");
        QTest::newRow("XON/XOFF flow") << QStringList{"--flow", "xonxoff", "--blocks", "20"}
                                       << pass(20, 16, R"({"flow": "xonxoff"})");
        QTest::newRow("count-up records")
            << QStringList{"--count-up", "--blocks", "20"} << pass(20, 38, R"({"baud": 9600})");
        // Nothing wires the outputs back: QEMU reports CTS, DSR and DCD on whatever RTS and
        // DTR do, which the line check must call a failure while the data still passes.
        QTest::newRow("modem lines held on")
            << QStringList{"--lines", "--blocks", "20"}
            << QStringLiteral(R"({"result": "mismatch", "exit_code": 1, "matched_bytes": 320,
                "mismatches": 0, "lines": {"result": "fail", "reason": null, "pins": {
                "CTS": {"result": "fail", "failure": "stayed on with RTS off"},
                "DSR": {"result": "fail", "failure": "stayed on with DTR off"},
                "DCD": {"result": "fail", "failure": "stayed on with DTR off"}}}})");
    }

    void echoes() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QJsonObject report;
        int exitCode = -1;
        QVERIFY(check(arguments, &report, &exitCode));
        const QString differences = jsonDifferences(report, json(expected));
        QVERIFY2(differences.isEmpty(), qPrintable(differences));
        QCOMPARE(exitCode, report.value("exit_code").toInt());
        // Whatever was asked for is what the driver read back.
        const QJsonObject requested = report.value("settings_requested").toObject();
        const QJsonObject applied = report.value("settings_applied").toObject();
        QVERIFY(!applied.isEmpty());
        for (auto it = applied.begin(); it != applied.end(); ++it)
            QVERIFY2(requested.value(it.key()) == *it, qPrintable(it.key()));
    }

    // Speeds from the window's list: up to the UART's top speed the driver sets them, above it
    // the driver keeps its old speed and the checker refuses to run on it.
    void baudRates_data() {
        QTest::addColumn<int>("baud");
        QTest::addColumn<bool>("applied");
        for (int baud : {300, 1200, 9600, 14400, 57600, 115200})
            QTest::addRow("%d", baud) << baud << true;
        for (int baud : {128000, 460800, 921600, 3000000})
            QTest::addRow("%d", baud) << baud << false;
    }

    void baudRates() {
        QFETCH(int, baud);
        QFETCH(bool, applied);
        QJsonObject report;
        int exitCode = -1;
        QVERIFY(check({"--baud", QString::number(baud), "--blocks", "5"}, &report, &exitCode));
        const int readBack = report.value("settings_applied").toObject().value("baud").toInt();
        if (applied) {
            QCOMPARE(report.value("result").toString(), QStringLiteral("pass"));
            QCOMPARE(exitCode, 0);
            QCOMPARE(readBack, baud);
            QCOMPARE(report.value("matched_bytes").toInt(), 5 * 16);
        } else {
            QCOMPARE(report.value("result").toString(), QStringLiteral("settings-not-applied"));
            QCOMPARE(exitCode, 4);
            // The driver falls back to the speed the port had before, which depends on the run
            // before; it is one the UART can do.
            QVERIFY2(readBack > 0 && readBack <= m_topBaud, qPrintable(QString::number(readBack)));
            QCOMPARE(report.value("received_bytes").toInt(), 0);
            QVERIFY(report.value("error").toString().contains(QString::number(baud)));
        }
    }
};

QTEST_GUILESS_MAIN(UartLegTest)
#include "uart_leg_test.moc"
