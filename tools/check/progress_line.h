#pragma once

#include <QList>
#include <QObject>
#include <QTimer>
#include <cstdio>

// The live progress on a terminal: blocks, bytes per second and errors, rewritten in place
// four times a second from a timer, so a block costs it nothing. One port has one line;
// several have a table, one row per port.
namespace parvolo {

class CheckRun;

class ProgressLine : public QObject {
    Q_OBJECT
public:
    ProgressLine(QList<const CheckRun*> runs, std::FILE* out, QObject* parent = nullptr);
    // Clears what it drew so the summary starts on a clean line.
    ~ProgressLine() override;

    // Whether progress belongs on stderr: a terminal, and not --quiet.
    static bool wanted(bool quiet);

private:
    void draw();
    void drawTable();

    QList<const CheckRun*> m_runs;
    std::FILE* m_out;
    QTimer m_timer;
    int m_drawnRows = 0;
};

}  // namespace parvolo
