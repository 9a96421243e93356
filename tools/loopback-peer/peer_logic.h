#pragma once

// The loopback plug's pure logic: command line, byte transform, rate meter, pattern source, port
// map directory and summary. Header-only and free of I/O so the tests can include it directly.

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace parvolo::loopback {

// The plug's messages, in one translation context (translations/parvolo-loopback_ja.ts). main()
// installs the user's language; without a translator, as in the tests, they stay English. What
// scripts read (the READY and SUMMARY lines, option names) is never translated.
struct PlugTexts {
    Q_DECLARE_TR_FUNCTIONS(PlugTexts)
};

// Arguments, values and paths go into a message as given. Qt reads the local encoding as UTF-8.
inline QString asText(const std::string& text) {
    return QString::fromStdString(text);
}

enum class Mode { Echo, Sink, Generate };

struct Options {
    std::string port = "COM1";
    std::optional<std::string> dir;
    bool force = false;
    Mode mode = Mode::Echo;
    std::uint64_t delayNs = 0;       // turnaround, after a byte's wire time
    std::uint64_t corruptEvery = 0;  // 0 = off
    std::uint64_t dropEvery = 0;     // 0 = off
    std::uint64_t addEvery = 0;      // one byte added after every Nth, 0 = off
    bool duplicate = false;          // every chunk echoed twice
    std::uint64_t rate = 0;  // line rate in bytes per second, both directions; 0 = unlimited
    std::uint64_t generateRate = 0;              // bytes per second in Generate mode
    std::optional<std::uint64_t> generateBytes;  // stop generating after this many bytes
    bool generateOnInput = false;                // start generating at the client's first byte
    std::string pattern = "0123456789ABCDEF";
    std::optional<std::uint64_t> quitAfterMs;
    bool printReady = false;
    bool help = false;
    bool version = false;
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the command line was accepted
    bool ok() const { return error.empty(); }
};

// Far beyond any serial line, and small enough that rate arithmetic in doubles stays exact.
inline constexpr std::uint64_t kMaxRate = 1'000'000'000;
// Milliseconds are added to nanosecond clocks; a year keeps that far from overflow.
inline constexpr std::uint64_t kMaxMilliseconds = 365ULL * 24 * 3600 * 1000;

inline std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t min,
                                                  std::uint64_t max) {
    // from_chars alone would accept a prefix ("12abc") and std::stoull a sign or blanks.
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < min || value > max) return std::nullopt;
    return value;
}

