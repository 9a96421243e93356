#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/controls_table.h"
#include "app/message_box.h"
#include "app/mscommtest.h"
#include "port/posix_serial_device.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parvolo"));
    QApplication::setDesktopFileName(QStringLiteral("parvolo"));
    installFontSubstitutions();

    QtMessageBox messageBox;
    // Ending the program happens at once, also from inside the communication loop: no code of
    // an interrupted procedure may run afterwards.
    auto endProgram = [] {
        std::fflush(nullptr);
        std::_Exit(EXIT_SUCCESS);
    };
    MSCommTest window(std::make_unique<PosixSerialDevice>(), messageBox, endProgram);
    window.show();
    return app.exec();
}
