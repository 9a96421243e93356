#include <QLineEdit>
#include <QTest>

#include "window/counter_display.h"

using namespace parvolo;

class CounterDisplayTest : public QObject {
    Q_OBJECT
private slots:
    void latestValueIsReadAndShownWithinAFrame();
    void flushWritesEveryPendingBox();
};

void CounterDisplayTest::latestValueIsReadAndShownWithinAFrame() {
    CounterDisplay display;
    QLineEdit box(QStringLiteral("0"));
    for (int v = 1; v <= 1000; ++v) display.show(&box, v);
    QCOMPARE(display.text(&box), QStringLiteral("1000"));
    QTRY_COMPARE_WITH_TIMEOUT(box.text(), QStringLiteral("1000"), 1000);
    QCOMPARE(display.text(&box), QStringLiteral("1000"));
}

void CounterDisplayTest::flushWritesEveryPendingBox() {
    CounterDisplay display;
    QLineEdit a(QStringLiteral("0")), b(QStringLiteral("0")), c(QStringLiteral("7"));
    display.show(&a, 5);
    display.show(&b, -3);
    display.show(&a, 6);
    QCOMPARE(display.text(&c), QStringLiteral("7"));
    display.flush();
    QCOMPARE(a.text(), QStringLiteral("6"));
    QCOMPARE(b.text(), QStringLiteral("-3"));
    QCOMPARE(c.text(), QStringLiteral("7"));
}

QTEST_MAIN(CounterDisplayTest)
#include "test_counter_display.moc"
