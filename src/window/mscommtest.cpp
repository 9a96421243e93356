#include "window/mscommtest.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHash>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <algorithm>

#include "window/controls_table.h"
#include "window/counter_display.h"
#include "window/message_box.h"
#include "window/multi_line_text_box.h"
#include "window/window_error.h"
#include "serial/device_monitor.h"
#include "serial/mscomm.h"
#include "serial/port_names.h"
#include "serial/serial_device.h"
#include "serial/translations.h"

namespace parvolo {

MSCommTest::MSCommTest(std::unique_ptr<SerialDevice> device, MessageBoxService& messageBox,
                       EndProgram endProgram, QWidget* parent)
    : QWidget(parent), m_messageBox(messageBox), m_endProgram(std::move(endProgram)) {
    // The window is Japanese whatever the locale, and so are the port's messages it shows.
    installTranslations({QLatin1String(kSerialCatalog)}, windowLocale());
    setObjectName(QStringLiteral("MSCommTest"));
    setWindowTitle(QString::fromUtf8(kWindowTitle));
    setFont(QFont(QString::fromUtf8(kProportionalFamily), 9));
    setFixedSize(twipsToPixels(kClientWidthTwips), twipsToPixels(kClientHeightTwips));
    buildControls();
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);  // a time-out of a block is measured, not estimated
    m_counters = new CounterDisplay(this);
    MSComm = new parvolo::MSComm(std::move(device), this);
    MSComm->setObjectName(QStringLiteral("MSComm"));
    m_text2Field = std::make_unique<NumericField>(Text2, 2147483647, 1);
    m_text8Field = std::make_unique<NumericField>(Text8, 32767, 256);
    connectProcedures();
    guarded([this] { Form_Load(); });
    cmdOpen->setFocus();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect frame = screen->availableGeometry();
        move(frame.center() - rect().center());
    }
}

MSCommTest::~MSCommTest() = default;

namespace {

template <typename T>
T* take(QHash<QString, QWidget*>& widgets, const char* name) {
    return qobject_cast<T*>(widgets.value(QString::fromLatin1(name)));
}

QWidget* makeWidget(const ControlSpec& row, QWidget* parent) {
    const QString text = QString::fromUtf8(row.text);
    switch (row.kind) {
        case ControlKind::Frame:
            return new QGroupBox(text, parent);
        case ControlKind::Label:
            return new QLabel(text, parent);
        case ControlKind::CommandButton: {
            auto* button = new QPushButton(text, parent);
            // Enter clicks the focused button; no button is the window's default.
            button->setAutoDefault(true);
            button->setDefault(false);
            return button;
        }
        case ControlKind::ComboBox: {
            auto* combo = new QComboBox(parent);
            combo->setEditable(false);
            return combo;
        }
        case ControlKind::CheckBox:
            return new QCheckBox(text, parent);
        case ControlKind::MultiLineTextBox: {
            auto* box = new MultiLineTextBox(parent);
            box->setText(text);
            return box;
        }
        case ControlKind::TextBox: {
            auto* edit = new QLineEdit(text, parent);
            if (row.maxLength > 0) edit->setMaxLength(row.maxLength);
            edit->setReadOnly(row.flags & ReadOnly);
            if (row.flags & RightAligned) edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (row.flags & Centered) edit->setAlignment(Qt::AlignCenter);
            // Indicators can be clicked to copy their name but are left out of the Tab cycle.
            if (row.flags & LineIndicator) edit->setFocusPolicy(Qt::ClickFocus);
            return edit;
        }
    }
    return nullptr;
}

void applyFont(QWidget* widget, unsigned flags) {
    if (flags & FixedPitchFont) {
        QFont font(QString::fromUtf8(kFixedPitchFamily));
        font.setPointSizeF(9.75);
        font.setStyleHint(QFont::Monospace);
        widget->setFont(font);
    } else if (flags & NoticeFont) {
        QFont font(QString::fromUtf8(kProportionalFamily));
        font.setPointSizeF(8.25);
        widget->setFont(font);
    }
}

}  // namespace

