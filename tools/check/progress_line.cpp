#include "progress_line.h"

#include <unistd.h>

#include "check_report.h"
#include "check_run.h"

namespace parvolo {

namespace {
constexpr int kRedrawMs = 250;
// Carriage return, then erase to the end of the line.
constexpr const char* kRewind = "\r\x1b[K";
// Up one line.
constexpr const char* kUp = "\x1b[A";
}  // namespace

ProgressLine::ProgressLine(QList<const CheckRun*> runs, std::FILE* out, QObject* parent)
    : QObject(parent), m_runs(std::move(runs)), m_out(out) {
    connect(&m_timer, &QTimer::timeout, this, &ProgressLine::draw);
    m_timer.start(kRedrawMs);
}

ProgressLine::~ProgressLine() {
    if (m_drawnRows == 0) return;
    std::fputs(kRewind, m_out);
    for (int row = 1; row < m_drawnRows; ++row) std::fprintf(m_out, "%s%s", kUp, kRewind);
    std::fflush(m_out);
}

bool ProgressLine::wanted(bool quiet) {
    return !quiet && ::isatty(STDERR_FILENO) == 1;
}

void ProgressLine::draw() {
    if (m_runs.size() > 1) return drawTable();
    const CheckRun& run = *m_runs.front();
    if (run.isFinished()) return;
    std::fprintf(m_out, "%s%s", kRewind,
                 qPrintable(progressText(run.counters(), run.comparedBytes(), run.secondsSoFar())));
    std::fflush(m_out);
    m_drawnRows = 1;
}

// Rows end with a line feed but the last, so that the cursor stays on the table.
void ProgressLine::drawTable() {
    QString text = QLatin1String(kRewind);
    for (int row = 1; row < m_drawnRows; ++row) text += QLatin1String(kUp) + QLatin1String(kRewind);
    int width = 0;
    for (const CheckRun* run : m_runs) width = std::max(width, int(run->portName().size()));
    for (int i = 0; i < m_runs.size(); ++i) {
        const CheckRun& run = *m_runs[i];
        if (i > 0) text += QLatin1Char('\n') + QLatin1String(kRewind);
        text +=
            progressRow(run.portName().leftJustified(width), run.counters(), run.comparedBytes(),
                        run.secondsSoFar(), run.isFinished() ? QStringLiteral("done") : QString());
    }
    std::fputs(qPrintable(text), m_out);
    std::fflush(m_out);
    m_drawnRows = int(m_runs.size());
}

}  // namespace parvolo
