// The window program as it ships (runProgram: display check, real serial device, stop
// signals), driven as an operator would: once shown it clicks 通信開始. Message boxes are
// printed instead of waiting for a click. Prints "OPEN <pid>" when the port is open.
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

#include <cstdio>

#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/program.h"
#include "serial/mscomm.h"

using namespace parvolo;

namespace {
class PrintingMessageBox : public MessageBoxService {
public:
    int show(QWidget*, const QString& text, int style, const QString&) override {
        QString line = text;
        line.replace(QStringLiteral("\r\n"), QStringLiteral(" / "));
        std::printf("MESSAGE %s\n", qPrintable(line));
        std::fflush(stdout);
        return (style & 0x0F) == msg_box::YesNo ? msg_box::Yes : msg_box::Ok;
    }
};
}  // namespace

int main(int argc, char* argv[]) {
    PrintingMessageBox messages;
    ProgramHooks hooks;
    hooks.messageBox = &messages;
    hooks.started = [](MSCommTest& window) {
        QTimer::singleShot(0, &window, [&window] {
            // Runs inside the communication loop once the click has opened the port.
            QTimer::singleShot(0, &window, [&window] {
                if (!window.MSComm->PortOpen()) return;
                std::printf("OPEN %d\n", int(::getpid()));
                std::fflush(stdout);
            });
            window.cmdOpen->click();
        });
    };
    return runProgram(argc, argv, hooks);
}
