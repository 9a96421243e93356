#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include "check_report.h"
#include "stream_check.h"

// --html FILE: one self-contained page for a run of ten seconds or of twelve hours, with no
// script and nothing fetched: the settings and the result at the top, the rate over time with
// every failure, line error and outage marked on it, the round-trip distribution, and the first
// failures in a table. Drawn as inline SVG from what was collected during the run.
namespace parvolo {

class CheckRun;

// What the page needs of one port, collected as the run goes: the rate once a second (pairs
// merged when there are too many, so memory stays bounded), and the first marks.
class RunTimeline : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxSamples = 4096;
    static constexpr int kMaxMarks = 1000;

    struct Sample {
        double seconds;
        qint64 comparedBytes;
    };
    struct Mark {
        enum class Kind { Failure, LineError, Outage };
        Kind kind;
        double seconds;
        double length = 0;  // an outage's
        QString text;       // "mismatch at block 313, byte 8: 0x37 came as 0xC8"
    };

    explicit RunTimeline(const CheckRun* run, QObject* parent = nullptr);
    const CheckRun& run() const { return *m_run; }
    const QList<Sample>& samples() const { return m_samples; }
    const QList<Mark>& marks() const { return m_marks; }
    qint64 marksNotKept() const { return m_notKept; }

private:
    void sample();
    void mark(Mark mark);

    const CheckRun* m_run;
    QTimer m_timer;
    int m_every = 1;  // samples taken per one kept, doubled when the list is full
    int m_skipped = 0;
    QList<Sample> m_samples;
    QList<Mark> m_marks;
    qint64 m_notKept = 0;
    double m_outageStart = 0;
};

QByteArray htmlReport(const QList<PortReport>& ports, const QList<const RunTimeline*>& timelines,
                      CheckResult worst, const QDateTime& started, const QDateTime& ended);

}  // namespace parvolo
