#include "window/counter_display.h"

#include <QLineEdit>

namespace parvolo {

CounterDisplay::CounterDisplay(QObject* parent) : QObject(parent) {
    m_frame.setSingleShot(true);
    m_frame.setInterval(kFrameMs);
    connect(&m_frame, &QTimer::timeout, this, &CounterDisplay::flush);
}

void CounterDisplay::show(QLineEdit* box, qint32 value) {
    for (Pending& p : m_pending) {
        if (p.box == box) {
            p.value = value;
            return;
        }
    }
    m_pending.push_back({box, value});
    if (!m_frame.isActive()) m_frame.start();
}

QString CounterDisplay::text(const QLineEdit* box) const {
    for (const Pending& p : m_pending)
        if (p.box == box) return QString::number(p.value);
    return box->text();
}

void CounterDisplay::flush() {
    m_frame.stop();
    std::vector<Pending> pending;
    pending.swap(m_pending);
    for (const Pending& p : pending) {
        const QString text = QString::number(p.value);
        if (p.box->text() != text) p.box->setText(text);
    }
}

}  // namespace parvolo
