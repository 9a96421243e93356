#pragma once

// The window program from main(): --help and --version without a display, the check for one,
// the application, the window and the stop signals.

#include <QString>
#include <functional>

namespace parvolo {

class MSCommTest;
class MessageBoxService;

// Why the window cannot be shown: no display and no platform chosen. Empty when it can.
// Looked at before QApplication exists, which would abort the program without one.
QString missingDisplay(int argc, char* argv[]);

// The answer to --help or --version, which the program prints instead of starting; empty for
// any other command line. Needs no display and no application object. Qt's own options
// (-platform, -style, -reverse, ...) are left to QApplication.
QString commandLineAnswer(int argc, char* argv[]);

// What a test program changes in the product's run; the product passes nothing.
struct ProgramHooks {
    MessageBoxService* messageBox = nullptr;          // else the platform's message box
    std::function<void(MSCommTest& window)> started;  // runs once the window is shown
};

// The program: --help and --version, the display check, QApplication, fonts, the window on the real
// serial port, and the stop signals, which end it as the close box's Yes does. Returns the exit
// status.
int runProgram(int argc, char* argv[], const ProgramHooks& hooks = {});

}  // namespace parvolo