// Milliseconds with up to six decimals ("1", "0.5", "2.125"), as nanoseconds.
inline std::optional<std::uint64_t> parseMilliseconds(std::string_view text) {
    const std::size_t point = text.find('.');
    const auto whole = parseUnsigned(text.substr(0, point), 0, kMaxMilliseconds);
    if (!whole) return std::nullopt;
    std::uint64_t ns = *whole * 1'000'000;
    if (point == std::string_view::npos) return ns;
    const std::string_view fraction = text.substr(point + 1);
    if (fraction.empty() || fraction.size() > 6 || !parseUnsigned(fraction, 0, 999'999))
        return std::nullopt;
    std::uint64_t scale = 100'000;
    for (char digit : fraction) {
        ns += static_cast<std::uint64_t>(digit - '0') * scale;
        scale /= 10;
    }
    return ns;
}

// The window looks up "COM" followed by the port number as printed, so "COM01" would never be
// found; reject it instead of creating a link nobody opens.
inline bool isValidPortName(std::string_view name) {
    if (name.size() < 4 || name.substr(0, 3) != "COM" || name[3] == '0') return false;
    return parseUnsigned(name.substr(3), 1, std::numeric_limits<int>::max()).has_value();
}

// What an option's value is, and so how it is read and refused.
enum class ValueKind {
    None,          // a flag
    Text,          // any non-empty text
    PortName,      // COM and a number
    Milliseconds,  // up to six decimals, stored as nanoseconds
    Microseconds,  // whole, stored as nanoseconds
    Rate,          // bytes per second, 1 to kMaxRate
    Every,         // every Nth byte, 1 and up
    Count,         // 0 and up
    WholeMs,       // whole milliseconds
};

// Options that shape an echo mean nothing without one, and the pattern's without --generate;
// refusing them catches a mistyped benchmark or test setup instead of silently measuring
// something else.
enum class Applies { Always, EchoOnly, GenerateOnly };

// One row per option: the parser, its checks and the usage text all come from here.
struct OptionSpec {
    const char* name;
    ValueKind kind;
    const char* valueName;  // in the usage text, as it is in every language
    const char* help;       // translated when shown; "\n" starts a continuation line
    void (*store)(Options&, std::uint64_t number, const std::string& text);
    Applies applies = Applies::Always;
};

inline constexpr OptionSpec kOptions[] = {
    {"--port", ValueKind::PortName, "COMn",
     QT_TRANSLATE_NOOP("PlugTexts", "link name (default COM1)"),
     [](Options& o, std::uint64_t, const std::string& t) { o.port = t; }},
    {"--dir", ValueKind::Text, "DIR",
     QT_TRANSLATE_NOOP(
         "PlugTexts",
         "port map directory (default $PARVOLO_PORT_DIR,\nelse ~/.config/parvolo/ports)"),
     [](Options& o, std::uint64_t, const std::string& t) { o.dir = t; }},
    {"--force", ValueKind::None, "",
     QT_TRANSLATE_NOOP("PlugTexts", "replace COMn even if it points somewhere else"),
     [](Options& o, std::uint64_t, const std::string&) { o.force = true; }},
    {"--sink", ValueKind::None, "",
     QT_TRANSLATE_NOOP("PlugTexts", "read and count only, send nothing back"),
     [](Options& o, std::uint64_t, const std::string&) { o.mode = Mode::Sink; }},
    {"--delay-ms", ValueKind::Milliseconds, "N",
     QT_TRANSLATE_NOOP(
         "PlugTexts",
         "turnaround: echo each byte N ms after it arrived\n(fractions allowed: 0.25)"),
     [](Options& o, std::uint64_t ns, const std::string&) { o.delayNs = ns; }, Applies::EchoOnly},
    {"--latency-us", ValueKind::Microseconds, "N",
     QT_TRANSLATE_NOOP("PlugTexts", "the same in whole microseconds"),
     [](Options& o, std::uint64_t ns, const std::string&) { o.delayNs = ns; }, Applies::EchoOnly},
    {"--corrupt-every", ValueKind::Every, "N",
     QT_TRANSLATE_NOOP("PlugTexts", "flip all bits of every Nth byte echoed (N, 2N, ...)"),
     [](Options& o, std::uint64_t n, const std::string&) { o.corruptEvery = n; },
     Applies::EchoOnly},
    {"--drop-every", ValueKind::Every, "N",
     QT_TRANSLATE_NOOP("PlugTexts", "do not echo every Nth byte (N, 2N, ...)"),
     [](Options& o, std::uint64_t n, const std::string&) { o.dropEvery = n; }, Applies::EchoOnly},
    {"--add-every", ValueKind::Every, "N",
     QT_TRANSLATE_NOOP("PlugTexts", "echo one byte more after every Nth (N, 2N, ...)"),
     [](Options& o, std::uint64_t n, const std::string&) { o.addEvery = n; }, Applies::EchoOnly},
    {"--duplicate", ValueKind::None, "",
     QT_TRANSLATE_NOOP("PlugTexts", "echo every chunk read twice"),
     [](Options& o, std::uint64_t, const std::string&) { o.duplicate = true; }, Applies::EchoOnly},
    {"--rate", ValueKind::Rate, "BYTES_PER_SEC",
     QT_TRANSLATE_NOOP("PlugTexts",
                       "the line's rate: bytes are taken from the client and\n"
                       "echoed no faster than this, each one character time\n"
                       "on the line"),
     [](Options& o, std::uint64_t n, const std::string&) { o.rate = n; }, Applies::EchoOnly},
    {"--generate", ValueKind::Rate, "BYTES_PER_SEC",
     QT_TRANSLATE_NOOP("PlugTexts", "send a continuous pattern at this rate, ignore input"),
     [](Options& o, std::uint64_t n, const std::string&) { o.generateRate = n; }},
    {"--pattern", ValueKind::Text, "TEXT",
     QT_TRANSLATE_NOOP("PlugTexts", "pattern for --generate (default 0123456789ABCDEF)"),
     [](Options& o, std::uint64_t, const std::string& t) { o.pattern = t; }, Applies::GenerateOnly},
    {"--generate-bytes", ValueKind::Count, "N",
     QT_TRANSLATE_NOOP("PlugTexts", "stop generating after N bytes (and keep the line open)"),
     [](Options& o, std::uint64_t n, const std::string&) { o.generateBytes = n; },
     Applies::GenerateOnly},
    {"--generate-on-input", ValueKind::None, "",
     QT_TRANSLATE_NOOP("PlugTexts", "start generating when the first byte arrives"),
     [](Options& o, std::uint64_t, const std::string&) { o.generateOnInput = true; },
     Applies::GenerateOnly},
    {"--quit-after-ms", ValueKind::WholeMs, "N",
     QT_TRANSLATE_NOOP("PlugTexts", "exit by itself after N ms"),
     [](Options& o, std::uint64_t n, const std::string&) { o.quitAfterMs = n; }},
    {"--print-ready", ValueKind::None, "",
     QT_TRANSLATE_NOOP("PlugTexts", "print 'READY <link> <pty>' once the link exists"),
     [](Options& o, std::uint64_t, const std::string&) { o.printReady = true; }},
    {"--help", ValueKind::None, "", QT_TRANSLATE_NOOP("PlugTexts", "show this help"),
     [](Options& o, std::uint64_t, const std::string&) { o.help = true; }},
    {"--version", ValueKind::None, "", QT_TRANSLATE_NOOP("PlugTexts", "show the version"),
     [](Options& o, std::uint64_t, const std::string&) { o.version = true; }},
};

inline QString usageText() {
    constexpr qsizetype kHelpColumn = 25;
    const QString indent(kHelpColumn, QLatin1Char(' '));
    QString text = PlugTexts::tr("Usage: parvolo-loopback [OPTION]...") + QLatin1Char('\n') +
                   PlugTexts::tr(
                       "Create a pseudo-terminal and link it as COMn in the Parvolo port map "
                       "directory,\nthen act as the far end of the line until interrupted.") +
                   QLatin1String("\n\n");
    for (const OptionSpec& option : kOptions) {
        QString head = QLatin1String("  ") + QLatin1String(option.name);
        if (option.kind != ValueKind::None)
            head += QLatin1Char(' ') + QLatin1String(option.valueName);
        // A long name gets its help on the next line.
        text += head.size() < kHelpColumn - 1 ? head.leftJustified(kHelpColumn)
                                              : head + QLatin1Char('\n') + indent;
        text += PlugTexts::tr(option.help).replace(QLatin1Char('\n'), QLatin1Char('\n') + indent);
        text += QLatin1Char('\n');
    }
    text +=
        QLatin1Char('\n') +
        PlugTexts::tr("On SIGINT or SIGTERM the link is removed and a SUMMARY line is printed.") +
        QLatin1Char('\n') +
        PlugTexts::tr(
            "Exit status: 0 done, 1 system error, 2 bad arguments or COMn owned by "
            "something else.") +
        QLatin1Char('\n');
    return text;
}

inline const OptionSpec* findOption(const std::string& name) {
    for (const OptionSpec& option : kOptions)
        if (name == option.name) return &option;
    return nullptr;
}

// The value of one option, checked; an error message when it is refused.
inline std::optional<std::string> readValue(const OptionSpec& option, const std::string& value,
                                            std::uint64_t& number) {
    const QString name = QLatin1String(option.name);
    // All placeholders filled in one arg() call, so that a value holding "%2" stays as typed.
    auto wholeNumber = [&](std::uint64_t min, std::uint64_t max) -> std::optional<std::string> {
        if (const auto parsed = parseUnsigned(value, min, max)) {
            number = *parsed;
            return std::nullopt;
        }
        return PlugTexts::tr("option '%1' needs a whole number from %2 to %3, not '%4'")
            .arg(name, QString::number(min), QString::number(max), asText(value))
            .toStdString();
    };
    switch (option.kind) {
        case ValueKind::None:
            return std::nullopt;
        case ValueKind::Text:
            if (!value.empty()) return std::nullopt;
            return (name == QLatin1String("--dir")
                        ? PlugTexts::tr("option '--dir' needs a directory")
                        : PlugTexts::tr("option '%1' needs at least one character").arg(name))
                .toStdString();
        case ValueKind::PortName:
            if (isValidPortName(value)) return std::nullopt;
            return PlugTexts::tr("option '%1' needs a name like COM1 (COM and a number), not '%2'")
                .arg(name, asText(value))
                .toStdString();
        case ValueKind::Milliseconds:
            if (const auto ns = parseMilliseconds(value)) {
                number = *ns;
                return std::nullopt;
            }
            return PlugTexts::tr(
                       "option '%1' needs milliseconds from 0 to %2 with at most six "
                       "decimals, not '%3'")
                .arg(name, QString::number(kMaxMilliseconds), asText(value))
                .toStdString();
        case ValueKind::Microseconds: {
            auto refused = wholeNumber(0, kMaxMilliseconds * 1000);
            number *= 1000;
            return refused;
        }
        case ValueKind::Rate:
            return wholeNumber(1, kMaxRate);
        case ValueKind::Every:
            return wholeNumber(1, std::numeric_limits<std::uint64_t>::max());
        case ValueKind::Count:
            return wholeNumber(0, std::numeric_limits<std::uint64_t>::max());
        case ValueKind::WholeMs:
            return wholeNumber(0, kMaxMilliseconds);
    }
    return std::nullopt;
}

// args excludes the program name. Accepts "--opt value" and "--opt=value"; the last use wins.
inline ParseResult parseArguments(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    std::set<std::string> seen;

    auto fail = [&result](const QString& message) {
        result.error = message.toStdString();
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionSpec* option = findOption(name);
        if (!option) {
            if (name.rfind("-", 0) == 0)
                return fail(PlugTexts::tr("unknown option '%1'").arg(asText(name)));
            return fail(PlugTexts::tr("unexpected argument '%1'").arg(asText(name)));
        }
        const bool isFlag = option->kind == ValueKind::None;
        if (isFlag && inlineValue)
            return fail(PlugTexts::tr("option '%1' takes no value").arg(asText(name)));

        std::string value;
        if (!isFlag) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return fail(PlugTexts::tr("option '%1' needs a value").arg(asText(name)));
            }
        }
        seen.insert(name);
        std::uint64_t number = 0;
        if (const auto refused = readValue(*option, value, number)) {
            result.error = *refused;
            return result;
        }
        option->store(o, number, value);
    }

    const bool sink = seen.count("--sink") > 0;
    if (o.help || o.version) return result;

    const bool generate = seen.count("--generate") > 0;
    if (sink && generate)
        return fail(PlugTexts::tr("options '--sink' and '--generate' exclude each other"));
    for (const OptionSpec& option : kOptions) {
        if (!seen.count(option.name)) continue;
        if (option.applies == Applies::EchoOnly && (sink || generate)) {
            return fail(PlugTexts::tr("option '%1' only applies to echo, not with '%2'")
                            .arg(QLatin1String(option.name),
                                 QLatin1String(sink ? "--sink" : "--generate")));
        }
        if (option.applies == Applies::GenerateOnly && !generate)
            return fail(PlugTexts::tr("option '%1' only applies with '--generate'")
                            .arg(QLatin1String(option.name)));
    }
    o.mode = generate ? Mode::Generate : sink ? Mode::Sink : Mode::Echo;
    return result;
}

