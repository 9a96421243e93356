#include "html_report.h"

#include <QHash>
#include <QPointF>

#include <algorithm>
#include <cmath>

#include "check_run.h"
#include "serial/line_error_kinds.h"

namespace parvolo {

namespace {

constexpr int kSampleMs = 1000;
constexpr int kFailureRows = 50;
constexpr double kWidth = 900, kHeight = 220, kLeft = 70, kBottom = 30, kTop = 20;

QString escaped(const QString& text) {
    return text.toHtmlEscaped();
}

QString byteText(int byte) {
    return byte < 0 ? QStringLiteral("nothing")
                    : QStringLiteral("0x%1")
                          .arg(byte, 2, 16, QLatin1Char('0'))
                          .toUpper()
                          .replace(QLatin1String("0X"), QLatin1String("0x"));
}

QString failureText(const StreamFailure& f) {
    QString text = QStringLiteral("%1 at block %2, byte %3")
                       .arg(failureWord(f.kind))
                       .arg(f.block)
                       .arg(f.byteInBlock);
    if (f.expected >= 0 || f.got >= 0)
        text += QStringLiteral(": %1 came as %2").arg(byteText(f.expected), byteText(f.got));
    return text;
}

// "1:02:03" on the time axis, or seconds for a short run.
QString axisTime(double seconds, double span) {
    return span < 120 ? QStringLiteral("%1 s").arg(seconds, 0, 'f', 0) : clockText(seconds);
}

// The rate between samples, averaged into at most `columns` steps.
QList<QPointF> ratePoints(const QList<RunTimeline::Sample>& samples, int columns) {
    QList<QPointF> points;
    if (samples.size() < 2) return points;
    const int step = std::max<int>(1, int(samples.size() / columns));
    for (qsizetype i = step; i < samples.size(); i += step) {
        const auto& a = samples[i - step];
        const auto& b = samples[i];
        const double span = b.seconds - a.seconds;
        if (span > 0)
            points << QPointF(b.seconds, double(b.comparedBytes - a.comparedBytes) / span);
    }
    return points;
}

QString timelineSvg(const RunTimeline& timeline, double duration) {
    const QList<QPointF> points = ratePoints(timeline.samples(), 600);
    double top = 1;
    for (const QPointF& p : points) top = std::max(top, p.y());
    top *= 1.1;
    const double span = std::max(duration, 1.0);
    auto x = [&](double s) { return kLeft + (kWidth - kLeft - 10) * s / span; };
    auto y = [&](double rate) {
        return kHeight - kBottom - (kHeight - kBottom - kTop) * rate / top;
    };
    QString svg = QStringLiteral(
                      "<svg viewBox=\"0 0 %1 %2\" width=\"%1\" height=\"%2\" role=\"img\" "
                      "aria-label=\"rate over time\">")
                      .arg(kWidth)
                      .arg(kHeight);
    for (const RunTimeline::Mark& m : timeline.marks())
        if (m.kind == RunTimeline::Mark::Kind::Outage)
            svg += QStringLiteral(
                       "<rect class=\"outage\" x=\"%1\" y=\"%2\" width=\"%3\" "
                       "height=\"%4\"><title>%5</title></rect>")
                       .arg(x(m.seconds))
                       .arg(kTop)
                       .arg(std::max(2.0, x(m.seconds + m.length) - x(m.seconds)))
                       .arg(kHeight - kBottom - kTop)
                       .arg(escaped(m.text));
    QString path;
    for (const QPointF& p : points)
        path += QStringLiteral("%1%2,%3 ")
                    .arg(path.isEmpty() ? "M" : "L")
                    .arg(x(p.x()), 0, 'f', 1)
                    .arg(y(p.y()), 0, 'f', 1);
    svg += QStringLiteral("<path class=\"rate\" d=\"%1\"/>").arg(path);
    for (const RunTimeline::Mark& m : timeline.marks()) {
        if (m.kind == RunTimeline::Mark::Kind::Outage) continue;
        const bool failure = m.kind == RunTimeline::Mark::Kind::Failure;
        svg += QStringLiteral(
                   "<line class=\"%1\" x1=\"%2\" x2=\"%2\" y1=\"%3\" "
                   "y2=\"%4\"><title>%5</title></line>")
                   .arg(failure ? QStringLiteral("failure") : QStringLiteral("lineerror"))
                   .arg(x(m.seconds), 0, 'f', 1)
                   .arg(kTop - 12)
                   .arg(kTop)
                   .arg(escaped(axisTime(m.seconds, 1e9) + QStringLiteral(" ") + m.text));
    }
    svg += QStringLiteral("<line class=\"axis\" x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\"/>")
               .arg(kLeft)
               .arg(kWidth - 10)
               .arg(kHeight - kBottom);
    svg += QStringLiteral("<line class=\"axis\" x1=\"%1\" x2=\"%1\" y1=\"%2\" y2=\"%3\"/>")
               .arg(kLeft)
               .arg(kTop)
               .arg(kHeight - kBottom);
    for (int i = 0; i <= 4; ++i) {
        const double s = span * i / 4;
        // The last label ends at the axis' end, so that it is not cut off.
        svg +=
            QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"%3\">%4</text>")
                .arg(x(s))
                .arg(kHeight - 10)
                .arg(i == 4 ? QStringLiteral("end") : QStringLiteral("middle"), axisTime(s, span));
        const double r = top * i / 4;
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3</text>")
                   .arg(kLeft - 6)
                   .arg(y(r) + 4)
                   .arg(r, 0, 'f', 0);
    }
    svg += QStringLiteral("<text x=\"4\" y=\"%1\">B/s</text></svg>").arg(kTop - 4);
    return svg;
}

// The share of blocks back within each time, from the percentiles.
QString roundTripSvg(const RoundTripStats& stats) {
    if (stats.count() == 0) return QStringLiteral("<p>No block came back.</p>");
    const double lo = std::log10(std::max<quint64>(1, stats.min()));
    const double hi = std::max(lo + 1, std::log10(std::max<quint64>(1, stats.max())) + 0.1);
    auto x = [&](quint64 us) {
        return kLeft +
               (kWidth - kLeft - 10) * (std::log10(std::max<quint64>(1, us)) - lo) / (hi - lo);
    };
    auto y = [&](double percent) {
        return kHeight - kBottom - (kHeight - kBottom - kTop) * percent / 100;
    };
    QString path;
    for (int p = 1; p <= 100; ++p)
        path += QStringLiteral("%1%2,%3 ")
                    .arg(path.isEmpty() ? "M" : "L")
                    .arg(x(stats.percentile(p)), 0, 'f', 1)
                    .arg(y(p), 0, 'f', 1);
    QString svg = QStringLiteral(
                      "<svg viewBox=\"0 0 %1 %2\" width=\"%1\" height=\"%2\" role=\"img\" "
                      "aria-label=\"round-trip distribution\">")
                      .arg(kWidth)
                      .arg(kHeight);
    svg += QStringLiteral("<path class=\"rate\" d=\"%1\"/>").arg(path);
    svg += QStringLiteral("<line class=\"axis\" x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\"/>")
               .arg(kLeft)
               .arg(kWidth - 10)
               .arg(kHeight - kBottom);
    for (int decade = int(std::floor(lo)); decade <= int(hi); ++decade)
        for (const int times : {1, 2, 5}) {
            const quint64 us = quint64(times * std::pow(10, decade));
            if (std::log10(double(us)) < lo || std::log10(double(us)) > hi) continue;
            const QString label = us >= 1000000 ? QStringLiteral("%1 s").arg(us / 1000000)
                                  : us >= 1000  ? QStringLiteral("%1 ms").arg(us / 1000)
                                                : QStringLiteral("%1 µs").arg(us);
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>")
                       .arg(x(us))
                       .arg(kHeight - 10)
                       .arg(label);
        }
    for (int p : {0, 50, 100})
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3 %</text>")
                   .arg(kLeft - 6)
                   .arg(y(p) + 4)
                   .arg(p);
    return svg + QStringLiteral("</svg>");
}

QString row(const QString& label, const QString& value) {
    return QStringLiteral("<tr><th>%1</th><td>%2</td></tr>").arg(label, escaped(value));
}

QString portSection(const PortReport& port, const RunTimeline* timeline, const QDateTime& started) {
    const CheckOutcome& o = port.outcome;
    QString html =
        QStringLiteral("<section><h2>%1 <span class=\"%2\">%3</span></h2><table class=\"facts\">")
            .arg(escaped(port.options.port),
                 port.result == CheckResult::Pass ? QStringLiteral("pass") : QStringLiteral("fail"),
                 escaped(resultWord(port.result)));
    html += row(
        QStringLiteral("device"),
        o.devicePath +
            (o.link.isEmpty() ? QString() : QStringLiteral(" (link ") + o.link + QLatin1Char(')')));
    html += row(QStringLiteral("settings"), shortSettings(port.options.line));
    html += row(QStringLiteral("blocks"), QStringLiteral("%1 completed, %2 timed out, in %3")
                                              .arg(o.counters.blocks)
                                              .arg(o.abandonedBlocks)
                                              .arg(clockText(o.seconds)));
    html +=
        row(QStringLiteral("bytes"), QStringLiteral("%1 received, %2 mismatches, %3 line errors")
                                         .arg(o.counters.receivedBytes)
                                         .arg(o.counters.mismatches)
                                         .arg(o.counters.lineErrors));
    if (o.outages > 0)
        html +=
            row(QStringLiteral("outages"),
                QStringLiteral("%1, %2 s in all").arg(o.outages).arg(o.outageSeconds, 0, 'f', 1));
    if (!o.error.isEmpty()) html += row(QStringLiteral("error"), o.error);
    html += QStringLiteral("</table>");
    if (timeline) {
        html += QStringLiteral(
            "<h3>Rate over time</h3><p class=\"key\"><span class=\"kf\">|</span> failure "
            "<span class=\"kl\">|</span> line error <span class=\"ko\">&#9632;</span> outage</p>");
        html += timelineSvg(*timeline, o.seconds);
    }
    html += QStringLiteral("<h3>Round trip of a block</h3>") + roundTripSvg(o.roundTrip);
    if (!timeline) return html + QStringLiteral("</section>");
    html += QStringLiteral("<h3>First failures</h3>");
    QString rows;
    int shown = 0;
    for (const RunTimeline::Mark& m : timeline->marks()) {
        if (shown++ >= kFailureRows) break;
        rows += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>")
                    .arg(escaped(wallClockText(started.addMSecs(qint64(m.seconds * 1000)))),
                         escaped(clockText(m.seconds)), escaped(m.text));
    }
    if (rows.isEmpty()) return html + QStringLiteral("<p>None.</p></section>");
    const qint64 more = timeline->marks().size() - shown + timeline->marksNotKept();
    return html +
           QStringLiteral(
               "<table class=\"events\"><tr><th>time</th><th>since the "
               "start</th><th>what</th></tr>%1</table>%2</section>")
               .arg(rows, more > 0 ? QStringLiteral("<p>and %1 more.</p>").arg(more) : QString());
}

const char* kStyle =
    "body{font:14px sans-serif;margin:24px;color:#222;max-width:960px}"
    "h1{font-size:20px}h2{font-size:17px;border-top:1px solid "
    "#ccc;padding-top:12px}h3{font-size:15px}"
    ".pass{color:#fff;background:#2a7d2e;padding:2px 8px;border-radius:4px}"
    ".fail{color:#fff;background:#b3261e;padding:2px 8px;border-radius:4px}"
    "table{border-collapse:collapse}th,td{text-align:left;padding:2px 10px 2px "
    "0;vertical-align:top}"
    "table.events td,table.events th{border-bottom:1px solid #eee}"
    "svg{display:block;max-width:100%;height:auto}svg text{font:11px sans-serif;fill:#555}"
    "path.rate{fill:none;stroke:#1f5fa8;stroke-width:1.5}line.axis{stroke:#888}"
    "line.failure{stroke:#b3261e;stroke-width:2}line.lineerror{stroke:#e08a00;stroke-width:2}"
    "rect.outage{fill:#999;opacity:.35}.kf{color:#b3261e;font-weight:bold}.kl{color:#e08a00;font-"
    "weight:bold}.ko{color:#999}";

}  // namespace

