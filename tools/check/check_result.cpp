#include "check_result.h"

#include <algorithm>

namespace parvolo {

namespace {

struct ResultRow {
    CheckResult result;
    const char* word;
    int exitCode;
    // How bad a port's result is: of several ports, the one ranked highest stands for all. 0 for
    // the results of the program rather than of a port.
    int rank;
    const char* meaning;
};

constexpr ResultRow kResults[] = {
    {CheckResult::Pass, "pass", 0, 1, "every block came back whole and equal"},
    {CheckResult::Mismatch, "mismatch", 1, 2,
     "mismatched, missing or extra bytes, line errors, failed pins"},
    {CheckResult::NoAnswer, "no-answer", 2, 3, "nothing came back"},
    {CheckResult::CannotOpen, "cannot-open", 3, 4, "the port is missing, busy or not permitted"},
    {CheckResult::SettingsNotApplied, "settings-not-applied", 4, 5,
     "the driver read back other line settings"},
    {CheckResult::LineLost, "line-lost", 5, 6, "the device went away mid-run"},
    {CheckResult::ReportNotWritten, "report-not-written", 6, 0,
     "the JSON or JUnit report could not be written whole"},
    {CheckResult::Usage, "usage", 64, 0, "the command line is wrong"},
};

const ResultRow& rowOf(CheckResult result) {
    for (const ResultRow& row : kResults)
        if (row.result == result) return row;
    return kResults[0];
}

}  // namespace

QString resultWord(CheckResult result) {
    return QLatin1String(rowOf(result).word);
}

int exitCode(CheckResult result) {
    return rowOf(result).exitCode;
}

QString exitCodeTable() {
    QString text;
    for (const ResultRow& row : kResults)
        text += QStringLiteral("  %1  %2 %3\n")
                    .arg(row.exitCode, 2)
                    .arg(QLatin1String(row.word), -21)
                    .arg(QLatin1String(row.meaning));
    return text;
}

QStringList resultsFromWorst() {
    QList<const ResultRow*> rows;
    for (const ResultRow& row : kResults)
        if (row.rank > 0) rows << &row;
    std::sort(rows.begin(), rows.end(),
              [](const ResultRow* a, const ResultRow* b) { return a->rank > b->rank; });
    QStringList words;
    for (const ResultRow* row : rows) words << QLatin1String(row->word);
    return words;
}

CheckResult worstResult(const QList<CheckResult>& results) {
    CheckResult worst = CheckResult::Pass;
    for (const CheckResult result : results)
        if (rowOf(result).rank > rowOf(worst).rank) worst = result;
    return worst;
}

CheckResult classify(const RunFacts& facts) {
    switch (facts.end) {
        case RunEnd::CannotOpen:
            return CheckResult::CannotOpen;
        case RunEnd::SettingsNotApplied:
            return CheckResult::SettingsNotApplied;
        case RunEnd::LineLost:
            return CheckResult::LineLost;
        case RunEnd::NoAnswer:
            return CheckResult::NoAnswer;
        case RunEnd::Finished:
        case RunEnd::Interrupted:
        case RunEnd::WentSilent:
            break;
    }
    if (facts.outages > 0) return CheckResult::LineLost;
    const bool linesFailed = facts.lines == LinesVerdict::Fail;
    if (!facts.sentBlocks) {
        if (facts.lines == LinesVerdict::Pass) return CheckResult::Pass;
        return linesFailed ? CheckResult::Mismatch : CheckResult::NoAnswer;
    }
    if (facts.blocks == 0 && facts.receivedBytes == 0) return CheckResult::NoAnswer;
    if (facts.blocks == 0 || facts.mismatches > 0 || facts.extraBytes > 0 || facts.lineErrors > 0 ||
        linesFailed)
        return CheckResult::Mismatch;
    return CheckResult::Pass;
}

}  // namespace parvolo
