// Finding who else has a port: UUCP lock files, flock() owners, open descriptors, and the
// permission hint. Other holders are child processes of this test (support/holder_process.h).
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utime.h>

#include "serial/port_holders.h"
#include "serial/port_use.h"
#include "serial/serial_error.h"
#include "support/holder_process.h"
#include "support/pty_pair.h"
#include "support/window_language.h"

using namespace parvolo;

namespace {

QByteArray hdbPid(qint64 pid) {
    return QByteArray::number(pid).rightJustified(10, ' ') + '\n';
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// What PortLock::take() made of a lock path: the outcome, and the refusal's text.
struct TakeResult {
    int outcome = -1;
    QString refusal;
};

TakeResult takeAndDescribe(const QString& directory, const QString& device) {
    PortLock lock;
    PortHolder holder;
    LockFileState state;
    TakeResult result;
    result.outcome = int(lock.take(directory, device, &holder, &state));
    if (holder.pid == 0) result.refusal = SerialError::lockInTheWay(device, state).description();
    return result;
}

// The same, by the unprivileged user "nobody" when this test runs as root, who could read
// any file: a lock that another user keeps unreadable is only unreadable to someone else.
TakeResult takeAndDescribeAsSomeoneElse(const QString& directory, const QString& device) {
    if (::geteuid() != 0) return takeAndDescribe(directory, device);
    int channel[2];
    if (::pipe(channel) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        const TakeResult result = takeAndDescribe(directory, device);
        const QByteArray text = QByteArray::number(result.outcome) + '\n' + result.refusal.toUtf8();
        ::_exit(::write(channel[1], text.constData(), size_t(text.size())) == text.size() ? 0 : 1);
    }
    ::close(channel[1]);
    QByteArray text;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);
    const qsizetype newline = text.indexOf('\n');
    return {text.left(newline).toInt(), QString::fromUtf8(text.mid(newline + 1))};
}

}  // namespace

class PortHoldersTest : public QObject {
    Q_OBJECT
private slots:
    void lockFileNames_data();
    void lockFileNames();
    void lockFiles_data();
    void lockFiles();
    void plantedLockPaths_data();
    void plantedLockPaths();
    void programNamesAreWhole();
    void systemUse_data();
    void systemUse();
    void openersOfADevice();
    void pseudoTerminals_data();
    void pseudoTerminals();
    void permissionHints_data();
    void permissionHints();
};

void PortHoldersTest::lockFileNames_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("name");
    QTest::newRow("on-board UART") << "/dev/ttyS0"
                                   << "LCK..ttyS0";
    QTest::newRow("pty") << "/dev/pts/3"
                         << "LCK..pts_3";
    QTest::newRow("outside /dev") << "/srv/lab/ttyX"
                                  << "LCK..ttyX";
}

void PortHoldersTest::lockFileNames() {
    QFETCH(QString, device);
    QTEST(lockFileName(device), "name");
}

void PortHoldersTest::lockFiles_data() {
    QTest::addColumn<QString>("found");  // what the directory holds before the take
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("holder");  // live, self, unknown or none
    using O = PortLock::Outcome;
    QTest::newRow("no lock file") << "nothing" << int(O::Taken) << "none";
    QTest::newRow("live, ten characters") << "live hdb" << int(O::HeldByOther) << "live";
    QTest::newRow("live, short decimal") << "live short" << int(O::HeldByOther) << "live";
    QTest::newRow("live, binary") << "live binary" << int(O::HeldByOther) << "live";
    QTest::newRow("owner gone") << "dead hdb" << int(O::Taken) << "none";
    QTest::newRow("unreadable, old") << "junk old" << int(O::Taken) << "none";
    QTest::newRow("unreadable, being written") << "empty new" << int(O::HeldByOther) << "unknown";
    QTest::newRow("held in this process") << "held here" << int(O::HeldByOther) << "self";
    QTest::newRow("no lock directory") << "no directory" << int(O::NotKept) << "none";
}

