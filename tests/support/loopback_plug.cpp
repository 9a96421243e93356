#include "support/loopback_plug.h"

#include <QDeadlineTimer>

#include <csignal>

LoopbackPlug::LoopbackPlug() { qputenv("PARVOLO_PORT_DIR", m_dir.path().toUtf8()); }

LoopbackPlug::~LoopbackPlug() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

bool LoopbackPlug::start(const QStringList& options, const QString& port) {
    if (binary().isEmpty()) {
        m_error = QStringLiteral("PARVOLO_LOOPBACK_BIN is not set");
        return false;
    }
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(binary(), QStringList{QStringLiteral("--port"), port, QStringLiteral("--dir"), m_dir.path(),
                                          QStringLiteral("--print-ready")} +
                                  options);
    QDeadlineTimer deadline(5000);
    QByteArray out;
    while (!out.contains('\n')) {
        if (deadline.hasExpired() || !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            m_error = QStringLiteral("the plug did not get ready: ") + QString::fromLocal8Bit(m_process.readAllStandardError());
            return false;
        }
        out += m_process.readAllStandardOutput();
    }
    if (!out.startsWith("READY")) {
        m_error = QString::fromLocal8Bit(out);
        return false;
    }
    return true;
}

QMap<QString, qint64> LoopbackPlug::stop() {
    QMap<QString, qint64> summary;
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        m_process.waitForFinished(5000);
    }
    const QString out = QString::fromLocal8Bit(m_process.readAllStandardOutput());
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QStringLiteral("SUMMARY"))) continue;
        for (const QString& field : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const qsizetype eq = field.indexOf(QLatin1Char('='));
            if (eq > 0) summary.insert(field.left(eq), field.mid(eq + 1).toLongLong());
        }
    }
    return summary;
}

void LoopbackPlug::kill() {
    m_process.kill();
    m_process.waitForFinished(5000);
}
