#include "window/program.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "window/controls_table.h"
#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/stop_signals.h"
#include "serial/posix_serial_device.h"

namespace parvolo {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

QString missingDisplay(int argc, char* argv[]) {
    if (isSet("QT_QPA_PLATFORM") || isSet("DISPLAY") || isSet("WAYLAND_DISPLAY")) return {};
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return {};
    return QStringLiteral(
        "parvolo needs a graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set");
}

int runProgram(int argc, char* argv[], const ProgramHooks& hooks) {
    if (const QString reason = missingDisplay(argc, argv); !reason.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(reason));
        return EXIT_FAILURE;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parvolo"));
    QApplication::setDesktopFileName(QStringLiteral("parvolo"));
    installFontSubstitutions();

    QtMessageBox platformBox;
    MessageBoxService& messageBox = hooks.messageBox ? *hooks.messageBox : platformBox;
    // Ending the program happens at once, also from inside the communication loop: no code of
    // an interrupted procedure may run afterwards.
    auto endProgram = [] {
        std::fflush(nullptr);
        std::_Exit(EXIT_SUCCESS);
    };
    MSCommTest window(std::make_unique<PosixSerialDevice>(), messageBox, endProgram);
    // From here on a logout or a kill closes the port first; before, there was none open.
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &window,
                     [&window] { window.unloadWithoutAsking(); });
    window.show();
    if (hooks.started) hooks.started(window);
    return app.exec();
}

}  // namespace parvolo
