// Saves PNGs of the window for the documentation: the start state, and the window after a
// finished loopback run of 1000 blocks over a pty with the loopback plug.
//
//   parvolo_snapshot START.png RUN.png
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <cstdio>

#include "window/controls_table.h"
#include "serial/posix_serial_device.h"
#include "support/loopback_plug.h"
#include "support/window_harness.h"

using namespace parvolo;

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("PARVOLO_LOOPBACK_BIN"))
        qputenv("PARVOLO_LOOPBACK_BIN", PARVOLO_LOOPBACK_BIN_DEFAULT);
    QApplication app(argc, argv);
    installFontSubstitutions();
    if (argc < 3) {
        std::fprintf(stderr, "usage: parvolo_snapshot START.png RUN.png\n");
        return 2;
    }
    LoopbackPlug plug;
    if (!plug.start()) {
        std::fprintf(stderr, "loopback plug: %s\n", qPrintable(plug.error()));
        return 1;
    }
    WindowHarness h(std::make_unique<PosixSerialDevice>());
    MSCommTest& w = h.w();
    w.show();
    QTest::qWait(200);
    w.grab().save(QString::fromLocal8Bit(argv[1]));
    w.Check4->setChecked(true);
    w.Check7->setChecked(true);
    w.Text2->setText(QStringLiteral("1000"));
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; },
               [] {
                   QTest::qWait(200);
                   return true;
               },
               WindowHarness::act([&] { w.grab().save(QString::fromLocal8Bit(argv[2])); })},
              30000);
    std::printf("blocks %s, matched %s, mismatches %s\n", qPrintable(w.Text1->text()),
                qPrintable(w.Text3->text()), qPrintable(w.Text4->text()));
    return 0;
}
