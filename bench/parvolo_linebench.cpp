// How much of a line the loopback test keeps busy: parvolo-check one block at a time, with
// --stream, and linux-serial-test (when its binary is given), each against the loopback plug
// paced as a line with a turnaround latency, run alternately. Prints payload bytes compared per
// second over the line rate, the one-block-at-a-time model (block + 1 character time + latency)
// and each program's CPU time per second of run.
//
//   parvolo_linebench [--seconds N] [--rounds N] [--lst PATH]
//
// linux-serial-test is found through --lst or $PARVOLO_LST_BIN; without it its rows are skipped.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <vector>

extern char** environ;

namespace {

struct Child {
    pid_t pid = -1;
};

// Starts a program with stdout (and stderr) going to files.
Child spawn(const QString& program, const QStringList& arguments, const QString& out,
            const QString& err) {
    std::vector<QByteArray> storage{QFile::encodeName(program)};
    for (const QString& a : arguments) storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, QFile::encodeName(out).constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, QFile::encodeName(err).constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Child child;
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// Waits for the child; its CPU seconds (user + system).
double reap(const Child& child, int* status = nullptr) {
    int st = 0;
    rusage usage{};
    if (wait4(child.pid, &st, 0, &usage) < 0) return -1;
    if (status) *status = st;
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QString readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

class Plug {
public:
    Plug(const QString& binary, const QTemporaryDir& dir, int bytesPerSecond, int latencyUs)
        : m_out(dir.filePath("plug.out")) {
        m_child =
            spawn(binary,
                  {"--port", "COM9", "--dir", dir.path(), "--rate", QString::number(bytesPerSecond),
                   "--latency-us", QString::number(latencyUs), "--print-ready"},
                  m_out, dir.filePath("plug.err"));
        for (int i = 0; i < 5000 && m_child.pid > 0; ++i) {
            if (readText(m_out).startsWith("READY")) {
                m_link = dir.filePath("COM9");
                return;
            }
            usleep(1000);
        }
    }
    ~Plug() {
        if (m_child.pid <= 0) return;
        kill(m_child.pid, SIGTERM);
        reap(m_child);
    }
    const QString& link() const { return m_link; }

private:
    QString m_out;
    QString m_link;
    Child m_child;
};

struct Result {
    double bytesPerSecond = 0;  // compared payload
    double cpu = 0;             // CPU seconds per second of run
    QString note;
};

std::optional<Result> runCheck(const QString& check, const QString& port, int baud, int block,
                               bool stream, int seconds, const QTemporaryDir& dir) {
    QStringList args{"--baud",     QString::number(baud),
                     "--text",     QString(block, QLatin1Char('U')),
                     "--duration", QString::number(seconds),
                     "--json",     "-",
                     "--quiet",    port};
    if (stream) args.prepend("--stream");
    const QString out = dir.filePath("check.json");
    const Child child = spawn(check, args, out, dir.filePath("check.err"));
    if (child.pid <= 0) return std::nullopt;
    const double cpu = reap(child);
    const QJsonObject report = QJsonDocument::fromJson(readText(out).toUtf8()).object();
    if (report.isEmpty()) return std::nullopt;
    Result r;
    r.bytesPerSecond = report.value("bytes_per_second").toDouble();
    const double wall = report.value("duration_seconds").toDouble();
    r.cpu = wall > 0 ? cpu / wall : 0;
    r.note = report.value("result").toString();
    if (stream) r.note += QStringLiteral(", %1 in flight").arg(report.value("in_flight").toInt());
    return r;
}

std::optional<Result> runSerialTest(const QString& lst, const QString& port, int baud, int seconds,
                                    const QTemporaryDir& dir) {
    // -m: a pty has no modem lines; -o and -i: send and receive for the same time.
    const QString out = dir.filePath("lst.out");
    QElapsedTimer wall;
    wall.start();
    const Child child = spawn(lst,
                              {"-p", port, "-b", QString::number(baud), "-m", "-o",
                               QString::number(seconds), "-i", QString::number(seconds)},
                              out, dir.filePath("lst.err"));
    if (child.pid <= 0) return std::nullopt;
    const double cpu = reap(child);
    // Over the program's whole life: it receives a little longer than it sends.
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    static const QRegularExpression counts(QStringLiteral("rx=(\\d+), tx=(\\d+), rx err=(\\d+)"));
    const QRegularExpressionMatch m = counts.match(readText(out));
    if (!m.hasMatch()) return std::nullopt;
    Result r;
    r.bytesPerSecond = m.captured(1).toDouble() / elapsed;
    r.cpu = cpu / elapsed;
    r.note = QStringLiteral("rx err %1").arg(m.captured(3));
    return r;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int seconds = 5;
    int rounds = 1;
    QString lst = qEnvironmentVariable("PARVOLO_LST_BIN");
    for (int i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--seconds") seconds = std::max(1, args[i + 1].toInt());
        if (args[i] == "--rounds") rounds = std::max(1, args[i + 1].toInt());
        if (args[i] == "--lst") lst = args[i + 1];
    }
    const QString plugBin =
        qEnvironmentVariable("PARVOLO_LOOPBACK_BIN", PARVOLO_LOOPBACK_BIN_DEFAULT);
    const QString checkBin = qEnvironmentVariable("PARVOLO_CHECK_BIN", PARVOLO_CHECK_BIN_DEFAULT);
    const bool haveLst = !lst.isEmpty() && QFileInfo(lst).isExecutable();
    if (!haveLst)
        std::printf(
            "linux-serial-test not given (--lst or PARVOLO_LST_BIN): its rows are skipped\n");

    struct Line {
        int baud;
        int latencyUs;
    };
    const Line lines[] = {{115200, 1000}, {3000000, 1000}, {9600, 1000}};
    const int blocks[] = {16, 1024};
    std::printf("%-8s %-8s %-6s %-18s %12s %8s %8s %9s  %s\n", "baud", "latency", "block",
                "program", "compared B/s", "of line", "model", "CPU s/s", "note");
    for (int round = 0; round < rounds; ++round) {
        for (const Line& line : lines) {
            const int rate = line.baud / 10;  // 8N1: ten bits a character
            auto print = [&](int block, const char* program, const std::optional<Result>& r,
                             double model) {
                if (!r) {
                    std::printf("%-8d %-8d %-6d %-18s %12s\n", line.baud, line.latencyUs, block,
                                program, "failed");
                    return;
                }
                std::printf(
                    "%-8d %-8d %-6d %-18s %12.0f %7.1f%% %7s %9.4f  %s\n", line.baud,
                    line.latencyUs, block, program, r->bytesPerSecond,
                    100.0 * r->bytesPerSecond / rate,
                    model > 0 ? qPrintable(QStringLiteral("%1%").arg(100 * model, 0, 'f', 1)) : "",
                    r->cpu, qPrintable(r->note));
                std::fflush(stdout);
            };
            for (int block : blocks) {
                // One block at a time: the block, one character, the turnaround.
                const double model =
                    double(block) / (double(block + 1) + double(rate) * line.latencyUs / 1e6);
                for (bool stream : {false, true}) {
                    QTemporaryDir dir;
                    Plug plug(plugBin, dir, rate, line.latencyUs);
                    if (plug.link().isEmpty()) {
                        std::printf("the plug did not start\n");
                        return 1;
                    }
                    print(block, stream ? "check --stream" : "check (block)",
                          runCheck(checkBin, plug.link(), line.baud, block, stream, seconds, dir),
                          stream ? 1.0 : model);
                }
            }
            if (haveLst) {
                QTemporaryDir dir;
                Plug plug(plugBin, dir, rate, line.latencyUs);
                print(1024, "linux-serial-test",
                      runSerialTest(lst, plug.link(), line.baud, seconds, dir), 1.0);
            }
        }
    }
    return 0;
}
