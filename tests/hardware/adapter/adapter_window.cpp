// The window program as it ships, driven from stdin one command a line, for the guest tests on
// the adapter. Message boxes are printed (with the wall clock, for timings) and answered as an
// operator would. Nothing here wakes the process while no command or wait is running, so an
// idle open port can be measured from outside.
//
//   set NAME TEXT        a combo box's entry or a text box's text
//   check NAME on|off    a check box, clicked when it is not already so
//   click NAME           a button (cmdOpen stays in the window's loop; later commands still run)
//   counters | leds | port | text9 | pid | notice (Label15's whole text)
//   grab FILE            the window as a PNG, to look at
//   wait-counters K=V... MS, wait-leds K=V... MS, wait-port open|closed MS, wait-send-done MS
//   quit
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>

#include "serial/mscomm.h"
#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/multi_line_text_box.h"
#include "window/program.h"

using namespace parvolo;

namespace {

long long wallNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class PrintingMessageBox : public MessageBoxService {
public:
    int show(QWidget*, const QString& text, int style, const QString&) override {
        QString line = text;
        line.replace(QStringLiteral("\r\n"), QStringLiteral(" / "));
        say(QStringLiteral("MESSAGE %1 %2").arg(wallNs()).arg(line));
        return (style & 0x0F) == msg_box::YesNo ? msg_box::Yes : msg_box::Ok;
    }
};

// Counts how often the RI indicator's text colour flips, from its palette changes.
class RingWatch : public QObject {
public:
    explicit RingWatch(QLineEdit* box) : m_box(box), m_last(MSCommTest::foreColor(box)) {
        box->installEventFilter(this);
    }
    int toggles = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::PaletteChange) {
            const QColor now = MSCommTest::foreColor(m_box);
            if (now != m_last) ++toggles;
            m_last = now;
        }
        return false;
    }

private:
    QLineEdit* m_box;
    QColor m_last;
};

class Driver : public QObject {
public:
    explicit Driver(MSCommTest& window)
        : QObject(&window),
          m_window(window),
          m_ring(window.RI_LED),
          m_stdin(0, QSocketNotifier::Read) {
        connect(&m_stdin, &QSocketNotifier::activated, this, [this] { readInput(); });
        m_poll.setInterval(20);
        connect(&m_poll, &QTimer::timeout, this, [this] { checkWait(); });
    }

private:
    void readInput() {
        char chunk[4096];
        const ssize_t got = ::read(0, chunk, sizeof chunk);
        if (got <= 0) {
            m_stdin.setEnabled(false);
            return;
        }
        m_input.append(chunk, int(got));
        for (int end; (end = m_input.indexOf('\n')) >= 0;) {
            m_queue.push_back(QString::fromUtf8(m_input.left(end)).trimmed());
            m_input.remove(0, end + 1);
        }
        scheduleNext();
    }

    // One command at a time, each from the event loop: a click on cmdOpen does not return until
    // the port closes, and the commands after it must still run inside its loop.
    void scheduleNext() {
        if (m_busy || m_waiting || m_queue.empty()) return;
        m_busy = true;
        QTimer::singleShot(0, this, [this] {
            const QString line = m_queue.front();
            m_queue.pop_front();
            m_busy = false;
            run(line);
            scheduleNext();
        });
    }

    template <typename T>
    T* find(const QString& name) {
        T* widget = m_window.findChild<T*>(name);
        if (!widget)
            say(QStringLiteral("ERROR no %1 named %2").arg(T::staticMetaObject.className(), name));
        return widget;
    }

