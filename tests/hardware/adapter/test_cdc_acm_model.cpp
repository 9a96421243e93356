// Placeholder for the cdc-acm model's unit test, being written.
#include <QTest>

#include "cdc_acm_model.h"

class TestCdcAcmModel : public QObject {
    Q_OBJECT
private slots:
    void named() { QCOMPARE(QString(acm::CdcAcm().name()), QStringLiteral("cdc-acm")); }
};

QTEST_GUILESS_MAIN(TestCdcAcmModel)
#include "test_cdc_acm_model.moc"