void PortHoldersTest::lockFiles() {
    QFETCH(QString, found);
    QFETCH(int, outcome);
    QFETCH(QString, holder);
    QTemporaryDir dir;
    const QString device = QStringLiteral("/dev/ttyS0");
    const QString file = dir.filePath(QStringLiteral("LCK..ttyS0"));
    HolderProcess live;
    QVERIFY(live.ok());
    PortLock earlier;
    if (found == QLatin1String("live hdb")) writeFile(file, hdbPid(live.pid()));
    if (found == QLatin1String("live short"))
        writeFile(file, QByteArray::number(live.pid()).rightJustified(4, '0') + '\n');
    if (found == QLatin1String("live binary")) {
        const qint32 pid = live.pid();
        writeFile(file, QByteArray(reinterpret_cast<const char*>(&pid), sizeof pid));
    }
    if (found == QLatin1String("dead hdb")) writeFile(file, hdbPid(deadProcessId()));
    if (found.startsWith(QLatin1String("junk")) || found.startsWith(QLatin1String("empty")))
        writeFile(file, found.startsWith(QLatin1String("junk")) ? "junk\n" : "");
    if (found == QLatin1String("junk old")) {
        const utimbuf hourAgo{::time(nullptr) - 3600, ::time(nullptr) - 3600};
        QCOMPARE(::utime(QFile::encodeName(file).constData(), &hourAgo), 0);
    }
    if (found == QLatin1String("held here"))
        QCOMPARE(earlier.take(dir.path(), device, nullptr), PortLock::Outcome::Taken);
    const QString directory =
        found == QLatin1String("no directory") ? dir.filePath(QStringLiteral("none")) : dir.path();
    const QByteArray before = readFile(file);

    // Looking without taking (parvolo-check --list) names the same live holder, removes no
    // stale file and writes none.
    const qint64 holderPid = holder == QLatin1String("live")   ? qint64(live.pid())
                             : holder == QLatin1String("self") ? qint64(::getpid())
                                                               : 0;
    QCOMPARE(lockFileHolder(directory, device).pid, holderPid);
    QCOMPARE(readFile(file), before);

    PortLock lock;
    PortHolder who{-1, QStringLiteral("untouched")};
    QCOMPARE(int(lock.take(directory, device, &who)), outcome);
    if (outcome == int(PortLock::Outcome::Taken)) {
        QCOMPARE(readFile(file), hdbPid(::getpid()));
        lock.release();
        QVERIFY(!QFile::exists(file));
        return;
    }
    QCOMPARE(readFile(file), before);  // someone else's file is left alone
    if (outcome == int(PortLock::Outcome::HeldByOther)) QCOMPARE(who.pid, holderPid);
    if (holder == QLatin1String("live"))
        QVERIFY(!who.program.isEmpty() && who.program == programName(live.pid()));
}

void PortHoldersTest::openersOfADevice() {
    PtyPair pty;
    QVERIFY(!pty.path().isEmpty());
    const dev_t rdev = deviceNumber(pty.path());
    // This process holds both ends, and is left out as asked.
    QVERIFY(deviceOpeners(rdev, ::getpid()).isEmpty());
    HolderProcess holder(pty.path());
    QVERIFY(holder.ok());
    const QList<PortHolder> found = deviceOpeners(rdev, ::getpid());
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0].pid, qint64(holder.pid()));
    QCOMPARE(found[0].program, programName(holder.pid()));
    QCOMPARE(deviceOpeners(rdev, holder.pid()).size(), 1);  // and this one is found
    holder.kill();
    QVERIFY(deviceOpeners(rdev, ::getpid()).isEmpty());
}

void PortHoldersTest::pseudoTerminals_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("pty");
    QTest::newRow("pty") << QString() << true;
    QTest::newRow("UART") << "/dev/ttyS0" << false;
    QTest::newRow("not a terminal") << "/dev/null" << false;
}

void PortHoldersTest::pseudoTerminals() {
    QFETCH(QString, path);
    PtyPair pty;
    if (path.isEmpty()) path = pty.path();
    const dev_t rdev = deviceNumber(path);
    if (rdev == 0) QSKIP("no such device here");
    QTEST(isPseudoTerminal(rdev), "pty");
}

