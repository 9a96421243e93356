// Placeholder for the ch340 model's unit test, being written.
#include <QTest>

#include "ch340_model.h"

class TestCh340Model : public QObject {
    Q_OBJECT
private slots:
    void named() { QCOMPARE(QString(ch341::Ch340().name()), QStringLiteral("ch340")); }
};

QTEST_GUILESS_MAIN(TestCh340Model)
#include "test_ch340_model.moc"
