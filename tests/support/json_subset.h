#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

// A JSON report against the values a test cares about, written as JSON text. A typo in a row
// must not turn into an empty expectation that anything satisfies.
inline QJsonObject json(const QString& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (!document.isObject())
        qFatal("expected values are not a JSON object: %s", qPrintable(error.errorString()));
    return document.object();
}

// Where `got` differs from `expected`, which names only the values a test cares about; objects
// are compared key by key. Empty when they agree.
inline QString jsonDifferences(const QJsonValue& got, const QJsonValue& expected,
                               const QString& at = {}) {
    if (got.isObject() && expected.isObject()) {
        QString found;
        const QJsonObject want = expected.toObject();
        for (auto it = want.begin(); it != want.end(); ++it)
            found += jsonDifferences(got.toObject().value(it.key()), *it, at + '/' + it.key());
        return found;
    }
    if (got == expected) return {};
    auto text = [](const QJsonValue& v) {
        return QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    };
    return QStringLiteral("%1: %2 instead of %3\n").arg(at, text(got), text(expected));
}
