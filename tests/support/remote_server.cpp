#include "support/remote_server.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <signal.h>

#include <algorithm>

RemoteServer::~RemoteServer() {
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) m_process.kill();
    m_process.waitForFinished(1000);
}

QString RemoteServer::scripts() {
    return QStringLiteral(PARVOLO_REMOTE_DIR);
}

bool RemoteServer::start(const QString& kind, const QStringList& plugOptions) {
    m_scripted = kind.startsWith(QLatin1String("scripted:"));
    QStringList args = m_scripted
                           ? QStringList{scripts() + "/scripted_server.py", "--mode", kind.mid(9)}
                           : QStringList{scripts() + "/start_server.py", kind};
    if (!m_scripted && !plugOptions.isEmpty()) args << QStringLiteral("--") << plugOptions;
    if (m_scripted) args << QStringLiteral("--host") << m_host;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (m_netns.isEmpty())
        m_process.start(python(), args);
    else
        m_process.start(
            QStringLiteral("ip"),
            QStringList{QStringLiteral("netns"), QStringLiteral("exec"), m_netns, python()} + args);
    const QString first = nextLine(10000);
    if (m_scripted && first.startsWith(QLatin1String("LISTENING ")))
        m_url = QStringLiteral("rfc2217://%1:%2").arg(m_host, first.mid(10));
    for (const QString& field : first.split(QLatin1Char(' '))) {
        if (field.startsWith(QLatin1String("url="))) m_url = field.mid(4);
        if (field.startsWith(QLatin1String("server_pid="))) m_pid = field.mid(11).toLongLong();
        if (field.startsWith(QLatin1String("plug_pid="))) m_plugPid = field.mid(9).toLongLong();
    }
    return !m_url.isEmpty();
}

void RemoteServer::kill() {
    if (m_pid > 0) ::kill(pid_t(m_pid), SIGKILL);
}

QString RemoteServer::order(const QString& line) {
    m_process.write((line + QLatin1Char('\n')).toUtf8());
    for (;;) {
        const QString answer = nextLine(3000);
        const bool logged = answer.startsWith(QLatin1String("GOT ")) ||
                            answer == QLatin1String("CONNECTED") ||
                            answer == QLatin1String("DISCONNECTED");
        if (answer.isEmpty() || !logged) return answer;
    }
}

QStringList RemoteServer::got() {
    QStringList lines;
    m_process.waitForReadyRead(0);
    while (m_process.canReadLine()) lines << QString::fromUtf8(m_process.readLine()).trimmed();
    return lines.filter(QRegularExpression(QStringLiteral("^GOT ")));
}

QString RemoteServer::nextLine(int ms) {
    QDeadlineTimer deadline(ms);
    while (!m_process.canReadLine() && !deadline.hasExpired())
        if (!m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())))) break;
    return QString::fromUtf8(m_process.readLine()).trimmed();
}