// Same order as the window's own lookup; an empty variable counts as unset there too.
// Returns an empty string when no directory can be named.
inline std::string resolvePortDir(const std::optional<std::string>& dirOption, const char* envDir,
                                  const char* home) {
    if (dirOption) return *dirOption;
    if (envDir && *envDir) return envDir;
    if (home && *home) return std::string(home) + "/.config/parvolo/ports";
    return {};
}

// Every plug links into /dev/pts; such a link is left over from a plug and may be replaced.
inline bool isPlugTarget(std::string_view target) {
    return target.rfind("/dev/pts/", 0) == 0;
}

// Corrupts and drops by position in the whole stream, so the pattern does not depend on how the
// kernel happened to split it into reads. A byte due for both is dropped, not counted corrupted.
class StreamTransform {
public:
    StreamTransform(std::uint64_t corruptEvery, std::uint64_t dropEvery, std::uint64_t addEvery = 0)
        : m_corruptEvery(corruptEvery), m_dropEvery(dropEvery), m_addEvery(addEvery) {}

    // Appends the bytes that survive to out, and the added ones.
    void apply(std::string_view in, std::string& out) {
        if (m_corruptEvery == 0 && m_dropEvery == 0 && m_addEvery == 0) {
            m_position += in.size();
            out.append(in);
            return;
        }
        out.reserve(out.size() + in.size());
        for (char byte : in) {
            ++m_position;
            if (m_dropEvery != 0 && m_position % m_dropEvery == 0) {
                ++m_dropped;
                continue;
            }
            if (m_corruptEvery != 0 && m_position % m_corruptEvery == 0) {
                // All bits flipped: the byte differs whatever it was, parity included.
                byte = static_cast<char>(static_cast<unsigned char>(byte) ^ 0xFFu);
                ++m_corrupted;
            }
            out.push_back(byte);
            // The added byte is the one before with its bits flipped: never the same byte again.
            if (m_addEvery != 0 && m_position % m_addEvery == 0) {
                out.push_back(static_cast<char>(static_cast<unsigned char>(byte) ^ 0xFFu));
                ++m_added;
            }
        }
    }

