#include "window/program.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "window/controls_table.h"
#include "window/message_box.h"
#include "window/mscommtest.h"
#include "serial/port_device.h"
#include "serial/port_names.h"
#include "serial/stop_signals.h"

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

QString commandLineAnswer(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    // "-reverse" is one of Qt's options, not -r -e -v ...: single-dash words stay whole.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral(
            "Serial port tester with loopback check: one window in which COM1..COM%1 and\n"
            "the line settings are chosen, test data is sent and what comes back is\n"
            "compared byte by byte. COMn opens the link COMn in $PARVOLO_PORT_DIR\n"
            "(default ~/.config/parvolo/ports), else /dev/ttyS<n-1>.\n"
            "The same test without a window, for scripts: parvolo-check.")
            .arg(kComPortCount));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOptions({help, version});
    // Anything else (Qt's options among it) is not ours to refuse.
    parser.parse(arguments);
    if (parser.isSet(help))
        return QStringLiteral("Usage: parvolo [options]\n") +
               parser.helpText().section(QLatin1Char('\n'), 1);
    if (parser.isSet(version))
        return QStringLiteral("parvolo %1\n").arg(QLatin1String(PARVOLO_VERSION));
    return QString();
}

int runProgram(int argc, char* argv[], const ProgramHooks& hooks) {
    if (const QString answer = commandLineAnswer(argc, argv); !answer.isEmpty()) {
        std::fputs(qPrintable(answer), stdout);
        return EXIT_SUCCESS;
    }
    if (const QString reason = missingDisplay(argc, argv); !reason.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(reason));
        return EXIT_FAILURE;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parvolo"));
    QApplication::setDesktopFileName(QStringLiteral("io.github.parvolo.parvolo"));
    installFontSubstitutions();

    QtMessageBox platformBox;
    MessageBoxService& messageBox = hooks.messageBox ? *hooks.messageBox : platformBox;
    // Ending the program happens at once, also from inside the communication loop: no code of
    // an interrupted procedure may run afterwards.
    auto endProgram = [] {
        std::fflush(nullptr);
        std::_Exit(EXIT_SUCCESS);
    };
    MSCommTest window(std::make_unique<PortDevice>(), messageBox, endProgram);
    // From here on a logout or a kill closes the port first; before, there was none open.
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &window,
                     [&window] { window.unloadWithoutAsking(); });
    window.show();
    if (hooks.started) hooks.started(window);
    return app.exec();
}

}  // namespace parvolo