// Anyone may put anything at a lock path in the shared lock directory. Reading it never opens a
// device or a FIFO, never follows a link and never waits, and a port whose lock nobody can see
// past is refused with the lock file named, so that whoever may remove it can.
void PortHoldersTest::plantedLockPaths_data() {
    QTest::addColumn<QString>("plant");
    QTest::addColumn<QString>("says");
    QTest::newRow("FIFO") << "fifo"
                          << "がファイルではなく FIFO です";
    QTest::newRow("link to a terminal") << "link to tty"
                                        << "がファイルではなく シンボリックリンク です";
    QTest::newRow("link to a live lock") << "link to file"
                                         << "シンボリックリンク";
    QTest::newRow("dangling link") << "dangling"
                                   << "シンボリックリンク";
    QTest::newRow("link to itself") << "loop"
                                    << "シンボリックリンク";
    QTest::newRow("directory") << "directory"
                               << "がファイルではなく ディレクトリ です";
    QTest::newRow("garbage") << "garbage"
                             << "に PID が書かれていません";
    QTest::newRow("empty") << "empty"
                           << "が空です";
    QTest::newRow("20 MB") << "huge"
                           << "大きすぎます (20000000 バイト)";
    QTest::newRow("PID past 2^32") << "wrap"
                                   << "の PID はどのプロセスにもありえない値です";
    QTest::newRow("PID 0") << "zero"
                           << "の PID はどのプロセスにもありえない値です";
    QTest::newRow("unreadable") << "unreadable"
                                << ") を読めません: Permission denied";
}

void PortHoldersTest::plantedLockPaths() {
    QFETCH(QString, plant);
    QFETCH(QString, says);
    QTemporaryDir dir;
    // As loose as the real lock directory, so that another user can work in it.
    QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 01777), 0);
    const QString device = QStringLiteral("/dev/ttyS0");
    const QString file = dir.filePath(QStringLiteral("LCK..ttyS0"));
    const QByteArray native = QFile::encodeName(file);
    const QString aside = dir.filePath(QStringLiteral("aside"));
    PtyPair terminal;
    HolderProcess live;
    QVERIFY(live.ok());
    if (plant == QLatin1String("fifo")) QCOMPARE(::mkfifo(native.constData(), 0666), 0);
    if (plant == QLatin1String("link to tty")) QVERIFY(QFile::link(terminal.path(), file));
    if (plant == QLatin1String("link to file")) {
        writeFile(aside, hdbPid(live.pid()));
        QVERIFY(QFile::link(aside, file));
    }
    if (plant == QLatin1String("dangling")) QVERIFY(QFile::link(aside, file));
    if (plant == QLatin1String("loop")) QVERIFY(QFile::link(file, file));
    if (plant == QLatin1String("directory")) QVERIFY(QDir().mkdir(file));
    if (plant == QLatin1String("garbage")) writeFile(file, "hello\n");
    if (plant == QLatin1String("empty")) writeFile(file, "");
    if (plant == QLatin1String("huge")) {
        writeFile(file, "");
        QCOMPARE(::truncate(native.constData(), 20000000), 0);
    }
    if (plant == QLatin1String("wrap")) writeFile(file, "4294967297\n");
    if (plant == QLatin1String("zero")) writeFile(file, hdbPid(0));
    if (plant == QLatin1String("unreadable")) {
        writeFile(file, hdbPid(live.pid()));
        if (::geteuid() == 0) QCOMPARE(::chown(native.constData(), 0, 0), 0);
        QCOMPARE(::chmod(native.constData(), 0), 0);
    }
    struct stat before {};
    QCOMPARE(::lstat(native.constData(), &before), 0);

    QElapsedTimer clock;
    clock.start();
    // Root reads the unreadable one, and rightly finds its live owner.
    if (plant != QLatin1String("unreadable")) QCOMPARE(lockFileHolder(dir.path(), device).pid, 0);
    const TakeResult result = takeAndDescribeAsSomeoneElse(dir.path(), device);
    QVERIFY2(clock.elapsed() < 2000, "reading a planted lock path must not wait");
    QVERIFY(result.outcome == int(PortLock::Outcome::Blocked) ||
            result.outcome == int(PortLock::Outcome::HeldByOther));
    QVERIFY2(result.refusal.contains(QStringLiteral("ロックファイル ") + file) &&
                 result.refusal.contains(says),
             qPrintable(result.refusal));
    // What was planted is left as it was: nothing written, followed or removed.
    struct stat after {};
    QCOMPARE(::lstat(native.constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_size, before.st_size);
    QCOMPARE(after.st_mode, before.st_mode);
}

