#pragma once

#include <QObject>
#include <QTimer>
#include <cstdio>

// The live progress line on a terminal: blocks, bytes per second and errors, rewritten in
// place four times a second from a timer, so a block costs it nothing.
namespace parvolo {

class CheckRun;

class ProgressLine : public QObject {
    Q_OBJECT
public:
    ProgressLine(const CheckRun& run, std::FILE* out, QObject* parent = nullptr);
    // Clears the line so the summary starts on a clean one.
    ~ProgressLine() override;

    // Whether a progress line belongs on stderr: a terminal, and not --quiet.
    static bool wanted(bool quiet);

private:
    void draw();

    const CheckRun& m_run;
    std::FILE* m_out;
    QTimer m_timer;
    bool m_drawn = false;
};

}  // namespace parvolo
