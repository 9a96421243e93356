#include "serial/translations.h"

#include <QCoreApplication>
#include <QHash>
#include <QTranslator>
#include <memory>

namespace parvolo {

QStringList installTranslations(const QStringList& catalogs, const QLocale& locale) {
    // One translator per catalog lives as long as the program; a new language replaces it.
    static QHash<QString, std::shared_ptr<QTranslator>> installed;
    QStringList found;
    for (const QString& catalog : catalogs) {
        if (const auto old = installed.take(catalog)) QCoreApplication::removeTranslator(old.get());
        auto translator = std::make_shared<QTranslator>();
        if (!translator->load(locale, catalog, QStringLiteral("_"), QStringLiteral(":/i18n")))
            continue;
        QCoreApplication::installTranslator(translator.get());
        installed.insert(catalog, translator);
        found << catalog;
    }
    return found;
}

QLocale windowLocale() {
    return QLocale(QLocale::Japanese, QLocale::Japan);
}

}  // namespace parvolo
