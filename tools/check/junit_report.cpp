#include "junit_report.h"

#include <QXmlStreamWriter>

namespace parvolo {

namespace {

// XML 1.0 cannot carry control characters; a device's error text must not make the file
// unreadable.
QString xmlSafe(const QString& text) {
    QString safe = text;
    for (QChar& c : safe)
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') &&
            c != QLatin1Char('\r'))
            c = QChar(0xFFFD);
    return safe;
}

QString seconds(double value) {
    return QString::number(value, 'f', 3);
}

void property(QXmlStreamWriter& xml, const QString& name, const QString& value) {
    xml.writeEmptyElement(QStringLiteral("property"));
    xml.writeAttribute(QStringLiteral("name"), xmlSafe(name));
    xml.writeAttribute(QStringLiteral("value"), xmlSafe(value));
}

void portProperties(QXmlStreamWriter& xml, const PortReport& port) {
    const QJsonObject json = reportJson(port.options, port.outcome, port.result);
    static const char* const kCounters[] = {
        "result",         "exit_code",        "blocks",         "matched_bytes",    "mismatches",
        "received_bytes", "line_errors",      "first_mismatch", "abandoned_blocks", "extra_bytes",
        "missing_bytes",  "bytes_per_second", "error_reason",   "error_number"};
    for (const char* key : kCounters) {
        const QJsonValue value = json.value(QLatin1String(key));
        // A port that failed for no reason of its port (or passed) has no error to name.
        if (value.isNull() && QLatin1String(key).startsWith(QLatin1String("error_"))) continue;
        QString text =
            value.isString() ? value.toString() : QString::number(value.toDouble(), 'g', 12);
        if (value.isNull()) text = QStringLiteral("unknown");
        property(xml, port.options.port + QLatin1Char('.') + QLatin1String(key), text);
    }
}

void testCase(QXmlStreamWriter& xml, const PortReport& port) {
    xml.writeStartElement(QStringLiteral("testcase"));
    xml.writeAttribute(QStringLiteral("name"), xmlSafe(junitCaseName(port.options)));
    xml.writeAttribute(QStringLiteral("classname"), QStringLiteral("parvolo-check"));
    xml.writeAttribute(QStringLiteral("time"), seconds(port.outcome.seconds));
    if (port.result != CheckResult::Pass) {
        QString message = resultWord(port.result);
        if (const QString where = whereItWentWrong(port.options, port.outcome); !where.isEmpty())
            message += QStringLiteral(": ") + where;
        xml.writeStartElement(QStringLiteral("failure"));
        xml.writeAttribute(QStringLiteral("message"), xmlSafe(message));
        xml.writeAttribute(QStringLiteral("type"), resultWord(port.result));
        xml.writeCharacters(xmlSafe(summaryText(port.options, port.outcome, port.result)));
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

}  // namespace

QString junitCaseName(const CheckOptions& options) {
    return options.port + QLatin1Char(' ') + shortSettings(options.line);
}

QString junitXml(const QList<PortReport>& ports, CheckResult worst, const JUnitRun& run) {
    const int failures = int(ports.size()) - portsPassed(ports);
    QString text;
    QXmlStreamWriter xml(&text);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), QStringLiteral("parvolo-check"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(ports.size()));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("time"), seconds(run.seconds));
    xml.writeAttribute(QStringLiteral("timestamp"),
                       run.started.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    xml.writeAttribute(QStringLiteral("hostname"), run.hostname.isEmpty()
                                                       ? QStringLiteral("localhost")
                                                       : xmlSafe(run.hostname));
    xml.writeStartElement(QStringLiteral("properties"));
    property(xml, QStringLiteral("result"), resultWord(worst));
    property(xml, QStringLiteral("exit_code"), QString::number(exitCode(worst)));
    for (const PortReport& port : ports) portProperties(xml, port);
    xml.writeEndElement();
    for (const PortReport& port : ports) testCase(xml, port);
    xml.writeTextElement(QStringLiteral("system-out"), xmlSafe(summaryTable(ports, worst)));
    xml.writeEmptyElement(QStringLiteral("system-err"));
    xml.writeEndElement();
    xml.writeEndDocument();
    return text;
}

}  // namespace parvolo
