// Throughput and cost of the real window on the real termios device, over pseudo-terminals
// with the loopback plug (a separate process) as the far end. Prints one table.
//
//   parvolo_bench [--seconds N] [--only idle|blocks|check|receive|display|send]
//   QT_QPA_PLATFORM=xcb xvfb-run -a parvolo_bench ...   (on a real X server)
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QLineEdit>
#include <QPushButton>
#include <QSysInfo>
#include <QTextCursor>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "window/controls_table.h"
#include "window/multi_line_text_box.h"
#include "serial/posix_serial_device.h"
#include "support/loopback_plug.h"
#include "support/window_harness.h"

using namespace parvolo;

namespace {

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Every time a thread of the process gave up or lost the processor: a wakeup and its sleep.
qint64 processContextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

struct Row {
    QString name;
    QString value;
    QString goal;
};
QList<Row> rows;

void report(const QString& name, const QString& value, const QString& goal) {
    rows.append({name, value, goal});
    std::printf("  %s: %s\n", qPrintable(name), qPrintable(value));
    std::fflush(stdout);
}

// Script steps are tried rarely so that the harness itself costs nothing measurable.
struct PtyWindow : WindowHarness {
    PtyWindow() : WindowHarness(std::make_unique<PosixSerialDevice>()) { tickMs = 200; }
};

// Runs body inside the open port's loop for the given time and returns the process CPU
// seconds and the wall seconds it took.
struct Measured {
    double cpu = 0;
    double wall = 0;
    qint64 switches = 0;
};

Measured measureOpen(PtyWindow& h, double seconds, const std::function<void()>& start,
                     const std::function<void()>& finish = {}) {
    Measured m;
    QElapsedTimer clock;
    double cpu0 = 0;
    qint64 switches0 = 0;
    h.runOpen({WindowHarness::act([&] {
                   start();
                   cpu0 = processCpuSeconds();
                   switches0 = processContextSwitches();
                   clock.start();
               }),
               [&] {
                   if (clock.elapsed() < qint64(seconds * 1000)) return false;
                   m.cpu = processCpuSeconds() - cpu0;
                   m.switches = processContextSwitches() - switches0;
                   m.wall = double(clock.nsecsElapsed()) / 1e9;
                   if (finish) finish();
                   return true;
               }},
              int(seconds * 1000) + 5000);
    return m;
}

bool startPlug(LoopbackPlug& plug, const QStringList& options) {
    if (plug.start(options)) return true;
    std::fprintf(stderr, "loopback plug: %s\n", qPrintable(plug.error()));
    return false;
}

// The script looks at the window only at the start and the end of the measurement, so that
// the harness adds no wakeups of its own.
void idle(double seconds) {
    LoopbackPlug plug;
    if (!startPlug(plug, {})) return;
    PtyWindow h;
    h.tickMs = int(seconds * 1000) + 50;
    const Measured m = measureOpen(h, seconds, [] {});
    report(QStringLiteral("1. idle, port open (%1)").arg(QGuiApplication::platformName()),
           QStringLiteral("%1 CPU s/s (%2 ticks in %3 s), %4 context switches/s")
               .arg(m.cpu / m.wall, 0, 'f', 4)
               .arg(qRound(m.cpu * double(sysconf(_SC_CLK_TCK))))
               .arg(m.wall, 0, 'f', 0)
               .arg(double(m.switches) / m.wall, 0, 'f', 1),
           QStringLiteral("<= 2 ticks in 10 s, <= 5 switches/s"));
}

// write 16 bytes, poll for the echo, compare, repeat; no Qt.
double referenceBlocksPerSecond(const QString& path, double seconds) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0) return 0;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    const char block[] = "0123456789ABCDEF";
    char echo[64];
    quint64 blocks = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < qint64(seconds * 1000)) {
        if (::write(fd, block, 16) != 16) break;
        int got = 0;
        while (got < 16) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) break;
            const ssize_t n = ::read(fd, echo + got, sizeof echo - size_t(got));
            if (n <= 0) break;
            got += int(n);
        }
        if (got != 16 || memcmp(echo, block, 16) != 0) break;
        ++blocks;
    }
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    ::close(fd);
    return double(blocks) / wall;
}