    static QString bit(bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); }

    std::map<QString, QString> counters() {
        return {{"received", m_window.Text5->text()},   {"matched", m_window.Text3->text()},
                {"mismatches", m_window.Text4->text()}, {"blocks", m_window.Text1->text()},
                {"errors", m_window.Text6->text()},     {"first", m_window.Text7->text()}};
    }
    std::map<QString, QString> leds() {
        auto on = [](QLineEdit* box) {
            return bit(MSCommTest::backColor(box) == MSCommTest::lineOnColor());
        };
        return {{"cd", on(m_window.CD_LED)},
                {"cts", on(m_window.CS_LED)},
                {"dsr", on(m_window.DR_LED)},
                {"ri", bit(MSCommTest::foreColor(m_window.RI_LED) == MSCommTest::ringColor())},
                {"ri_toggles", QString::number(m_ring.toggles)},
                {"unseen", unseen()}};
    }
    // The indicators greyed for lines the driver does not have, "-" for none.
    QString unseen() {
        QStringList names;
        const std::pair<const char*, QLineEdit*> boxes[] = {{"cd", m_window.CD_LED},
                                                            {"cts", m_window.CS_LED},
                                                            {"dsr", m_window.DR_LED},
                                                            {"ri", m_window.RI_LED}};
        for (const auto& [name, box] : boxes)
            if (!box->isEnabled()) names << QLatin1String(name);
        return names.isEmpty() ? QStringLiteral("-") : names.join(',');
    }
    std::map<QString, QString> port() {
        return {{"port", m_window.MSComm->PortOpen() ? "open" : "closed"},
                {"send", m_window.cmdOut->text() == QStringLiteral("送信") ? "idle" : "running"}};
    }
    static QString join(const QString& head, const std::map<QString, QString>& values) {
        QString line = head;
        for (const auto& [key, value] : values) line += QStringLiteral(" %1=%2").arg(key, value);
        return line;
    }

    void run(const QString& line) {
        const QStringList w = line.split(' ', Qt::SkipEmptyParts);
        if (w.isEmpty()) return;
        const QString& verb = w[0];
        if (verb == "set" && w.size() >= 2) {
            const QString text = line.section(' ', 2);
            if (auto* combo = m_window.findChild<QComboBox*>(w[1])) {
                const int index = combo->findText(text);
                if (index < 0)
                    return say(QStringLiteral("ERROR %1 has no entry %2").arg(w[1], text));
                combo->setCurrentIndex(index);
            } else if (auto* edit = m_window.findChild<QLineEdit*>(w[1])) {
                edit->setText(text);
            } else if (auto* box = m_window.findChild<MultiLineTextBox*>(w[1])) {
                box->setText(text);
            } else {
                return say(QStringLiteral("ERROR nothing named %1").arg(w[1]));
            }
            return say(QStringLiteral("OK"));
        }
        if (verb == "check" && w.size() == 3) {
            auto* box = find<QCheckBox>(w[1]);
            if (!box) return;
            say(QStringLiteral("OK"));
            if (box->isChecked() != (w[2] == "on")) box->click();
            return;
        }
        if (verb == "click" && w.size() == 2) {
            auto* button = find<QPushButton>(w[1]);
            if (!button) return;
            say(QStringLiteral("OK %1").arg(wallNs()));
            button->click();
            return;
        }
        if (verb == "counters") return say(join("COUNTERS", counters()));
        if (verb == "leds") return say(join("LEDS", leds()));
        if (verb == "port") return say(join("PORT", port()));
        if (verb == "pid") return say(QStringLiteral("PID %1").arg(::getpid()));
        if (verb == "notice") {
            const QLabel* label = find<QLabel>(QStringLiteral("Label15"));
            return say(QStringLiteral("NOTICE ") + (label ? label->accessibleName() : QString()));
        }
        if (verb == "grab" && w.size() == 2)
            return say(m_window.grab().save(w[1]) ? QStringLiteral("OK") : QStringLiteral("ERROR"));
        if (verb == "text9") {
            QString text = m_window.Text9->text();
            text.replace('\r', "\\r").replace('\n', "\\n");
            return say(QStringLiteral("TEXT9 %1").arg(text));
        }
        if (verb.startsWith("wait-") && w.size() >= 2) return startWait(w);
        if (verb == "quit") {
            say(QStringLiteral("OK"));
            m_window.close();
            return;
        }
        say(QStringLiteral("ERROR unknown command: %1").arg(line));
    }

    void startWait(const QStringList& w) {
        std::function<std::map<QString, QString>()> source;
        QString head;
        std::map<QString, QString> want;
        const QString& kind = w[0];
        if (kind == "wait-counters") {
            source = [this] { return counters(); };
            head = "COUNTERS";
        } else if (kind == "wait-leds") {
            source = [this] { return leds(); };
            head = "LEDS";
        } else if (kind == "wait-port") {
            source = [this] { return port(); };
            head = "PORT";
            want["port"] = w[1];
        } else if (kind == "wait-send-done") {
            source = [this] { return port(); };
            head = "PORT";
            want["send"] = "idle";
        } else {
            return say(QStringLiteral("ERROR unknown wait %1").arg(kind));
        }
        for (int i = 1; i + 1 < w.size(); ++i) {
            const int eq = w[i].indexOf('=');
            if (eq > 0) want[w[i].left(eq)] = w[i].mid(eq + 1);
        }
        m_waitSource = source;
        m_waitHead = head;
        m_want = want;
        m_waitLimitMs = w.last().toInt();
        m_waitClock.start();
        m_waiting = true;
        m_poll.start();
        checkWait();
    }

    void checkWait() {
        if (!m_waiting) return;
        const auto now = m_waitSource();
        bool met = true;
        for (const auto& [key, value] : m_want)
            if (auto it = now.find(key); it == now.end() || it->second != value) met = false;
        const bool expired = m_waitClock.elapsed() >= m_waitLimitMs;
        if (!met && !expired) return;
        m_poll.stop();
        m_waiting = false;
        say(join(QStringLiteral("%1 %2").arg(met ? "MET" : "TIMEOUT", m_waitHead), now));
        scheduleNext();
    }

    MSCommTest& m_window;
    RingWatch m_ring;
    QSocketNotifier m_stdin;
    QByteArray m_input;
    std::deque<QString> m_queue;
    bool m_busy = false;
    bool m_waiting = false;
    QTimer m_poll;
    QElapsedTimer m_waitClock;
    qint64 m_waitLimitMs = 0;
    std::function<std::map<QString, QString>()> m_waitSource;
    QString m_waitHead;
    std::map<QString, QString> m_want;
};

}  // namespace

int main(int argc, char* argv[]) {
    PrintingMessageBox messages;
    ProgramHooks hooks;
    hooks.messageBox = &messages;
    hooks.started = [](MSCommTest& window) {
        new Driver(window);
        say(QStringLiteral("READY %1").arg(::getpid()));
    };
    return runProgram(argc, argv, hooks);
}
