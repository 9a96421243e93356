#pragma once

// The one window of the program. Its controls are built from one table (controls_table.cpp)
// and keep their design names; its event procedures share the form state below.
//
// Flow: a click on cmdOpen configures and opens the port and then stays in the communication
// loop of cmdOpen_Click for as long as the port is open. Each pass yields once to the event
// queue (where every other procedure runs nested: clicks, Timer1, the port's OnComm), then
// runs the receive step and the pass-end step, which make the next transmission through
// SendData or stop the send run through cmdOut_Click. A received byte travels from the device
// through the serial control's buffer (MSComm::Input) into the receive step, which feeds it to
// the loopback check (engine) and shows the part the check took in Text9, up to the limit in
// Text8. The check and the send run hold every counter; the boxes only show them.
// MSComm_OnComm only raises flags, recolours the line indicators, counts line errors and, on a
// fatal error, closes the port; the loop then ends at its next test. The procedures that
// handle errors catch them at their top and report them with the window's numbers
// (window_error.h); every connection into the window goes through guarded(), so no exception
// reaches Qt's event dispatch.

#include <QByteArray>
#include <QColor>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "engine/loopback_check.h"
#include "engine/send_run.h"
#include "serial/line_event.h"
#include "serial/os_comm_calls.h"
#include "window/numeric_field.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace parvolo {

class CounterDisplay;
class DeviceMonitor;
class MessageBoxService;
class MultiLineTextBox;
class MSComm;
class SerialDevice;

// 16-bit Booleans of the form state: True is -1, False is 0.
using Bool16 = qint16;
inline constexpr Bool16 True16 = -1;
inline constexpr Bool16 False16 = 0;

class MSCommTest : public QWidget {
    Q_OBJECT
public:
    using EndProgram = std::function<void()>;

    MSCommTest(std::unique_ptr<SerialDevice> device, MessageBoxService& messageBox,
               EndProgram endProgram, QWidget* parent = nullptr);
    ~MSCommTest() override;

    // ---- Controls (design names) ----
    QGroupBox *Frame1, *Frame2, *Frame3, *Frame4, *Frame5, *Frame6;
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7, *Label8, *Label9,
        *Label10, *Label11, *Label12, *Label13, *Label14, *Label15;
    QComboBox *Combo1, *Combo2, *Combo3, *Combo4, *Combo5, *Combo6;
    QPushButton *cmdOpen, *cmdOut, *Command1, *Command2;
    QCheckBox *Check1, *Check3, *Check4, *Check5, *Check6, *Check7;
    MultiLineTextBox *txtOutData, *Text9;
    QLineEdit *Text1, *Text2, *Text3, *Text4, *Text5, *Text6, *Text7, *Text8;
    QLineEdit *CD_LED, *CS_LED, *DR_LED, *RI_LED;
    QTimer* Timer1;
    parvolo::MSComm* MSComm;

    // ---- Form state ----
    qint16 recvEventFlag = 0;
    QByteArray recvData;
    QByteArray recvBytes;
    Bool16 sendActive = False16;
    QString expectedData;
    Bool16 timedOut = False16;
    Bool16 sendEventFlag = False16;
    Bool16 commAborted = False16;
    COMMTIMEOUTS commTimeouts;
    // The loopback counters and the block in progress; the count-up data, transmissions and
    // time-out of the send run. The loop drives them; the counter boxes show them.
    const LoopbackCheck& loopbackCheck() const { return m_loopback; }
    LoopbackCheck& loopbackCheck() { return m_loopback; }
    const SendRun& sendRun() const { return m_sendRun; }

    // ---- Start-up, shutdown and entry fields (form_procedures.cpp,
    // entry_field_procedures.cpp) ----
    void Form_Load();
    void Form_QueryUnload(Bool16& cancel, int unloadMode);
    void Form_Unload(Bool16& cancel);
    // The session ends the program (SIGTERM, SIGHUP, SIGINT): Form_Unload as after a Yes,
    // without the question.
    void unloadWithoutAsking();
    void Text2_KeyPress(qint16& keyAscii);
    void Text8_KeyPress(qint16& keyAscii);
    void Text2_LostFocus();
    void Text8_LostFocus();
    void Command1_Click();
    void Command2_Click();
    void Combo1_Change();
    void Combo2_Click();

