// A long run of the real window on the real termios device: a continuous send with the
// loopback check off, over the loopback plug (echoing, in a process of its own). Every 10 s it
// prints the window's resident memory and how many port events wait for delivery; at the end
// it kills the plug, as a pulled cable would, and prints how long the fatal message took.
// The echo is paced so that the window's 32-bit count of received bytes cannot overflow
// during the run (that is the counters' documented limit, which would end it early).
//
//   parvolo_longrun [--minutes N | --seconds N] [--rate BYTES_PER_SEC]
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "window/controls_table.h"
#include "serial/posix_serial_device.h"
#include "support/loopback_plug.h"
#include "support/window_harness.h"

using namespace parvolo;

namespace {

double residentMegabytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return double(fields.value(1).toLongLong()) * double(::sysconf(_SC_PAGESIZE)) / 1e6;
}

struct Sample {
    qint64 seconds;
    double rssMb;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("PARVOLO_LOOPBACK_BIN"))
        qputenv("PARVOLO_LOOPBACK_BIN", PARVOLO_LOOPBACK_BIN_DEFAULT);
    QApplication app(argc, argv);
    installFontSubstitutions();
    qint64 seconds = 60;
    qint64 rate = 0;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--minutes")) seconds = args[i + 1].toLongLong() * 60;
        if (args[i] == QLatin1String("--seconds")) seconds = args[i + 1].toLongLong();
        if (args[i] == QLatin1String("--rate")) rate = args[i + 1].toLongLong();
    }
    seconds = std::max<qint64>(seconds, 1);
    if (rate <= 0) rate = std::min<qint64>(2'000'000, 1'900'000'000 / seconds);

    LoopbackPlug plug;
    if (!plug.start({QStringLiteral("--rate"), QString::number(rate)})) {
        std::fprintf(stderr, "loopback plug: %s\n", qPrintable(plug.error()));
        return 1;
    }
    WindowHarness h(std::make_unique<PosixSerialDevice>());
    h.tickMs = 200;  // the harness itself costs nothing measurable
    MSCommTest& w = h.w();
    w.Check3->setChecked(true);  // continuous, loopback check off

    QList<Sample> samples;
    QElapsedTimer clock;
    QElapsedTimer sinceKill;
    qint64 messageAfterMs = -1;
    qsizetype mostWaiting = 0;
    h.messages.whileOpen = [&](const RecordingMessageBox::Shown& box) {
        if (sinceKill.isValid() && messageAfterMs < 0) messageAfterMs = sinceKill.elapsed();
        std::printf("message: %s\n", qPrintable(box.text.simplified()));
    };
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        mostWaiting = std::max(mostWaiting, w.MSComm->pendingEventCount());
        samples.append({(clock.elapsed() + 500) / 1000, residentMegabytes()});
        std::printf("%6llds  RSS %7.3f MB  transmissions %10d  events waiting %lld\n",
                    samples.last().seconds, samples.last().rssMb, w.sendRun().transmissions(),
                    qint64(w.MSComm->pendingEventCount()));
        std::fflush(stdout);
    });
    std::printf("continuous send, check off, %lld s, over %s, echo paced at %lld B/s\n", seconds,
                qPrintable(plug.portDir() + QStringLiteral("/COM1")), rate);
    std::printf("%6ds  RSS %7.3f MB\n", 0, residentMegabytes());
    h.runOpen({WindowHarness::act([&] {
                   QTest::mouseClick(w.cmdOut, Qt::LeftButton);
                   clock.start();
                   sampler.start(10000);
               }),
               [&] { return clock.elapsed() >= seconds * 1000; }, WindowHarness::act([&] {
                   sampler.stop();
                   sinceKill.start();
                   plug.kill();
               }),
               [&] { return !w.MSComm->PortOpen(); }},
              int(seconds * 1000) + 60000);

    double low = 1e9, high = 0;
    for (const Sample& s : samples)
        if (s.seconds > 60) {
            low = std::min(low, s.rssMb);
            high = std::max(high, s.rssMb);
        }
    std::printf("transmissions: %d (%.0f/s), bytes received: %d\n", w.sendRun().transmissions(),
                double(w.sendRun().transmissions()) / double(seconds),
                w.loopbackCheck().counters().receivedBytes);
    std::printf("most events waiting at a sample: %lld\n", qint64(mostWaiting));
    if (high > 0)
        std::printf("RSS after the first minute: %.3f to %.3f MB, spread %.3f MB (goal <= 1 MB)\n",
                    low, high, high - low);
    std::printf("plug killed -> fatal message after %lld ms (goal < 500 ms); messages: %lld\n",
                messageAfterMs, qint64(h.messages.shown.size()));
    return 0;
}