RunTimeline::RunTimeline(const CheckRun* run, QObject* parent) : QObject(parent), m_run(run) {
    m_samples << Sample{0.0, 0};
    connect(&m_timer, &QTimer::timeout, this, &RunTimeline::sample);
    m_timer.start(kSampleMs);
    connect(run, &CheckRun::failureFound, this, [this](const StreamFailure& f) {
        mark({Mark::Kind::Failure, m_run->secondsSoFar(), 0, failureText(f)});
    });
    connect(run, &CheckRun::lineEventSeen, this, [this](LineEvent event) {
        if (const LineErrorKind* kind = lineErrorKindOf(event))
            mark({Mark::Kind::LineError, m_run->secondsSoFar(), 0,
                  QStringLiteral("line error: ") + QLatin1String(kind->reportKey)});
    });
    connect(run, &CheckRun::outageBegan, this, [this] { m_outageStart = m_run->secondsSoFar(); });
    connect(run, &CheckRun::outageEnded, this, [this](double seconds) {
        // Outages are few, and each one is kept.
        m_marks << Mark{Mark::Kind::Outage, m_outageStart, seconds,
                        QStringLiteral("outage of %1 s").arg(seconds, 0, 'f', 1)};
    });
    connect(run, &CheckRun::finished, this, [this] {
        sample();
        m_timer.stop();
    });
}