void MSCommTest::buildControls() {
    QHash<QString, QWidget*> widgets;
    QHash<QString, QPoint> originPx;  // absolute origin of each group, in pixels
    originPx.insert(QString(), QPoint(0, 0));
    struct Ordered {
        int tabIndex;
        QWidget* widget;
    };
    std::vector<Ordered> focusOrder;

    for (const ControlSpec& row : controlTable()) {
        QString group = QString::fromLatin1(row.group);
        // A group title lies on the group's edge, so it belongs to the group's own parent and
        // is drawn above the frame.
        const bool title = row.flags & GroupTitle;
        QWidget* groupWidget = widgets.value(group, nullptr);
        QWidget* parent = title ? groupWidget->parentWidget() : groupWidget;
        if (!parent) parent = this;
        const QPoint parentOrigin =
            parent == this ? QPoint(0, 0) : parent->mapTo(this, QPoint(0, 0));
        const QRect absolute(QPoint(twipsToPixels(row.left), twipsToPixels(row.top)),
                             QPoint(twipsToPixels(row.left + row.width) - 1,
                                    twipsToPixels(row.top + row.height) - 1));
        QWidget* widget = makeWidget(row, parent);
        widget->setObjectName(QString::fromLatin1(row.name));
        if (row.tabIndex >= 0) widget->setProperty("tabIndex", row.tabIndex);
        widget->setGeometry(absolute.translated(-parentOrigin));
        if (*row.toolTip) widget->setToolTip(QString::fromUtf8(row.toolTip));
        applyFont(widget, row.flags);
        if (title) {
            widget->setAutoFillBackground(true);
            widget->raise();
            // The control in the title place names the group.
            groupWidget->setAccessibleName(QString::fromUtf8(row.text));
        }
        // Screen readers would otherwise name a nested frame after the frame around it.
        if (row.kind == ControlKind::Frame && *row.text)
            widget->setAccessibleName(QString::fromUtf8(row.text));
        widgets.insert(widget->objectName(), widget);
        if (row.tabIndex >= 0 && (widget->focusPolicy() & Qt::TabFocus))
            focusOrder.push_back({row.tabIndex, widget});
    }
    // Controls are always drawn above the frames they are shown in.
    for (QWidget* w : std::as_const(widgets))
        if (!qobject_cast<QGroupBox*>(w)) w->raise();

    std::sort(focusOrder.begin(), focusOrder.end(),
              [](const Ordered& a, const Ordered& b) { return a.tabIndex < b.tabIndex; });
    for (size_t i = 1; i < focusOrder.size(); ++i)
        QWidget::setTabOrder(focusOrder[i - 1].widget, focusOrder[i].widget);

    Frame1 = take<QGroupBox>(widgets, "Frame1");
    Frame2 = take<QGroupBox>(widgets, "Frame2");
    Frame3 = take<QGroupBox>(widgets, "Frame3");
    Frame4 = take<QGroupBox>(widgets, "Frame4");
    Frame5 = take<QGroupBox>(widgets, "Frame5");
    Frame6 = take<QGroupBox>(widgets, "Frame6");
    QLabel** labels[] = {&Label1,  &Label2,  &Label3,  &Label4,  &Label5,
                         &Label6,  &Label7,  &Label8,  &Label9,  &Label10,
                         &Label11, &Label12, &Label13, &Label14, &Label15};
    for (int i = 0; i < 15; ++i)
        *labels[i] = qobject_cast<QLabel*>(widgets.value(QStringLiteral("Label%1").arg(i + 1)));
    QComboBox** combos[] = {&Combo1, &Combo2, &Combo3, &Combo4, &Combo5, &Combo6};
    for (int i = 0; i < 6; ++i)
        *combos[i] = qobject_cast<QComboBox*>(widgets.value(QStringLiteral("Combo%1").arg(i + 1)));
    QLineEdit** texts[] = {&Text1, &Text2, &Text3, &Text4, &Text5, &Text6, &Text7, &Text8};
    for (int i = 0; i < 8; ++i)
        *texts[i] = qobject_cast<QLineEdit*>(widgets.value(QStringLiteral("Text%1").arg(i + 1)));
    cmdOpen = take<QPushButton>(widgets, "cmdOpen");
    cmdOut = take<QPushButton>(widgets, "cmdOut");
    Command1 = take<QPushButton>(widgets, "Command1");
    Command2 = take<QPushButton>(widgets, "Command2");
    Check1 = take<QCheckBox>(widgets, "Check1");
    Check3 = take<QCheckBox>(widgets, "Check3");
    Check4 = take<QCheckBox>(widgets, "Check4");
    Check5 = take<QCheckBox>(widgets, "Check5");
    Check6 = take<QCheckBox>(widgets, "Check6");
    Check7 = take<QCheckBox>(widgets, "Check7");
    txtOutData = take<MultiLineTextBox>(widgets, "txtOutData");
    Text9 = take<MultiLineTextBox>(widgets, "Text9");
    CD_LED = take<QLineEdit>(widgets, "CD_LED");
    CS_LED = take<QLineEdit>(widgets, "CS_LED");
    DR_LED = take<QLineEdit>(widgets, "DR_LED");
    RI_LED = take<QLineEdit>(widgets, "RI_LED");

    // The title place of the counter group is kept free for Check4.
    Frame6->setTitle(QStringLiteral(" "));
}