// One run of the window: continuous loopback of the default text for the given time.
double windowBlocksPerSecond(double seconds, qint32* mismatches) {
    LoopbackPlug plug;
    if (!startPlug(plug, {})) return 0;
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Check4->setChecked(true);
    w.Check3->setChecked(true);
    qint32 blocksAtStart = 0;
    qint32 blocksAtEnd = 0;
    const Measured m = measureOpen(
        h, seconds,
        [&] {
            QTest::mouseClick(w.cmdOut, Qt::LeftButton);
            blocksAtStart = w.loopbackCheck().counters().blocks;
        },
        [&] { blocksAtEnd = w.loopbackCheck().counters().blocks; });
    *mismatches += w.loopbackCheck().counters().mismatches;
    std::fprintf(stderr, "    window run: %.1f us CPU per block, %.0f%% of a core\n",
                 1e6 * m.cpu / std::max(1, blocksAtEnd - blocksAtStart), 100 * m.cpu / m.wall);
    return double(blocksAtEnd - blocksAtStart) / m.wall;
}

double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

// The window and the bare loop take turns, three runs each, so that both see the same load.
void blocks(double seconds) {
    QList<double> window, reference;
    qint32 mismatches = 0;
    for (int round = 0; round < 3; ++round) {
        window << windowBlocksPerSecond(seconds / 3, &mismatches);
        if (qEnvironmentVariableIsSet("PARVOLO_BENCH_WINDOW_ONLY")) continue;
        LoopbackPlug plug;
        if (!startPlug(plug, {})) return;
        reference << referenceBlocksPerSecond(plug.portDir() + QStringLiteral("/COM1"),
                                              seconds / 3);
    }
    const double rate = median(window);
    const double bare = median(reference);
    report(QStringLiteral("2. loopback blocks, 16 chars, check on (median of 3)"),
           QStringLiteral("%1 blocks/s, %2 us/block (mismatches %3)")
               .arg(rate, 0, 'f', 0)
               .arg(1e6 / rate, 0, 'f', 1)
               .arg(mismatches),
           QStringLiteral("<= 2x reference"));
    report(QStringLiteral("2. bare reference loop: write, poll, compare (median of 3)"),
           QStringLiteral("%1 blocks/s, %2 us/block; Parvolo/reference time per block %3")
               .arg(bare, 0, 'f', 0)
               .arg(1e6 / bare, 0, 'f', 1)
               .arg(bare / rate, 0, 'f', 2),
           QString());
}

// A program of the bench's own, run against a fresh plug for the given time; its stdout.
// The checker and the bare loop are both measured as processes of their own: the kernel
// schedules a loop inside this process and one in a child differently against the plug (a
// child runs the same bare loop at 1.6 to 2 times the time per block here), so only two
// children compare like with like.
QByteArray runAgainstPlug(const QString& program, const QStringList& arguments, double seconds) {
    LoopbackPlug plug;
    if (!startPlug(plug, {})) return {};
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PARVOLO_PORT_DIR"), plug.portDir());
    child.setProcessEnvironment(env);
    child.start(program, arguments);
    if (!child.waitForFinished(int(seconds * 1000) + 10000)) return {};
    return child.readAllStandardOutput();
}

// parvolo-check as shipped, sending 16-byte blocks; its own clock covers only the blocks, not
// its start or the port's opening.
double checkerMicrosecondsPerBlock(double seconds, qint32* mismatches) {
    const QJsonObject report =
        QJsonDocument::fromJson(
            runAgainstPlug(
                qEnvironmentVariable("PARVOLO_CHECK_BIN"),
                {QStringLiteral("COM1"), QStringLiteral("--duration"), QString::number(seconds),
                 QStringLiteral("--json"), QStringLiteral("-"), QStringLiteral("--quiet")},
                seconds))
            .object();
    const qint64 blocks = report.value(QStringLiteral("blocks")).toInteger() +
                          report.value(QStringLiteral("abandoned_blocks")).toInteger();
    *mismatches += report.value(QStringLiteral("mismatches")).toInt();
    return blocks > 0
               ? report.value(QStringLiteral("duration_seconds")).toDouble() * 1e6 / double(blocks)
               : 0;
}