    std::uint64_t position() const { return m_position; }
    std::uint64_t corrupted() const { return m_corrupted; }
    std::uint64_t dropped() const { return m_dropped; }
    std::uint64_t added() const { return m_added; }

private:
    std::uint64_t m_corruptEvery;
    std::uint64_t m_dropEvery;
    std::uint64_t m_addEvery;
    std::uint64_t m_position = 0;
    std::uint64_t m_corrupted = 0;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_added = 0;
};

// One direction of a line on a caller-supplied clock: a byte goes on the line when it is ready
// and the line is free, and is through one character time later. Nothing is let through before
// its time, and time the line stood idle is not made up: a byte ready after a pause starts
// then. The caller may look late and take several bytes at once; each was through by then.
class LineClock {
public:
    // bytesPerSecond 0: no line, everything is through at once.
    explicit LineClock(std::uint64_t bytesPerSecond = 0)
        : m_nsPerByte(bytesPerSecond ? 1e9 / double(bytesPerSecond) : 0.0) {}

    bool unlimited() const { return m_nsPerByte == 0; }
    double nsPerByte() const { return m_nsPerByte; }

    // Bytes are ready from readyNs on: an idle line starts then.
    void ready(std::int64_t readyNs) { m_free = std::max(m_free, double(readyNs)); }
    // How many of `count` ready bytes are through by nowNs.
    std::uint64_t through(std::int64_t nowNs, std::uint64_t count) const {
        if (unlimited()) return count;
        // A hair of slack for the rounding of whenThrough().
        const double done = (double(nowNs) - m_free) / m_nsPerByte + 1e-6;
        if (done < 1.0) return 0;
        return std::min<std::uint64_t>(count, static_cast<std::uint64_t>(std::floor(done)));
    }
    void take(std::uint64_t count) { m_free += double(count) * m_nsPerByte; }
    // When the line is free again (the last byte taken is through then).
    double freeNs() const { return m_free; }
    // When `count` more ready bytes will be through; rounded up so a wake-up is never early.
    std::int64_t whenThrough(std::uint64_t count) const {
        return static_cast<std::int64_t>(std::ceil(m_free + double(count) * m_nsPerByte));
    }
    // Bytes worth waking up for when many wait: 200 µs worth, at least one.
    std::uint64_t batch() const {
        if (unlimited()) return 1;
        return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(200'000.0 / m_nsPerByte));
    }

private:
    double m_nsPerByte;
    double m_free = 0;
};

// Token bucket on a caller-supplied clock. It starts empty and holds at most 20 ms worth, so a
// stall (a full pty, nobody reading) is never made up with a burst above the rate.
class RateMeter {
public:
    // bytesPerSecond 0 means unlimited.
    RateMeter(std::uint64_t bytesPerSecond, std::int64_t startNs)
        : m_rate(static_cast<double>(bytesPerSecond)),
          m_capacity(std::max(1.0, m_rate / 50.0)),
          m_lastNs(startNs) {}

