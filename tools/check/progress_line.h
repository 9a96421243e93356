#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <utility>

#include "check_report.h"

// What a person watching a run sees on stderr, from a timer, so that a block costs it nothing.
// On a terminal a live line (several ports: a table) is rewritten four times a second, with
// the rate over the last five seconds. Elsewhere (nohup, a CI runner, a systemd unit) one
// status line per port every few seconds, stamped with the time, with the rate since the
// line before; never a line per block.
namespace parvolo {

class CheckRun;

// The rate of a growing byte count over the last `window` seconds of samples.
class RecentRate {
public:
    explicit RecentRate(double windowSeconds) : m_window(windowSeconds) {}
    void add(double seconds, qint64 bytes);
    double bytesPerSecond() const;

private:
    double m_window;
    std::deque<std::pair<double, qint64>> m_samples;
};

// A run's figures now: elapsed, the recent rate, and what remains of --duration or --blocks.
ProgressFigures figuresOf(const CheckRun& run, const RecentRate& rate);

class ProgressLine : public QObject {
    Q_OBJECT
public:
    enum class Mode { Live, Status };
    ProgressLine(QList<const CheckRun*> runs, std::FILE* out, Mode mode, int statusEverySeconds,
                 QObject* parent = nullptr);
    // Clears what it drew so the summary starts on a clean line.
    ~ProgressLine() override;

    // Which progress belongs on stderr, if any: live on a terminal, status lines elsewhere
    // unless turned off; none with --quiet.
    static std::optional<Mode> wanted(bool quiet, int statusEverySeconds);

private:
    void tick();
    void draw();
    void drawTable();
    void printStatus();

    QList<const CheckRun*> m_runs;
    QList<RecentRate> m_rates;
    std::FILE* m_out;
    Mode m_mode;
    QTimer m_timer;
    int m_drawnRows = 0;
};

}  // namespace parvolo
