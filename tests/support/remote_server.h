#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A Telnet com-port server on 127.0.0.1 for the tests: ser2net or pyserial's server exporting a
// loopback plug's pty (tests/remote/start_server.py), or the scripted server for what real ones
// do not show (tests/remote/scripted_server.py). Stopped, with its plug, when this goes.
class RemoteServer {
public:
    ~RemoteServer();
    // "ser2net", "pyserial" or "scripted:MODE"; the plug's own options for the real ones.
    bool start(const QString& kind, const QStringList& plugOptions = {});
    // Before start(): the scripted server listens on `host` inside network namespace `netns`
    // (ip netns exec), for a test that cuts that namespace off.
    void inNamespace(const QString& netns, const QString& host) {
        m_netns = netns;
        m_host = host;
    }
    QString url() const { return m_url; }
    // The loopback plug behind a real server, 0 for the scripted one.
    qint64 plugPid() const { return m_plugPid; }
    // Ends the server at once, as a crashed or unplugged lab host would.
    void kill();
    // A scripted server's command; its answer ("OK", "COUNT n"), skipping what it logged.
    QString order(const QString& line);
    // The port commands the scripted server was sent, as "GOT cmd hex" lines seen so far.
    QStringList got();

    static QString python() { return QStringLiteral("/usr/bin/python3"); }
    static QString scripts();

private:
    QString nextLine(int ms);

    QProcess m_process;
    QString m_url;
    QString m_netns;
    QString m_host = QStringLiteral("127.0.0.1");
    qint64 m_pid = 0;
    qint64 m_plugPid = 0;
    bool m_scripted = false;
};
