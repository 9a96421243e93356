#include "progress_line.h"

#include <unistd.h>

#include "check_run.h"

namespace parvolo {

namespace {
constexpr int kRedrawMs = 250;
constexpr double kLiveRateSeconds = 5.0;
// Carriage return, then erase to the end of the line.
constexpr const char* kRewind = "\r\x1b[K";
// Up one line.
constexpr const char* kUp = "\x1b[A";
}  // namespace

void RecentRate::add(double seconds, qint64 bytes) {
    m_samples.emplace_back(seconds, bytes);
    // Keep one sample at or before the window's start, so that the window is always full.
    while (m_samples.size() > 2 && m_samples[1].first <= seconds - m_window) m_samples.pop_front();
}

double RecentRate::bytesPerSecond() const {
    if (m_samples.size() < 2) return 0.0;
    const double span = m_samples.back().first - m_samples.front().first;
    return span > 0 ? double(m_samples.back().second - m_samples.front().second) / span : 0.0;
}

ProgressFigures figuresOf(const CheckRun& run, const RecentRate& rate) {
    ProgressFigures figures{run.counters(), run.secondsSoFar(), rate.bytesPerSecond(), {}};
    const CheckOptions& options = run.options();
    if (options.stopRule == StopRule::Duration)
        figures.remaining = std::max(0.0, double(options.durationMs) / 1000.0 - figures.seconds);
    else if (options.stopRule == StopRule::Blocks && figures.counters.blocks > 0)
        figures.remaining = figures.seconds * double(options.blocks - figures.counters.blocks) /
                            double(figures.counters.blocks);
    return figures;
}

ProgressLine::ProgressLine(QList<const CheckRun*> runs, std::FILE* out, Mode mode,
                           int statusEverySeconds, QObject* parent)
    : QObject(parent), m_runs(std::move(runs)), m_out(out), m_mode(mode) {
    const double window = mode == Mode::Live ? kLiveRateSeconds : double(statusEverySeconds);
    for (int i = 0; i < m_runs.size(); ++i) {
        m_rates << RecentRate(window);
        m_rates.last().add(0.0, 0);
    }
    connect(&m_timer, &QTimer::timeout, this, &ProgressLine::tick);
    m_timer.start(mode == Mode::Live ? kRedrawMs : statusEverySeconds * 1000);
}

ProgressLine::~ProgressLine() {
    if (m_drawnRows == 0) return;
    std::fputs(kRewind, m_out);
    for (int row = 1; row < m_drawnRows; ++row) std::fprintf(m_out, "%s%s", kUp, kRewind);
    std::fflush(m_out);
}

std::optional<ProgressLine::Mode> ProgressLine::wanted(bool quiet, int statusEverySeconds) {
    if (quiet) return std::nullopt;
    if (::isatty(STDERR_FILENO) == 1) return Mode::Live;
    if (statusEverySeconds > 0) return Mode::Status;
    return std::nullopt;
}

void ProgressLine::tick() {
    for (int i = 0; i < m_runs.size(); ++i)
        m_rates[i].add(m_runs[i]->secondsSoFar(), m_runs[i]->comparedBytes());
    if (m_mode == Mode::Status) return printStatus();
    if (m_runs.size() > 1) return drawTable();
    draw();
}

void ProgressLine::draw() {
    const CheckRun& run = *m_runs.front();
    if (run.isFinished()) return;
    std::fprintf(m_out, "%s%s", kRewind, qPrintable(progressText(figuresOf(run, m_rates.front()))));
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
        text += progressRow(run.portName().leftJustified(width), figuresOf(run, m_rates[i]),
                            run.isFinished() ? QStringLiteral("done") : QString());
    }
    std::fputs(qPrintable(text), m_out);
    std::fflush(m_out);
    m_drawnRows = int(m_runs.size());
}

// "2026-12-09T03:00:00+01:00 COM3 0:05:00  blocks 7803  ...", whole lines, for a log.
void ProgressLine::printStatus() {
    const QString now = wallClockText(QDateTime::currentDateTime());
    for (int i = 0; i < m_runs.size(); ++i) {
        const CheckRun& run = *m_runs[i];
        if (run.isFinished()) continue;
        std::fprintf(m_out, "%s %s %s\n", qPrintable(now), qPrintable(run.portName()),
                     qPrintable(progressText(figuresOf(run, m_rates[i]))));
    }
    std::fflush(m_out);
}

}  // namespace parvolo
