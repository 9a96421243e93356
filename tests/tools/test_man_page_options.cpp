// Every option a program takes has an entry in its man page, and no entry there names an option
// the program does not take. The options are read from the programs themselves: the plug's
// option table, and the help the checker's and the window's parsers make from their options.
#include "../../tools/loopback-peer/peer_logic.h"
#include "check_options.h"
#include "window/program.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

QStringList plugOptions() {
    QStringList names;
    for (const auto& option : parvolo::loopback::kOptions) names << QLatin1String(option.name);
    return names;
}

// The names on QCommandLineParser's option rows, "  -h, --help" and "  --baud <N>"; a wrapped
// description goes on further in, so its words are never taken for names.
QStringList optionsInHelp(const QString& help) {
    static const QRegularExpression row(QStringLiteral(R"((?m)^  (-.*?)(?:  |$))"));
    QStringList names;
    for (QRegularExpressionMatchIterator it = row.globalMatch(help); it.hasNext();)
        for (const QString& name : it.next().captured(1).split(QStringLiteral(", ")))
            names << name.section(QLatin1Char(' '), 0, 0);
    return names;
}

QStringList checkerOptions() {
    return optionsInHelp(
        parvolo::parseCommandLine({QStringLiteral("parvolo-check"), QStringLiteral("--help")})
            .text);
}

QStringList windowOptions() {
    char program[] = "parvolo";
    char help[] = "--help";
    char* argv[] = {program, help, nullptr};
    return optionsInHelp(parvolo::commandLineAnswer(2, argv));
}

// The options named in the tags of the OPTIONS section's items (the line after each .TP), with
// font changes dropped and roff's escaped hyphens ("\-\-delay\-ms") made plain.
QStringList optionsInManPage(const QString& page) {
    static const QRegularExpression fontChange(QStringLiteral(R"(\\f(\[[^\]]*\]|\(..|.))"));
    static const QRegularExpression option(
        QStringLiteral(R"((?:^|[\s\x22\[|(])((?:\\-){1,2}[A-Za-z0-9](?:[A-Za-z0-9]|\\-)*))"));
    const qsizetype from = page.indexOf(QStringLiteral("\n.SH OPTIONS\n"));
    if (from < 0) return {};
    const QStringList lines =
        page.mid(from, page.indexOf(QStringLiteral("\n.SH "), from + 1) - from)
            .split(QLatin1Char('\n'));
    QStringList names;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].section(QLatin1Char(' '), 0, 0) != QLatin1String(".TP")) continue;
        const QString tag = QString(lines[i + 1]).remove(fontChange);
        for (QRegularExpressionMatchIterator it = option.globalMatch(tag); it.hasNext();)
            names << it.next().captured(1).remove(QLatin1Char('\\'));
    }
    return names;
}

QString sourceFile(const QString& path) {
    QFile file(QStringLiteral(PARVOLO_SOURCE_DIR "/") + path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList notIn(const QStringList& names, const QStringList& list) {
    QStringList absent;
    for (const QString& name : names)
        if (!list.contains(name) && !absent.contains(name)) absent << name;
    return absent;
}

}  // namespace

class ManPageOptionsTest : public QObject {
    Q_OBJECT
private slots:
    void manPageDescribesEveryOption_data() {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("parvolo") << "data/parvolo.1" << windowOptions();
        QTest::newRow("parvolo-check") << "tools/check/parvolo-check.1" << checkerOptions();
        QTest::newRow("parvolo-loopback")
            << "tools/loopback-peer/parvolo-loopback.1" << plugOptions();
    }

    void manPageDescribesEveryOption() {
        QFETCH(QString, page);
        QFETCH(QStringList, options);
        // Every program takes these; without them the options were not read at all.
        QVERIFY2(options.contains(QStringLiteral("--help")) &&
                     options.contains(QStringLiteral("--version")),
                 qPrintable(options.join(QLatin1Char(' '))));
        const QStringList described = optionsInManPage(sourceFile(page));
        const QStringList missing = notIn(options, described);
        QVERIFY2(missing.isEmpty(), qPrintable(page + QStringLiteral(" does not describe ") +
                                               missing.join(QStringLiteral(", "))));
        const QStringList unknown = notIn(described, options);
        QVERIFY2(
            unknown.isEmpty(),
            qPrintable(page + QStringLiteral(" describes options the program does not take: ") +
                       unknown.join(QStringLiteral(", "))));
    }
};

QTEST_GUILESS_MAIN(ManPageOptionsTest)
#include "test_man_page_options.moc"
