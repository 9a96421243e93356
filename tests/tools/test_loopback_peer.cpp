// The loopback plug: its pure logic by direct calls, and the built program end to end over a real
// pty, found through $PARVOLO_LOOPBACK_BIN (set by CTest).

#include "../../tools/loopback-peer/peer_logic.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace parvolo::loopback;

namespace {

constexpr int kTimeoutMs = 10000;

std::vector<std::string> toArgs(const QStringList& list) {
    std::vector<std::string> args;
    for (const QString& item : list) args.push_back(item.toStdString());
    return args;
}

// Bytes counting up from `start`, so every byte value (NUL, CR, ^C, XON/XOFF, DEL) is sent.
QByteArray countingBytes(int start, int count) {
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i) bytes[i] = static_cast<char>((start + i) & 0xFF);
    return bytes;
}

// What a plug with these settings must send back for `sent`, whose first byte is stream position
// firstPosition (1-based).
QByteArray expectedEcho(const QByteArray& sent, qint64 firstPosition, quint64 corruptEvery,
                        quint64 dropEvery, qint64& corrupted, qint64& dropped) {
    QByteArray echo;
    for (int i = 0; i < sent.size(); ++i) {
        const quint64 position = static_cast<quint64>(firstPosition + i);
        if (dropEvery && position % dropEvery == 0) {
            ++dropped;
        } else if (corruptEvery && position % corruptEvery == 0) {
            echo.append(static_cast<char>(~static_cast<unsigned char>(sent[i])));
            ++corrupted;
        } else {
            echo.append(sent[i]);
        }
    }
    return echo;
}

QMap<QString, qint64> parseSummary(const QByteArray& output) {
    QMap<QString, qint64> values;
    for (const QByteArray& line : output.split('\n')) {
        if (!line.startsWith("SUMMARY ")) continue;
        for (const QByteArray& pair : line.mid(8).split(' ')) {
            const int eq = pair.indexOf('=');
            if (eq > 0)
                values.insert(QString::fromUtf8(pair.left(eq)), pair.mid(eq + 1).toLongLong());
        }
    }
    return values;
}

struct Plug {
    QProcess process;
    QString link;
    QString slave;
    QByteArray stdoutRest;
};

}  // namespace

class LoopbackPeerTest : public QObject {
    Q_OBJECT

private:
    QString m_binary;

    // Starts the plug and waits for its READY line.
    void startPlug(Plug& plug, const QStringList& args,
                   const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        plug.process.setProcessEnvironment(env);
        plug.process.start(m_binary, args + QStringList{"--print-ready"});
        QVERIFY2(plug.process.waitForStarted(kTimeoutMs), qPrintable(plug.process.errorString()));
        const QDeadlineTimer deadline(kTimeoutMs);
        while (!plug.process.canReadLine()) {
            QVERIFY2(plug.process.state() == QProcess::Running || plug.process.bytesAvailable(),
                     plug.process.readAllStandardError().constData());
            QVERIFY2(!deadline.hasExpired(), "no READY line from the plug");
            plug.process.waitForReadyRead(50);
        }
        const QList<QByteArray> ready = plug.process.readLine().trimmed().split(' ');
        QCOMPARE(ready.size(), 3);
        QCOMPARE(ready[0], QByteArray("READY"));
        plug.link = QString::fromLocal8Bit(ready[1]);
        plug.slave = QString::fromLocal8Bit(ready[2]);
    }

    // Stops the plug as an operator would and returns its summary.
    void stopPlug(Plug& plug, QMap<QString, qint64>& summary) {
        plug.process.terminate();
        QVERIFY(plug.process.waitForFinished(kTimeoutMs));
        QCOMPARE(plug.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(plug.process.exitCode(), 0);
        summary = parseSummary(plug.process.readAllStandardOutput());
        QVERIFY2(summary.contains("received") && summary.contains("elapsed_ms"), "no SUMMARY line");
        QVERIFY2(!QFileInfo(plug.link).isSymLink(), "the plug left its link behind");
    }

    static void openSlave(const QString& path, int& fd) {
        fd =
            ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY2(fd >= 0, qPrintable(path + ": " + QString::fromLocal8Bit(strerror(errno))));
    }

    static void writeAll(int fd, const QByteArray& bytes) {
        const QDeadlineTimer deadline(kTimeoutMs);
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
                continue;
            }
            QVERIFY2(n < 0 && errno == EAGAIN, strerror(errno));
            QVERIFY2(!deadline.hasExpired(), "the plug stopped taking bytes");
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }

