#pragma once

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

// The top-level keys are the ones scripts rely on: settings_requested, settings_applied,
// blocks, matched_bytes, mismatches, received_bytes, line_errors, first_mismatch,
// bytes_per_second, line_rate_bytes_per_second, round_trip_us, lines, result, exit_code; and
// besides them abandoned_blocks, kernel_line_errors, duration_seconds and error; and where and
// how the run first went wrong (first_failure), with the mode that ran and the bytes compared,
// extra, missing and timed out.
QJsonObject reportJson(const CheckOptions& options, const CheckOutcome& outcome,
                       CheckResult result);

QString summaryText(const CheckOptions& options, const CheckOutcome& outcome, CheckResult result);

QString progressText(const LoopbackCounters& counters, qint64 comparedBytes, double seconds);

}  // namespace parvolo
