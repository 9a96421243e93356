// parvolo-check: the loopback test of the Parvolo window without a window, for CI rigs,
// production lines and scripts. The run, the report and the port list live in the checker's
// library; this file only connects them to the command line, the signals and the exit code.
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "check_options.h"
#include "check_report.h"
#include "check_result.h"
#include "check_set.h"
#include "event_log.h"
#include "html_report.h"
#include "junit_report.h"
#include "port_list.h"
#include "progress_line.h"
#include "report_file.h"
#include "serial/port_names.h"
#include "serial/stop_signals.h"
#include "serial/translations.h"

using namespace parvolo;

namespace {

int usageError(const QString& message) {
    std::fprintf(stderr, "parvolo-check: %s\n%s\n", qPrintable(message),
                 qPrintable(CheckTexts::tr("Try 'parvolo-check --help' for more information.")));
    return exitCode(CheckResult::Usage);
}

// The run's own result is on stderr already; the exit code says that its report is missing.
int reportError(const QString& path, const QString& reason) {
    std::fprintf(stderr, "parvolo-check: %s\n",
                 qPrintable(CheckTexts::tr("cannot write the report %1: %2").arg(path, reason)));
    return exitCode(CheckResult::ReportNotWritten);
}

int listPorts(const QString& jsonPath) {
    const DeviceRoots roots = defaultDeviceRoots();
    const QList<SerialPortInfo> devices = discoverSerialPorts();
    const ComNumbers numbers = refreshComNumbers(portMapDirectory(), devices);
    const QList<PortEntry> comPorts = listComPorts(numbers, roots);
    const QList<PortEntry> others = listOtherDevices(comPorts, devices, roots);
    if (!numbers.problem.isEmpty())
        std::fprintf(stderr, "parvolo-check: %s\n",
                     qPrintable(CheckTexts::tr("no COM number given: %1").arg(numbers.problem)));
    if (jsonPath.isEmpty()) {
        std::fputs(qPrintable(formatPortList(comPorts, others)), stdout);
        return 0;
    }
    ReportFile file;
    if (!file.open(jsonPath) || !file.writeAndClose(portListJson(comPorts, others)))
        return reportError(jsonPath, file.error());
    return 0;
}

// The reports are opened before the run, so that one that cannot be written is known before
// any block is sent.
struct Reports {
    ReportFile json;
    ReportFile junit;
    ReportFile html;
};

bool openReport(ReportFile& file, const QString& path) {
    return path.isEmpty() || file.open(path);
}

// The JSON report whole: at the end with its result, or as a run in progress (result
// "running", exit_code null) for the version that stands until the next.
QByteArray jsonReport(const CheckSet& set, const CheckOptions& options, const QDateTime& started,
                      bool inProgress) {
    const QList<PortReport> ports = inProgress ? set.reportsSoFar() : set.reports();
    const CheckResult worst = set.worst();
    QJsonObject json = ports.size() == 1 ? reportJson(options, ports.front().outcome, worst)
                                         : setReportJson(ports, worst, set.seconds());
    json.insert(QStringLiteral("in_progress"), inProgress);
    json.insert(QStringLiteral("started_at"), wallClockText(started));
    const QString now = wallClockText(QDateTime::currentDateTime());
    json.insert(QStringLiteral("ended_at"), inProgress ? QJsonValue() : QJsonValue(now));
    json.insert(QStringLiteral("updated_at"), now);
    if (inProgress) {
        json.insert(QStringLiteral("result"), QStringLiteral("running"));
        json.insert(QStringLiteral("exit_code"), QJsonValue());
    }
    return QJsonDocument(json).toJson(QJsonDocument::Indented);
}

int runCheck(const CommandLine& command) {
    const CheckOptions& options = command.options;
    Reports reports;
    if (!openReport(reports.json, options.jsonPath))
        return reportError(options.jsonPath, reports.json.error());
    if (!openReport(reports.junit, command.junitPath))
        return reportError(command.junitPath, reports.junit.error());
    if (!openReport(reports.html, options.htmlPath))
        return reportError(options.htmlPath, reports.html.error());

    EventLog log;
    if (!options.logPath.isEmpty() && !log.open(options.logPath))
        return reportError(options.logPath, log.error());

    CheckSet set(command.runs);
    // Ctrl+C, a kill or a logout end the run cleanly and still report it.
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &set, &CheckSet::interrupt);
    QObject::connect(&set, &CheckSet::finished, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
    std::unique_ptr<ProgressLine> progress;
    if (const auto mode = ProgressLine::wanted(options.quiet, options.statusEverySeconds))
        progress =
            std::make_unique<ProgressLine>(set.runs(), stderr, *mode, options.statusEverySeconds);
    const QDateTime started = QDateTime::currentDateTime();
    // A long run's report is brought up to date as it goes, so that a kill leaves its figures.
    QTimer snapshots;
    bool snapshotFailed = false;
    QObject::connect(&snapshots, &QTimer::timeout, [&] {
        log.snapshot();
        if (reports.json.isOpen() &&
            !reports.json.writeSnapshot(jsonReport(set, options, started, true))) {
            snapshotFailed = true;
            snapshots.stop();
        }
    });
    if ((reports.json.isOpen() || log.isOpen()) && options.snapshotEverySeconds > 0)
        snapshots.start(options.snapshotEverySeconds * 1000);
    set.start();
    if (log.isOpen()) log.follow(set.runs());
    std::vector<std::unique_ptr<RunTimeline>> timelines;
    QList<const RunTimeline*> timelineList;
    if (reports.html.isOpen())
        for (const CheckRun* run : set.runs()) {
            timelines.push_back(std::make_unique<RunTimeline>(run));
            timelineList << timelines.back().get();
        }
    if (!set.isFinished()) QCoreApplication::exec();
    snapshots.stop();
    progress.reset();

    const QList<PortReport> ports = set.reports();
    const CheckResult worst = set.worst();
    log.end(ports);
    const bool single = ports.size() == 1;
    if (!options.quiet)
        std::fputs(qPrintable(single ? summaryText(options, ports.front().outcome, worst)
                                     : summaryTable(ports, worst)),
                   stderr);
    if (snapshotFailed || (reports.json.isOpen() &&
                           !reports.json.writeAndClose(jsonReport(set, options, started, false))))
        return reportError(options.jsonPath, reports.json.error());
    if (reports.junit.isOpen() &&
        !reports.junit.writeAndClose(
            junitXml(ports, worst, {started, QSysInfo::machineHostName(), set.seconds()}).toUtf8()))
        return reportError(command.junitPath, reports.junit.error());
    if (reports.html.isOpen() &&
        !reports.html.writeAndClose(
            htmlReport(ports, timelineList, worst, started, QDateTime::currentDateTime())))
        return reportError(options.htmlPath, reports.html.error());
    if (!log.error().isEmpty()) return reportError(options.logPath, log.error());
    return exitCode(worst);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Qt's own Unix event loop: the glib one takes an extra poll() for every port event, and a
    // program without a window has nothing that needs glib.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    // Messages in the user's language; reports keep their words and keys in every language.
    installTranslations({QLatin1String(kSerialCatalog), QStringLiteral("parvolo-check")},
                        QLocale());
    const CommandLine command = parseCommandLine(QCoreApplication::arguments());
    switch (command.action) {
        case CommandLine::Action::Help:
        case CommandLine::Action::Version:
            std::fputs(qPrintable(command.text), stdout);
            return 0;
        case CommandLine::Action::UsageError:
            return usageError(command.text);
        case CommandLine::Action::List:
            return listPorts(command.options.jsonPath);
        case CommandLine::Action::Run:
            break;
    }
    return runCheck(command);
}