    static void readExactly(int fd, qsizetype count, QByteArray& got) {
        got.clear();
        const QDeadlineTimer deadline(kTimeoutMs);
        char buffer[4096];
        while (got.size() < count) {
            QVERIFY2(!deadline.hasExpired(),
                     qPrintable(QString("got %1 of %2 bytes").arg(got.size()).arg(count)));
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            // Never read past `count`: extra bytes must stay visible to the next check.
            const ssize_t n =
                ::read(fd, buffer, std::min<qsizetype>(sizeof buffer, count - got.size()));
            QVERIFY2(n > 0 || (n < 0 && errno == EAGAIN), strerror(errno));
            if (n > 0) got.append(buffer, n);
        }
    }

private slots:
    void initTestCase() {
        m_binary = qEnvironmentVariable("PARVOLO_LOOPBACK_BIN");
        QVERIFY2(QFileInfo(m_binary).isExecutable(),
                 "set PARVOLO_LOOPBACK_BIN to the built parvolo-loopback (CTest does)");
    }

    void transform_data() {
        QTest::addColumn<quint64>("corruptEvery");
        QTest::addColumn<quint64>("dropEvery");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<quint64>("corrupted");
        QTest::addColumn<quint64>("dropped");

        QTest::newRow("off") << 0ull << 0ull << QList<QByteArray>{"ab", "", "cde"}
                             << QByteArray("abcde") << 0ull << 0ull;
        QTest::newRow("corrupt every 3 across chunks")
            << 3ull << 0ull << QList<QByteArray>{"AB", "CDE", "FG"}
            << QByteArray(
                   "AB\xBC"
                   "DE\xB9"
                   "G")
            << 2ull << 0ull;
        QTest::newRow("corrupt every byte")
            << 1ull << 0ull << QList<QByteArray>{QByteArray("\x00\xFF", 2), "\x0F"}
            << QByteArray("\xFF\x00\xF0", 3) << 3ull << 0ull;
        QTest::newRow("corrupt every 5 in one-byte chunks")
            << 5ull << 0ull
            << QList<QByteArray>{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}
            << QByteArray(
                   "abcd\x9A"
                   "fghi\x95"
                   "k")
            << 2ull << 0ull;
        QTest::newRow("empty chunk does not advance")
            << 2ull << 0ull << QList<QByteArray>{"A", "", "B"} << QByteArray("A\xBD") << 1ull
            << 0ull;
        QTest::newRow("drop every 2 across chunks")
            << 0ull << 2ull << QList<QByteArray>{"A", "B", "C", "DE"} << QByteArray("ACE") << 0ull
            << 2ull;
        QTest::newRow("drop every byte")
            << 0ull << 1ull << QList<QByteArray>{"xyz", "w"} << QByteArray() << 0ull << 4ull;
        QTest::newRow("drop wins where both fall")
            << 2ull << 4ull << QList<QByteArray>{"ABC", "DEFGH"}
            << QByteArray(
                   "A\xBD"
                   "CE\xB9"
                   "G")
            << 2ull << 2ull;
        QTest::newRow("period longer than stream") << 100ull << 100ull << QList<QByteArray>{"hello"}
                                                   << QByteArray("hello") << 0ull << 0ull;
    }

    void transform() {
        QFETCH(quint64, corruptEvery);
        QFETCH(quint64, dropEvery);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QByteArray, expected);
        QFETCH(quint64, corrupted);
        QFETCH(quint64, dropped);

