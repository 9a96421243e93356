#include "event_log.h"

#include <QDateTime>
#include <QJsonDocument>

#include <time.h>

#include <cmath>

#include <cstdio>

#include "check_run.h"
#include "serial/line_error_kinds.h"

namespace parvolo {

namespace {

QJsonValue byteOrNull(int byte) {
    return byte < 0 ? QJsonValue() : QJsonValue(byte);
}

QJsonObject failureEvent(const StreamFailure& failure) {
    return {{QStringLiteral("event"), QStringLiteral("failure")},
            {QStringLiteral("kind"), failureWord(failure.kind)},
            {QStringLiteral("block"), failure.block},
            {QStringLiteral("byte"), failure.byte},
            {QStringLiteral("byte_in_block"), failure.byteInBlock},
            {QStringLiteral("expected"), byteOrNull(failure.expected)},
            {QStringLiteral("got"), byteOrNull(failure.got)}};
}

// A line error by its report key; a modem input's change by the input's name.
QJsonObject lineEvent(LineEvent event) {
    if (const LineErrorKind* kind = lineErrorKindOf(event))
        return {{QStringLiteral("event"), QStringLiteral("line_error")},
                {QStringLiteral("kind"), QLatin1String(kind->reportKey)}};
    static const QHash<LineEvent, QString> inputs = {
        {LineEvent::CtsChanged, QStringLiteral("cts")},
        {LineEvent::DsrChanged, QStringLiteral("dsr")},
        {LineEvent::CarrierChanged, QStringLiteral("dcd")},
        {LineEvent::Ring, QStringLiteral("ri")}};
    return {{QStringLiteral("event"), QStringLiteral("line_change")},
            {QStringLiteral("line"), inputs.value(event, QString::number(int(event)))}};
}

double monotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double rounded(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

}  // namespace

bool EventLog::open(const QString& path) {
    const bool opened =
        path == QLatin1String("-")
            ? m_file.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)
            : (m_file.setFileName(path),
               m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    if (!opened) m_error = m_file.errorString();
    return opened;
}

void EventLog::follow(const QList<const CheckRun*>& runs) {
    m_clock.start();
    const double origin = std::round(monotonicSeconds() * 1e6) / 1e6;
    for (const CheckRun* run : runs) {
        m_runs << run;
        m_ports.insert(run, PortState{});
        write({{QStringLiteral("event"), QStringLiteral("start")},
               {QStringLiteral("format"), kFormatVersion},
               {QStringLiteral("port"), run->portName()},
               {QStringLiteral("monotonic_origin"), origin},
               {QStringLiteral("settings"), requestedJson(run->options(), run->outcomeSoFar())}});
        connect(run, &CheckRun::failureFound, this,
                [this, run](const StreamFailure& failure) { detail(run, failureEvent(failure)); });
        connect(run, &CheckRun::lineEventSeen, this,
                [this, run](LineEvent event) { detail(run, lineEvent(event)); });
        // Outages are few and always logged.
        connect(run, &CheckRun::outageBegan, this, [this, run] {
            write({{QStringLiteral("event"), QStringLiteral("outage")},
                   {QStringLiteral("port"), run->portName()}});
        });
        connect(run, &CheckRun::outageEnded, this, [this, run](double seconds) {
            write({{QStringLiteral("event"), QStringLiteral("return")},
                   {QStringLiteral("port"), run->portName()},
                   {QStringLiteral("outage_seconds"), rounded(seconds)}});
        });
    }
}

void EventLog::detail(const CheckRun* run, QJsonObject event) {
    PortState& state = m_ports[run];
    if (state.detailEvents >= kMaxDetailEvents) {
        ++state.notLogged;
        return;
    }
    ++state.detailEvents;
    event.insert(QStringLiteral("port"), run->portName());
    write(event);
}

void EventLog::snapshot() {
    for (const CheckRun* run : m_runs) {
        if (run->isFinished()) continue;
        PortState& state = m_ports[run];
        const CheckOutcome& now = run->outcomeSoFar();
        const qint64 bytes = now.placed.compared();
        const double span = now.seconds - state.lastSeconds;
        const double rate = span > 0 ? double(bytes - state.lastBytes) / span : 0.0;
        state.lastSeconds = now.seconds;
        state.lastBytes = bytes;
        write({{QStringLiteral("event"), QStringLiteral("snapshot")},
               {QStringLiteral("port"), run->portName()},
               {QStringLiteral("blocks"), now.counters.blocks},
               {QStringLiteral("mismatches"), now.counters.mismatches},
               {QStringLiteral("line_errors"), now.counters.lineErrors},
               {QStringLiteral("received_bytes"), now.counters.receivedBytes},
               {QStringLiteral("compared_bytes"), bytes},
               {QStringLiteral("bytes_per_second"), std::round(rate)},
               {QStringLiteral("not_logged"), state.notLogged}});
        state.notLogged = 0;
    }
}

// The ports come in the order of the runs followed.
void EventLog::end(const QList<PortReport>& ports) {
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const PortReport& port = ports[i];
        write({{QStringLiteral("event"), QStringLiteral("end")},
               {QStringLiteral("not_logged"), m_ports.value(m_runs.value(i)).notLogged},
               {QStringLiteral("port"), port.options.port},
               {QStringLiteral("result"), resultWord(port.result)},
               {QStringLiteral("exit_code"), exitCode(port.result)},
               {QStringLiteral("blocks"), port.outcome.counters.blocks},
               {QStringLiteral("mismatches"), port.outcome.counters.mismatches},
               {QStringLiteral("line_errors"), port.outcome.counters.lineErrors},
               {QStringLiteral("outages"), port.outcome.outages},
               {QStringLiteral("outage_seconds"), rounded(port.outcome.outageSeconds)},
               {QStringLiteral("duration_seconds"), rounded(port.outcome.seconds)},
               {QStringLiteral("error"),
                port.outcome.error.isEmpty() ? QJsonValue() : QJsonValue(port.outcome.error)}});
    }
    m_file.close();
}

void EventLog::write(QJsonObject event) {
    if (!m_file.isOpen()) return;
    event.insert(QStringLiteral("time"), wallClockText(QDateTime::currentDateTime()));
    event.insert(QStringLiteral("t"), rounded(double(m_clock.nsecsElapsed()) / 1e9));
    const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
    if (m_file.write(line) != line.size()) {
        m_error = m_file.errorString();
        m_file.close();
    }
}

}  // namespace parvolo
