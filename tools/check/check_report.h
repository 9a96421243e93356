#pragma once

#include <QDateTime>

#include <optional>

#include <QJsonObject>
#include <QString>

#include "check_options.h"
#include "check_result.h"
#include "check_run.h"

// What a run reports: one JSON object for scripts, one human summary for stderr and the live
// progress line. Built once at the end (the progress line about four times a second), never
// per block.
namespace parvolo {

// Bytes per second the line settings allow: baud over the bits of a character, start bit
// included.
double lineRateBytesPerSecond(const LineSettings& line);

// The report's format; a key added keeps it, a key removed or given another meaning raises it.
inline constexpr int kReportFormatVersion = 1;

// One port's part of a run of several.
struct PortReport {
    const CheckOptions& options;
    const CheckOutcome& outcome;
    CheckResult result;
};

// The top-level keys are the ones scripts rely on: format_version, settings_requested,
// settings_applied, blocks, matched_bytes, mismatches, received_bytes, line_errors, first_mismatch,
// bytes_per_second, line_rate_bytes_per_second, round_trip_us, lines, result, exit_code; and
// besides them abandoned_blocks, kernel_line_errors, duration_seconds and error; and where and
// how the run first went wrong (first_failure), with the mode that ran and the bytes compared,
// extra, missing and timed out.
QJsonObject reportJson(const CheckOptions& options, const CheckOutcome& outcome,
                       CheckResult result);

QString summaryText(const CheckOptions& options, const CheckOutcome& outcome, CheckResult result);

// Several ports: format_version, result and exit_code (the worst port's), ports_passed,
// ports_failed, duration_seconds (the whole run's) and ports, one reportJson() object per port.
QJsonObject setReportJson(const QList<PortReport>& ports, CheckResult worst, double seconds);
int portsPassed(const QList<PortReport>& ports);
// The result word and where the run first failed, for a report's reader.
QString whereItWentWrong(const CheckOptions& options, const CheckOutcome& outcome);
// One row per port, with what went wrong on each port that did not pass.
QString summaryTable(const QList<PortReport>& ports, CheckResult worst);
// settings_requested: the port, the device it reached, the settings and the stop rule.
QJsonObject requestedJson(const CheckOptions& options, const CheckOutcome& outcome);

// What the progress line and the status lines show of a run under way.
struct ProgressFigures {
    LoopbackCounters counters;
    double seconds = 0;               // since the start
    double recentRate = 0;            // bytes per second over the last few seconds
    std::optional<double> remaining;  // seconds, with --duration or --blocks
};
// "0:05:00  blocks 7803  11520 B/s  mismatches 0  line errors 0  remaining 0:55:00"
QString progressText(const ProgressFigures& figures);
// The live table's row for one port.
QString progressRow(const QString& port, const ProgressFigures& figures, const QString& state);
// H:MM:SS.
QString clockText(double seconds);
// ISO 8601 to the millisecond with the offset always written out: 2026-12-09T03:00:00.125+01:00.
QString wallClockText(const QDateTime& time);
// The settings as the summary and the JUnit test names give them: "9600 8N1, flow none".
QString shortSettings(const LineSettings& line);
// Where and how the run first went wrong, in words; empty when it did not.
QString firstFailureText(const CheckOutcome& outcome);

}  // namespace parvolo
