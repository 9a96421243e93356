// The window as a process of its own, over the loopback plug: ended by the signals a desktop
// sends (logout, kill, Ctrl+C), killed outright, refused by a second window, started without
// a display. The window process is tests/window/window_on_port.cpp: the shipped program, which
// clicks 通信開始 once shown and prints its message boxes.
#include <QProcess>
#include <QtTest>

#include <signal.h>

#include "serial/port_holders.h"
#include "serial/posix_serial_device.h"
#include "support/loopback_plug.h"
#include "support/window_harness.h"

using namespace parvolo;

namespace {

class WindowProcess {
public:
    explicit WindowProcess(const QString& portDir) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PARVOLO_PORT_DIR"), portDir);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(qEnvironmentVariable("PARVOLO_WINDOW_BIN"), {});
        if (m_process.waitForStarted()) m_pid = m_process.processId();
    }
    ~WindowProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    // The first line of output that starts with `prefix`, waited for up to 10 s.
    QString lineStartingWith(const QString& prefix) {
        QDeadlineTimer deadline(10000);
        for (;;) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                if (line.startsWith(prefix)) return line;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) return {};
            m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        }
    }
    qint64 pid() const { return m_pid; }
    void signal(int number) { ::kill(pid_t(pid()), number); }
    bool ended() { return m_process.waitForFinished(10000); }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    qint64 m_pid = 0;
};

qint64 pidInFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// A window in this process opens COM1 with nothing to report.
bool anotherWindowOpens() {
    WindowHarness h(std::make_unique<PosixSerialDevice>());
    bool opened = false;
    h.whileOpen([&] { opened = h.w().MSComm->PortOpen(); });
    if (!h.messages.shown.isEmpty()) qWarning() << h.messages.texts();
    return opened && h.messages.shown.isEmpty();
}

}  // namespace

class WindowProcessTest : public QObject {
    Q_OBJECT
private slots:
    void stopSignalClosesThePortAndEnds_data();
    void stopSignalClosesThePortAndEnds();
    void killedWindowLeavesThePortUsable();
    void withoutDisplay_data();
    void withoutDisplay();
};

void WindowProcessTest::stopSignalClosesThePortAndEnds_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM (kill, shutdown)") << int(SIGTERM);
    QTest::newRow("SIGHUP (logout)") << int(SIGHUP);
    QTest::newRow("SIGINT (Ctrl+C)") << int(SIGINT);
}

void WindowProcessTest::stopSignalClosesThePortAndEnds() {
    QFETCH(int, signal);
    LoopbackPlug plug;
    START_PLUG(plug);
    WindowProcess first(plug.portDir());
    QCOMPARE(first.lineStartingWith(QStringLiteral("OPEN")),
             QStringLiteral("OPEN %1").arg(first.pid()));
    QCOMPARE(pidInFile(plug.lockFile()), first.pid());

    // A second window is told who has the port.
    WindowProcess second(plug.portDir());
    const QString refusal = second.lineStartingWith(QStringLiteral("MESSAGE"));
    QVERIFY2(refusal.endsWith(QStringLiteral("は使用中です: %1 (PID %2) が使っています (8010)")
                                  .arg(programName(first.pid()))
                                  .arg(first.pid())),
             qPrintable(refusal));
    second.signal(SIGTERM);
    QVERIFY(second.ended());

    first.signal(signal);
    QVERIFY(first.ended());
    QCOMPARE(first.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.process().exitCode(), 0);
    QVERIFY(!QFile::exists(plug.lockFile()));
    QVERIFY(anotherWindowOpens());
}

// Nothing of a killed window can run: its lock file stays behind and the exclusive flag stays
// on the pty, which the plug keeps alive. The next window still opens the port.
void WindowProcessTest::killedWindowLeavesThePortUsable() {
    LoopbackPlug plug;
    START_PLUG(plug);
    WindowProcess killed(plug.portDir());
    QVERIFY(!killed.lineStartingWith(QStringLiteral("OPEN")).isEmpty());
    killed.signal(SIGKILL);
    QVERIFY(killed.ended());
    QCOMPARE(killed.process().exitStatus(), QProcess::CrashExit);
    QCOMPARE(pidInFile(plug.lockFile()), killed.pid());
    // The plug clears the flag when it sees the last descriptor closed, a moment later.
    QTRY_VERIFY_WITH_TIMEOUT(anotherWindowOpens(), 2000);
    QVERIFY(plug.stop().value(QStringLiteral("exclusive_cleared")) >= 1);
}

// The program as started from a shell without a graphical session.
// The program started from a shell without a graphical session.
void WindowProcessTest::withoutDisplay_data() {
    QTest::addColumn<QStringList>("arguments");  // NAME=value first goes to the environment
    QTest::addColumn<int>("exitCode");           // -1: still running after 1 s
    QTest::addColumn<QString>("output");         // the start of stdout
    QTest::addColumn<QString>("errors");         // all of stderr, once ended
    auto row = [](const char* name, const QStringList& arguments, int code, const char* output = "",
                  const char* errors = "") {
        QTest::newRow(name) << arguments << code << QString::fromUtf8(output)
                            << QString::fromUtf8(errors);
    };
    const char* usage = "Usage: parvolo [options]\n";
    const char* noDisplay =
        "parvolo needs a graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set\n";
    row("nothing asked", {}, 1, "", noDisplay);
    row("platform in the environment", {"QT_QPA_PLATFORM=offscreen"}, -1);
    row("platform given", {"-platform", "offscreen"}, -1);
    row("--help", {"--help"}, 0, usage);
    row("-h among Qt's options", {"-platform", "xcb", "-h"}, 0, usage);
    row("--version", {"--version"}, 0, "parvolo 1.");
    row("-v", {"-v"}, 0, "parvolo 1.");
    // Qt's -reverse is one word, not -r -e -v ...: the window would start, and needs a display.
    row("-reverse is Qt's", {"-reverse"}, 1, "", noDisplay);
}

void WindowProcessTest::withoutDisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    if (!arguments.isEmpty() && arguments[0].contains(QLatin1Char('='))) {
        const QString setting = arguments.takeFirst();
        env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    }
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("PARVOLO_BIN"), arguments);
    QVERIFY(program.waitForStarted());
    const bool runs = exitCode < 0;
    if (runs) {
        // The window comes up and waits for the operator; a stop signal ends it cleanly.
        QVERIFY(!program.waitForFinished(1000));
        ::kill(pid_t(program.processId()), SIGTERM);
    }
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), runs ? 0 : exitCode);
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    QVERIFY2(output.isEmpty() ? out.isEmpty() : out.startsWith(output), qPrintable(out));
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    if (runs)
        QVERIFY2(!errors.contains(QStringLiteral("graphical session")), qPrintable(errors));
    else
        QTEST(errors, "errors");
}

QTEST_MAIN(WindowProcessTest)
#include "test_window_process.moc"
