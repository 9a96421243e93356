#include "progress_line.h"

#include <unistd.h>

#include "check_report.h"
#include "check_run.h"

namespace parvolo {

namespace {
constexpr int kRedrawMs = 250;
// Carriage return, then erase to the end of the line.
constexpr const char* kRewind = "\r\x1b[K";
}  // namespace

ProgressLine::ProgressLine(const CheckRun& run, std::FILE* out, QObject* parent)
    : QObject(parent), m_run(run), m_out(out) {
    connect(&m_timer, &QTimer::timeout, this, &ProgressLine::draw);
    m_timer.start(kRedrawMs);
}

ProgressLine::~ProgressLine() {
    if (m_drawn) {
        std::fputs(kRewind, m_out);
        std::fflush(m_out);
    }
}

bool ProgressLine::wanted(bool quiet) {
    return !quiet && ::isatty(STDERR_FILENO) == 1;
}

void ProgressLine::draw() {
    if (m_run.isFinished()) return;
    std::fprintf(
        m_out, "%s%s", kRewind,
        qPrintable(progressText(m_run.counters(), m_run.comparedBytes(), m_run.secondsSoFar())));
    std::fflush(m_out);
    m_drawn = true;
}

}  // namespace parvolo
