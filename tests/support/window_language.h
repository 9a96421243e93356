#pragma once

// The serial layer's texts in the language the window shows them in, for the tests that hold
// those texts: put PARVOLO_TEST_IN_WINDOW_LANGUAGE once in the test's file.

#include <QCoreApplication>

#include "serial/translations.h"

#define PARVOLO_TEST_IN_WINDOW_LANGUAGE                                        \
    static void parvoloUseWindowLanguage() {                                   \
        parvolo::installTranslations({QLatin1String(parvolo::kSerialCatalog)}, \
                                     parvolo::windowLocale());                 \
    }                                                                          \
    Q_COREAPP_STARTUP_FUNCTION(parvoloUseWindowLanguage)