    bool unlimited() const { return m_rate == 0; }

    std::uint64_t available(std::int64_t nowNs) {
        if (unlimited()) return std::numeric_limits<std::uint64_t>::max();
        if (nowNs > m_lastNs) {
            m_tokens = std::min(m_capacity, m_tokens + m_rate * double(nowNs - m_lastNs) / 1e9);
            m_lastNs = nowNs;
        }
        return static_cast<std::uint64_t>(m_tokens);
    }

    void consume(std::uint64_t bytes) {
        if (!unlimited()) m_tokens = std::max(0.0, m_tokens - static_cast<double>(bytes));
    }

    // Bytes worth waking up for: about a millisecond's worth, so a fast rate is not served one
    // byte per wake-up.
    std::uint64_t batch() const {
        if (unlimited()) return 1;
        return static_cast<std::uint64_t>(std::max(1.0, m_rate / 1000.0));
    }

    // Nanoseconds from the last refill until `bytes` (capped at the capacity) are available.
    std::int64_t nsUntil(std::uint64_t bytes) const {
        if (unlimited()) return 0;
        const double wanted = std::min(m_capacity, static_cast<double>(bytes));
        if (m_tokens >= wanted) return 0;
        // Round up so the wake-up never comes a hair too early and spins.
        return static_cast<std::int64_t>((wanted - m_tokens) * 1e9 / m_rate) + 1;
    }

