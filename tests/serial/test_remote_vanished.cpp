// A remote port whose server vanishes without a word (no FIN, no RST: a dead host, a pulled
// cable) hangs up within half a minute. The server runs in a network namespace of the test's
// own, reached over a veth pair; a firewall in there then drops every packet both ways.
// Needs root, ip and nft; about 30 s a row.

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

#include "serial/rfc2217_device.h"
#include "support/remote_server.h"

using namespace parvolo;

namespace {

// The half minute the liveness settings promise, and a margin for the kernel's timers.
constexpr int kHangUpBoundMs = 35000;

bool run(const QStringList& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(args.first(), args.mid(1));
    const bool ok = process.waitForFinished(10000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok) qWarning("%s: %s", qPrintable(args.join(' ')), process.readAll().constData());
    return ok;
}

// A namespace and a veth pair into it, named after this process and in a /30 of its own, so
// that two runs at once do not meet. Removed when this goes, however the test ended.
class Island {
public:
    Island() {
        const int pid = int(::getpid());
        m_netns = QStringLiteral("parvolo-vanish-%1").arg(pid);
        m_outer = QStringLiteral("pvv%1h").arg(pid);
        const QString inner = QStringLiteral("pvv%1n").arg(pid);
        const int net = (pid % 16384) * 4;
        const QString prefix = QStringLiteral("10.217.%1.").arg(net >> 8);
        m_address = prefix + QString::number((net & 0xff) + 2);
        const QString outerAddress = prefix + QString::number((net & 0xff) + 1) + "/30";
        m_ready = run({"ip", "netns", "add", m_netns}) &&
                  run({"ip", "link", "add", m_outer, "type", "veth", "peer", "name", inner, "netns",
                       m_netns}) &&
                  run({"ip", "addr", "add", outerAddress, "dev", m_outer}) &&
                  run({"ip", "link", "set", m_outer, "up"}) &&
                  run({"ip", "-n", m_netns, "addr", "add", m_address + "/30", "dev", inner}) &&
                  run({"ip", "-n", m_netns, "link", "set", inner, "up"});
    }
    ~Island() {
        run({"ip", "link", "del", m_outer});
        run({"ip", "netns", "del", m_netns});
    }
    bool ready() const { return m_ready; }
    QString netns() const { return m_netns; }
    QString address() const { return m_address; }

    // From now on nothing goes in or out, and nothing is refused either.
    bool cut() {
        return run({"ip", "netns", "exec", m_netns, "nft",
                    "add table inet vanish; "
                    "add chain inet vanish in { type filter hook input priority 0; }; "
                    "add chain inet vanish out { type filter hook output priority 0; }; "
                    "add rule inet vanish in drop; add rule inet vanish out drop"});
    }

private:
    QString m_netns, m_outer, m_address;
    bool m_ready = false;
};

}  // namespace

class TestRemoteVanished : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void hangsUp_data();
    void hangsUp();
};

void TestRemoteVanished::initTestCase() {
    if (::geteuid() != 0) QSKIP("needs root: makes a network namespace and firewall rules");
    for (const char* tool : {"ip", "nft"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP("needs ip and nft in PATH (iproute2, nftables)");
}

void TestRemoteVanished::hangsUp_data() {
    QTest::addColumn<bool>("sending");
    QTest::newRow("sending") << true;  // 16 bytes every 200 ms, as a loopback run
    QTest::newRow("idle") << false;
}

void TestRemoteVanished::hangsUp() {
    QFETCH(bool, sending);
    // Declared first, so that it goes last: after the device and the server.
    Island island;
    QVERIFY2(island.ready(), "could not make the network namespace");
    RemoteServer server;
    server.inNamespace(island.netns(), island.address());
    QVERIFY(server.start(QStringLiteral("scripted:answer")));

    Rfc2217Device device;
    QVERIFY_THROWS_NO_EXCEPTION(device.open(server.url()));
    QByteArray echoed;
    connect(&device, &SerialDevice::readyRead, &device, [&] {
        char chunk[256];
        for (qint64 n; (n = device.read(chunk, sizeof chunk)) > 0;) echoed.append(chunk, n);
    });
    device.setReadNotification(true);  // as the window and the checker always read
    QSignalSpy hungUp(&device, &SerialDevice::hungUp);
    QTimer blocks;
    connect(&blocks, &QTimer::timeout, &device, [&] { device.write("0123456789abcdef", 16); });

    // One round trip first, so that the path is known to work; idle stays quiet after it.
    device.write("0123456789abcdef", 16);
    if (sending) blocks.start(200);
    QTRY_VERIFY_WITH_TIMEOUT(echoed.size() >= 16, 5000);
    QVERIFY(hungUp.isEmpty());

    QElapsedTimer sinceCut;
    sinceCut.start();
    QVERIFY(island.cut());
    QTRY_VERIFY_WITH_TIMEOUT(!hungUp.isEmpty(), kHangUpBoundMs);
    const qint64 ms = sinceCut.elapsed();
    qInfo("%s: hang-up %.1f s after the packets stopped", QTest::currentDataTag(), ms / 1000.0);
    QVERIFY2(ms <= kHangUpBoundMs, qPrintable(QStringLiteral("%1 ms").arg(ms)));
}

QTEST_MAIN(TestRemoteVanished)
#include "test_remote_vanished.moc"
