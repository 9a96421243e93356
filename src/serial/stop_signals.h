#pragma once

// The stop signals (SIGTERM, SIGHUP, SIGINT) turned into an ordinary event on the main thread,
// for the window and the checker alike.

#include <QObject>

class QSocketNotifier;

namespace parvolo {

// SIGTERM, SIGHUP and SIGINT (a logout, a kill, Ctrl+C in the terminal that started the
// program) as an event on the main thread. The handler only writes the signal's number into a
// pipe; a socket notifier reads it and emits received(), so whatever the window or the checker
// does about it runs as ordinary event handling, never inside the handler. One instance at a
// time; the default actions come back when it is destroyed. Should the main thread be stuck
// in a wait that does not end, a stop signal that comes a second or more after one it has not
// dealt with takes the signal's default action: a stop signal always ends the program.
class StopSignals : public QObject {
    Q_OBJECT
public:
    static constexpr long long kStuckNs = 1'000'000'000;

    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void received(int signal);

private:
    void onPipeReadable();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace parvolo
