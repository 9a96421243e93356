#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "check_report.h"

// The event log (--log FILE, - for stdout): JSON Lines, one event a line, written and flushed as
// it happens, so that a run followed with tail -f, or one that is killed, has its events up to
// then. Each event has "event", "time" (wall clock, ISO 8601 with the offset) and "t" (seconds
// since the start, monotonic). Bounded: each port logs its first kMaxDetailEvents failures,
// line errors and line changes one by one; after that the snapshots count what was not logged.
// The kinds and keys are in the man page, under format version kFormatVersion.
namespace parvolo {

class CheckRun;

class EventLog : public QObject {
    Q_OBJECT
public:
    static constexpr int kFormatVersion = 1;
    static constexpr int kMaxDetailEvents = 1000;

    bool open(const QString& path);
    bool isOpen() const { return m_file.isOpen(); }
    // Why the log could not be written, once it could not.
    const QString& error() const { return m_error; }

    // One start event per run, once the runs have opened their ports; then their events.
    void follow(const QList<const CheckRun*>& runs);
    // The counters of each run still going, the rate since the last snapshot, and what was not
    // logged one by one since then.
    void snapshot();
    // One end event per port, with its result.
    void end(const QList<PortReport>& ports);

private:
    struct PortState {
        int detailEvents = 0;
        qint64 notLogged = 0;
        double lastSeconds = 0;  // the last snapshot's
        qint64 lastBytes = 0;
    };
    void write(QJsonObject event);
    // A failure, line error or line change: logged, or counted once the port has had its share.
    void detail(const CheckRun* run, QJsonObject event);

    QFile m_file;
    QElapsedTimer m_clock;
    QList<const CheckRun*> m_runs;
    QHash<const CheckRun*, PortState> m_ports;
    QString m_error;
};

}  // namespace parvolo