// The bare loop of row 2, in a child process: this program with --bare-loop.
double bareLoopMicrosecondsPerBlock(double seconds) {
    return runAgainstPlug(QCoreApplication::applicationFilePath(),
                          {QStringLiteral("--bare-loop"), QString::number(seconds)}, seconds)
        .trimmed()
        .toDouble();
}

// The checker and the bare loop take turns, three runs each.
void check(double seconds) {
    QList<double> checker, reference;
    qint32 mismatches = 0;
    for (int round = 0; round < 3; ++round) {
        checker << checkerMicrosecondsPerBlock(seconds / 3, &mismatches);
        reference << bareLoopMicrosecondsPerBlock(seconds / 3);
    }
    std::fprintf(stderr,
                 "    parvolo-check runs: %.1f %.1f %.1f us/block; bare loop: %.1f %.1f %.1f\n",
                 checker[0], checker[1], checker[2], reference[0], reference[1], reference[2]);
    const double perBlock = median(checker);
    const double bare = median(reference);
    report(QStringLiteral("2c. parvolo-check, 16-byte blocks (median of 3)"),
           QStringLiteral("%1 us/block (mismatches %2); bare loop as a process %3 us/block; "
                          "ratio %4")
               .arg(perBlock, 0, 'f', 1)
               .arg(mismatches)
               .arg(bare, 0, 'f', 1)
               .arg(perBlock / bare, 0, 'f', 2),
           QStringLiteral("<= 1.3x bare loop"));
}

QString longPattern() {
    QString text;
    for (int i = 0; text.size() < 4096; ++i)
        text += QStringLiteral("%1ABCDEFGHIJKLMNOPQRSTUVWXYZ").arg(i, 6, 10, QLatin1Char('0'));
    return text.left(4096);
}

void receive(double seconds) {
    const QString pattern = longPattern();
    LoopbackPlug plug;
    // The stream starts when the window has opened the port and sent one byte, and stops by
    // itself after the run's worth of bytes; the port then stays open a moment to drain.
    const qint64 total = qint64(seconds * 300000);
    if (!startPlug(plug, {QStringLiteral("--generate"), QStringLiteral("300000"),
                          QStringLiteral("--pattern"), pattern, QStringLiteral("--generate-bytes"),
                          QString::number(total), QStringLiteral("--generate-on-input")}))
        return;
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Check4->setChecked(true);
    w.txtOutData->setText(pattern);
    w.Combo1->setCurrentText(QStringLiteral("3000000"));
    QElapsedTimer clock;
    double cpu0 = 0;
    Measured m;
    h.runOpen({WindowHarness::act([&] {
                   w.MSComm->setOutput(QStringLiteral("!"));
                   cpu0 = processCpuSeconds();
                   clock.start();
               }),
               [&] {
                   return w.loopbackCheck().counters().receivedBytes >= total ||
                          clock.elapsed() > qint64(seconds * 1000) + 2000;
               },
               WindowHarness::act([&] {
                   m.cpu = processCpuSeconds() - cpu0;
                   m.wall = double(clock.nsecsElapsed()) / 1e9;
               })},
              int(seconds * 1000) + 5000);
    const qint32 received = w.loopbackCheck().counters().receivedBytes;
    const qint64 generated = plug.stop().value(QStringLiteral("generated"));
    report(QStringLiteral("3. reception at 300000 B/s, 4096-char text, check on"),
           QStringLiteral("%1 % of a core; %2 of %3 bytes read, %4 lost; %5 messages")
               .arg(100.0 * m.cpu / m.wall, 0, 'f', 2)
               .arg(received)
               .arg(generated)
               .arg(generated - received)
               .arg(h.messages.shown.size()),
           QStringLiteral("< 10 %, 0 lost"));
}

