#include "support/loopback_plug.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <csignal>

#include "serial/port_holders.h"
#include "serial/posix_serial_device.h"

LoopbackPlug::LoopbackPlug() {
    qputenv("PARVOLO_PORT_DIR", m_dir.path().toUtf8());
    m_outputFile = m_dir.filePath(QStringLiteral("plug.out"));
}

LoopbackPlug::~LoopbackPlug() {
    if (m_pid > 0) kill();
}

QString LoopbackPlug::device(const QString& port) const {
    return QFileInfo(m_dir.filePath(port)).canonicalFilePath();
}

QString LoopbackPlug::lockFile() const {
    return QStringLiteral("%1/%2").arg(QLatin1String(parvolo::PosixSerialDevice::kLockDirectory),
                                       parvolo::lockFileName(device()));
}

QString LoopbackPlug::output() const {
    QFile file(m_outputFile);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

namespace {
// A detached process that has exited may stay a zombie where nobody reaps it.
bool running(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && close + 2 < line.size() && line.at(close + 2) != 'Z';
}
}  // namespace

bool LoopbackPlug::waitGone(int ms) const {
    QDeadlineTimer deadline(ms);
    while (running(m_pid)) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(2);
    }
    return true;
}

bool LoopbackPlug::start(const QStringList& options, const QString& port) {
    if (binary().isEmpty()) {
        m_error = QStringLiteral("PARVOLO_LOOPBACK_BIN is not set");
        return false;
    }
    QProcess process;
    process.setProgram(binary());
    process.setArguments(QStringList{QStringLiteral("--port"), port, QStringLiteral("--dir"),
                                     m_dir.path(), QStringLiteral("--print-ready")} +
                         options);
    process.setStandardOutputFile(m_outputFile);
    process.setStandardErrorFile(m_outputFile + QStringLiteral(".err"));
    if (!process.startDetached(&m_pid)) {
        m_error = QStringLiteral("cannot start ") + binary();
        return false;
    }
    QDeadlineTimer deadline(5000);
    while (!output().contains(QLatin1Char('\n'))) {
        if (deadline.hasExpired() || !running(m_pid)) {
            QFile err(m_outputFile + QStringLiteral(".err"));
            err.open(QIODevice::ReadOnly);
            m_error = QStringLiteral("the plug did not get ready: ") +
                      QString::fromLocal8Bit(err.readAll());
            return false;
        }
        QThread::msleep(2);
    }
    if (!output().startsWith(QStringLiteral("READY"))) {
        m_error = output();
        return false;
    }
    return true;
}

QMap<QString, qint64> LoopbackPlug::stop() {
    QMap<QString, qint64> summary;
    if (m_pid <= 0) return summary;
    ::kill(pid_t(m_pid), SIGTERM);
    waitGone(5000);
    m_pid = 0;
    for (const QString& line : output().split(QLatin1Char('\n'))) {
        if (!line.startsWith(QStringLiteral("SUMMARY"))) continue;
        for (const QString& field : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const qsizetype eq = field.indexOf(QLatin1Char('='));
            if (eq > 0) summary.insert(field.left(eq), field.mid(eq + 1).toLongLong());
        }
    }
    return summary;
}

void LoopbackPlug::kill() {
    if (m_pid <= 0) return;
    ::kill(pid_t(m_pid), SIGKILL);
    waitGone(5000);
    m_pid = 0;
}
