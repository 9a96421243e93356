#pragma once

#include <QString>
#include <QStringList>

#include "serial/line_settings.h"

// The checker's command line: what to open, with which line settings, what to send, for how
// long and what to report. Parsing is pure, so every usage error can be tested without a port.
namespace parvolo {

enum class SendKind { Text, Fox, CountUp };
enum class StopRule { Blocks, Duration, Continuous };

struct CheckOptions {
    QString port;        // as given: COMn or a device path
    qint16 comPort = 0;  // 1..15 for COMn, 0 for a device path
    LineSettings line;
    SendKind send = SendKind::Text;
    QString text;  // the block for Text and Fox; count-up data is made per block
    StopRule stopRule = StopRule::Blocks;
    qint32 blocks = 1000;
    qint64 durationMs = 0;
    QString jsonPath;  // empty: none; "-": stdout
    QString logPath;   // the event log; empty: none; "-": stdout
    QString htmlPath;  // the page of the run; empty: none
    bool lines = false;
    bool quiet = false;
    // With stderr not a terminal, a status line this often; 0: none.
    qint32 statusEverySeconds = 60;
    // The JSON report brought up to date this often during the run; 0: only at the end.
    qint32 snapshotEverySeconds = 60;
    // A device that goes away mid-run is waited for this long and the run goes on; 0: the run
    // ends as line-lost.
    qint32 reconnectSeconds = 0;
    // Several blocks in flight at once, the line kept busy; 0 in flight: sized from the line
    // rate and the first block's round trip.
    bool stream = false;
    qint32 inFlight = 0;

    // Whether blocks are sent at all (--blocks 0 with --lines checks only the lines).
    bool sendsBlocks() const { return stopRule != StopRule::Blocks || blocks > 0; }
};

struct CommandLine {
    enum class Action { Run, List, Help, Version, UsageError };
    Action action = Action::UsageError;
    CheckOptions options;      // the first PORT's
    QList<CheckOptions> runs;  // one per PORT, in the order given, the settings all the same
    QString junitPath;         // empty: none; "-": stdout
    QString text;              // the help or version text, or what is wrong with the command line
};

// arguments[0] is the program.
CommandLine parseCommandLine(const QStringList& arguments);

// The words the options, the summary and the JSON report use.
QString parityWord(Parity parity);
QString flowWord(FlowControl flow);
QString sendWord(SendKind send);
QString stopRuleWord(StopRule rule);

}  // namespace parvolo
