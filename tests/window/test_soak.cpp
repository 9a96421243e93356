// A seeded random soak of the window on the fake device. Each step is one random action: an
// operator action (clicks, typing and pasting, choices, closing the window) or a port event
// (data, echoes, line changes, line errors, refusals, hang-up, held transmission, a Timer1
// tick). The window's invariants are checked at every step boundary.
//
// Steps come from a zero-interval timer, so they run from the plain event loop while the port
// is closed, inside the communication loop's yield while it is open (cmdOpen_Click does not
// return then) and inside message boxes that dispatch events while they are open. While a
// box is open only the port and the timers act: a modal box blocks the operator.
//
// The seed and the step count come from PARVOLO_SOAK_SEED and PARVOLO_SOAK_STEPS;
// PARVOLO_SOAK_TRACE=1 prints every action. A failure prints the seed, the failing step and
// the last actions. Some timers run on the wall clock (Timer1, the drain timer), so on a
// loaded machine a replay may interleave differently after a while.

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/multi_line_text_box.h"
#include "engine/code_page.h"
#include "serial/mscomm.h"
#include "support/fake_serial_device.h"
#include "support/recording_message_box.h"

using namespace parvolo;

namespace {

constexpr quint64 kDefaultSeed = 20261207;
constexpr qint64 kDefaultSteps = 100000;
constexpr int kHistoryLength = 20;
// Hang guards, not speed goals: the whole run, and the longest time without a new step.
constexpr qint64 kDeadlineMs = 270'000;
constexpr int kStallSeconds = 60;

const QString kOpenCaption = QStringLiteral("通信開始");
const QString kCloseCaption = QStringLiteral("通信停止");
const QString kStopCaption = QStringLiteral("停止");
const QString kCommErrorTitle = QStringLiteral("通信エラー");
const QString kAbortNotice = QStringLiteral("通信を中断します。");

quint64 envNumber(const char* name, quint64 fallback) {
    bool ok = false;
    const quint64 value = qEnvironmentVariable(name).toULongLong(&ok);
    return ok ? value : fallback;
}

// The recording box, which also keeps track of which boxes are open at the same time.
// Communication-error boxes must not stack, with one exception that follows from the window's
// rules: the overflow report of a send text that is too long is shown while the port stays
// open, so a fatal port error arriving while it waits is reported on top of it.
class SoakMessageBox : public RecordingMessageBox {
public:
    int show(QWidget* parent, const QString& text, int style, const QString& title) override {
        const QString shownTitle = title.isEmpty() ? msg_box::kAppTitle : title;
        const bool commError = shownTitle == kCommErrorTitle;
        const bool fatal = text.endsWith(kAbortNotice);
        openStack.push_back(shownTitle + QStringLiteral(" \"") + text.left(30) + QLatin1Char('"'));
        if (openStack.size() > 1) ++nestings[openStack.join(QStringLiteral(" > "))];
        QString kind = text.left(60);
        kind.replace(QRegularExpression(QStringLiteral("/dev/ttyS\\d+|COM\\d+")),
                     QStringLiteral("<port>"));
        ++byText[shownTitle + QStringLiteral(" \"") + kind + QLatin1Char('"')];
        if (commError) {
            if (openCommErrors.size() == 1 && openCommErrors.front() == kOverflowText && fatal)
                ++fatalOverSendOverflow;
            else if (!openCommErrors.isEmpty())
                ++stackedCommErrors;
            openCommErrors.push_back(text);
            mostCommErrorsOpen = std::max(mostCommErrorsOpen, int(openCommErrors.size()));
        }
        const int answer = RecordingMessageBox::show(parent, text, style, title);
        if (commError) openCommErrors.pop_back();
        // Counted when the box closes: the fatal path appends what is left right after it.
        if (fatal) ++fatalBoxesClosed;
        openStack.pop_back();
        return answer;
    }

    static inline const QString kOverflowText = QStringLiteral("Overflow (6)");
    QStringList openStack;
    QStringList openCommErrors;
    int mostCommErrorsOpen = 0;
    int stackedCommErrors = 0;      // a communication-error box opened over another one
    int fatalOverSendOverflow = 0;  // the one stacking the window's rules allow
    qint64 fatalBoxesClosed = 0;
    std::map<QString, int> byText;
    std::map<QString, int> nestings;
};

// The window on a fake device, shown so that focus and leaving a field work as for a user.
struct SoakRig {
    FakeSerialDevice::State device;
    SoakMessageBox messages;
    int programEnds = 0;
    FakeSerialDevice* fake = nullptr;
    std::unique_ptr<MSCommTest> window;

