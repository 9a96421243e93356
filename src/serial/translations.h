#pragma once

// The programs' texts are English in the code; their translations (translations/*.ts in the
// source tree) are built into the programs as :/i18n/<catalog>_<language>.qm. The window always
// asks for Japanese, the language it is designed in; the checker and the plug ask for the
// user's, chosen the usual way (LANGUAGE, then LC_ALL, LC_MESSAGES and LANG).

#include <QLocale>
#include <QStringList>

namespace parvolo {

// The serial layer's catalog: the error descriptions that the window shows and the checker
// reports.
inline constexpr char kSerialCatalog[] = "parvolo";

// Installs each catalog's translation for `locale` into the application, replacing the one
// installed before; a language without a translation keeps the English texts. Returns the
// catalogs that had one.
QStringList installTranslations(const QStringList& catalogs, const QLocale& locale);

// The window's language.
QLocale windowLocale();

}  // namespace parvolo