void MSCommTest::connectProcedures() {
    auto onClick = [this](QAbstractButton* button, void (MSCommTest::*procedure)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, procedure] { guarded([&] { (this->*procedure)(); }); });
    };
    // A check box runs its click procedure whenever its value changes, by the operator or by
    // the program.
    auto onToggle = [this](QCheckBox* box, void (MSCommTest::*procedure)()) {
        connect(box, &QCheckBox::toggled, this,
                [this, procedure] { guarded([&] { (this->*procedure)(); }); });
    };
    onClick(cmdOpen, &MSCommTest::cmdOpen_Click);
    onClick(cmdOut, &MSCommTest::cmdOut_Click);
    onClick(Command1, &MSCommTest::Command1_Click);
    onClick(Command2, &MSCommTest::Command2_Click);
    onToggle(Check1, &MSCommTest::Check1_Click);
    onToggle(Check3, &MSCommTest::Check3_Click);
    onToggle(Check4, &MSCommTest::Check4_Click);
    onToggle(Check5, &MSCommTest::Check5_Click);
    onToggle(Check6, &MSCommTest::Check6_Click);
    onToggle(Check7, &MSCommTest::Check7_Click);
    connect(Combo1, &QComboBox::currentTextChanged, this,
            [this] { guarded([this] { Combo1_Change(); }); });
    connect(Combo2, &QComboBox::currentIndexChanged, this,
            [this] { guarded([this] { Combo2_Click(); }); });
    // An adapter plugged in or pulled out, or a link made by hand: the notice follows.
    m_deviceMonitor = new DeviceMonitor(portMapDirectory(), this);
    connect(m_deviceMonitor, &DeviceMonitor::changed, this,
            [this] { guarded([this] { showPortNotice(); }); });
    connect(Timer1, &QTimer::timeout, this, [this] { guarded([this] { Timer1_Timer(); }); });
    connect(MSComm, &parvolo::MSComm::OnComm, this,
            [this] { guarded([this] { MSComm_OnComm(); }); });
    // Only digits get into these two fields: no composition, and a commit that arrives anyway
    // is filtered like typed keys.
    for (QLineEdit* field : {Text2, Text8}) {
        field->installEventFilter(this);
        field->setAttribute(Qt::WA_InputMethodEnabled, false);
        field->setInputMethodHints(Qt::ImhDigitsOnly);
    }
}

int MSCommTest::showMessage(const QString& text, int style, const QString& title) {
    flushCounters();  // the box is shown over the counters' latest values
    return m_messageBox.show(this, text, style, title.isEmpty() ? msg_box::kAppTitle : title);
}

