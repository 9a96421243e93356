#include "check_report.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>

#include "serial/line_error_kinds.h"

namespace parvolo {

namespace {

QJsonValue orNull(const QString& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject lineSettingsJson(const LineSettings& line) {
    return {{QStringLiteral("baud"), line.baudRate},
            {QStringLiteral("data_bits"), line.dataBitCount()},
            {QStringLiteral("parity"), parityWord(line.parity)},
            {QStringLiteral("stop_bits"), line.stopBitCount()},
            {QStringLiteral("flow"), flowWord(line.flow)}};
}

QJsonValue kernelJson(const std::optional<KernelLineCounts>& counts) {
    if (!counts) return QJsonValue();
    QJsonObject json;
    for (const LineErrorKind& kind : kLineErrorKinds)
        json.insert(QLatin1String(kind.reportKey), qint64((*counts).*kind.count));
    return json;
}

QJsonValue roundTripJson(const RoundTripStats& stats) {
    if (stats.count() == 0) return QJsonValue();
    return QJsonObject{{QStringLiteral("min"), qint64(stats.min())},
                       {QStringLiteral("median"), qint64(stats.percentile(50))},
                       {QStringLiteral("p99"), qint64(stats.percentile(99))},
                       {QStringLiteral("max"), qint64(stats.max())},
                       {QStringLiteral("count"), qint64(stats.count())}};
}

QJsonValue remoteJson(const CheckOutcome& outcome) {
    if (!outcome.remote) return QJsonValue();
    QJsonValue lines;
    if (const auto& m = outcome.modemLines)
        lines = QJsonObject{{QStringLiteral("cts"), m->cts},
                            {QStringLiteral("dsr"), m->dsr},
                            {QStringLiteral("dcd"), m->dcd},
                            {QStringLiteral("ri"), m->ri}};
    // The per-kind counts are every error bit of every line-state notification the server
    // sent, while line_errors counts them as the window does.
    return QJsonObject{
        {QStringLiteral("modem_lines"), lines},
        {QStringLiteral("line_errors_reported"), outcome.lineErrorsKnown},
        {QStringLiteral("kernel_line_errors_from"), QStringLiteral("server notifications")},
        {QStringLiteral("lost_reason"), orNull(outcome.lostReason)}};
}

QString verdictWord(LinesVerdict verdict) {
    switch (verdict) {
        case LinesVerdict::Pass:
            return QStringLiteral("pass");
        case LinesVerdict::Fail:
            return QStringLiteral("fail");
        case LinesVerdict::Skipped:
            return QStringLiteral("skipped");
        case LinesVerdict::NotChecked:
            break;
    }
    return QStringLiteral("not-checked");
}

// A pin's own word: skipped and unfinished checks say so for every pin.
QString pinWord(const LineCheck& lines, int pin) {
    const LinesVerdict verdict = lines.verdict();
    if (verdict == LinesVerdict::Skipped || verdict == LinesVerdict::NotChecked)
        return verdictWord(verdict);
    if (lines.pinUnavailable(pin)) return QStringLiteral("not available on this driver");
    if (!lines.reason().isEmpty()) return QStringLiteral("fail");  // an output was refused
    return lines.pinFailed(pin) ? QStringLiteral("fail") : QStringLiteral("pass");
}

QJsonValue linesJson(const CheckOptions& options, const LineCheck& lines) {
    if (!options.lines) return QJsonValue();
    QJsonObject pins;
    for (int pin = 0; pin < kPinCount; ++pin)
        pins.insert(QLatin1String(kPins[pin].pin),
                    QJsonObject{{QStringLiteral("follows"), QLatin1String(kPins[pin].follows)},
                                {QStringLiteral("result"), pinWord(lines, pin)},
                                {QStringLiteral("failure"), orNull(lines.pinFailure(pin))}});
    return QJsonObject{{QStringLiteral("result"), verdictWord(lines.verdict())},
                       {QStringLiteral("reason"), orNull(lines.reason())},
                       {QStringLiteral("pins"), pins}};
}

// Bytes that were compared with what was sent; received bytes that nobody compared (extra
// ones, a previous client's leftovers) make no rate.
double bytesPerSecond(const CheckOutcome& outcome) {
    if (outcome.seconds <= 0) return 0;
    return std::round(double(outcome.placed.compared()) / outcome.seconds * 10.0) / 10.0;
}

QJsonValue failureJson(const std::optional<StreamFailure>& failure) {
    if (!failure) return QJsonValue();
    return QJsonObject{{QStringLiteral("kind"), failureWord(failure->kind)},
                       {QStringLiteral("block"), failure->block},
                       {QStringLiteral("byte"), failure->byte},
                       {QStringLiteral("byte_in_block"), failure->byteInBlock}};
}

// The columns a text takes in a terminal: a wide East Asian character takes two, so that a
// translated label lines its value up with the others.
int terminalColumns(const QString& text) {
    int columns = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) ||
                          (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) ||
                          (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
                          (u >= 0xFFE0 && u <= 0xFFE6);
        columns += wide ? 2 : 1;
    }
    return columns;
}

QString failureText(const StreamFailure& f) {
    return CheckTexts::tr("%1 at block %2, byte %3 of the block (byte %4 sent)")
        .arg(failureWord(f.kind))
        .arg(f.block)
        .arg(f.byteInBlock)
        .arg(f.byte);
}

const LineSettings& settingsInForce(const CheckOptions& options, const CheckOutcome& outcome) {
    return outcome.applied ? *outcome.applied : options.line;
}

QString endNote(const CheckOptions& options, const CheckOutcome& outcome) {
    if (outcome.counterFull)
        return CheckTexts::tr("a counter reached 2147483647; the run ended there");
    if (!options.sendsBlocks() && outcome.lines.verdict() == LinesVerdict::Skipped)
        return CheckTexts::tr("nothing was checked: only the lines were asked for");
    switch (outcome.end) {
        case RunEnd::Interrupted:
            return CheckTexts::tr("interrupted; the block in flight was not counted");
        case RunEnd::NoAnswer:
            return CheckTexts::tr("nothing came back within the first block's time-out");
        case RunEnd::LineLost:
            if (!outcome.remote)
                return outcome.lostReason.isEmpty()
                           ? CheckTexts::tr("the device went away mid-run")
                           : CheckTexts::tr("the device went away mid-run: %1")
                                 .arg(outcome.lostReason);
            return outcome.lostReason.isEmpty()
                       ? CheckTexts::tr("the server closed the connection mid-run")
                       : CheckTexts::tr("the server went away mid-run: %1").arg(outcome.lostReason);
        case RunEnd::WentSilent:
            return CheckTexts::tr(
                       "the far end stopped answering: %1 blocks in a row timed out "
                       "with nothing received")
                .arg(CheckRun::kSilentBlocks);
        default:
            return QString();
    }
}

}  // namespace

QJsonObject requestedJson(const CheckOptions& options, const CheckOutcome& outcome) {
    QJsonObject json = lineSettingsJson(options.line);
    json.insert(QStringLiteral("port"), options.port);
    json.insert(QStringLiteral("device"), orNull(outcome.devicePath));
    json.insert(QStringLiteral("link"), orNull(outcome.link));
    json.insert(QStringLiteral("data"), sendWord(options.send));
    json.insert(QStringLiteral("block_length"), qint64(options.text.size()));
    json.insert(QStringLiteral("timeout_ms"), outcome.timeoutMs);
    json.insert(QStringLiteral("stop_rule"), stopRuleWord(options.stopRule));
    if (options.stopRule == StopRule::Blocks) json.insert(QStringLiteral("blocks"), options.blocks);
    if (options.stopRule == StopRule::Duration)
        json.insert(QStringLiteral("duration_seconds"), double(options.durationMs) / 1000.0);
    json.insert(QStringLiteral("lines"), options.lines);
    return json;
}

QString shortSettings(const LineSettings& line) {
    return QStringLiteral("%1 %2%3%4, flow %5")
        .arg(line.baudRate)
        .arg(line.dataBitCount())
        .arg(parityLetter(line.parity))
        .arg(line.stopBitCount())
        .arg(flowWord(line.flow));
}

double lineRateBytesPerSecond(const LineSettings& line) {
    return double(line.baudRate) / double(line.bitsPerCharacter());
}

QJsonObject reportJson(const CheckOptions& options, const CheckOutcome& outcome,
                       CheckResult result) {
    const LoopbackCounters& c = outcome.counters;
    return {
        {QStringLiteral("format_version"), kReportFormatVersion},
        {QStringLiteral("settings_requested"), requestedJson(options, outcome)},
        {QStringLiteral("settings_applied"),
         outcome.applied ? QJsonValue(lineSettingsJson(*outcome.applied)) : QJsonValue()},
        {QStringLiteral("blocks"), c.blocks},
        {QStringLiteral("matched_bytes"), c.matchedBytes},
        {QStringLiteral("mismatches"), c.mismatches},
        {QStringLiteral("received_bytes"), c.receivedBytes},
        // A remote server that never reported the line state leaves them unknown, not zero.
        {QStringLiteral("line_errors"),
         outcome.lineErrorsKnown ? QJsonValue(c.lineErrors) : QJsonValue()},
        {QStringLiteral("first_mismatch"), c.firstMismatch},
        {QStringLiteral("abandoned_blocks"), outcome.abandonedBlocks},
        {QStringLiteral("outages"), outcome.outages},
        {QStringLiteral("outage_seconds"), std::round(outcome.outageSeconds * 1000) / 1000},
        {QStringLiteral("mode"),
         outcome.stream ? QStringLiteral("stream") : QStringLiteral("block")},
        {QStringLiteral("in_flight"), outcome.inFlight},
        {QStringLiteral("compared_bytes"), outcome.placed.compared()},
        {QStringLiteral("extra_bytes"), outcome.placed.extra},
        {QStringLiteral("missing_bytes"), outcome.placed.missing},
        {QStringLiteral("timed_out_bytes"), outcome.placed.timedOutBytes},
        {QStringLiteral("first_failure"), failureJson(outcome.firstFailure)},
        {QStringLiteral("kernel_line_errors"), kernelJson(outcome.kernelLineErrors)},
        {QStringLiteral("bytes_per_second"), bytesPerSecond(outcome)},
        // Nothing was applied to a port that could not be opened.
        {QStringLiteral("line_rate_bytes_per_second"),
         outcome.applied ? QJsonValue(lineRateBytesPerSecond(*outcome.applied)) : QJsonValue()},
        {QStringLiteral("duration_seconds"), std::round(outcome.seconds * 1e6) / 1e6},
        {QStringLiteral("round_trip_us"), roundTripJson(outcome.roundTrip)},
        {QStringLiteral("lines"), linesJson(options, outcome.lines)},
        {QStringLiteral("result"), resultWord(result)},
        {QStringLiteral("exit_code"), exitCode(result)},
        {QStringLiteral("error"), orNull(outcome.error)},
        {QStringLiteral("error_reason"),
         outcome.reason ? QJsonValue(reasonWord(*outcome.reason)) : QJsonValue()},
        {QStringLiteral("error_number"),
         outcome.reason ? QJsonValue(outcome.errorNumber) : QJsonValue()},
        {QStringLiteral("remote"), remoteJson(outcome)},
    };
}

QString summaryText(const CheckOptions& options, const CheckOutcome& outcome, CheckResult result) {
    QString text = QStringLiteral("parvolo-check: %1 (exit %2)\n")
                       .arg(resultWord(result))
                       .arg(exitCode(result));
    auto line = [&text](const QString& label, const QString& value) {
        text += QStringLiteral("  %1%2 %3\n")
                    .arg(label, QString(std::max(0, 11 - terminalColumns(label)), QLatin1Char(' ')),
                         value);
    };
    if (!outcome.error.isEmpty()) line(CheckTexts::tr("error"), outcome.error);
    if (outcome.reason)
        line(CheckTexts::tr("reason"),
             QStringLiteral("%1 (%2)").arg(reasonWord(*outcome.reason)).arg(outcome.errorNumber));
    if (const QString note = endNote(options, outcome); !note.isEmpty())
        line(CheckTexts::tr("note"), note);
    line(CheckTexts::tr("port"),
         (outcome.devicePath.isEmpty() || outcome.devicePath == options.port
              ? options.port
              : QStringLiteral("%1 = %2").arg(options.port, outcome.devicePath)) +
             (outcome.link.isEmpty() ? QString() : CheckTexts::tr(" (link %1)").arg(outcome.link)));
    if (outcome.remote)
        line(CheckTexts::tr("remote"),
             outcome.modemLines
                 ? CheckTexts::tr("over RFC 2217; the modem lines as the server reported them")
                 : CheckTexts::tr("over RFC 2217; no modem lines known from the server"));
    line(CheckTexts::tr("settings"),
         shortSettings(options.line) +
             (outcome.applied ? (outcome.remote ? CheckTexts::tr("; server answered ")
                                                : CheckTexts::tr("; driver read back ")) +
                                    shortSettings(*outcome.applied)
                              : QString()));
    if (result == CheckResult::CannotOpen || result == CheckResult::SettingsNotApplied) return text;

    if (options.lines) {
        const LineCheck& lines = outcome.lines;
        QStringList pins;
        for (int pin = 0; pin < kPinCount; ++pin)
            pins << QStringLiteral("%1 %2%3").arg(
                QLatin1String(kPins[pin].pin), pinWord(lines, pin),
                lines.pinFailed(pin)
                    ? QStringLiteral(" (") + lines.pinFailure(pin) + QLatin1Char(')')
                    : QString());
        QString value = verdictWord(lines.verdict());
        if (!lines.reason().isEmpty()) value += QStringLiteral(": ") + lines.reason();
        if (lines.verdict() != LinesVerdict::Skipped)
            value += QStringLiteral("; ") + pins.join(QStringLiteral(", "));
        line(CheckTexts::tr("lines"), value);
    }
    if (!options.sendsBlocks()) return text;

    const LoopbackCounters& c = outcome.counters;
    line(CheckTexts::tr("data"),
         CheckTexts::tr("%1-character blocks (%2), time-out %3 ms, %4")
             .arg(outcome.blockLength)
             .arg(sendWord(options.send))
             .arg(outcome.timeoutMs)
             .arg(outcome.stream
                      ? CheckTexts::tr("stream: up to %1 blocks in flight").arg(outcome.inFlight)
                      : CheckTexts::tr("one block at a time")));
    line(CheckTexts::tr("blocks"), CheckTexts::tr("%1 completed, %2 timed out, in %3 s")
                                       .arg(c.blocks)
                                       .arg(outcome.abandonedBlocks)
                                       .arg(outcome.seconds, 0, 'f', 2));
    if (outcome.outages > 0)
        line(CheckTexts::tr("outages"),
             CheckTexts::tr("%1, %2 s in all; the device went away and came back")
                 .arg(outcome.outages)
                 .arg(outcome.outageSeconds, 0, 'f', 2));
    line(CheckTexts::tr("bytes"),
         CheckTexts::tr("%1 received, %2 matched, %3 mismatches, first mismatch at %4")
             .arg(c.receivedBytes)
             .arg(c.matchedBytes)
             .arg(c.mismatches)
             .arg(c.firstMismatch));
    const StreamCounts& placed = outcome.placed;
    line(CheckTexts::tr("compared"), CheckTexts::tr("%1 bytes; %2 extra, %3 missing, %4 timed out")
                                         .arg(placed.compared())
                                         .arg(placed.extra)
                                         .arg(placed.missing)
                                         .arg(placed.timedOutBytes));
    if (outcome.firstFailure)
        line(CheckTexts::tr("first fault"), failureText(*outcome.firstFailure));
    QString kernel = outcome.remote ? CheckTexts::tr("the server reported none")
                                    : CheckTexts::tr("not kept by this driver");
    if (const auto& k = outcome.kernelLineErrors) {
        QStringList counts;
        for (const LineErrorKind& kind : kLineErrorKinds)
            counts << QStringLiteral("%1 %2")
                          .arg(QLatin1String(kind.summaryWord))
                          .arg((*k).*kind.count);
        kernel = counts.join(QStringLiteral(", "));
    }
    if (outcome.remote && !outcome.lineErrorsKnown)
        line(CheckTexts::tr("line errors"),
             CheckTexts::tr("unknown: the server sent no line-state report"));
    else if (!outcome.blindDriver.isEmpty())
        line(CheckTexts::tr("line errors"),
             CheckTexts::tr("not seen: the driver %1 cannot report them, so a pass says nothing "
                            "of them")
                 .arg(outcome.blindDriver));
    else
        line(CheckTexts::tr("line errors"),
             QStringLiteral("%1 (%2: %3)")
                 .arg(c.lineErrors)
                 .arg(outcome.remote ? CheckTexts::tr("server notifications")
                                     : CheckTexts::tr("kernel"))
                 .arg(kernel));
    line(CheckTexts::tr("rate"),
         CheckTexts::tr("%1 B/s compared; the line settings allow %2 B/s")
             .arg(bytesPerSecond(outcome), 0, 'f', 0)
             .arg(lineRateBytesPerSecond(settingsInForce(options, outcome)), 0, 'f', 1));
    const RoundTripStats& rt = outcome.roundTrip;
    if (rt.count() > 0)
        line(CheckTexts::tr("round trip"),
             CheckTexts::tr("min %1 µs, median %2 µs, p99 %3 µs, max %4 µs")
                 .arg(rt.min())
                 .arg(rt.percentile(50))
                 .arg(rt.percentile(99))
                 .arg(rt.max()));
    return text;
}

QString clockText(double seconds) {
    const qint64 whole = qint64(std::max(0.0, seconds));
    return QStringLiteral("%1:%2:%3")
        .arg(whole / 3600)
        .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString wallClockText(const QDateTime& time) {
    const int offset = time.offsetFromUtc();
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
               .arg(std::abs(offset) / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString progressText(const ProgressFigures& figures) {
    QString text = QStringLiteral("%1  blocks %2  %3 B/s  mismatches %4  line errors %5")
                       .arg(clockText(figures.seconds))
                       .arg(figures.counters.blocks)
                       .arg(figures.recentRate, 0, 'f', 0)
                       .arg(figures.counters.mismatches)
                       .arg(figures.counters.lineErrors);
    if (figures.remaining) text += QStringLiteral("  remaining ") + clockText(*figures.remaining);
    return text;
}

QString whereItWentWrong(const CheckOptions& options, const CheckOutcome& outcome) {
    if (!outcome.error.isEmpty()) return outcome.error;
    if (outcome.firstFailure) return failureText(*outcome.firstFailure);
    return endNote(options, outcome);
}

int portsPassed(const QList<PortReport>& ports) {
    return int(std::count_if(ports.begin(), ports.end(), [](const PortReport& port) {
        return port.result == CheckResult::Pass;
    }));
}

QJsonObject setReportJson(const QList<PortReport>& ports, CheckResult worst, double seconds) {
    QJsonArray array;
    for (const PortReport& port : ports)
        array.append(reportJson(port.options, port.outcome, port.result));
    const int passed = portsPassed(ports);
    return {{QStringLiteral("format_version"), kReportFormatVersion},
            {QStringLiteral("result"), resultWord(worst)},
            {QStringLiteral("exit_code"), exitCode(worst)},
            {QStringLiteral("ports_passed"), passed},
            {QStringLiteral("ports_failed"), int(ports.size()) - passed},
            {QStringLiteral("duration_seconds"), std::round(seconds * 1e6) / 1e6},
            {QStringLiteral("ports"), array}};
}

namespace {

int portColumnWidth(const QList<PortReport>& ports) {
    int width = 4;
    for (const PortReport& port : ports) width = std::max(width, int(port.options.port.size()));
    return width;
}

QString tableRow(int portWidth, const QString& port, const QString& result, const QString& blocks,
                 const QString& mismatches, const QString& lineErrors, const QString& rate,
                 const QString& note) {
    return QStringLiteral("  %1  %2 %3 %4 %5 %6  %7")
        .arg(port, -portWidth)
        .arg(result, -20)
        .arg(blocks, 10)
        .arg(mismatches, 10)
        .arg(lineErrors, 11)
        .arg(rate, 9)
        .arg(note)
        .trimmed()
        .prepend(QStringLiteral("  "));
}

}  // namespace

QString summaryTable(const QList<PortReport>& ports, CheckResult worst) {
    const int passed = portsPassed(ports);
    const int width = portColumnWidth(ports);
    QString text = QStringLiteral("parvolo-check: %1 ports, %2 passed, %3 failed: %4 (exit %5)\n")
                       .arg(ports.size())
                       .arg(passed)
                       .arg(ports.size() - passed)
                       .arg(resultWord(worst))
                       .arg(exitCode(worst));
    text +=
        tableRow(width, QStringLiteral("PORT"), QStringLiteral("RESULT"), QStringLiteral("BLOCKS"),
                 QStringLiteral("MISMATCHES"), QStringLiteral("LINE ERRORS"), QStringLiteral("B/S"),
                 QStringLiteral("WHAT WENT WRONG")) +
        QLatin1Char('\n');
    for (const PortReport& port : ports) {
        const LoopbackCounters& c = port.outcome.counters;
        const bool ran = port.result != CheckResult::CannotOpen &&
                         port.result != CheckResult::SettingsNotApplied;
        auto count = [ran](qint64 value) {
            return ran ? QString::number(value) : QStringLiteral("-");
        };
        text +=
            tableRow(
                width, port.options.port, resultWord(port.result), count(c.blocks),
                count(c.mismatches),
                port.outcome.lineErrorsKnown || !ran ? count(c.lineErrors) : QStringLiteral("?"),
                ran ? QString::number(bytesPerSecond(port.outcome), 'f', 0) : QStringLiteral("-"),
                port.result == CheckResult::Pass ? QString()
                                                 : whereItWentWrong(port.options, port.outcome)) +
            QLatin1Char('\n');
    }
    return text;
}

QString progressRow(const QString& port, const ProgressFigures& figures, const QString& state) {
    return QStringLiteral("%1  %2  %3").arg(port, progressText(figures), state);
}

}  // namespace parvolo
