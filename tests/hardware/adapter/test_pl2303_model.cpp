// Placeholder for the pl2303 model's unit test, being written.
#include <QTest>

#include "pl2303_model.h"

class TestPl2303Model : public QObject {
    Q_OBJECT
private slots:
    void named() { QCOMPARE(QString(pl2303::Pl2303().name()), QStringLiteral("pl2303")); }
};

QTEST_GUILESS_MAIN(TestPl2303Model)
#include "test_pl2303_model.moc"
