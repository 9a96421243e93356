#pragma once

// The window's counter boxes, brought up to date at most once a frame.

#include <QObject>
#include <QTimer>
#include <vector>

class QLineEdit;

namespace parvolo {

// Writes numbers into the counter boxes at most once a frame. A loopback run at full speed
// changes three counters tens of thousands of times a second, and every text change of a line
// edit lays its text out anew; nobody can see more than one value a frame. The counters
// themselves live in the loopback check; message boxes and loop ends flush() first, so that
// what the operator reads is always the latest value.
class CounterDisplay : public QObject {
    Q_OBJECT
public:
    explicit CounterDisplay(QObject* parent = nullptr);

    void show(QLineEdit* box, qint32 value);
    // The text the box shows, or will show at the next flush.
    QString text(const QLineEdit* box) const;
    void flush();

    static constexpr int kFrameMs = 16;

private:
    struct Pending {
        QLineEdit* box;
        qint32 value;
    };
    std::vector<Pending> m_pending;
    QTimer m_frame;
};

}  // namespace parvolo
