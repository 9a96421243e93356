#pragma once

// Several ports checked at once, each with its own serial control and engine (a CheckRun), all
// in the caller's event loop: nothing in a run waits without yielding, so a port that fails,
// goes away or stops answering ends on its own and never holds up the others.
#include <QElapsedTimer>
#include <QObject>
#include <memory>
#include <vector>

#include "check_report.h"
#include "check_run.h"

namespace parvolo {

class CheckSet : public QObject {
    Q_OBJECT
public:
    explicit CheckSet(
        const QList<CheckOptions>& runs,
        const QString& lockDirectory = QString::fromLatin1(PosixSerialDevice::kLockDirectory),
        QObject* parent = nullptr);
    ~CheckSet() override;

    // Starts every run; finished() follows when the last has ended, possibly before this returns.
    void start();
    // Ctrl+C: ends every run now.
    void interrupt();

    bool isFinished() const { return m_finishedRuns == int(m_runs.size()); }
    QList<const CheckRun*> runs() const;
    // Valid once finished: each port's result, and the set's (the worst of them).
    QList<PortReport> reports() const;
    // The same while the runs go on; their results are only known at the end.
    QList<PortReport> reportsSoFar() const;
    CheckResult worst() const;
    double seconds() const;

signals:
    void finished();

private:
    void onRunFinished();

    std::vector<std::unique_ptr<CheckRun>> m_runs;
    int m_finishedRuns = 0;
    QElapsedTimer m_clock;
    double m_seconds = 0;
};

}  // namespace parvolo
