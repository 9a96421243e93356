#include "check_options.h"

#include "serial/port_names.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <cmath>
#include <limits>

#include "check_result.h"
#include "engine/code_page.h"
#include "engine/send_run.h"

namespace parvolo {

namespace {

template <typename T>
struct WordRow {
    T value;
    const char* word;
};

constexpr WordRow<Parity> kParityWords[] = {{Parity::None, "none"},
                                            {Parity::Even, "even"},
                                            {Parity::Odd, "odd"},
                                            {Parity::Mark, "mark"},
                                            {Parity::Space, "space"}};
constexpr WordRow<FlowControl> kFlowWords[] = {{FlowControl::None, "none"},
                                               {FlowControl::RtsCts, "rtscts"},
                                               {FlowControl::XonXoff, "xonxoff"},
                                               {FlowControl::Both, "rtscts+xonxoff"}};
constexpr WordRow<SendKind> kSendWords[] = {
    {SendKind::Text, "text"}, {SendKind::Fox, "fox"}, {SendKind::CountUp, "count-up"}};
constexpr WordRow<StopRule> kStopWords[] = {{StopRule::Blocks, "blocks"},
                                            {StopRule::Duration, "duration"},
                                            {StopRule::Continuous, "continuous"}};

template <typename T, size_t N>
QString wordOf(const WordRow<T> (&table)[N], T value) {
    for (const WordRow<T>& row : table)
        if (row.value == value) return QLatin1String(row.word);
    return QString();
}

// The longest a duration can be: its milliseconds fit a 32-bit timer.
constexpr double kMaxDurationSeconds = std::numeric_limits<qint32>::max() / 1000.0;

class UsageError {
public:
    explicit UsageError(QString message) : m_message(std::move(message)) {}
    const QString& message() const { return m_message; }

private:
    QString m_message;
};

qint64 integerIn(const QString& option, const QString& value, qint64 low, qint64 high) {
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    if (!ok || number < low || number > high)
        throw UsageError(CheckTexts::tr("--%1 takes a whole number from %2 to %3, not '%4'")
                             .arg(option)
                             .arg(low)
                             .arg(high)
                             .arg(value));
    return number;
}

template <typename T, size_t N>
T wordIn(const QString& option, const QString& value, const WordRow<T> (&table)[N],
         qsizetype choices = N) {
    QStringList words;
    for (qsizetype i = 0; i < choices; ++i) {
        if (value == QLatin1String(table[i].word)) return table[i].value;
        words << QLatin1String(table[i].word);
    }
    throw UsageError(
        CheckTexts::tr("--%1 takes %2, not '%3'").arg(option, words.join(QLatin1Char('|')), value));
}

qint64 durationMs(const QString& value) {
    bool ok = false;
    const double seconds = value.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0.001 || seconds > kMaxDurationSeconds)
        throw UsageError(CheckTexts::tr("--duration takes seconds from 0.001 to %1, not '%2'")
                             .arg(kMaxDurationSeconds, 0, 'f', 0)
                             .arg(value));
    return std::llround(seconds * 1000.0);
}

// Every character must go out as the one byte it is compared with, so that a block is as
// many bytes as it has characters.
void requireSingleByteText(const QString& text) {
    if (text.isEmpty()) throw UsageError(CheckTexts::tr("--text must not be empty"));
    if (text.size() > std::numeric_limits<qint16>::max())
        throw UsageError(CheckTexts::tr("--text is %1 characters long; a block holds at most %2")
                             .arg(text.size())
                             .arg(std::numeric_limits<qint16>::max()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QByteArray bytes = code_page::encode(text.mid(i, 1));
        if (bytes.size() != 1 ||
            code_page::byteToChar(static_cast<unsigned char>(bytes[0])) != text[i])
            throw UsageError(
                CheckTexts::tr("--text: '%1' (position %2) is not one byte in CP932; use ASCII "
                               "or half-width katakana")
                    .arg(text.mid(i, 1))
                    .arg(i + 1));
    }
}

void setPort(CheckOptions& options, const QString& port) {
    static const QRegularExpression comName(QStringLiteral("^COM([0-9]+)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    options.port = port;
    if (const QRegularExpressionMatch m = comName.match(port); m.hasMatch()) {
        const int n = m.captured(1).toInt();
        if (n < 1 || n > kComPortCount)
            throw UsageError(
                CheckTexts::tr("%1: ports are COM1 to COM%2").arg(port).arg(kComPortCount));
        options.comPort = qint16(n);
        return;
    }
    if (isRemotePortName(port) || isSerialNumberName(port)) return;
    if (!port.contains(QLatin1Char('/')))
        throw UsageError(CheckTexts::tr("%1: PORT is COM1..COM%2, a device path such as "
                                        "/dev/ttyUSB0, serial:NUMBER (a USB serial number) or "
                                        "rfc2217://HOST:PORT")
                             .arg(port)
                             .arg(kComPortCount));
}

// Every PORT gets the same settings; one given twice would only find itself busy.
QList<CheckOptions> runsFor(const QStringList& ports, const CheckOptions& first) {
    QList<CheckOptions> runs;
    QStringList seen;
    for (const QString& port : ports) {
        CheckOptions options = first;
        options.comPort = 0;
        setPort(options, port);
        const QString key =
            options.comPort > 0 ? QStringLiteral("COM%1").arg(options.comPort) : options.port;
        if (seen.contains(key, Qt::CaseInsensitive))
            throw UsageError(CheckTexts::tr("%1 given twice").arg(port));
        seen << key;
        runs << options;
    }
    return runs;
}

struct Options {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            CheckTexts::tr("Show this help and exit.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               CheckTexts::tr("Show the version and exit.")};
    QCommandLineOption baud{QStringLiteral("baud"), CheckTexts::tr("Line rate in bit/s (9600)."),
                            QStringLiteral("N")};
    QCommandLineOption dataBits{QStringLiteral("data-bits"), CheckTexts::tr("7 or 8 (8)."),
                                QStringLiteral("BITS")};
    QCommandLineOption parity{QStringLiteral("parity"),
                              CheckTexts::tr("none, even, odd, mark or space (none)."),
                              QStringLiteral("PARITY")};
    QCommandLineOption stopBits{QStringLiteral("stop-bits"), CheckTexts::tr("1 or 2 (1)."),
                                QStringLiteral("BITS")};
    QCommandLineOption flow{QStringLiteral("flow"),
                            CheckTexts::tr("Flow control: none, rtscts or xonxoff (none)."),
                            QStringLiteral("FLOW")};
    QCommandLineOption text{
        QStringLiteral("text"),
        CheckTexts::tr("Send TEXT as each block (%1).").arg(send_patterns::kDefaultText),
        QStringLiteral("TEXT")};
    QCommandLineOption fox{QStringLiteral("fox"),
                           CheckTexts::tr("Send the fox sentence as each block.")};
    QCommandLineOption countUp{
        QStringLiteral("count-up"),
        CheckTexts::tr("Send count-up data: the block number in ten digits, A-Z, CR LF.")};
    QCommandLineOption blocks{QStringLiteral("blocks"),
                              CheckTexts::tr("Stop after N blocks (1000); 0 with --lines "
                                             "checks only the lines."),
                              QStringLiteral("N")};
    QCommandLineOption duration{QStringLiteral("duration"),
                                CheckTexts::tr("Send blocks for SECONDS, then let the last one "
                                               "finish."),
                                QStringLiteral("SECONDS")};
    QCommandLineOption continuous{QStringLiteral("continuous"),
                                  CheckTexts::tr("Send blocks until Ctrl+C.")};
    QCommandLineOption json{QStringLiteral("json"),
                            CheckTexts::tr("Write the report as JSON to FILE (- for stdout)."),
                            QStringLiteral("FILE")};
    QCommandLineOption lines{QStringLiteral("lines"),
                             CheckTexts::tr("Also check that CTS follows RTS and DSR and DCD "
                                            "follow DTR (a DE-9 loopback plug).")};
    QCommandLineOption list{QStringLiteral("list"),
                            CheckTexts::tr("List COM1..COM%1 and the serial devices, without "
                                           "opening any, and exit (with --json, as JSON).")
                                .arg(kComPortCount)};
    QCommandLineOption quiet{QStringLiteral("quiet"),
                             CheckTexts::tr("No summary and no progress line on stderr.")};
    QCommandLineOption stream{
        QStringLiteral("stream"),
        CheckTexts::tr("Keep several blocks in flight, so that the line never idles; every "
                       "byte is still compared.")};
    QCommandLineOption inFlight{
        QStringLiteral("in-flight"),
        CheckTexts::tr("With --stream, N blocks in flight (default: sized from the line rate "
                       "and the first block's round trip)."),
        QStringLiteral("N")};

    QCommandLineOption statusEvery{
        QStringLiteral("status-every"),
        CheckTexts::tr("When stderr is not a terminal, one status line every SECONDS (default "
                       "60; 0: none)."),
        QStringLiteral("SECONDS")};

    QCommandLineOption reconnect{
        QStringLiteral("reconnect"),
        CheckTexts::tr("When the device goes away mid-run, wait up to SECONDS for it to come "
                       "back, reopen it and go on; the outage is counted and the run never "
                       "passes."),
        QStringLiteral("SECONDS")};
    QCommandLineOption html{
        QStringLiteral("html"),
        CheckTexts::tr("Also write one self-contained HTML page of the run to FILE: the rate "
                       "over time with every failure and outage marked."),
        QStringLiteral("FILE")};
    QCommandLineOption log{
        QStringLiteral("log"),
        CheckTexts::tr("Write every event with its time to FILE as JSON Lines, as it happens "
                       "(- for stdout)."),
        QStringLiteral("FILE")};
    QCommandLineOption snapshotEvery{
        QStringLiteral("snapshot-every"),
        CheckTexts::tr("Bring the JSON report up to date every SECONDS during the run, marked "
                       "as in progress (default 60; 0: only at the end)."),
        QStringLiteral("SECONDS")};

    QCommandLineOption junit{QStringLiteral("junit"),
                             CheckTexts::tr("Also write the result as JUnit XML to FILE (- for "
                                            "stdout), one test case per PORT."),
                             QStringLiteral("FILE")};

    QList<QCommandLineOption> all() const {
        return {help,          version, baud,      dataBits, parity,   stopBits,   flow,
                text,          fox,     countUp,   blocks,   duration, continuous, json,
                junit,         lines,   list,      quiet,    stream,   inFlight,   statusEvery,
                snapshotEvery, log,     reconnect, html};
    }
};

QString helpText(QCommandLineParser& parser) {
    // The parser names the program by its path; the help names it as the man page does.
    const QString options = parser.helpText().section(QLatin1Char('\n'), 1);
    return QStringLiteral(
               "Usage: parvolo-check [options] PORT [PORT ...]\n"
               "       parvolo-check --list [--json FILE|-]\n") +
           options + QStringLiteral("\nExit codes:\n") + exitCodeTable();
}

int countSet(const QCommandLineParser& parser,
             std::initializer_list<const QCommandLineOption*> options) {
    int count = 0;
    for (const QCommandLineOption* option : options) count += parser.isSet(*option) ? 1 : 0;
    return count;
}

CheckOptions readOptions(const QCommandLineParser& parser, const Options& o) {
    CheckOptions options;
    const QStringList ports = parser.positionalArguments();
    if (ports.isEmpty()) throw UsageError(CheckTexts::tr("no PORT given"));
    setPort(options, ports.first());

    if (parser.isSet(o.baud))
        options.line.baudRate = qint32(integerIn(QStringLiteral("baud"), parser.value(o.baud), 1,
                                                 std::numeric_limits<qint32>::max()));
    if (parser.isSet(o.dataBits))
        options.line.dataBits =
            DataBits(integerIn(QStringLiteral("data-bits"), parser.value(o.dataBits), 7, 8));
    if (parser.isSet(o.parity))
        options.line.parity =
            wordIn(QStringLiteral("parity"), parser.value(o.parity), kParityWords);
    if (parser.isSet(o.stopBits))
        options.line.stopBits =
            StopBits(integerIn(QStringLiteral("stop-bits"), parser.value(o.stopBits), 1, 2));
    // rtscts+xonxoff is a word for what a driver reads back, not a choice.
    if (parser.isSet(o.flow))
        options.line.flow = wordIn(QStringLiteral("flow"), parser.value(o.flow), kFlowWords, 3);

    if (countSet(parser, {&o.text, &o.fox, &o.countUp}) > 1)
        throw UsageError(CheckTexts::tr("choose one of --text, --fox and --count-up"));
    options.text = send_patterns::kDefaultText;
    if (parser.isSet(o.text)) {
        options.text = parser.value(o.text);
        requireSingleByteText(options.text);
    } else if (parser.isSet(o.fox)) {
        options.send = SendKind::Fox;
        options.text = send_patterns::kFoxSentence;
    } else if (parser.isSet(o.countUp)) {
        options.send = SendKind::CountUp;
        options.text = send_patterns::countUpData(0);
    }

    if (countSet(parser, {&o.blocks, &o.duration, &o.continuous}) > 1)
        throw UsageError(CheckTexts::tr("choose one of --blocks, --duration and --continuous"));
    if (parser.isSet(o.blocks)) {
        options.blocks = qint32(integerIn(QStringLiteral("blocks"), parser.value(o.blocks), 0,
                                          std::numeric_limits<qint32>::max()));
        if (options.blocks == 0 && !parser.isSet(o.lines))
            throw UsageError(CheckTexts::tr("--blocks 0 checks nothing without --lines"));
    } else if (parser.isSet(o.duration)) {
        options.stopRule = StopRule::Duration;
        options.durationMs = durationMs(parser.value(o.duration));
    } else if (parser.isSet(o.continuous)) {
        options.stopRule = StopRule::Continuous;
    }

    options.lines = parser.isSet(o.lines);
    // With RTS/CTS the driver drives RTS itself.
    if (options.lines && options.line.rtsCts())
        throw UsageError(
            CheckTexts::tr("--lines drives RTS itself; use it with --flow none or xonxoff"));
    if (parser.isSet(o.json)) {
        options.jsonPath = parser.value(o.json);
        if (options.jsonPath.isEmpty())
            throw UsageError(CheckTexts::tr("--json needs a FILE or -"));
    }
    options.quiet = parser.isSet(o.quiet);
    if (parser.isSet(o.reconnect))
        options.reconnectSeconds =
            qint32(integerIn(QStringLiteral("reconnect"), parser.value(o.reconnect), 1, 86400));
    if (parser.isSet(o.html)) {
        options.htmlPath = parser.value(o.html);
        if (options.htmlPath.isEmpty()) throw UsageError(CheckTexts::tr("--html needs a FILE"));
    }
    if (parser.isSet(o.log)) {
        options.logPath = parser.value(o.log);
        if (options.logPath.isEmpty()) throw UsageError(CheckTexts::tr("--log needs a FILE or -"));
    }
    if (parser.isSet(o.snapshotEvery))
        options.snapshotEverySeconds = qint32(
            integerIn(QStringLiteral("snapshot-every"), parser.value(o.snapshotEvery), 0, 86400));
    if (parser.isSet(o.statusEvery))
        options.statusEverySeconds = qint32(
            integerIn(QStringLiteral("status-every"), parser.value(o.statusEvery), 0, 86400));
    options.stream = parser.isSet(o.stream);
    if (parser.isSet(o.inFlight)) {
        if (!options.stream) throw UsageError(CheckTexts::tr("--in-flight needs --stream"));
        options.inFlight =
            qint32(integerIn(QStringLiteral("in-flight"), parser.value(o.inFlight), 1, 4096));
    }
    return options;
}

}  // namespace

CommandLine parseCommandLine(const QStringList& arguments) {
    Options o;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        CheckTexts::tr(
            "Sends blocks of test data to each PORT, all at once, compares what comes back\n"
            "byte by byte and ends with an exit code that tells scripts the result: with\n"
            "several ports, the highest exit code of any. PORT is COM1..COM%1, resolved as\n"
            "the Parvolo window resolves it, a device path, serial:NUMBER (a USB serial\n"
            "number) or rfc2217://HOST:PORT.")
            .arg(kComPortCount));
    parser.addOptions(o.all());
    parser.addPositionalArgument(
        QStringLiteral("PORT"),
        CheckTexts::tr("COM1..COM%1, a device path, serial:NUMBER or rfc2217://HOST:PORT; one or "
                       "more.")
            .arg(kComPortCount));

    CommandLine result;
    const bool parsed = parser.parse(arguments);
    if (parser.isSet(o.help)) {
        result.action = CommandLine::Action::Help;
        result.text = helpText(parser);
        return result;
    }
    if (parser.isSet(o.version)) {
        result.action = CommandLine::Action::Version;
        result.text = QStringLiteral("parvolo-check %1\n").arg(QLatin1String(PARVOLO_VERSION));
        return result;
    }
    try {
        if (!parsed) throw UsageError(parser.errorText());
        if (parser.isSet(o.list)) {
            const bool onlyJson = parser.optionNames().size() == (parser.isSet(o.json) ? 2 : 1);
            if (!onlyJson || !parser.positionalArguments().isEmpty())
                throw UsageError(CheckTexts::tr("--list takes no PORT and no option but --json"));
            result.options.jsonPath = parser.value(o.json);
            if (parser.isSet(o.json) && result.options.jsonPath.isEmpty())
                throw UsageError(CheckTexts::tr("--json needs a FILE or -"));
            result.action = CommandLine::Action::List;
            return result;
        }
        result.options = readOptions(parser, o);
        result.runs = runsFor(parser.positionalArguments(), result.options);
        if (parser.isSet(o.junit)) {
            result.junitPath = parser.value(o.junit);
            if (result.junitPath.isEmpty())
                throw UsageError(CheckTexts::tr("--junit needs a FILE"));
            if (result.junitPath == result.options.jsonPath)
                throw UsageError(CheckTexts::tr("--junit and --json name the same FILE"));
        }
        const QString& log = result.options.logPath;
        if (!log.isEmpty() && (log == result.options.jsonPath || log == result.junitPath))
            throw UsageError(CheckTexts::tr("--log names the same FILE as a report"));
        result.action = CommandLine::Action::Run;
    } catch (const UsageError& error) {
        result.action = CommandLine::Action::UsageError;
        result.text = error.message();
    }
    return result;
}

QString parityWord(Parity parity) {
    return wordOf(kParityWords, parity);
}

QString flowWord(FlowControl flow) {
    return wordOf(kFlowWords, flow);
}

QString sendWord(SendKind send) {
    return wordOf(kSendWords, send);
}

QString stopRuleWord(StopRule rule) {
    return wordOf(kStopWords, rule);
}

}  // namespace parvolo