void RunTimeline::sample() {
    if (++m_skipped < m_every) return;
    m_skipped = 0;
    m_samples << Sample{m_run->secondsSoFar(), m_run->comparedBytes()};
    if (m_samples.size() < kMaxSamples) return;
    // Every other sample goes, and from now on one in twice as many is kept.
    QList<Sample> kept;
    for (qsizetype i = 0; i < m_samples.size(); i += 2) kept << m_samples[i];
    m_samples = kept;
    m_every *= 2;
}

void RunTimeline::mark(Mark mark) {
    if (m_marks.size() >= kMaxMarks) {
        ++m_notKept;
        return;
    }
    m_marks << mark;
}

QByteArray htmlReport(const QList<PortReport>& ports, const QList<const RunTimeline*>& timelines,
                      CheckResult worst, const QDateTime& started, const QDateTime& ended) {
    QString html = QStringLiteral(
                       "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"/>"
                       "<title>parvolo-check: %1</title><style>%2</style></head><body>")
                       .arg(escaped(resultWord(worst)), QLatin1String(kStyle));
    html += QStringLiteral(
                "<h1>parvolo-check <span class=\"%1\">%2</span> (exit %3)</h1><p>%4 to %5</p>")
                .arg(worst == CheckResult::Pass ? QStringLiteral("pass") : QStringLiteral("fail"),
                     escaped(resultWord(worst)))
                .arg(exitCode(worst))
                .arg(escaped(wallClockText(started)), escaped(wallClockText(ended)));
    for (qsizetype i = 0; i < ports.size(); ++i)
        html += portSection(ports[i], timelines.value(i, nullptr), started);
    return (html + QStringLiteral("</body></html>\n")).toUtf8();
}

}  // namespace parvolo
