// The real window on a port of another machine: COM2 in the port map names the URL of ser2net
// or pyserial's server, which export the loopback plug's pty on 127.0.0.1.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "serial/port_device.h"
#include "support/remote_server.h"
#include "support/window_checks.h"
#include "support/window_harness.h"

using namespace parvolo;

class RemoteWindowTest : public QObject {
    Q_OBJECT
private slots:
    void loopbackThroughTheServer_data();
    void loopbackThroughTheServer();
};

void RemoteWindowTest::loopbackThroughTheServer_data() {
    QTest::addColumn<QString>("server");
    QTest::newRow("ser2net") << "ser2net";
    QTest::newRow("pyserial") << "pyserial";
}

// Opened through the port map, a loopback run of 200 blocks, closed: the counters are the
// plug's echo, and no message was shown on the way.
void RemoteWindowTest::loopbackThroughTheServer() {
    QFETCH(QString, server);
    RemoteServer remote;
    QVERIFY2(remote.start(server), qPrintable(server));
    QTemporaryDir map;
    QVERIFY(QFile::link(remote.url(), map.filePath(QStringLiteral("COM2"))));
    qputenv("PARVOLO_PORT_DIR", QFile::encodeName(map.path()));

    WindowHarness h(std::make_unique<PortDevice>());
    MSCommTest& w = h.w();
    w.Combo2->setCurrentText(QStringLiteral("COM2"));
    w.Check4->setChecked(true);
    w.Text2->setText(QStringLiteral("200"));
    h.runOpen({[&] { return w.MSComm->PortOpen(); }, WindowHarness::act([&] {
                   QCOMPARE(w.MSComm->portPath(), remote.url());
                   QVERIFY(w.MSComm->device().isRemote());
                   QTest::mouseClick(w.cmdOut, Qt::LeftButton);
               }),
               [&] { return w.sendActive == False16; }},
              20000);
    QCOMPARE(w.Text1->text(), QStringLiteral("200"));
    QCOMPARE(w.Text3->text(), QStringLiteral("3200"));
    QCOMPARE(w.Text4->text(), QStringLiteral("0"));
    QCOMPARE(w.Text5->text(), QStringLiteral("3200"));
    QCOMPARE(w.Text6->text(), QStringLiteral("0"));
    expectClosedState(w);
    QVERIFY2(h.messages.shown.isEmpty(), qPrintable(h.messages.shown.value(0).text));
}

QTEST_MAIN(RemoteWindowTest)
#include "test_remote_window.moc"
