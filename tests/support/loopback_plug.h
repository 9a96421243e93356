#pragma once

#include <QMap>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

// The parvolo-loopback program as the far end of a pty line, linked as COMn in a temporary
// port map directory that PARVOLO_PORT_DIR points at. It runs detached, with its output in a
// file, so that it adds nothing to the event loop of the program under test.
class LoopbackPlug {
public:
    LoopbackPlug();
    ~LoopbackPlug();

    // Starts the plug and waits until its link exists; false with a reason in error().
    bool start(const QStringList& options = {}, const QString& port = QStringLiteral("COM1"));
    // Stops it (SIGTERM) and parses its summary line (received=, echoed=, ...).
    QMap<QString, qint64> stop();
    // Ends it at once, as an unplugged cable would.
    void kill();

    QString portDir() const { return m_dir.path(); }
    // The pty that COMn leads to, and the UUCP lock file a program holding it keeps.
    QString device(const QString& port = QStringLiteral("COM1")) const;
    QString lockFile() const;
    QString error() const { return m_error; }
    static QString binary() { return qEnvironmentVariable("PARVOLO_LOOPBACK_BIN"); }

private:
    QString output() const;
    bool waitGone(int ms) const;

    QTemporaryDir m_dir;
    QString m_outputFile;
    qint64 m_pid = 0;
    QString m_error;
};

#define START_PLUG(plug, ...) QVERIFY2((plug).start(__VA_ARGS__), qPrintable((plug).error()))
