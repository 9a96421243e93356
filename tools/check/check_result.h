#pragma once

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QtGlobal>

// How a run ended and what that means for a script: the result word and the exit code. The
// classification is pure; the run only supplies the facts.
namespace parvolo {

// The checker's own texts, in one translation context (translations/parvolo-check_ja.ts).
struct CheckTexts {
    Q_DECLARE_TR_FUNCTIONS(CheckTexts)
};

enum class CheckResult {
    Pass,
    Mismatch,
    NoAnswer,
    CannotOpen,
    SettingsNotApplied,
    LineLost,
    ReportNotWritten,
    Usage
};

QString resultWord(CheckResult result);
int exitCode(CheckResult result);
// "  0  pass  ..." one line per result, for --help.
QString exitCodeTable();

// Several ports' results as one: the one ranked worst in the result table, so that a port that
// went away outranks one that could not be opened, which outranks a mismatch. The ranks follow
// the exit codes.
CheckResult worstResult(const QList<CheckResult>& results);
// A port's result words, from the worst.
QStringList resultsFromWorst();

// Why the run stopped.
enum class RunEnd {
    Finished,            // the blocks or the duration are done (or a counter reached its limit)
    Interrupted,         // SIGINT, SIGTERM or SIGHUP; the block in flight is not counted
    NoAnswer,            // the first block timed out and nothing at all had arrived
    WentSilent,          // blocks timed out one after another with nothing arriving
    LineLost,            // the device went away mid-run
    CannotOpen,          // missing, busy, permission denied, not a serial port
    SettingsNotApplied,  // the driver read back other settings
};

enum class LinesVerdict { NotChecked, Pass, Fail, Skipped };

struct RunFacts {
    RunEnd end = RunEnd::Finished;
    bool sentBlocks = true;  // false: --blocks 0, only the lines were checked
    qint32 blocks = 0;       // completed blocks
    qint32 mismatches = 0;   // mismatched bytes plus abandoned blocks
    qint32 lineErrors = 0;
    qint64 receivedBytes = 0;
    LinesVerdict lines = LinesVerdict::NotChecked;
    qint64 extraBytes = 0;  // came back beyond what was sent
    qint32 outages = 0;     // the device went away and came back (--reconnect)
};

// A run with an outage is line-lost, whatever else it did: the device went away mid-run.
// A run that completed no block never passes: with nothing received it had no answer, else
// bytes were missing. Any mismatch, abandoned block, extra byte, line error or failed pin is a
// mismatch.
// Lines that could not be checked (no modem lines) neither pass nor fail a data run; checked
// alone, they give no answer.
CheckResult classify(const RunFacts& facts);

}  // namespace parvolo
