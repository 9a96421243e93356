// Finding who else has a port: UUCP lock files, flock() owners, open descriptors, and the
// permission hint. Other holders are child processes of this test (support/holder_process.h).
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "serial/port_holders.h"
#include "serial/serial_error.h"
#include "support/holder_process.h"
#include "support/pty_pair.h"

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

}  // namespace

class PortHoldersTest : public QObject {
    Q_OBJECT
private slots:
    void lockFileNames_data();
    void lockFileNames();
    void lockFiles_data();
    void lockFiles();
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

void PortHoldersTest::permissionHints_data() {
    QTest::addColumn<QString>("group");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("hint");
    QTest::newRow("uucp, as on Arch") << "uucp" << 0660
                                      << "グループ uucp に参加して (sudo usermod -aG uucp $USER)、"
                                         "ログインし直してください";
    QTest::newRow("group may only read")
        << "dialout" << 0640 << "このデバイスは root だけが開けます";
    QTest::newRow("root's group") << "root" << 0660 << "このデバイスは root だけが開けます";
    QTest::newRow("open to all") << "dialout" << 0666 << "";
}

void PortHoldersTest::permissionHints() {
    QFETCH(QString, group);
    QFETCH(int, mode);
    const struct group* entry = ::getgrnam(group.toLocal8Bit().constData());
    if (!entry) QSKIP("no such group here");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyX"));
    writeFile(path, "");
    const QByteArray native = QFile::encodeName(path);
    if (::chown(native.constData(), 0, entry->gr_gid) != 0) QSKIP("only root can give a file away");
    QCOMPARE(::chmod(native.constData(), mode_t(mode)), 0);
    const QString hint = permissionHint(deviceAccess(path));
    QTEST(hint, "hint");
    const QString message =
        SerialError::permissionDenied(path, EACCES, deviceAccess(path)).description();
    QVERIFY2(message.startsWith(path) && message.contains(QStringLiteral("Permission denied")) &&
                 message.endsWith(hint),
             qPrintable(message));
}

QTEST_MAIN(PortHoldersTest)
#include "test_port_holders.moc"
