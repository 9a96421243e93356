#include "check_set.h"

#include "serial/port_names.h"

namespace parvolo {

CheckSet::CheckSet(const QList<CheckOptions>& runs, const QString& lockDirectory, QObject* parent)
    : QObject(parent) {
    for (const CheckOptions& options : runs) {
        m_runs.push_back(std::make_unique<CheckRun>(options, lockDirectory));
        connect(m_runs.back().get(), &CheckRun::finished, this, &CheckSet::onRunFinished);
    }
}

CheckSet::~CheckSet() = default;

namespace {

bool isRemotePort(const CheckOptions& options) {
    return isRemotePortName(options.comPort > 0 ? resolvePortPath(options.comPort) : options.port);
}

}  // namespace

void CheckSet::start() {
    m_clock.start();
    // A run that cannot open its port has finished before start() returns; the others still
    // start. A remote port's open waits for its server (the runs already started go on
    // meanwhile), so the local ports are started first and none of them waits for a server.
    for (const bool remote : {false, true})
        for (const auto& run : m_runs)
            if (isRemotePort(run->options()) == remote) run->start();
}

void CheckSet::interrupt() {
    for (const auto& run : m_runs) run->interrupt();
}

void CheckSet::onRunFinished() {
    ++m_finishedRuns;
    if (!isFinished()) return;
    m_seconds = m_clock.isValid() ? double(m_clock.nsecsElapsed()) / 1e9 : 0.0;
    emit finished();
}

QList<const CheckRun*> CheckSet::runs() const {
    QList<const CheckRun*> runs;
    for (const auto& run : m_runs) runs << run.get();
    return runs;
}

QList<PortReport> CheckSet::reports() const {
    QList<PortReport> reports;
    for (const auto& run : m_runs)
        reports << PortReport{run->options(), run->outcome(), classify(run->facts())};
    return reports;
}

QList<PortReport> CheckSet::reportsSoFar() const {
    QList<PortReport> reports;
    for (const auto& run : m_runs)
        reports << PortReport{run->options(), run->outcomeSoFar(), CheckResult::Pass};
    return reports;
}

CheckResult CheckSet::worst() const {
    QList<CheckResult> results;
    for (const PortReport& report : reports()) results << report.result;
    return worstResult(results);
}

double CheckSet::seconds() const {
    return m_seconds;
}

}  // namespace parvolo