        StreamTransform transform(corruptEvery, dropEvery);
        std::string out;
        quint64 total = 0;
        for (const QByteArray& chunk : chunks) {
            transform.apply(std::string_view(chunk.constData(), chunk.size()), out);
            total += chunk.size();
        }
        QCOMPARE(QByteArray(out.data(), qsizetype(out.size())), expected);
        QCOMPARE(transform.position(), total);
        QCOMPARE(transform.corrupted(), corrupted);
        QCOMPARE(transform.dropped(), dropped);
    }

    void parseAccepts_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("mode");
        QTest::addColumn<quint64>("corruptEvery");
        QTest::addColumn<quint64>("dropEvery");
        QTest::addColumn<quint64>("rate");
        QTest::addColumn<quint64>("generate");
        QTest::addColumn<QString>("pattern");

        const int echo = int(Mode::Echo), sink = int(Mode::Sink), gen = int(Mode::Generate);
        QTest::newRow("defaults") << QStringList{} << "COM1" << echo << 0ull << 0ull << 0ull << 0ull
                                  << "0123456789ABCDEF";
        QTest::newRow("echo shaping")
            << QStringList{"--port",       "COM12",      "--corrupt-every=7",
                           "--drop-every", "9",          "--rate",
                           "11520",        "--delay-ms", "0"}
            << "COM12" << echo << 7ull << 9ull << 11520ull << 0ull << "0123456789ABCDEF";
        QTest::newRow("last use wins")
            << QStringList{"--port", "COM2", "--port=COM3"} << "COM3" << echo << 0ull << 0ull
            << 0ull << 0ull << "0123456789ABCDEF";
        QTest::newRow("sink") << QStringList{"--sink"} << "COM1" << sink << 0ull << 0ull << 0ull
                              << 0ull << "0123456789ABCDEF";
        QTest::newRow("generate with pattern")
            << QStringList{"--generate", "1000000000", "--pattern", "a b"} << "COM1" << gen << 0ull
            << 0ull << 0ull << 1000000000ull << "a b";
    }

    void parseAccepts() {
        QFETCH(QStringList, args);
        QFETCH(QString, port);
        QFETCH(int, mode);
        QFETCH(quint64, corruptEvery);
        QFETCH(quint64, dropEvery);
        QFETCH(quint64, rate);
        QFETCH(quint64, generate);
        QFETCH(QString, pattern);

        const ParseResult result = parseArguments(toArgs(args));
        QVERIFY2(result.ok(), result.error.c_str());
        const Options& o = result.options;
        QCOMPARE(QString::fromStdString(o.port), port);
        QCOMPARE(int(o.mode), mode);
        QCOMPARE(o.corruptEvery, corruptEvery);
        QCOMPARE(o.dropEvery, dropEvery);
        QCOMPARE(o.rate, rate);
        QCOMPARE(o.generateRate, generate);
        QCOMPARE(QString::fromStdString(o.pattern), pattern);
    }

    void parseRejects_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("mentions");

        QTest::newRow("unknown option") << QStringList{"--loop"} << "--loop";
        QTest::newRow("stray argument") << QStringList{"COM1"} << "COM1";
        QTest::newRow("missing value") << QStringList{"--rate"} << "--rate";
        QTest::newRow("not a number") << QStringList{"--delay-ms", "ten"} << "ten";
        QTest::newRow("trailing junk") << QStringList{"--delay-ms", "12ms"} << "12ms";
        QTest::newRow("sign") << QStringList{"--quit-after-ms", "-5"} << "-5";
        QTest::newRow("plus sign") << QStringList{"--corrupt-every", "+5"} << "+5";
        QTest::newRow("blank") << QStringList{"--drop-every", " 5"} << "--drop-every";
        QTest::newRow("empty value") << QStringList{"--rate="} << "--rate";
        QTest::newRow("overflow") << QStringList{"--corrupt-every", "18446744073709551616"}
                                  << "--corrupt-every";
        QTest::newRow("every 0") << QStringList{"--drop-every", "0"} << "--drop-every";
        QTest::newRow("rate 0") << QStringList{"--rate", "0"} << "--rate";
        QTest::newRow("rate too high") << QStringList{"--generate", "1000000001"} << "--generate";
        QTest::newRow("port without number") << QStringList{"--port", "COM"} << "COM";
        QTest::newRow("port 0") << QStringList{"--port", "COM0"} << "COM0";
        QTest::newRow("port leading zero") << QStringList{"--port", "COM01"} << "COM01";
        QTest::newRow("port device name") << QStringList{"--port", "ttyS0"} << "ttyS0";
        QTest::newRow("port with path") << QStringList{"--port", "COM1/x"} << "COM1/x";
        QTest::newRow("flag with value") << QStringList{"--force=yes"} << "--force";
        QTest::newRow("empty pattern")
            << QStringList{"--generate", "5", "--pattern", ""} << "--pattern";
        QTest::newRow("sink and generate") << QStringList{"--sink", "--generate", "5"} << "--sink";
        QTest::newRow("sink with delay")
            << QStringList{"--sink", "--delay-ms", "5"} << "--delay-ms";
        QTest::newRow("generate with corrupt")
            << QStringList{"--corrupt-every", "3", "--generate", "5"} << "--corrupt-every";
        QTest::newRow("pattern without generate") << QStringList{"--pattern", "ab"} << "--pattern";
        QTest::newRow("byte limit without generate")
            << QStringList{"--generate-bytes", "5"} << "--generate-bytes";
        QTest::newRow("on input without generate")
            << QStringList{"--sink", "--generate-on-input"} << "--generate-on-input";
    }

    void parseRejects() {
        QFETCH(QStringList, args);
        QFETCH(QString, mentions);
        const ParseResult result = parseArguments(toArgs(args));
        QVERIFY(!result.ok());
        QVERIFY2(QString::fromStdString(result.error).contains(mentions), result.error.c_str());
    }

    void portDirectory_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("env");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("expected");

        QTest::newRow("option first") << "/opt/p"
                                      << "/env/p"
                                      << "/home/u"
                                      << "/opt/p";
        QTest::newRow("environment next") << QString() << "/env/p"
                                          << "/home/u"
                                          << "/env/p";
        QTest::newRow("empty environment ignored") << QString() << ""
                                                   << "/home/u"
                                                   << "/home/u/.config/parvolo/ports";
        QTest::newRow("nothing to go on") << QString() << QString() << QString() << QString();
    }

    void portDirectory() {
        QFETCH(QString, option);
        QFETCH(QString, env);
        QFETCH(QString, home);
        QFETCH(QString, expected);
        const std::optional<std::string> dir =
            option.isNull() ? std::nullopt : std::optional(option.toStdString());
        const std::string envText = env.toStdString(), homeText = home.toStdString();
        const std::string got = resolvePortDir(dir, env.isNull() ? nullptr : envText.c_str(),
                                               home.isNull() ? nullptr : homeText.c_str());
        QCOMPARE(QString::fromStdString(got), expected);
    }

    void rateMeter_data() {
        QTest::addColumn<quint64>("rate");
        QTest::newRow("1 B/s") << 1ull;
        QTest::newRow("9600 baud") << 960ull;
        QTest::newRow("115200 baud") << 11520ull;
        QTest::newRow("fast") << 1000000000ull;
    }

    // Drives the meter as the plug's loop does, on a made-up clock: wake when it says bytes are
    // due, send all it allows.
    void rateMeter() {
        QFETCH(quint64, rate);
        constexpr qint64 kSecond = 1'000'000'000;
        RateMeter meter(rate, 0);
        QCOMPARE(meter.available(0), 0ull);

        qint64 now = 0;
        quint64 sent = 0;
        int wakeUps = 0;
        while (now < 10 * kSecond) {
            const quint64 allowed = meter.available(now);
            meter.consume(allowed);
            sent += allowed;
            // Whatever the wake time it names, bytes must be there then, or the loop would spin.
            const qint64 wait = meter.nsUntil(meter.batch());
            QVERIFY(wait > 0);
            now += wait;
            QVERIFY(meter.available(now) >= 1);
            ++wakeUps;
        }
        QVERIFY2(sent <= rate * 10 + rate / 50 + 1, qPrintable(QString::number(sent)));
        QVERIFY2(sent >= rate * 10 * 99 / 100, qPrintable(QString::number(sent)));
        // A fast rate is served in batches (about a millisecond's worth), not a wake-up per byte.
        QVERIFY2(wakeUps <= 10 * 2000, qPrintable(QString::number(wakeUps)));

        // After a long stall only a small burst is allowed, not the lost time made up.
        meter.consume(meter.available(now));
        QVERIFY(meter.available(now + 60 * kSecond) <= std::max<quint64>(1, rate / 10));
    }

    void patternSource() {
        PatternSource source("abc");
        std::string out;
        for (std::size_t size : {1, 5, 0, 3, 16, 1}) source.produce(size, out);
        QCOMPARE(QByteArray::fromStdString(out), QByteArray("abcabcabcabcabcabcabcabcab"));
    }

    void echoesOverPty_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<quint64>("corruptEvery");
        QTest::addColumn<quint64>("dropEvery");

        QTest::newRow("plain") << QStringList{} << 0ull << 0ull;
        QTest::newRow("corrupt every 7") << QStringList{"--corrupt-every", "7"} << 7ull << 0ull;
        QTest::newRow("drop every 5") << QStringList{"--drop-every", "5"} << 0ull << 5ull;
        QTest::newRow("corrupt 3 drop 4")
            << QStringList{"--corrupt-every", "3", "--drop-every", "4"} << 3ull << 4ull;
        QTest::newRow("delayed and paced")
            << QStringList{"--delay-ms", "20", "--rate", "50000", "--corrupt-every", "100"}
            << 100ull << 0ull;
    }

    // The client never sets a mode: the plug's own raw setup must carry every byte unchanged.
    void echoesOverPty() {
        QFETCH(QStringList, args);
        QFETCH(quint64, corruptEvery);
        QFETCH(quint64, dropEvery);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Plug plug;
        startPlug(plug, args + QStringList{"--dir", dir.path() + "/ports"});
        if (QTest::currentTestFailed()) return;
        QCOMPARE(plug.link, dir.path() + "/ports/COM1");
        QCOMPARE(QFileInfo(plug.link).symLinkTarget(), plug.slave);

        int fd = -1;
        openSlave(plug.link, fd);
        if (QTest::currentTestFailed()) return;
        termios mode{};
        QCOMPARE(tcgetattr(fd, &mode), 0);
        QCOMPARE(mode.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(mode.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), tcflag_t(0));
        QCOMPARE(mode.c_oflag & OPOST, tcflag_t(0));

        qint64 position = 1, corrupted = 0, dropped = 0, echoed = 0;
        for (int size : {1, 255, 256, 1000, 3}) {
            const QByteArray sent = countingBytes(int(position), size);
            const QByteArray expected =
                expectedEcho(sent, position, corruptEvery, dropEvery, corrupted, dropped);
            writeAll(fd, sent);
            QByteArray got;
            readExactly(fd, expected.size(), got);
            if (QTest::currentTestFailed()) break;
            QCOMPARE(got.toHex(), expected.toHex());
            position += size;
            echoed += expected.size();
        }
        ::close(fd);
        if (QTest::currentTestFailed()) return;

        QMap<QString, qint64> summary;
        stopPlug(plug, summary);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(summary.value("received"), position - 1);
        QCOMPARE(summary.value("echoed"), echoed);
        QCOMPARE(summary.value("corrupted"), corrupted);
        QCOMPARE(summary.value("dropped"), dropped);
        QCOMPARE(summary.value("unsent"), 0);
        QCOMPARE(summary.value("generated"), 0);
    }

    // The line's shape: the turnaround in fractions of a millisecond or in microseconds, bytes
    // added or doubled; every one of them only for an echo.
    void lineOptions_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected");  // delay ns, add-every, duplicate; or the error
        QTest::newRow("whole milliseconds, as before")
            << QStringList{"--delay-ms", "20"} << "20000000 0 0";
        QTest::newRow("a fraction") << QStringList{"--delay-ms", "0.25"} << "250000 0 0";
        QTest::newRow("six decimals") << QStringList{"--delay-ms=1.000001"} << "1000001 0 0";
        QTest::newRow("microseconds") << QStringList{"--latency-us", "1000"} << "1000000 0 0";
        QTest::newRow("added and doubled")
            << QStringList{"--add-every", "1605", "--duplicate"} << "0 1605 1";
        QTest::newRow("seven decimals")
            << QStringList{"--delay-ms", "1.0000001"} << "'--delay-ms' needs milliseconds";
        QTest::newRow("no digits after the point")
            << QStringList{"--delay-ms", "1."} << "'--delay-ms' needs milliseconds";
        QTest::newRow("no whole part")
            << QStringList{"--delay-ms", ".5"} << "'--delay-ms' needs milliseconds";
        QTest::newRow("latency in fractions")
            << QStringList{"--latency-us", "0.5"} << "'--latency-us' needs a whole number";
        QTest::newRow("duplicate on a sink")
            << QStringList{"--sink", "--duplicate"} << "'--duplicate' only applies to echo";
        QTest::newRow("add-every 0")
            << QStringList{"--add-every", "0"} << "'--add-every' needs a whole number";
    }

    void lineOptions() {
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        const ParseResult result = parseArguments(toArgs(args));
        const Options& o = result.options;
        const QString got =
            result.ok() ? QString("%1 %2 %3").arg(o.delayNs).arg(o.addEvery).arg(int(o.duplicate))
                        : QString::fromStdString(result.error);
        QVERIFY2(result.ok() ? got == expected : got.contains(expected), qPrintable(got));
    }

    void addedBytes() {
        StreamTransform transform(0, 0, 3);
        std::string out;
        for (const char* chunk : {"ab", "cdef", "g"}) transform.apply(chunk, out);
        QCOMPARE(QByteArray::fromStdString(out).toHex(' '), QByteArray("abc\x9c"
                                                                       "def\x99"
                                                                       "g")
                                                                .toHex(' '));
        QCOMPARE(transform.added(), 2u);
    }

    // The line on a made-up clock, taken as the plug's loop takes it: each byte is through one
    // character after the one before, never earlier, and time the line stood idle is not made
    // up afterwards.
    void lineClock_data() {
        QTest::addColumn<quint64>("rate");
        QTest::newRow("9600 baud") << 960ull;
        QTest::newRow("115200 baud") << 11520ull;
        QTest::newRow("3000000 baud") << 300000ull;
    }

    void lineClock() {
        QFETCH(quint64, rate);
        const double c = 1e9 / double(rate);
        LineClock line(rate);
        constexpr qint64 kStart = 5'000'000;
        line.ready(kStart);
        QCOMPARE(line.through(kStart, 100), 0ull);
        std::int64_t now = kStart;
        std::uint64_t taken = 0;
        while (taken < 1000) {
            now = line.whenThrough(std::min<std::uint64_t>(1000 - taken, line.batch()));
            const std::uint64_t n = line.through(now, 1000 - taken);
            QVERIFY(n >= 1);
            line.take(n);
            taken += n;
            // The last byte taken is through by now, and no byte was let through early.
            QVERIFY(double(now) >= kStart + double(taken) * c - 1);
            QVERIFY(double(now) < kStart + double(taken + 1) * c);
        }
        // A pause of a second: the next byte still takes its character time.
        const std::int64_t later = now + 1'000'000'000;
        line.ready(later);
        QCOMPARE(line.through(later, 1000), 0ull);
        QCOMPARE(line.through(std::int64_t(later + 2.5 * c), 1000), 2ull);
    }

    // A client that goes leaves nothing for the next one: neither the echo it did not read nor
    // what the plug still held for it; the summary counts both.
    void queueDroppedAtClose_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<qint64>("echoed");
        QTest::newRow("echo waiting unread") << QStringList{} << 100ll;
        QTest::newRow("echo still held back") << QStringList{"--delay-ms", "60000"} << 0ll;
    }

    void queueDroppedAtClose() {
        QFETCH(QStringList, args);
        QFETCH(qint64, echoed);
        QTemporaryDir dir;
        Plug plug;
        startPlug(plug, args + QStringList{"--dir", dir.path()});
        if (QTest::currentTestFailed()) return;
        int fd = -1;
        openSlave(plug.link, fd);
        if (QTest::currentTestFailed()) return;
        writeAll(fd, countingBytes(0, 100));
        auto waiting = [fd] {
            int count = 0;
            return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
        };
        if (echoed > 0) QTRY_COMPARE_WITH_TIMEOUT(waiting(), 100, kTimeoutMs);
        ::close(fd);
        QMap<QString, qint64> summary;
        stopPlug(plug, summary);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(summary.value("echoed"), echoed);
        QCOMPARE(summary.value("discarded"), 100);
        QCOMPARE(summary.value("unsent"), 0);
    }

    // The plug holds the slave itself, so a client that closes and reopens finds it still
    // echoing.
    void survivesReopen() {
        QTemporaryDir dir;
        Plug plug;
        startPlug(plug, {"--dir", dir.path()});
        if (QTest::currentTestFailed()) return;
        for (int session = 0; session < 3; ++session) {
            int fd = -1;
            openSlave(plug.link, fd);
            if (QTest::currentTestFailed()) return;
            const QByteArray sent = QByteArray("session ") + QByteArray::number(session);
            writeAll(fd, sent);
            QByteArray got;
            readExactly(fd, sent.size(), got);
            ::close(fd);
            if (QTest::currentTestFailed()) return;
            QCOMPARE(got, sent);
        }
        QMap<QString, qint64> summary;
        stopPlug(plug, summary);
    }

    void sinkCountsWithoutEcho() {
        QTemporaryDir dir;
        Plug plug;
        startPlug(plug, {"--dir", dir.path(), "--sink", "--port", "COM4"});
        if (QTest::currentTestFailed()) return;
        QCOMPARE(QFileInfo(plug.link).fileName(), QString("COM4"));
        int fd = -1;
        openSlave(plug.link, fd);
        if (QTest::currentTestFailed()) return;
        writeAll(fd, countingBytes(0, 5000));

        QMap<QString, qint64> summary;
        stopPlug(plug, summary);
        ::close(fd);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(summary.value("received"), 5000);
        QCOMPARE(summary.value("echoed"), 0);
        QCOMPARE(summary.value("unsent"), 0);
    }

    void generatesPattern() {
        constexpr qint64 kRate = 40000;
        QTemporaryDir dir;
        Plug plug;
        startPlug(plug,
                  {"--dir", dir.path(), "--generate", QString::number(kRate), "--pattern", "xyz!"});
        if (QTest::currentTestFailed()) return;
        int fd = -1;
        openSlave(plug.link, fd);
        if (QTest::currentTestFailed()) return;
        writeAll(fd, "ignored");
        QByteArray got;
        readExactly(fd, 3000, got);
        if (QTest::currentTestFailed()) {
            ::close(fd);
            return;
        }
        // Generated before the client opened or not, the stream starts at the pattern's start
        // and never skips.
        QCOMPARE(got, QByteArray("xyz!").repeated(750));

        QMap<QString, qint64> summary;
        stopPlug(plug, summary);
        ::close(fd);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(summary.value("received"), 7);
        QCOMPARE(summary.value("echoed"), 0);
        const qint64 generated = summary.value("generated");
        QVERIFY(generated >= 3000);
        // The meter's bound, not a speed goal: never more than the rate allows since start.
        QVERIFY2(generated <= kRate * (summary.value("elapsed_ms") + 1) / 1000 + kRate / 50,
                 qPrintable(
                     QString("%1 bytes in %2 ms").arg(generated).arg(summary.value("elapsed_ms"))));
    }

    // The reception benchmark's stream: nothing before the client speaks, then exactly N bytes.
    void generatesCountedStreamOnInput() {
        QTemporaryDir dir;
        Plug plug;
        startPlug(plug, {"--dir", dir.path(), "--generate", "200000", "--generate-bytes", "1000",
                         "--generate-on-input"});
        if (QTest::currentTestFailed()) return;
        int fd = -1;
        openSlave(plug.link, fd);
        if (QTest::currentTestFailed()) return;
        pollfd quiet{fd, POLLIN, 0};
        QCOMPARE(::poll(&quiet, 1, 100), 0);
        writeAll(fd, "!");
        QByteArray got;
        readExactly(fd, 1000, got);
        pollfd after{fd, POLLIN, 0};
        const int more = ::poll(&after, 1, 100);
        QMap<QString, qint64> summary;
        stopPlug(plug, summary);
        ::close(fd);
        QCOMPARE(got, QByteArray("0123456789ABCDEF").repeated(63).left(1000));
        QCOMPARE(more, 0);
        QCOMPARE(summary.value("generated"), 1000);
    }

    void quitsByItself() {
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PARVOLO_PORT_DIR", dir.path() + "/from-env");
        Plug plug;
        startPlug(plug, {"--port", "COM7", "--quit-after-ms", "1500"}, env);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(plug.link, dir.path() + "/from-env/COM7");
        QVERIFY(QFileInfo(plug.link).isSymLink());
        QVERIFY(plug.process.waitForFinished(kTimeoutMs));
        QCOMPARE(plug.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(plug.process.exitCode(), 0);
        QVERIFY(!QFileInfo(plug.link).isSymLink());
        const QMap<QString, qint64> summary = parseSummary(plug.process.readAllStandardOutput());
        QVERIFY(summary.value("elapsed_ms") >= 1500);
    }

    void linkPolicy_data() {
        QTest::addColumn<QString>("existing");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("replaced");

        QTest::newRow("nothing") << "none" << false << true;
        QTest::newRow("dangling link") << "dangling" << false << true;
        QTest::newRow("link to a live pty") << "pty" << false << true;
        QTest::newRow("link elsewhere") << "elsewhere" << false << false;
        QTest::newRow("link elsewhere, forced") << "elsewhere" << true << true;
        QTest::newRow("regular file") << "file" << false << false;
        QTest::newRow("regular file, forced") << "file" << true << true;
        QTest::newRow("directory, forced") << "directory" << true << false;
    }

    void linkPolicy() {
        QFETCH(QString, existing);
        QFETCH(bool, force);
        QFETCH(bool, replaced);

        QTemporaryDir dir;
        const QString link = dir.path() + "/COM1";
        const QString other = dir.path() + "/real-device";
        QVERIFY(QFile(other).open(QIODevice::WriteOnly));
        int ptyMaster = -1, ptySlave = -1;
        if (existing == "dangling") QVERIFY(QFile::link(dir.path() + "/gone", link));
        if (existing == "elsewhere") QVERIFY(QFile::link(other, link));
        if (existing == "file") QVERIFY(QFile::copy(other, link));
        if (existing == "directory") QVERIFY(QDir().mkdir(link));
        if (existing == "pty") {
            QCOMPARE(openpty(&ptyMaster, &ptySlave, nullptr, nullptr, nullptr), 0);
            QVERIFY(QFile::link(QString::fromLocal8Bit(ptsname(ptyMaster)), link));
        }
        const QFileInfo before(link);

        QStringList args{"--dir", dir.path()};
        if (force) args << "--force";
        Plug plug;
        if (replaced) {
            startPlug(plug, args);
            if (!QTest::currentTestFailed()) {
                QCOMPARE(QFileInfo(link).symLinkTarget(), plug.slave);
                QMap<QString, qint64> summary;
                stopPlug(plug, summary);
            }
        } else {
            plug.process.start(m_binary, args + QStringList{"--print-ready"});
            QVERIFY(plug.process.waitForFinished(kTimeoutMs));
            QCOMPARE(plug.process.exitCode(), 2);
            QVERIFY(!plug.process.readAllStandardOutput().contains("READY"));
            QVERIFY(plug.process.readAllStandardError().contains(link.toLocal8Bit()));
            const QFileInfo after(link);
            QCOMPARE(after.isSymLink(), before.isSymLink());
            QCOMPARE(after.isDir(), before.isDir());
            QCOMPARE(after.symLinkTarget(), before.symLinkTarget());
        }
        if (ptyMaster >= 0) ::close(ptyMaster);
        if (ptySlave >= 0) ::close(ptySlave);
    }

    void commandLineExit_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stdoutHas");
        QTest::addColumn<QByteArray>("stderrHas");

        QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("--generate")
                              << QByteArray();
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << QByteArray("parvolo-loopback " PARVOLO_VERSION "\n")
                                 << QByteArray();
        QTest::newRow("bad number")
            << QStringList{"--drop-every", "0"} << 2 << QByteArray() << QByteArray("--drop-every");
        QTest::newRow("unknown option")
            << QStringList{"--echo"} << 2 << QByteArray() << QByteArray("--echo");
    }

    void commandLineExit() {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stdoutHas);
        QFETCH(QByteArray, stderrHas);

        QTemporaryDir dir;
        QProcess process;
        process.start(m_binary, args + QStringList{"--dir", dir.path() + "/ports"});
        QVERIFY(process.waitForFinished(kTimeoutMs));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        QVERIFY(process.readAllStandardOutput().contains(stdoutHas));
        QVERIFY(process.readAllStandardError().contains(stderrHas));
        QVERIFY2(!QFileInfo::exists(dir.path() + "/ports"), "created a directory without running");
    }

    // The plug speaks the user's language: the fragments come from its Japanese catalog, %1 is
    // the port map directory. Each run must also lack the other language's words, so a message
    // left untranslated, or translated under an English locale, fails.
    void messagesInUserLanguage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("lang");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("notSays");

        QTest::newRow("unknown option, English")
            << QStringList{"--bogus"} << "C.UTF-8" << 2 << "unknown option '--bogus'"
            << "不明なオプション";
        QTest::newRow("unknown option, Japanese")
            << QStringList{"--bogus"} << "ja_JP.UTF-8" << 2 << "不明なオプションです: '--bogus'"
            << "unknown option";
        QTest::newRow("directory under a file, English")
            << QStringList{} << "C.UTF-8" << 1 << "cannot create directory %1: "
            << "作成できません";
        QTest::newRow("directory under a file, Japanese")
            << QStringList{} << "ja_JP.UTF-8" << 1 << "ディレクトリ %1 を作成できません: "
            << "cannot create";
    }

    void messagesInUserLanguage() {
        QFETCH(QStringList, args);
        QFETCH(QString, lang);
        QFETCH(int, exitCode);
        QFETCH(QString, says);
        QFETCH(QString, notSays);

        QTemporaryDir dir;
        QVERIFY(QFile(dir.filePath("file")).open(QIODevice::WriteOnly));
        const QString portDir = dir.filePath("file/ports");
        // LANGUAGE outranks LANG for the plug, so the English runs must not inherit one.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) env.remove(name);
        env.insert("LANG", lang);
        if (lang.startsWith("ja")) env.insert("LANGUAGE", "ja");
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(m_binary, args + QStringList{"--dir", portDir});
        QVERIFY(process.waitForFinished(kTimeoutMs));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        const QString error = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(error.contains(QString(says).replace("%1", portDir)), qPrintable(error));
        QVERIFY2(!error.contains(notSays), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(LoopbackPeerTest)
#include "test_loopback_peer.moc"