// The kernel keeps 15 characters of a program's name; the holder is named as the user knows it.
void PortHoldersTest::programNamesAreWhole() {
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("a-serial-test-with-a-long-name"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
    QProcess process;
    process.start(program, {QStringLiteral("30")});
    QVERIFY(process.waitForStarted());
    QTRY_COMPARE(programName(process.processId()),
                 QStringLiteral("a-serial-test-with-a-long-name"));
    process.kill();
    process.waitForFinished();
}

// The kernel's console, from its list, and a login that systemd starts on the line.
void PortHoldersTest::systemUse_data() {
    QTest::addColumn<QString>("consoles");
    QTest::addColumn<QString>("unit");  // a link in getty.target.wants
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("by");
    const QString console = QStringLiteral("ttyS1                -W- (EC p a)    4:65\n");
    QTest::newRow("console") << console << "" << int(PortUse::Kind::Console) << "ttyS1";
    QTest::newRow("login") << ""
                           << "serial-getty@ttyS1.service" << int(PortUse::Kind::Login)
                           << "serial-getty@ttyS1.service";
    QTest::newRow("another port's console and login")
        << "ttyS0                -W- (EC p a)    4:64\n"
        << "serial-getty@ttyS0.service" << int(PortUse::Kind::Free) << "";
}

void PortHoldersTest::systemUse() {
    QFETCH(QString, consoles);
    QFETCH(QString, unit);
    QTemporaryDir dir;
    const PortUseSources sources{dir.filePath(QStringLiteral("consoles")), dir.path()};
    writeFile(sources.consoles, consoles.toLatin1());
    if (!unit.isEmpty())
        QVERIFY(QFile::link(QStringLiteral("/lib/systemd/system/serial-getty@.service"),
                            dir.filePath(unit)));
    const PortUse use = portUse(makedev(4, 65), QStringLiteral("ttyS1"), sources);
    QTEST(int(use.kind), "kind");
    QTEST(use.by, "by");
}

void PortHoldersTest::permissionHints_data() {
    QTest::addColumn<QString>("owner");
    QTest::addColumn<QString>("group");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("hint");
    QTest::newRow("uucp, as on Arch") << "root"
                                      << "uucp" << 0660
                                      << "グループ uucp に参加して (sudo usermod -aG uucp $USER)、"
                                         "ログインし直してください";
    QTest::newRow("group may only read")
        << "root"
        << "dialout" << 0640 << "このデバイスは root だけが開けます";
    QTest::newRow("root's group") << "root"
                                  << "root" << 0660 << "このデバイスは root だけが開けます";
    // Another user's terminal, as a pty is.
    QTest::newRow("another user's, 600")
        << "nobody"
        << "tty" << 0600 << "このデバイスは所有者の nobody と root だけが開けます";
    QTest::newRow("open to all") << "root"
                                 << "dialout" << 0666 << "";
}

void PortHoldersTest::permissionHints() {
    QFETCH(QString, owner);
    QFETCH(QString, group);
    QFETCH(int, mode);
    const struct group* entry = ::getgrnam(group.toLocal8Bit().constData());
    const passwd* user = ::getpwnam(owner.toLocal8Bit().constData());
    if (!entry || !user) QSKIP("no such group or user here");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyX"));
    writeFile(path, "");
    const QByteArray native = QFile::encodeName(path);
    if (::chown(native.constData(), user->pw_uid, entry->gr_gid) != 0)
        QSKIP("only root can give a file away");
    QCOMPARE(::chmod(native.constData(), mode_t(mode)), 0);
    const QString hint = permissionHint(deviceAccess(path));
    QTEST(hint, "hint");
    const QString message =
        SerialError::permissionDenied(path, EACCES, deviceAccess(path)).description();
    QVERIFY2(message.startsWith(path) && message.contains(QStringLiteral("Permission denied")) &&
                 message.endsWith(hint),
             qPrintable(message));
}

PARVOLO_TEST_IN_WINDOW_LANGUAGE

QTEST_MAIN(PortHoldersTest)
#include "test_port_holders.moc"