    SoakRig() {
        device.driverCapacity = 8192;
        auto dev = std::make_unique<FakeSerialDevice>(&device);
        fake = dev.get();
        window = std::make_unique<MSCommTest>(std::move(dev), messages, [this] { ++programEnds; });
        // A box that dispatches events does so for a few rounds, as a modal box waits.
        messages.whileOpen = [this](const RecordingMessageBox::Shown&) {
            if (!messages.processEventsWhileOpen) return;
            for (int round = 0; round < 3; ++round) QCoreApplication::processEvents();
        };
        window->show();
        window->activateWindow();
    }
    MSCommTest& w() { return *window; }
};

class Soak;

// One operator action or port event, and how often it is picked.
struct WeightedAct {
    void (Soak::*run)();
    int weightClosed;  // weights while the port is closed and while it is open
    int weightOpen;
    bool byOperator;            // a modal box keeps the operator from it
    bool keyboardOnly = false;  // leaves an open popup as it is
};

// Fatal codes are one in eight.
const int kLineEventCodes[] = {1,    2, 3, 4, 5,    6,    7,    1001, 1004, 1006, 1009, 1,
                               2,    3, 4, 5, 6,    7,    1001, 1004, 1006, 1009, 1,    2,
                               3,    4, 5, 6, 7,    1001, 1004, 1006, 1009, 1001, 1004, 1006,
                               1009, 7, 6, 2, 1008, 1010, 1011, 1002, 0,    9999, -1,   32767};

QString hexPreview(const QByteArray& bytes) {
    QString text = QString::fromLatin1(bytes.left(12).toHex(' '));
    if (bytes.size() > 12) text += QStringLiteral(" ...");
    return text;
}

// One key as the operator presses it: a key that types a character, with its text, or an editing
// key.
struct Key {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    QString text;
};

QString describeKeys(const QList<Key>& keys) {
    QStringList parts;
    for (const Key& k : keys)
        parts << (k.text.isEmpty() ? QKeySequence(QKeyCombination(k.modifiers, k.key)).toString()
                                   : k.text);
    return parts.join(QLatin1Char(' '));
}

QString visible(const QString& text) {
    QString shown = text.left(24);
    shown.replace(QLatin1Char('\r'), QStringLiteral("\\r"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    if (text.size() > 24) shown += QStringLiteral("...");
    return QStringLiteral("\"%1\" (%2 chars)").arg(shown).arg(text.size());
}

class Soak {
public:
    Soak(quint64 seed, qint64 steps) : m_seed(seed), m_totalSteps(steps), m_random(seed) {
        m_trace = qEnvironmentVariableIntValue("PARVOLO_SOAK_TRACE") != 0;
    }

    // Runs the soak; returns the failure text, empty when every step kept the invariants.
    QString run();

    // What the run did, for the log.
    QString summary() const;
    qint64 stepsDone() const { return m_step; }
    qint64 stepsInsideLoop() const { return m_stepsInsideLoop; }
    qint64 stepsWhileBoxOpen() const { return m_stepsWhileBoxOpen; }
    qint64 opens() const { return m_opens; }
    // What a long run must have reached: every button and box, every list entry, every
    // event code, every field typed into. Lists what it did not reach.
    QStringList missedCoverage() const;

private:
    struct Boundary {
        qsizetype text9Length = 0;
        qint64 limit = 0;
        qint64 fatalBoxesClosed = 0;
        int programEnds = 0;
    };

    MSCommTest& w() { return m_rig->w(); }
    quint64 pick(quint64 n) {
        return n == 0 ? 0 : std::uniform_int_distribution<quint64>(0, n - 1)(m_random);
    }
    bool chance(int percent) { return int(pick(100)) < percent; }
    template <typename T>
    T pickOf(std::initializer_list<T> items) {
        return *(items.begin() + pick(items.size()));
    }

    void newRig();
    void collectStatistics();
    void tick();
    void step();
    void windDown();
    void fail(const QString& what);
    void note(const QString& action);
    QString history() const;
    void checkBoundary(const char* where);
    QString brokenInvariant();
    Boundary snapshot();

    // Operator actions.
    void clickOpen();
    void clickCheck();
    void typeKeys();
    void pasteKeys();
    void pasteSetText();
    void moveFocus();
    void chooseCombo();
    void comboKeys();
    void addJunkEntry();
    void removeJunkEntry();
    void closeWindow();
    // Port events.
    void receive();
    void corruptEcho();
    void lineEvent();
    static const WeightedAct kActs[];
    void doubleClickOpen();
    void clickOut();
    void clickClearSend();
    void clickClearDisplay();
    void toggleBoxNesting();
    void toggleEcho();
    void changeLine();
    void ring();
    void toggleRefusals();
    void toggleOpenErrors();
    void hangUp();
    void holdTransmission();
    void releaseTransmission();
    void tickTimer1();
    void idle();

    QWidget* typingTarget();
    void focusByClick(QWidget* target);
    void sendKeys(const QList<Key>& keys);
    void dismissPopup();
    QList<Key> junkKeys(bool numeric);
    QString junkText(bool numeric, bool allowLong);
    QComboBox* combo(int index);

    quint64 m_seed;
    qint64 m_totalSteps;
    std::mt19937_64 m_random;
    bool m_trace = false;

    std::unique_ptr<SoakRig> m_rig;
    QTimer m_ticker;
    QObject m_stepContext;
    QElapsedTimer m_clock;
    qint64 m_step = 0;
    int m_stepDepth = 0;
    bool m_finished = false;
    bool m_windowEnded = false;  // the operator answered Yes: the program would have ended
    bool m_rebuilding = false;
    QString m_failure;
    Boundary m_last;
    bool m_typedIntoDisplay = false;
    std::map<int, QString> m_junkEntries;  // by list (0 for Combo1), in a replayable order

    // Shared with the stall watchdog.
    mutable std::mutex m_historyLock;
    std::deque<std::string> m_history;
    std::atomic<qint64> m_progress{0};

    // Statistics.
    qint64 m_stepsInsideLoop = 0;
    qint64 m_stepsWhileBoxOpen = 0;
    qint64 m_stepsOpen = 0;
    qint64 m_opens = 0;
    qint64 m_restarts = 0;
    int m_maxLoopDepth = 0;
    int m_maxStepDepth = 0;
    int m_mostBoxesOpen = 0;
    int m_mostCommErrorsOpen = 0;
    int m_fatalOverSendOverflow = 0;
    std::map<QString, int> m_boxes;
    std::map<QString, int> m_nestings;
    std::set<QString> m_reached;
};

// Closing events are rare enough that a session lasts some dozens of steps. Port events also
// happen while a modal box is open.
const WeightedAct Soak::kActs[] = {
    {&Soak::clickOpen, 12, 1, true},
    {&Soak::doubleClickOpen, 1, 1, true},
    {&Soak::clickOut, 3, 10, true},
    {&Soak::clickClearSend, 2, 2, true},
    {&Soak::clickClearDisplay, 3, 3, true},
    {&Soak::clickCheck, 12, 12, true},
    {&Soak::typeKeys, 14, 14, true, true},
    {&Soak::pasteKeys, 5, 5, true},
    {&Soak::pasteSetText, 7, 7, true},
    {&Soak::moveFocus, 5, 5, true, true},
    {&Soak::chooseCombo, 12, 3, true},
    {&Soak::comboKeys, 3, 3, true, true},
    {&Soak::addJunkEntry, 1, 1, true},
    {&Soak::removeJunkEntry, 3, 1, true},
    {&Soak::closeWindow, 2, 2, true},
    {&Soak::toggleBoxNesting, 2, 2, true},
    {&Soak::receive, 8, 24, false},
    {&Soak::toggleEcho, 4, 4, false},
    {&Soak::corruptEcho, 2, 5, false},
    {&Soak::changeLine, 3, 5, false},
    {&Soak::ring, 2, 3, false},
    {&Soak::lineEvent, 4, 10, false},
    {&Soak::toggleRefusals, 2, 2, false},
    {&Soak::toggleOpenErrors, 2, 2, false},
    {&Soak::hangUp, 1, 1, false},
    {&Soak::holdTransmission, 2, 2, false},
    {&Soak::releaseTransmission, 2, 2, false},
    {&Soak::tickTimer1, 4, 6, false},
    {&Soak::idle, 6, 8, false},
};

void Soak::collectStatistics() {
    if (!m_rig) return;
    for (auto& [text, count] : m_rig->messages.byText) m_boxes[text] += count;
    for (auto& [text, count] : m_rig->messages.nestings) m_nestings[text] += count;
    m_mostBoxesOpen = std::max(m_mostBoxesOpen, m_rig->messages.mostOpenAtOnce);
    m_mostCommErrorsOpen = std::max(m_mostCommErrorsOpen, m_rig->messages.mostCommErrorsOpen);
    m_fatalOverSendOverflow += m_rig->messages.fatalOverSendOverflow;
}

void Soak::newRig() {
    m_rebuilding = true;
    collectStatistics();
    m_rig.reset();
    m_junkEntries.clear();
    m_rig = std::make_unique<SoakRig>();
    if (!QTest::qWaitForWindowActive(m_rig->window.get()))
        fail(QStringLiteral("the window did not become active"));
    m_windowEnded = false;
    m_last = snapshot();
    m_rebuilding = false;
}

QString Soak::run() {
    std::fprintf(stderr, "soak: seed %llu, %lld steps\n", static_cast<unsigned long long>(m_seed),
                 static_cast<long long>(m_totalSteps));
    m_clock.start();
    newRig();

    std::mutex stopLock;
    std::condition_variable stopSignal;
    bool stopped = false;
    std::thread watchdog([&] {
        std::unique_lock lock(stopLock);
        qint64 seen = -1;
        int stalledSeconds = 0;
        while (!stopSignal.wait_for(lock, std::chrono::seconds(1), [&] { return stopped; })) {
            const qint64 now = m_progress.load();
            stalledSeconds = now == seen ? stalledSeconds + 1 : 0;
            seen = now;
            if (stalledSeconds < kStallSeconds) continue;
            std::fprintf(stderr, "soak: no step for %d s: hang at step %lld (seed %llu)\n%s",
                         kStallSeconds, static_cast<long long>(now),
                         static_cast<unsigned long long>(m_seed),
                         history().toLocal8Bit().constData());
            std::fflush(stderr);
            std::abort();
        }
    });

    // Queued: a timer does not fire again while its own handler runs, and a step that opens
    // the port runs until the port closes; from a posted event the timer keeps firing inside.
    m_ticker.setInterval(0);
    QObject::connect(
        &m_ticker, &QTimer::timeout, &m_stepContext, [this] { tick(); }, Qt::QueuedConnection);
    m_ticker.start();
    while (!m_finished) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        if (m_windowEnded && m_stepDepth == 0 && w().loopDepth() == 0) {
            ++m_restarts;
            newRig();
        }
        if (m_clock.elapsed() > kDeadlineMs + 10'000 && !m_finished) {
            fail(QStringLiteral("the run did not wind down"));
            break;
        }
    }
    m_ticker.stop();
    {
        std::lock_guard lock(stopLock);
        stopped = true;
    }
    stopSignal.notify_all();
    watchdog.join();

    // The end state: the port closed, no loop left, the invariants kept.
    if (m_failure.isEmpty() && !m_windowEnded) {
        if (w().MSComm->PortOpen() || m_rig->device.open)
            fail(QStringLiteral("the port is open at the end"));
        else if (w().loopDepth() != 0)
            fail(QStringLiteral("a communication loop is left at the end"));
        else if (const QString broken = brokenInvariant(); !broken.isEmpty())
            fail(QStringLiteral("at the end: ") + broken);
    }
    collectStatistics();
    m_rig.reset();
    return m_failure;
}

void Soak::tick() {
    if (m_finished || m_rebuilding) return;
    if (m_windowEnded) return;  // the loops of the ended window unwind; a new one follows
    if (!m_failure.isEmpty() || m_step >= m_totalSteps) {
        windDown();
        return;
    }
    if (m_clock.elapsed() > kDeadlineMs) {
        fail(QStringLiteral("deadline of %1 s passed").arg(kDeadlineMs / 1000));
        windDown();
        return;
    }
    checkBoundary("before step");
    if (!m_failure.isEmpty()) return;
    ++m_step;
    m_progress.store(m_step);
    ++m_stepDepth;
    m_maxStepDepth = std::max(m_maxStepDepth, m_stepDepth);
    try {
        step();
    } catch (const std::exception& e) {
        fail(QStringLiteral("an exception escaped: %1").arg(QString::fromLocal8Bit(e.what())));
    } catch (...) {
        fail(QStringLiteral("an exception escaped"));
    }
    --m_stepDepth;
    if (m_failure.isEmpty() && !m_windowEnded) checkBoundary("after step");
    // Observed data that only grows: keep what the next echo may need.
    QByteArray& written = m_rig->device.written;
    if (written.size() > 4096) written = written.right(256);
    // A kernel buffer does not grow without end either; the oldest bytes are lost.
    QByteArray& input = m_rig->device.kernelInput;
    if (input.size() > 65536) input.remove(0, input.size() - 65536);
    if (m_rig->messages.openNow == 0) m_rig->messages.shown.clear();
}

void Soak::windDown() {
    if (m_windowEnded) return;
    if (m_rig->messages.openNow > 0) return;  // the box returns first
    if (w().MSComm->PortOpen()) {
        if (w().cmdOpen->text() == kCloseCaption) {
            note(QStringLiteral("wind down: click cmdOpen"));
            QTest::mouseClick(w().cmdOpen, Qt::LeftButton);
        }
        if (w().MSComm->PortOpen()) {
            if (m_failure.isEmpty()) fail(QStringLiteral("the close click left the port open"));
            w().guarded([&] { w().MSComm->setPortOpen(false); });
        }
        return;
    }
    if (w().loopDepth() == 0 && m_stepDepth == 0) m_finished = true;
}

void Soak::fail(const QString& what) {
    if (!m_failure.isEmpty()) return;
    m_failure = QStringLiteral(
                    "soak failed at step %1 (seed %2, %3 steps; replay with PARVOLO_SOAK_SEED=%2 "
                    "PARVOLO_SOAK_STEPS=%3): %4\n%5")
                    .arg(m_step)
                    .arg(m_seed)
                    .arg(m_totalSteps)
                    .arg(what, history());
    std::fprintf(stderr, "%s", m_failure.toLocal8Bit().constData());
}

void Soak::note(const QString& action) {
    const int depth = m_rig ? w().loopDepth() : 0;
    const int boxes = m_rig ? m_rig->messages.openNow : 0;
    const QString line = QStringLiteral("  #%1 loop %2 box %3 port %4: %5\n")
                             .arg(m_step)
                             .arg(depth)
                             .arg(boxes)
                             .arg(m_rig && w().MSComm->PortOpen() ? QStringLiteral("open")
                                                                  : QStringLiteral("closed"))
                             .arg(action);
    if (m_trace) std::fprintf(stderr, "%s", line.toLocal8Bit().constData());
    std::lock_guard lock(m_historyLock);
    m_history.push_back(line.toStdString());
    if (m_history.size() > kHistoryLength) m_history.pop_front();
}

QString Soak::history() const {
    std::lock_guard lock(m_historyLock);
    QString text = QStringLiteral("last actions:\n");
    for (const std::string& line : m_history) text += QString::fromStdString(line);
    return text;
}

Soak::Boundary Soak::snapshot() {
    return {w().Text9->textLength(), w().displayLimit(), m_rig->messages.fatalBoxesClosed,
            m_rig->programEnds};
}

// The window's state as it must be between steps.
QString Soak::brokenInvariant() {
    MSCommTest& win = w();
    const bool open = win.MSComm->PortOpen();
    if (open != (win.cmdOpen->text() == kCloseCaption) ||
        (!open && win.cmdOpen->text() != kOpenCaption))
        return QStringLiteral("cmdOpen shows \"%1\" while the port is %2")
            .arg(win.cmdOpen->text(), open ? QStringLiteral("open") : QStringLiteral("closed"));
    for (QComboBox* c : {win.Combo1, win.Combo2, win.Combo3, win.Combo4, win.Combo5, win.Combo6})
        if (c->isEnabled() == open)
            return QStringLiteral("%1 is %2 while the port is %3")
                .arg(c->objectName(),
                     c->isEnabled() ? QStringLiteral("enabled") : QStringLiteral("disabled"),
                     open ? QStringLiteral("open") : QStringLiteral("closed"));
    if (win.cmdOut->isEnabled() != open)
        return QStringLiteral("cmdOut is %1 while the port is %2")
            .arg(win.cmdOut->isEnabled() ? QStringLiteral("enabled") : QStringLiteral("disabled"),
                 open ? QStringLiteral("open") : QStringLiteral("closed"));
    if (win.sendActive != False16 && win.sendActive != True16)
        return QStringLiteral("sendActive is %1").arg(win.sendActive);
    if ((win.sendActive == True16) != (win.cmdOut->text() == kStopCaption))
        return QStringLiteral("sendActive is %1 while cmdOut shows \"%2\"")
            .arg(win.sendActive)
            .arg(win.cmdOut->text());
    if (!open && win.Timer1->isActive())
        return QStringLiteral("Timer1 runs while the port is closed");
    if (m_rig->messages.stackedCommErrors > 0)
        return QStringLiteral("a communication-error box opened over another one");
    const std::pair<const char*, qint32> counters[] = {
        {"blockCount", win.loopbackCheck().counters().blocks},
        {"matchedBytes", win.loopbackCheck().counters().matchedBytes},
        {"mismatchCount", win.loopbackCheck().counters().mismatches},
        {"recvTotalBytes", win.loopbackCheck().counters().receivedBytes},
        {"sendCount", win.sendRun().transmissions()},
        {"comparePosition", win.loopbackCheck().comparePosition()},
        {"errorCount", win.loopbackCheck().counters().lineErrors},
        {"blockRecvBytes", win.loopbackCheck().blockBytes()},
    };
    for (const auto& [name, value] : counters)
        if (value < 0) return QStringLiteral("%1 is %2").arg(QLatin1String(name)).arg(value);
    for (QLineEdit* box : {win.Text1, win.Text3, win.Text4, win.Text5, win.Text6, win.Text7}) {
        bool number = false;
        box->text().toLongLong(&number);
        if (!number) return QStringLiteral("%1 shows \"%2\"").arg(box->objectName(), box->text());
    }
    if (m_rig->programEnds != m_last.programEnds) return QStringLiteral("the program was ended");
    return {};
}

void Soak::checkBoundary(const char* where) {
    if (!m_failure.isEmpty() || m_windowEnded) return;
    if (const QString broken = brokenInvariant(); !broken.isEmpty()) {
        fail(QStringLiteral("%1: %2").arg(QLatin1String(where), broken));
        return;
    }
    // The display grows past its limit only through typing or pasting, or through the
    // fatal-error path, which appends what is left in the buffer.
    const Boundary now = snapshot();
    const qint64 limit = std::max(now.limit, m_last.limit);
    if (now.text9Length > m_last.text9Length && now.text9Length > limit && !m_typedIntoDisplay &&
        now.fatalBoxesClosed == m_last.fatalBoxesClosed) {
        fail(QStringLiteral("%1: Text9 grew from %2 to %3 characters past its limit of %4")
                 .arg(QLatin1String(where))
                 .arg(m_last.text9Length)
                 .arg(now.text9Length)
                 .arg(limit));
        return;
    }
    m_last = now;
    m_typedIntoDisplay = false;
}

void Soak::step() {
    MSCommTest& win = w();
    SoakRig& rig = *m_rig;
    m_maxLoopDepth = std::max(m_maxLoopDepth, win.loopDepth());
    if (win.loopDepth() > 0) ++m_stepsInsideLoop;
    if (win.MSComm->PortOpen()) ++m_stepsOpen;
    // A modal box blocks the operator: only the port and the timers go on.
    const bool boxOpen = rig.messages.openNow > 0;
    if (boxOpen) ++m_stepsWhileBoxOpen;
    const bool open = win.MSComm->PortOpen();
    auto weight = [&](const WeightedAct& a) {
        if (boxOpen && a.byOperator) return 0;
        return open ? a.weightOpen : a.weightClosed;
    };
    int total = 0;
    for (const WeightedAct& a : kActs) total += weight(a);
    int roll = int(pick(quint64(total)));
    const WeightedAct* chosen = &kActs[std::size(kActs) - 1];
    for (const WeightedAct& a : kActs) {
        if (roll < weight(a)) {
            chosen = &a;
            break;
        }
        roll -= weight(a);
    }
    if (chosen->byOperator && !chosen->keyboardOnly) dismissPopup();
    (this->*chosen->run)();
}

void Soak::doubleClickOpen() {
    MSCommTest& win = w();
    // Closing and opening again within one yield runs a loop nested in the first.
    note(QStringLiteral("click cmdOpen \"%1\" twice").arg(win.cmdOpen->text()));
    clickOpen();
    if (!m_windowEnded && m_failure.isEmpty()) clickOpen();
}

void Soak::clickOut() {
    MSCommTest& win = w();
    m_reached.insert(QStringLiteral("click cmdOut"));
    note(QStringLiteral("click cmdOut \"%1\"%2")
             .arg(win.cmdOut->text(),
                  win.cmdOut->isEnabled() ? QString() : QStringLiteral(" (disabled)")));
    QTest::mouseClick(win.cmdOut, Qt::LeftButton);
}

void Soak::clickClearSend() {
    MSCommTest& win = w();
    m_reached.insert(QStringLiteral("click Command1"));
    note(QStringLiteral("click Command1"));
    QTest::mouseClick(win.Command1, Qt::LeftButton);
}

void Soak::clickClearDisplay() {
    MSCommTest& win = w();
    m_reached.insert(QStringLiteral("click Command2"));
    note(QStringLiteral("click Command2"));
    QTest::mouseClick(win.Command2, Qt::LeftButton);
}

void Soak::toggleBoxNesting() {
    SoakRig& rig = *m_rig;
    rig.messages.processEventsWhileOpen = !rig.messages.processEventsWhileOpen;
    note(QStringLiteral("boxes dispatch events while open: %1")
             .arg(rig.messages.processEventsWhileOpen));
}

void Soak::toggleEcho() {
    FakeSerialDevice::State& dev = m_rig->device;
    dev.echo = !dev.echo;
    note(QStringLiteral("echo %1").arg(dev.echo ? QStringLiteral("on") : QStringLiteral("off")));
}

void Soak::changeLine() {
    SoakRig& rig = *m_rig;
    const int code = 3 + int(pick(3));
    const bool on = chance(50);
    note(QStringLiteral("line %1 %2")
             .arg(code)
             .arg(on ? QStringLiteral("on") : QStringLiteral("off")));
    rig.fake->setLine(code, on);
}

void Soak::ring() {
    SoakRig& rig = *m_rig;
    note(QStringLiteral("ring"));
    rig.fake->ring();
}

void Soak::toggleRefusals() {
    FakeSerialDevice::State& dev = m_rig->device;
    const int which = int(pick(3));
    bool& flag = which == 0 ? dev.refuseSettings : which == 1 ? dev.refuseRts : dev.refuseDtr;
    const bool anyRefused = dev.refuseSettings || dev.refuseRts || dev.refuseDtr;
    // Refusals are kept short, so that most opens succeed.
    if (anyRefused && chance(70))
        dev.refuseSettings = dev.refuseRts = dev.refuseDtr = false;
    else
        flag = true;
    note(QStringLiteral("refuse settings %1, RTS %2, DTR %3")
             .arg(dev.refuseSettings)
             .arg(dev.refuseRts)
             .arg(dev.refuseDtr));
}

void Soak::toggleOpenErrors() {
    FakeSerialDevice::State& dev = m_rig->device;
    if (dev.openError && chance(70)) {
        dev.openError.reset();
        note(QStringLiteral("opens succeed"));
    } else {
        using C = SerialError::Code;
        dev.openError =
            pickOf({C::NoSuchPort, C::AlreadyOpen, C::Busy, C::NotOpen, C::SettingRefused,
                    C::OpenFailed, C::PermissionDenied, C::InvalidValue});
        note(QStringLiteral("opens fail with code %1").arg(int(*dev.openError)));
    }
}

void Soak::hangUp() {
    SoakRig& rig = *m_rig;
    note(QStringLiteral("hang up"));
    rig.fake->hangUp();
}

void Soak::holdTransmission() {
    FakeSerialDevice::State& dev = m_rig->device;
    dev.holdTransmit = true;
    note(QStringLiteral("hold transmission"));
}

void Soak::releaseTransmission() {
    SoakRig& rig = *m_rig;
    FakeSerialDevice::State& dev = m_rig->device;
    note(QStringLiteral("release transmission (%1 bytes held)").arg(dev.driverQueue.size()));
    rig.fake->releaseTransmit();
}

void Soak::tickTimer1() {
    MSCommTest& win = w();
    note(QStringLiteral("Timer1 tick"));
    win.guarded([&] { win.Timer1_Timer(); });
}

void Soak::idle() {
    note(QStringLiteral("idle"));
}

void Soak::clickOpen() {
    const bool opening = w().cmdOpen->text() == kOpenCaption;
    note(QStringLiteral("click cmdOpen \"%1\"").arg(w().cmdOpen->text()));
    m_reached.insert(QStringLiteral("click cmdOpen ") + w().cmdOpen->text());
    const int opensBefore = m_rig->device.opens;
    SoakRig* rig = m_rig.get();
    QTest::mouseClick(w().cmdOpen, Qt::LeftButton);  // returns when the port has closed again
    if (m_rig.get() != rig) return;
    if (opening) m_opens += rig->device.opens - opensBefore;
    // A failing port is usually fixed after a try or two.
    if (chance(50)) rig->device.openError.reset();
    if (chance(50)) rig->device.refuseSettings = false;
}

QComboBox* Soak::combo(int index) {
    QComboBox* combos[] = {w().Combo1, w().Combo2, w().Combo3, w().Combo4, w().Combo5, w().Combo6};
    return combos[index];
}

void Soak::clickCheck() {
    MSCommTest& win = w();
    QCheckBox* boxes[] = {win.Check1, win.Check3, win.Check4, win.Check5, win.Check6, win.Check7};
    QCheckBox* box = boxes[pick(6)];
    note(QStringLiteral("click %1 (%2)")
             .arg(box->objectName(),
                  box->isChecked() ? QStringLiteral("ticked") : QStringLiteral("clear")));
    m_reached.insert(QStringLiteral("click ") + box->objectName());
    QTest::mouseClick(box, Qt::LeftButton);
}

// The control the operator clicks into before typing. Keys go to whatever has the focus.
QWidget* Soak::typingTarget() {
    MSCommTest& win = w();
    switch (pick(12)) {
        case 0:
        case 1:
            return win.Text2;
        case 2:
        case 3:
            return win.Text8;
        case 4:
        case 5:
        case 6:
            return win.txtOutData;
        case 7:
        case 8:
            return win.Text9;
        case 9:
            return pickOf<QWidget*>({win.CD_LED, win.CS_LED, win.DR_LED, win.RI_LED});
        default:
            return pickOf<QWidget*>(
                {win.Text1, win.Text3, win.Text4, win.Text5, win.Text6, win.Text7});
    }
}

void Soak::focusByClick(QWidget* target) {
    if (target->isEnabled() && (target->focusPolicy() & Qt::ClickFocus))
        target->setFocus(Qt::MouseFocusReason);
}

QString Soak::junkText(bool numeric, bool allowLong) {
    if (numeric && chance(60))
        return pickOf<QString>(
            {QString(), QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("3"),
             QStringLiteral("5"), QStringLiteral("16"), QStringLiteral("256"),
             QStringLiteral("32767"), QStringLiteral("32768"), QStringLiteral("99999"),
             QStringLiteral("2147483647"), QStringLiteral("2147483648"),
             QStringLiteral("9999999999"), QStringLiteral("-1"), QStringLiteral(" 12"),
             QStringLiteral("1e3"), QStringLiteral("abc"), QStringLiteral("０１２")});
    qsizetype length = qsizetype(pick(24));
    if (allowLong && chance(15)) length = qsizetype(100 + pick(1500));
    // Now and then a text longer than a send run may be, or more than the display holds.
    if (allowLong && chance(3)) length = qsizetype(32760 + pick(20));
    static const QString pool = QStringLiteral(
        "0123456789ABCDEFabcxyz !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~\r\n\t"
        "ｱｲｳｴｵﾊﾟｰﾄ漢字全角ＡＢ¥éß\u00a0\u200b\u3000");
    QString text;
    text.reserve(length + 2);
    if (length > 200) {
        const QString unit = pickOf<QString>(
            {QStringLiteral("x"), QStringLiteral("0123456789"), QStringLiteral("ｱ漢\r\n")});
        while (text.size() < length) text += unit;
        text.truncate(length);
        return text;
    }
    for (qsizetype i = 0; i < length; ++i) {
        if (chance(2)) {
            text += QString::fromUtf16(u"\U0001F600");  // outside the code page, two UTF-16 units
            continue;
        }
        text += pool.at(qsizetype(pick(quint64(pool.size()))));
    }
    return text;
}

QList<Key> Soak::junkKeys(bool numeric) {
    QList<Key> keys;
    const int count = 1 + int(pick(10));
    static const QString digits = QStringLiteral("0123456789");
    static const QString chars = QStringLiteral("0123456789aZ-+. ,/\\@ｱ漢Ａé");
    for (int i = 0; i < count; ++i) {
        if (chance(70)) {
            const QString& pool = numeric && chance(70) ? digits : chars;
            const QChar c = pool.at(qsizetype(pick(quint64(pool.size()))));
            const auto key = c.unicode() < 0x80 ? Qt::Key(c.toUpper().unicode()) : Qt::Key_unknown;
            keys.append({key, Qt::NoModifier, QString(c)});
            continue;
        }
        if (chance(25)) {
            keys.append({pickOf({Qt::Key_A, Qt::Key_X, Qt::Key_V, Qt::Key_Z, Qt::Key_H}),
                         Qt::ControlModifier,
                         {}});
            continue;
        }
        keys.append({pickOf({Qt::Key_Backspace, Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Left,
                             Qt::Key_Right, Qt::Key_Home, Qt::Key_End, Qt::Key_Return, Qt::Key_Tab,
                             Qt::Key_Escape}),
                     Qt::NoModifier,
                     {}});
    }
    return keys;
}

// Keys go where the keyboard sends them: to an open list's popup, else to the focus.
void Soak::sendKeys(const QList<Key>& keys) {
    for (const Key& k : keys) {
        QWidget* popup = QApplication::activePopupWidget();
        QWidget* focus = QApplication::focusWidget();
        if (!popup && !focus) return;  // typing goes nowhere
        if (!popup && focus == w().Text9) m_typedIntoDisplay = true;
        if (!popup) m_reached.insert(QStringLiteral("type into ") + focus->objectName());
        QWidget* target = popup ? nullptr : focus;  // QTest finds the popup's own focus
        if (k.text.isEmpty())
            QTest::keyClick(target, k.key, k.modifiers);
        else
            QTest::sendKeyEvent(QTest::Click, target, k.key, k.text, k.modifiers);
    }
}

// A click anywhere closes an open list first.
void Soak::dismissPopup() {
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
}

void Soak::typeKeys() {
    QWidget* target = typingTarget();
    if (chance(80)) {
        dismissPopup();
        focusByClick(target);
    }
    const bool numeric = target == w().Text2 || target == w().Text8;
    const auto keys = junkKeys(numeric);
    QWidget* focus = QApplication::focusWidget();
    note(QStringLiteral("type into %1 (focus %2): %3")
             .arg(target->objectName(), focus ? focus->objectName() : QStringLiteral("none"),
                  describeKeys(keys)));
    sendKeys(keys);
}

void Soak::pasteKeys() {
    QWidget* target = typingTarget();
    dismissPopup();
    focusByClick(target);
    const bool numeric = target == w().Text2 || target == w().Text8;
    const QString text = junkText(numeric, !numeric);
    QGuiApplication::clipboard()->setText(text);
    QWidget* focus = QApplication::focusWidget();
    note(QStringLiteral("paste %1 into %2 (focus %3)")
             .arg(visible(text), target->objectName(),
                  focus ? focus->objectName() : QStringLiteral("none")));
    sendKeys({{Qt::Key_V, Qt::ControlModifier, {}}});
}

// Selecting everything and pasting over it.
void Soak::pasteSetText() {
    MSCommTest& win = w();
    switch (pick(4)) {
        case 0:
        case 1: {
            QLineEdit* field = chance(50) ? win.Text2 : win.Text8;
            const QString text = junkText(true, false);
            note(QStringLiteral("set %1 to %2").arg(field->objectName(), visible(text)));
            field->setText(text);
            break;
        }
        case 2: {
            const QString text = junkText(false, true);
            note(QStringLiteral("set txtOutData to %1").arg(visible(text)));
            win.txtOutData->setText(text);
            break;
        }
        default: {
            const QString text = junkText(false, true);
            note(QStringLiteral("set Text9 to %1").arg(visible(text)));
            m_typedIntoDisplay = true;
            win.Text9->setText(text);
            break;
        }
    }
}

void Soak::moveFocus() {
    QWidget* focus = QApplication::focusWidget();
    if (focus && chance(60)) {
        const bool back = chance(30);
        note(QStringLiteral("%1 from %2")
                 .arg(back ? QStringLiteral("Backtab") : QStringLiteral("Tab"),
                      focus->objectName()));
        QTest::keyClick(focus, back ? Qt::Key_Backtab : Qt::Key_Tab,
                        back ? Qt::ShiftModifier : Qt::NoModifier);
        return;
    }
    MSCommTest& win = w();
    QWidget* target = pickOf<QWidget*>(
        {win.cmdOpen, win.cmdOut, win.Command1, win.Command2, win.Check3, win.Check4, win.Text2,
         win.Text8, win.txtOutData, win.Text9, win.Combo1, win.Combo6, win.Text5, win.RI_LED});
    note(QStringLiteral("focus %1").arg(target->objectName()));
    focusByClick(target);
}

// Every entry of every list is equally likely, so the long baud-rate list is covered too.
void Soak::chooseCombo() {
    int total = 0;
    for (int i = 0; i < 6; ++i) total += combo(i)->count();
    int entry = int(pick(quint64(total)));
    QComboBox* box = combo(0);
    for (int i = 0; i < 6 && entry >= combo(i)->count(); ++i) {
        entry -= combo(i)->count();
        box = combo(i + 1);
    }
    if (!box->isEnabled()) {
        note(QStringLiteral("click %1 (disabled)").arg(box->objectName()));
        QTest::mouseClick(box, Qt::LeftButton);  // a disabled list does not open
        return;
    }
    note(QStringLiteral("choose %1 entry %2 \"%3\"")
             .arg(box->objectName())
             .arg(entry)
             .arg(box->itemText(entry)));
    m_reached.insert(
        QStringLiteral("choose %1 \"%2\"").arg(box->objectName(), box->itemText(entry)));
    box->setCurrentIndex(entry);
}

void Soak::comboKeys() {
    QComboBox* box = combo(int(pick(6)));
    if (!QApplication::activePopupWidget() || chance(30)) {
        dismissPopup();
        focusByClick(box);
    }
    QList<Key> keys;
    const int count = 1 + int(pick(3));
    for (int i = 0; i < count; ++i)
        keys.append({pickOf({Qt::Key_Down, Qt::Key_Up, Qt::Key_Home, Qt::Key_End, Qt::Key_PageDown,
                             Qt::Key_F4, Qt::Key_Space, Qt::Key_Return, Qt::Key_Escape}),
                     Qt::NoModifier,
                     {}});
    QWidget* focus = QApplication::focusWidget();
    note(QStringLiteral("keys %1 for %2 (focus %3%4)")
             .arg(describeKeys(keys), box->objectName(),
                  focus ? focus->objectName() : QStringLiteral("none"),
                  QApplication::activePopupWidget() ? QStringLiteral(", list open") : QString()));
    sendKeys(keys);
}

// An entry no list holds, to reach the fallbacks for names and texts that are not known.
void Soak::addJunkEntry() {
    const int index = int(pick(6));
    QComboBox* box = combo(index);
    if (!box->isEnabled() || m_junkEntries.count(index)) {
        note(QStringLiteral("no entry added to %1").arg(box->objectName()));
        return;
    }
    // Texts outside the lists; the parity and flow rows the lists leave out are known names.
    static const QStringList junkByList[] = {
        {"0", "abc", "99999999999", "-9600", "1.5", ""},
        {"COM0", "COM16", "COM04", "com1", "", "COM1 "},
        {"Parity?", "ﾏｰｸ(Mark)", "ｽﾍﾟｰｽ(Space)", ""},
        {"5", "6", "9", "x", ""},
        {"3", "1.5", "0", ""},
        {"comRTSXOnXOff", "bogus", ""},
    };
    const QStringList& choices = junkByList[index];
    const QString junk = choices.at(qsizetype(pick(quint64(choices.size()))));
    if (box->findText(junk) >= 0) {
        note(QStringLiteral("no entry added to %1").arg(box->objectName()));
        return;
    }
    m_junkEntries[index] = junk;
    note(QStringLiteral("add entry \"%1\" to %2 and choose it").arg(junk, box->objectName()));
    box->addItem(junk);
    box->setCurrentIndex(box->count() - 1);
}

void Soak::removeJunkEntry() {
    if (m_junkEntries.empty()) {
        note(QStringLiteral("no entry to remove"));
        return;
    }
    auto it = m_junkEntries.begin();
    std::advance(it, pick(m_junkEntries.size()));
    QComboBox* box = combo(it->first);
    note(QStringLiteral("remove entry \"%1\" from %2").arg(it->second, box->objectName()));
    const int index = box->findText(it->second);
    if (index >= 0) box->removeItem(index);
    m_junkEntries.erase(it);
}

void Soak::closeWindow() {
    SoakRig& rig = *m_rig;
    const bool yes = chance(8);
    note(QStringLiteral("close the window, answer %1")
             .arg(yes ? QStringLiteral("Yes") : QStringLiteral("No")));
    const int endsBefore = rig.programEnds;
    const qsizetype boxesBefore = rig.messages.shown.size();
    rig.messages.answers = {yes ? msg_box::Yes : msg_box::No};
    w().close();
    rig.messages.answers.clear();
    if (rig.messages.shown.size() == boxesBefore ||
        rig.messages.shown[boxesBefore].text != QStringLiteral("終了しますか？")) {
        fail(QStringLiteral("closing the window asked no question"));
        return;
    }
    if (!yes) {
        if (rig.programEnds != endsBefore)
            fail(QStringLiteral("the program ended although the answer was No"));
        else if (!w().isVisible())
            fail(QStringLiteral("the window closed although the answer was No"));
        return;
    }
    if (rig.programEnds != endsBefore + 1) {
        fail(QStringLiteral("answering Yes ended the program %1 times")
                 .arg(rig.programEnds - endsBefore));
        return;
    }
    if (w().MSComm->PortOpen() || rig.device.open) {
        fail(QStringLiteral("the program ended with the port open"));
        w().guarded([&] { w().MSComm->setPortOpen(false); });
        return;
    }
    // The real program ends here; the soak goes on with a new window once this one's loops
    // have unwound.
    m_windowEnded = true;
}

void Soak::receive() {
    QByteArray bytes;
    const int kind = int(pick(10));
    if (kind < 4) {
        // What a loopback plug would send back: a piece of the send text.
        const QString expected =
            w().Check7->isChecked() ? w().sendRun().countUpData() : w().txtOutData->text();
        bytes = code_page::encode(expected.left(4096));
        const qsizetype from = bytes.isEmpty() ? 0 : qsizetype(pick(quint64(bytes.size())));
        bytes = bytes.mid(chance(60) ? 0 : from, 1 + qsizetype(pick(64)));
    } else {
        qsizetype length = qsizetype(pick(48));
        if (chance(2)) length = qsizetype(3000 + pick(3000));  // past the 4096-byte receive buffer
        bytes.resize(length);
        for (char& b : bytes) b = char(pick(256));
    }
    note(QStringLiteral("receive %1 bytes: %2").arg(bytes.size()).arg(hexPreview(bytes)));
    m_rig->fake->receive(bytes);
}

void Soak::corruptEcho() {
    QByteArray bytes = m_rig->device.written.right(qsizetype(1 + pick(64)));
    if (bytes.isEmpty()) bytes = code_page::encode(w().txtOutData->text().left(64));
    if (bytes.isEmpty()) bytes = "?";
    const qsizetype at = qsizetype(pick(quint64(bytes.size())));
    switch (pick(3)) {
        case 0:
            bytes[at] = char(bytes[at] ^ char(1 + pick(255)));
            break;
        case 1:
            bytes.remove(at, 1);
            break;
        default:
            bytes.insert(at, bytes[at]);
            break;
    }
    note(QStringLiteral("corrupted echo of %1 bytes: %2").arg(bytes.size()).arg(hexPreview(bytes)));
    m_rig->fake->receive(bytes);
}

void Soak::lineEvent() {
    const int code = kLineEventCodes[pick(std::size(kLineEventCodes))];
    note(QStringLiteral("line event %1").arg(code));
    if (w().MSComm->PortOpen()) m_reached.insert(QStringLiteral("line event %1").arg(code));
    m_rig->fake->raiseLineEvent(code);
}

QStringList Soak::missedCoverage() const {
    QStringList wanted;
    for (const char* name : {"cmdOut", "Command1", "Command2", "Check1", "Check3", "Check4",
                             "Check5", "Check6", "Check7"})
        wanted << QStringLiteral("click %1").arg(QLatin1String(name));
    wanted << QStringLiteral("click cmdOpen ") + kOpenCaption
           << QStringLiteral("click cmdOpen ") + kCloseCaption;
    for (const char* name : {"Text2", "Text8", "txtOutData", "Text9"})
        wanted << QStringLiteral("type into %1").arg(QLatin1String(name));
    for (int code : kLineEventCodes) wanted << QStringLiteral("line event %1").arg(code);
    // The lists as the window fills them.
    SoakRig rig;
    for (QComboBox* box : {rig.w().Combo1, rig.w().Combo2, rig.w().Combo3, rig.w().Combo4,
                           rig.w().Combo5, rig.w().Combo6})
        for (int i = 0; i < box->count(); ++i)
            wanted << QStringLiteral("choose %1 \"%2\"").arg(box->objectName(), box->itemText(i));
    QStringList missed;
    for (const QString& item : wanted)
        if (!m_reached.count(item) && !missed.contains(item)) missed << item;
    return missed;
}

QString Soak::summary() const {
    QString text =
        QStringLiteral(
            "soak: %1 steps in %2 ms (seed %3): %4 with the port open, %5 inside the loop, "
            "%6 while a box was open; %7 opens, %8 program ends answered Yes; deepest loop "
            "nesting %9, deepest step nesting %10, most boxes open at once %11, most "
            "communication-error boxes open at once %12 (a fatal error over the send-overflow "
            "report: %13)\n")
            .arg(m_step)
            .arg(m_clock.elapsed())
            .arg(m_seed)
            .arg(m_stepsOpen)
            .arg(m_stepsInsideLoop)
            .arg(m_stepsWhileBoxOpen)
            .arg(m_opens)
            .arg(m_restarts)
            .arg(m_maxLoopDepth)
            .arg(m_maxStepDepth)
            .arg(m_mostBoxesOpen)
            .arg(m_mostCommErrorsOpen)
            .arg(m_fatalOverSendOverflow);
    text += QStringLiteral("boxes shown:\n");
    for (const auto& [box, count] : m_boxes)
        text += QStringLiteral("  %1 x %2\n").arg(count, 6).arg(box);
    text += QStringLiteral("boxes opened while another was open:\n");
    for (const auto& [nesting, count] : m_nestings)
        text += QStringLiteral("  %1 x %2\n").arg(count, 6).arg(nesting);
    return text;
}

}  // namespace

// The offscreen platform says so each time a list's popup opens; nothing to learn from it.
QtMessageHandler previousHandler = nullptr;
void quietPopupNotices(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message == QLatin1String("This plugin does not support raise()") ||
        message == QLatin1String("This plugin does not support grabbing the keyboard"))
        return;
    previousHandler(type, context, message);
}

class SoakTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(quietPopupNotices); }
    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }
    void randomSoak();
};

void SoakTest::randomSoak() {
    const quint64 seed = envNumber("PARVOLO_SOAK_SEED", kDefaultSeed);
    const qint64 steps = qint64(envNumber("PARVOLO_SOAK_STEPS", kDefaultSteps));
    Soak soak(seed, steps);
    const QString failure = soak.run();
    std::fprintf(stderr, "%s", soak.summary().toLocal8Bit().constData());
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(soak.stepsDone(), steps);
    // The steps must really have reached the communication loop and the nested boxes.
    if (steps >= 1000) {
        QVERIFY(soak.opens() > 0);
        QVERIFY(soak.stepsInsideLoop() > steps / 10);
        QVERIFY(soak.stepsWhileBoxOpen() > 0);
    }
    if (steps >= 20000) {
        const QStringList missed = soak.missedCoverage();
        QVERIFY2(missed.isEmpty(),
                 qPrintable(QStringLiteral("never reached: ") + missed.join(QStringLiteral(", "))));
    }
}

QTEST_MAIN(SoakTest)
#include "test_soak.moc"