void display(double seconds) {
    QList<double> perRead;
    for (int limit : {256, 32767}) {
        LoopbackPlug plug;
        if (!startPlug(plug, {QStringLiteral("--generate"), QStringLiteral("300000")})) return;
        PtyWindow h;
        MSCommTest& w = h.w();
        w.Text8->setText(QString::number(limit));
        const int keep = std::max(0, limit - 64);
        w.Text9->setText(QString(keep, QLatin1Char('x')));
        // Keeps the display nearly full: each read has room for some characters.
        QTimer trim;
        QObject::connect(&trim, &QTimer::timeout, [&] {
            if (w.Text9->textLength() > keep) w.Text9->setText(QString(keep, QLatin1Char('x')));
        });
        trim.start(20);
        measureOpen(h, seconds, [&] { w.resetLoopStats(); });
        const auto& stats = w.loopStats();
        perRead << double(stats.receiveNanos) / 1000.0 /
                       double(std::max<quint64>(1, stats.receiveSteps));
        report(QStringLiteral("4. receive step, display limit %1").arg(limit),
               QStringLiteral("%1 us per read (%2 reads)")
                   .arg(perRead.last(), 0, 'f', 1)
                   .arg(stats.receiveSteps),
               QString());
    }
    if (perRead.size() == 2)
        report(QStringLiteral("4. display cost ratio 32767 / 256"),
               QStringLiteral("%1").arg(perRead[1] / perRead[0], 0, 'f', 2),
               QStringLiteral("<= 1.5"));
}

void send(double) {
    LoopbackPlug plug;
    if (!startPlug(plug, {QStringLiteral("--sink")})) return;
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Text2->setText(QStringLiteral("100000"));
    QElapsedTimer clock;
    double wall = 0;
    qint64 counted = 0;
    // The far end counts before the port closes: closing flushes what the pty still holds.
    h.runOpen({WindowHarness::act([&] {
                   clock.start();
                   QTest::mouseClick(w.cmdOut, Qt::LeftButton);
               }),
               [&] { return w.sendActive == False16; }, WindowHarness::act([&] {
                   wall = double(clock.nsecsElapsed()) / 1e9;
                   counted = plug.stop().value(QStringLiteral("received"));
               })},
              120000);
    report(QStringLiteral("5. sending, check off, 100000 transmissions"),
           QStringLiteral("%1 transmissions/s; far end counted %2 of %3 bytes handed over")
               .arg(double(w.sendRun().transmissions()) / wall, 0, 'f', 0)
               .arg(counted)
               .arg(qint64(w.sendRun().transmissions()) * 16),
           QStringLiteral("all bytes but what the final stop discards"));
}

}  // namespace

int main(int argc, char** argv) {
    // The bare loop as a child of the bench (row 2c): microseconds per block on
    // $PARVOLO_PORT_DIR/COM1.
    if (argc == 3 && std::strcmp(argv[1], "--bare-loop") == 0) {
        const QString port = qEnvironmentVariable("PARVOLO_PORT_DIR") + QStringLiteral("/COM1");
        const double rate = referenceBlocksPerSecond(port, std::atof(argv[2]));
        std::printf("%.3f\n", rate > 0 ? 1e6 / rate : 0.0);
        return 0;
    }
    // Offscreen unless a platform is chosen (QT_QPA_PLATFORM=xcb under Xvfb for the real one).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("PARVOLO_LOOPBACK_BIN"))
        qputenv("PARVOLO_LOOPBACK_BIN", PARVOLO_LOOPBACK_BIN_DEFAULT);
    if (qEnvironmentVariableIsEmpty("PARVOLO_CHECK_BIN"))
        qputenv("PARVOLO_CHECK_BIN", PARVOLO_CHECK_BIN_DEFAULT);
    QApplication app(argc, argv);
    installFontSubstitutions();
    double seconds = 10;
    QString only;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toDouble();
        else if (args[i] == QLatin1String("--only") && i + 1 < args.size())
            only = args[++i];
    }
    std::printf("Parvolo benchmarks on %s, %d cores, %.0f s per row, platform %s\n",
                qPrintable(QSysInfo::prettyProductName()), QThread::idealThreadCount(), seconds,
                qPrintable(QGuiApplication::platformName()));
    const std::pair<const char*, void (*)(double)> benches[] = {
        {"idle", idle},       {"blocks", blocks},   {"check", check},
        {"receive", receive}, {"display", display}, {"send", send}};
    for (const auto& [name, run] : benches)
        if (only.isEmpty() || only == QLatin1String(name)) run(seconds);

    std::printf("\n| Measurement | Result | Goal |\n|---|---|---|\n");
    for (const Row& row : rows)
        std::printf("| %s | %s | %s |\n", qPrintable(row.name), qPrintable(row.value),
                    qPrintable(row.goal));
    return 0;
}
