// parvolo-check: the loopback test of the Parvolo window without a window, for CI rigs,
// production lines and scripts. The run, the report and the port list live in the checker's
// library; this file only connects them to the command line, the signals and the exit code.
#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdio>
#include <memory>

#include "check_options.h"
#include "check_report.h"
#include "check_result.h"
#include "check_run.h"
#include "port_list.h"
#include "progress_line.h"
#include "report_file.h"
#include "serial/stop_signals.h"

using namespace parvolo;

namespace {

int usageError(const QString& message) {
    std::fprintf(stderr, "parvolo-check: %s\nTry 'parvolo-check --help' for more information.\n",
                 qPrintable(message));
    return exitCode(CheckResult::Usage);
}

// The run's own result is on stderr already; the exit code says that its report is missing.
int reportError(const QString& path, const QString& reason) {
    std::fprintf(stderr, "parvolo-check: cannot write the report %s: %s\n", qPrintable(path),
                 qPrintable(reason));
    return exitCode(CheckResult::ReportNotWritten);
}

int listPorts() {
    const DeviceRoots roots = defaultDeviceRoots();
    const QList<PortEntry> comPorts = listComPorts(roots);
    std::fputs(qPrintable(formatPortList(comPorts, listOtherDevices(comPorts, roots))), stdout);
    return 0;
}

int runCheck(const CheckOptions& options) {
    // Opened before the run, so that a report that cannot be written is known before any
    // block is sent.
    ReportFile report;
    if (!options.jsonPath.isEmpty() && !report.open(options.jsonPath))
        return reportError(options.jsonPath, report.error());

    CheckRun run(options);
    // Ctrl+C, a kill or a logout end the run cleanly and still report it.
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &run, &CheckRun::interrupt);
    QObject::connect(&run, &CheckRun::finished, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
    std::unique_ptr<ProgressLine> progress;
    if (ProgressLine::wanted(options.quiet)) progress = std::make_unique<ProgressLine>(run, stderr);
    run.start();
    if (!run.isFinished()) QCoreApplication::exec();
    progress.reset();

    const CheckResult result = classify(run.facts());
    if (!options.quiet) std::fputs(qPrintable(summaryText(options, run.outcome(), result)), stderr);
    if (report.isOpen() &&
        !report.writeAndClose(QJsonDocument(reportJson(options, run.outcome(), result))
                                  .toJson(QJsonDocument::Indented)))
        return reportError(options.jsonPath, report.error());
    return exitCode(result);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Qt's own Unix event loop: the glib one takes an extra poll() for every port event, and a
    // program without a window has nothing that needs glib.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const CommandLine command = parseCommandLine(QCoreApplication::arguments());
    switch (command.action) {
        case CommandLine::Action::Help:
        case CommandLine::Action::Version:
            std::fputs(qPrintable(command.text), stdout);
            return 0;
        case CommandLine::Action::UsageError:
            return usageError(command.text);
        case CommandLine::Action::List:
            return listPorts();
        case CommandLine::Action::Run:
            break;
    }
    return runCheck(command.options);
}