void MSCommTest::reportUnhandled() {
    // Errors of the layers below carry a number; anything else is shown by its own text.
    const WindowError error = currentWindowError();
    const QString text = error.number ? error.messageText() : error.description;
    try {
        showMessage(text, msg_box::OkOnly, msg_box::kAppTitle);
    } catch (...) {
        // Nothing more can be reported; the window keeps running.
    }
}

void MSCommTest::showCounter(QLineEdit* box, qint32 value) {
    m_counters->show(box, value);
}
void MSCommTest::flushCounters() {
    m_counters->flush();
}
bool MSCommTest::ticked(const QCheckBox* box) {
    return box->checkState() == Qt::Checked;
}

QColor MSCommTest::windowBackgroundColor() {
    return QApplication::palette().color(QPalette::Base);
}
QColor MSCommTest::windowTextColor() {
    return QApplication::palette().color(QPalette::Text);
}

void MSCommTest::setBackColor(QLineEdit* box, const QColor& color) {
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, color);
    box->setPalette(palette);
}

void MSCommTest::setForeColor(QLineEdit* box, const QColor& color) {
    QPalette palette = box->palette();
    palette.setColor(QPalette::Text, color);
    box->setPalette(palette);
}

QColor MSCommTest::backColor(const QLineEdit* box) {
    return box->palette().color(QPalette::Base);
}
QColor MSCommTest::foreColor(const QLineEdit* box) {
    return box->palette().color(QPalette::Text);
}

void MSCommTest::closeEvent(QCloseEvent* event) {
    Bool16 cancel = False16;
    guarded([&] { Form_QueryUnload(cancel, 0); });
    if (cancel) {
        event->ignore();
        return;
    }
    guarded([&] { Form_Unload(cancel); });
    event->accept();
}

// Runs the field's key-press procedure for one character; 0 means it is discarded.
qint16 MSCommTest::entryKeyPress(QObject* field, qint16 code) {
    guarded([&] { field == Text2 ? Text2_KeyPress(code) : Text8_KeyPress(code); });
    return code;
}

// Text that arrives as a whole (an input method's commit, a key that types several characters)
// goes through the same procedure character by character; control characters type nothing.
QString MSCommTest::filteredEntry(QObject* field, const QString& text) {
    QString kept;
    for (QChar c : text) {
        if (c.unicode() < 0x20) continue;
        const qint16 code = entryKeyPress(field, qint16(c.unicode()));
        if (code != 0) kept += QChar(char16_t(code));
    }
    return kept;
}

bool MSCommTest::eventFilter(QObject* watched, QEvent* event) {
    const bool text2 = watched == Text2;
    if (!text2 && watched != Text8) return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const int code = typedCharacterCode(key->key(), key->modifiers(), key->text());
        if (code < 0) return false;  // keys that type no character pass untouched
        if (key->text().size() > 1) {
            static_cast<QLineEdit*>(watched)->insert(filteredEntry(watched, key->text()));
            return true;
        }
        return entryKeyPress(watched, qint16(code)) == 0;
    }
    if (event->type() == QEvent::InputMethodQuery) {
        // A line edit says it takes composition whatever its attribute; these two do not.
        auto* query = static_cast<QInputMethodQueryEvent*>(event);
        for (int bit = 0; bit < 32; ++bit) {
            const auto q = Qt::InputMethodQuery(int(query->queries()) & (1 << bit));
            if (q)
                query->setValue(q, q == Qt::ImEnabled
                                       ? QVariant(false)
                                       : static_cast<QLineEdit*>(watched)->inputMethodQuery(q));
        }
        query->accept();
        return true;
    }
    if (event->type() == QEvent::InputMethod) {
        auto* input = static_cast<QInputMethodEvent*>(event);
        input->setCommitString(filteredEntry(watched, input->commitString()),
                               input->replacementStart(), input->replacementLength());
        return false;
    }
    if (event->type() == QEvent::FocusOut) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Only a move to another control of the window counts as leaving the field.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            guarded([&] { text2 ? Text2_LostFocus() : Text8_LostFocus(); });
    }
    return false;
}

}  // namespace parvolo
