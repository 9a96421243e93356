// Every text the programs can show has its Japanese translation: the catalogs in the source tree
// are brought up to date from the code (as `lupdate` does for a translator) into a scratch copy,
// and every message must then be translated, with the same placeholders. A message added to the
// code without its translation, or a translation that drops a %1, fails here.

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include "serial/serial_error.h"
#include "serial/translations.h"

using namespace parvolo;

namespace {

struct Message {
    QString source;
    QString translation;
    bool finished = false;
};

QList<Message> readCatalog(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QXmlStreamReader xml(&file);
    QList<Message> messages;
    while (!xml.atEnd()) {
        if (!xml.readNextStartElement()) continue;
        if (xml.name() == QLatin1String("message")) messages.append(Message());
        if (messages.isEmpty()) continue;
        if (xml.name() == QLatin1String("source")) messages.last().source = xml.readElementText();
        if (xml.name() == QLatin1String("translation")) {
            messages.last().finished = xml.attributes().value("type").isEmpty();
            messages.last().translation =
                xml.readElementText(QXmlStreamReader::IncludeChildElements);
        }
    }
    return messages;
}

QStringList placeholders(const QString& text) {
    QStringList found;
    static const QRegularExpression placeholder(QStringLiteral("%[0-9]+"));
    for (const QRegularExpressionMatch& m : placeholder.globalMatch(text)) found << m.captured();
    found.sort();
    return found;
}

}  // namespace

class TranslationsTest : public QObject {
    Q_OBJECT
private slots:
    void catalogsComplete_data();
    void catalogsComplete();
    void builtIntoThePrograms();
};

void TranslationsTest::catalogsComplete_data() {
    QTest::addColumn<QString>("catalog");
    QTest::addColumn<QString>("sources");
    QTest::newRow("serial layer") << "parvolo_ja.ts"
                                  << "src/serial";
    QTest::newRow("checker") << "parvolo-check_ja.ts"
                             << "tools/check";
    QTest::newRow("plug") << "parvolo-loopback_ja.ts"
                          << "tools/loopback-peer";
}

void TranslationsTest::catalogsComplete() {
    QFETCH(QString, catalog);
    QFETCH(QString, sources);
    const QDir tree(QStringLiteral(PARVOLO_SOURCE_DIR));
    QTemporaryDir scratch;
    const QString updated = scratch.filePath(catalog);
    QVERIFY(QFile::copy(tree.filePath(QStringLiteral("translations/") + catalog), updated));
    QProcess lupdate;
    lupdate.start(QStringLiteral(PARVOLO_LUPDATE),
                  {"-no-obsolete", "-locations", "none", tree.filePath(sources), "-ts", updated});
    QVERIFY(lupdate.waitForFinished(60000) && lupdate.exitCode() == 0);

    const QList<Message> messages = readCatalog(updated);
    QVERIFY(messages.size() > 10);
    QStringList wrong;
    for (const Message& m : messages) {
        if (!m.finished || m.translation.trimmed().isEmpty())
            wrong << QStringLiteral("untranslated: ") + m.source;
        else if (placeholders(m.source) != placeholders(m.translation))
            wrong << QStringLiteral("placeholders differ: ") + m.source;
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
}

// The catalogs travel inside the programs; a language without one keeps the English texts.
void TranslationsTest::builtIntoThePrograms() {
    const QString english =
        SerialError::openFailed(QStringLiteral("/dev/ttyX"), ENOENT).description();
    QCOMPARE(installTranslations({QLatin1String(kSerialCatalog), QStringLiteral("parvolo-check")},
                                 windowLocale()),
             QStringList({QLatin1String(kSerialCatalog), QStringLiteral("parvolo-check")}));
    QCOMPARE(SerialError::openFailed(QStringLiteral("/dev/ttyX"), ENOENT).description(),
             QStringLiteral("/dev/ttyX を開けません: No such file or directory"));
    QCOMPARE(installTranslations({QLatin1String(kSerialCatalog)}, QLocale(QLocale::English)),
             QStringList());
    QCOMPARE(SerialError::openFailed(QStringLiteral("/dev/ttyX"), ENOENT).description(), english);
    QCOMPARE(english, QStringLiteral("Cannot open /dev/ttyX: No such file or directory"));
}

QTEST_GUILESS_MAIN(TranslationsTest)
#include "test_translations.moc"