    std::int64_t lastRefillNs() const { return m_lastNs; }

private:
    double m_rate;
    double m_capacity;
    double m_tokens = 0;
    std::int64_t m_lastNs;
};

// An endless repetition of the pattern that continues where the previous call stopped.
class PatternSource {
public:
    explicit PatternSource(std::string pattern) : m_pattern(std::move(pattern)) {}

    void produce(std::size_t count, std::string& out) {
        out.reserve(out.size() + count);
        while (count > 0) {
            const std::size_t n = std::min(count, m_pattern.size() - m_offset);
            out.append(m_pattern, m_offset, n);
            m_offset = (m_offset + n) % m_pattern.size();
            count -= n;
        }
    }

private:
    std::string m_pattern;
    std::size_t m_offset = 0;
};

struct Stats {
    std::uint64_t received = 0;
    std::uint64_t echoed = 0;
    std::uint64_t corrupted = 0;
    std::uint64_t dropped = 0;
    std::uint64_t generated = 0;
    std::uint64_t unsent = 0;  // echo bytes still queued at exit
    std::int64_t elapsedMs = 0;
    std::uint64_t exclusiveCleared = 0;  // exclusive flags a gone client left behind
    std::uint64_t added = 0;             // bytes added by --add-every and --duplicate
    std::uint64_t discarded = 0;         // bytes queued either way when the last client closed
};

// One line of key=value pairs: easy to read and easy for a parent process to parse.
inline std::string formatSummary(const Stats& s) {
    return "SUMMARY received=" + std::to_string(s.received) +
           " echoed=" + std::to_string(s.echoed) + " corrupted=" + std::to_string(s.corrupted) +
           " dropped=" + std::to_string(s.dropped) + " generated=" + std::to_string(s.generated) +
           " unsent=" + std::to_string(s.unsent) + " elapsed_ms=" + std::to_string(s.elapsedMs) +
           " exclusive_cleared=" + std::to_string(s.exclusiveCleared) +
           " added=" + std::to_string(s.added) + " discarded=" + std::to_string(s.discarded);
}

}  // namespace parvolo::loopback