    // ---- The port: configuration, open and close, the loop (port_procedures.cpp) ----
    void cmdOpen_Click();

    // ---- The loopback check (loopback_procedures.cpp) ----
    void Check4_Click();

    // ---- Sending (send_procedures.cpp) ----
    void Check1_Click();
    void Check7_Click();
    void Check3_Click();
    void cmdOut_Click();
    void Timer1_Timer();

    // ---- The port's events and errors (comm_event_procedures.cpp,
    // comm_error_procedures.cpp) ----
    void MSComm_OnComm();

    // ---- RTS and DTR (line_procedures.cpp) ----
    void Check5_Click();
    void Check6_Click();

    // Numbers in the entry fields, read through one helper (never raises).
    qint64 sendCountLimit() const { return m_text2Field->value(); }
    qint64 displayLimit() const { return m_text8Field->value(); }

    // How many communication loops are running (nested opens run nested loops).
    int loopDepth() const { return m_loopDepth; }

    // Writes pending counter values into their boxes now (they are otherwise written at most
    // once a frame).
    void flushCounters();

    // Cost of the receive step, for the benchmarks.
    struct LoopStats {
        quint64 receiveSteps = 0;
        qint64 receiveNanos = 0;
    };
    const LoopStats& loopStats() const { return m_loopStats; }
    void resetLoopStats() { m_loopStats = {}; }

    // Runs a procedure from an event; an error no procedure handled is reported, never thrown.
    template <typename F>
    void guarded(F&& procedure) {
        try {
            procedure();
        } catch (...) {
            reportUnhandled();
        }
    }

    int showMessage(const QString& text, int style, const QString& title);

    static QColor lineOnColor() { return QColor(255, 255, 0); }
    static QColor ringColor() { return QColor(255, 0, 0); }
    static QColor windowBackgroundColor();
    static QColor windowTextColor();
    static void setBackColor(QLineEdit* box, const QColor& color);
    static void setForeColor(QLineEdit* box, const QColor& color);
    static QColor backColor(const QLineEdit* box);
    static QColor foreColor(const QLineEdit* box);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    qint16 entryKeyPress(QObject* field, qint16 code);
    QString filteredEntry(QObject* field, const QString& text);
    void connectProcedures();
    void reportUnhandled();
    void showCounter(QLineEdit* box, qint32 value);
    // A check box reads as on only when it is ticked (not greyed).
    static bool ticked(const QCheckBox* box);

    // Port configuration and the open/close procedure. The open button's caption follows
    // m_portShownOpen, which the procedures test instead of reading the caption back.
    void configurePort();
    void showPortNotice();
    void showPortOpen(bool open);
    void openSequence();
    void closeSequence();
    void errorPath(const QString& description, int number);
    void communicationLoop();
    void yieldToEvents(bool lastPassIdle);
    void receiveStep();
    bool passEndStep();
    void neutralIndicators();
    void greyUnseenLines();
    void enableChoices(bool enabled);
    void showLineState(QLineEdit* box, bool on);

    // Send control.
    void SendData();
    bool sendDue(qint32 countSoFar) const;
    void continueOrStop(qint32 countSoFar);
    // With the check off: the next transmission, or the end of the run once the last one has
    // left the transmit buffer. Returns whether it did either.
    bool sendOrFinishUnchecked();

    // Communication errors.
    void countLineError(LineEvent event);
    void fatalError(LineEvent event);
    void stopSequence();

    MessageBoxService& m_messageBox;
    EndProgram m_endProgram;
    std::unique_ptr<NumericField> m_text2Field;
    std::unique_ptr<NumericField> m_text8Field;
    int m_loopDepth = 0;
    LoopStats m_loopStats;
    bool m_passDidWork = false;
    bool m_portShownOpen = false;
    CounterDisplay* m_counters = nullptr;
    DeviceMonitor* m_deviceMonitor = nullptr;
    LoopbackCheck m_loopback;
    SendRun m_sendRun;
};

}  // namespace parvolo
