#pragma once

#include <QPushButton>
#include <QTest>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <memory>

#include "window/mscommtest.h"
#include "serial/mscomm.h"
#include "support/fake_serial_device.h"
#include "support/recording_message_box.h"

namespace parvolo {

// The window on a fake device with a recording message box and a recorded program end.
struct WindowHarness {
    FakeSerialDevice::State device;
    RecordingMessageBox messages;
    int programEnds = 0;
    int tickMs = 1;  // how often script steps are tried
    FakeSerialDevice* fake = nullptr;
    std::unique_ptr<MSCommTest> window;

    WindowHarness() {
        auto dev = std::make_unique<FakeSerialDevice>(&device);
        fake = dev.get();
        window = std::make_unique<MSCommTest>(std::move(dev), messages, [this] { ++programEnds; });
    }
    // The window on a real device.
    explicit WindowHarness(std::unique_ptr<SerialDevice> real) {
        window = std::make_unique<MSCommTest>(std::move(real), messages, [this] { ++programEnds; });
    }

    MSCommTest& w() { return *window; }

    // A test script step: returns true when it is done, false to be asked again on the next
    // tick. Steps run one after another from a timer, so they run inside the communication
    // loop's yield while the port is open, and the loop makes its passes between ticks.
    using Step = std::function<bool()>;
    static Step act(std::function<void()> action) {
        return [action] {
            action();
            return true;
        };
    }

    // Clicks "通信開始" and runs the steps; the click does not return while the port is open.
    // When the steps are done the port is closed (if still open); steps left when something
    // else closed the port run afterwards. Each step must be done within timeoutMs.
    void runOpen(std::vector<Step> steps, int timeoutMs = 5000) {
        size_t index = 0;
        QElapsedTimer clock;
        clock.start();
        bool failed = false;
        auto tick = [&] {
            if (failed || index >= steps.size()) return;
            window->flushCounters();  // a step looks at the window as the operator sees it
            if (QTest::currentTestFailed()) {
                failed = true;
            } else if (steps[index]()) {
                ++index;
                clock.restart();
            } else if (clock.elapsed() > timeoutMs) {
                failed = true;
                QTest::qFail(qPrintable(QStringLiteral("script step %1 timed out").arg(index)),
                             __FILE__, __LINE__);
            }
            if ((failed || index >= steps.size()) && window->MSComm->PortOpen() &&
                window->loopDepth() > 0)
                QTest::mouseClick(window->cmdOpen, Qt::LeftButton);
        };
        QTimer ticker;
        ticker.setInterval(tickMs);
        ticker.setTimerType(Qt::PreciseTimer);  // a long tick must not come early
        QObject::connect(&ticker, &QTimer::timeout, tick);
        ticker.start();
        QTest::mouseClick(window->cmdOpen, Qt::LeftButton);
        while (!failed && index < steps.size()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            5);
        }
        ticker.stop();
    }

    void whileOpen(const std::function<void()>& body) { runOpen({act(body)}); }

    // Lets the window's loop (or the plain event loop) run for a moment.
    static void settle(int ms = 20) { QTest::qWait(ms); }
};

}  // namespace parvolo
