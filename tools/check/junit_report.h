#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include "check_report.h"

// The run as JUnit XML, for CI systems: one testsuite for the run, one testcase per port named
// by the port and its settings. A port that did not pass has a failure whose message is the
// result word and where the run first went wrong, with the port's summary as its text. The
// counters are the suite's properties, "<port>.<counter>", because the common schema gives a
// testcase no properties of its own.
namespace parvolo {

struct JUnitRun {
    QDateTime started;  // local time; the schema's timestamp carries no zone
    QString hostname;
    double seconds = 0;
};

QString junitXml(const QList<PortReport>& ports, CheckResult worst, const JUnitRun& run);
// "COM1 9600 8N1, flow none": what a CI system lists the port's test under.
QString junitCaseName(const CheckOptions& options);

}  // namespace parvolo
