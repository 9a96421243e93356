// A remote port's server as an attacker or a broken server would be, against the checker and
// the window (COM1 mapped to the server through the port map), each a process of its own: an
// offer storm or a negotiation loop while the server reads nothing, and modem-state or
// line-state notifications at full rate while it echoes. Memory stays within a fixed bound, the
// result is honest, and the window still ends at once on SIGTERM.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include "support/remote_server.h"

namespace {

// What the programs may hold at most while a server storms (they start at about 10 and 30 MB;
// under AddressSanitizer at about 70 and 100 MB, its shadow and a small quarantine added).
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kScale = 2;
#else
constexpr qint64 kScale = 1;
#endif
constexpr qint64 kCheckerBoundKb = kScale * 80 * 1024;
constexpr qint64 kWindowBoundKb = kScale * 120 * 1024;

qint64 residentKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// Until the program ends or `ms` pass: the most it held, sampled every 50 ms.
qint64 mostResidentKb(QProcess& program, int ms) {
    qint64 most = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 pid = program.processId();
    while (clock.elapsed() < ms && program.state() == QProcess::Running) {
        most = std::max(most, residentKb(pid));
        program.waitForFinished(50);
    }
    return most;
}

// The settings and the line switches have been answered: the open is over.
bool openAnswered(RemoteServer& server) {
    QStringList got;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && got.filter(QStringLiteral("GOT 5 ")).size() < 3) {
        got += server.got();
        QTest::qWait(20);
    }
    return got.filter(QStringLiteral("GOT 5 ")).size() >= 3;  // flow, DTR, RTS
}

}  // namespace

class HostileServerTest : public QObject {
    Q_OBJECT
private slots:
    void storms_data();
    void storms();
};

void HostileServerTest::storms_data() {
    QTest::addColumn<QString>("program");  // "check" or "window"
    QTest::addColumn<QString>("storm");
    QTest::addColumn<bool>("reading");  // the server reads what it is sent
    QTest::addColumn<int>("exitCode");  // the checker's; the window's message for a hang-up
    const struct {
        const char* storm;
        bool reading;
        int checkExit;
    } storms[] = {
        {"offer", false, 5},  // replies pile up unread: the port ends, line-lost
        {"flip", false, 5},
        {"modem", true, 0},  // the echo behind the flood still passes
        {"line", true, 1},   // every block comes with line errors: mismatch
    };
    for (const auto& s : storms)
        for (const char* program : {"check", "window"})
            QTest::addRow("%s, %s%s", program, s.storm, s.reading ? "" : ", not reading")
                << QString::fromLatin1(program) << QString::fromLatin1(s.storm) << s.reading
                << s.checkExit;
}

void HostileServerTest::storms() {
    QFETCH(QString, program);
    QFETCH(QString, storm);
    QFETCH(bool, reading);
    QFETCH(int, exitCode);
    RemoteServer server;
    QVERIFY(server.start(QStringLiteral("scripted:answer")));
    QTemporaryDir ports;
    QVERIFY(QFile::link(server.url(), ports.filePath(QStringLiteral("COM1"))));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PARVOLO_PORT_DIR"), ports.path());
    // AddressSanitizer keeps freed memory in quarantine (256 MB by default), which a flood of
    // short-lived buffers fills: that would be its memory, not the program's.
    env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) +
                                                   QStringLiteral(":quarantine_size_mb=16"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const bool window = program == QLatin1String("window");
    if (window)
        process.start(qEnvironmentVariable("PARVOLO_WINDOW_BIN"), {});
    else
        process.start(qEnvironmentVariable("PARVOLO_CHECK_BIN"),
                      {"--baud", "115200", "--duration", "5", "--quiet", "--json", "-", "COM1"});
    QVERIFY(process.waitForStarted());
    QVERIFY(openAnswered(server));
    QCOMPARE(server.order("storm " + storm), QStringLiteral("OK"));
    if (!reading) QCOMPARE(server.order(QStringLiteral("pause")), QStringLiteral("OK"));

    const qint64 most = mostResidentKb(process, window ? 4000 : 15000);
    qInfo("%s: at most %lld MB resident", qPrintable(storm), most / 1024);
    QVERIFY2(most > 0 && most < (window ? kWindowBoundKb : kCheckerBoundKb),
             qPrintable(QString::number(most)));
    if (!window) {
        QCOMPARE(process.state(), QProcess::NotRunning);
        QCOMPARE(process.exitCode(), exitCode);
        const QJsonObject report =
            QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        const QJsonObject remote = report.value("remote").toObject();
        // The report says why the port ended, and whose counts the per-kind ones are.
        QCOMPARE(remote.value("lost_reason").toString().contains("stopped reading"), !reading);
        QCOMPARE(remote.value("kernel_line_errors_from").toString(), "server notifications");
        QCOMPARE(report.value("line_errors").toInt() > 0, storm == QLatin1String("line"));
        return;
    }
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    // A server that stopped reading ended the port with the window's hang-up message.
    QCOMPARE(output.contains(QStringLiteral("MESSAGE DCB取得エラー")), exitCode == 5);
    QElapsedTimer ending;
    ending.start();
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(1000));
    qInfo("ended %lld ms after SIGTERM", ending.elapsed());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
}

QTEST_GUILESS_MAIN(HostileServerTest)
#include "test_hostile_server.moc"
