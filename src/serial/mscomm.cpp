#include "serial/mscomm.h"

#include "serial/com_numbers.h"

#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/code_page.h"
#include "serial/line_error_kinds.h"
#include "serial/os_comm_calls.h"
#include "serial/port_names.h"
#include "serial/serial_error.h"

namespace parvolo {

namespace {

// The flag ClearCommError reports for an event, 0 for one that is no line error.
quint32 errorFlagFor(LineEvent event) {
    const LineErrorKind* kind = lineErrorKindOf(event);
    return kind ? kind->commErrorFlag : 0;
}

// Whether every occurrence of an event is delivered, or one waiting stands for all: the
// transmit and receive notices say "look now", and a line change makes the window read the
// line's level, which is the newest whatever number of changes came.
bool countsEachTime(LineEvent event) {
    switch (event) {
        case LineEvent::TransmitEmpty:
        case LineEvent::DataReceived:
        case LineEvent::CtsChanged:
        case LineEvent::DsrChanged:
        case LineEvent::CarrierChanged:
            return false;
        default:
            return true;
    }
}

}  // namespace

MSComm::MSComm(std::unique_ptr<SerialDevice> device, QObject* parent)
    : QObject(parent), m_device(std::move(device)) {
    m_device->setParent(nullptr);
    connect(m_device.get(), &SerialDevice::readyRead, this, &MSComm::onReadyRead);
    connect(m_device.get(), &SerialDevice::readyWrite, this, &MSComm::onReadyWrite);
    connect(m_device.get(), &SerialDevice::lineEvent, this, &MSComm::onLineEvent);
    connect(m_device.get(), &SerialDevice::hungUp, this, &MSComm::onHungUp);
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, &MSComm::checkDrained);
    m_deliveryTimer.setSingleShot(true);
    m_deliveryTimer.setInterval(0);
    connect(&m_deliveryTimer, &QTimer::timeout, this, &MSComm::deliverCommEvent);
}

MSComm::~MSComm() {
    closeDevice();
}

void MSComm::setCommPort(qint16 port) {
    if (port < 1 || port > kComPortCount) throw SerialError::invalidPortNumber(port);
    if (m_open) throw SerialError::alreadyOpen();
    m_commPort = port;
}

void MSComm::setSettings(const QString& settings) {
    LineSettings parsed = parseSettings(settings, m_settings.flow);
    if (deviceUsable()) m_device->applySettings(parsed);
    m_settings = parsed;
    m_settingsText = settings;
}

void MSComm::setHandshaking(qint32 mode) {
    LineSettings changed = m_settings;
    changed.flow = flowControlOf(mode);
    if (deviceUsable()) m_device->applySettings(changed);
    m_settings = changed;
    if (deviceUsable()) resumeReading();
}

void MSComm::setRTSEnable(bool on) {
    if (deviceUsable()) m_device->setRts(on);
    m_rtsEnable = on;
}

void MSComm::setDTREnable(bool on) {
    if (deviceUsable()) m_device->setDtr(on);
    m_dtrEnable = on;
}

void MSComm::setRThreshold(qint16 value) {
    if (value < 0) throw SerialError::invalidValue();
    m_rThreshold = value;
}

void MSComm::setSThreshold(qint16 value) {
    if (value < 0) throw SerialError::invalidValue();
    m_sThreshold = value;
}

void MSComm::setInputMode(qint32 mode) {
    if (mode != 0 && mode != 1) throw SerialError::invalidValue();
    m_inputMode = mode;
}

void MSComm::setInBufferSize(qint16 size) {
    if (size < 1) throw SerialError::invalidValue();
    if (m_open) throw SerialError::alreadyOpen();
    m_inBufferSize = size;
}

void MSComm::setOutBufferSize(qint16 size) {
    if (size < 1) throw SerialError::invalidValue();
    if (m_open) throw SerialError::alreadyOpen();
    m_outBufferSize = size;
}

QString MSComm::portPath() const {
    return m_devicePath.isEmpty() ? resolvePortPath(m_commPort) : m_devicePath;
}

void MSComm::setDevicePath(const QString& path) {
    if (m_open) throw SerialError::alreadyOpen();
    m_devicePath = path;
}

void MSComm::openDevice() {
    m_openedPath.clear();
    if (!m_devicePath.isEmpty()) {
        m_openedPath =
            isSerialNumberName(m_devicePath) ? resolveSerialNumberName(m_devicePath) : m_devicePath;
        return m_device->open(m_openedPath);
    }
    const ComNumbers numbers = refreshComNumbers();
    const ComPort& port = numbers.port(m_commPort);
    m_openedPath = port.path;
    try {
        m_device->open(port.path);
    } catch (const SerialError& error) {
        // Only where nothing is there: a link to something that is no serial port says so.
        const bool nothingThere =
            port.source == ComPort::Source::Nothing || !QFileInfo::exists(port.path);
        if (error.code() != SerialError::Code::NoSuchPort || port.device || port.isRemote() ||
            !nothingThere)
            throw;
        throw SerialError::comPortReachesNothing(port, numbers, error.description());
    }
}

void MSComm::setPortOpen(bool open) {
    if (open == m_open) {
        if (open) throw SerialError::alreadyOpen();
        return;
    }
    if (!open) {
        closeDevice();
        return;
    }
    openDevice();
    try {
        m_device->applySettings(m_settings);
    } catch (...) {
        m_device->close();
        throw;
    }
    // The window applies its switches right after opening and reports a refusal there.
    try {
        m_device->setDtr(m_dtrEnable);
        m_device->setRts(m_rtsEnable);
    } catch (const SerialError&) {
    }
    m_open = true;
    m_hungUp = false;
    m_readPaused = false;
    m_sendEventDue = false;
    m_errorFlags = 0;
    m_inBuffer.clear();
    m_outQueue.clear();
    m_pendingEvents.clear();
    registerCommHandle(m_device->handle(), this);
    m_device->setReadNotification(true);
}

void MSComm::closeDevice() {
    if (!m_open) return;
    unregisterCommHandle(m_device->handle());
    m_drainTimer.stop();
    m_device->close();
    m_open = false;
    m_hungUp = false;
    m_inBuffer.clear();
    m_outQueue.clear();
    // Events of the closed session must not reach the window after a new open.
    m_pendingEvents.clear();
}

void MSComm::requireOpen() const {
    if (!m_open) throw SerialError::notOpen();
}

qint16 MSComm::InBufferCount() const {
    return qint16(std::min<qsizetype>(m_inBuffer.size(), 32767));
}

void MSComm::setInBufferCount(qint16 count) {
    if (count != 0) throw SerialError::invalidValue();
    m_inBuffer.clear();
    if (m_open) resumeReading();
}

qint16 MSComm::OutBufferCount() const {
    qint64 count = m_outQueue.size();
    if (deviceUsable()) count += m_device->driverOutputCount();
    return qint16(std::min<qint64>(count, 32767));
}

void MSComm::setOutBufferCount(qint16 count) {
    if (count != 0) throw SerialError::invalidValue();
    m_outQueue.clear();
    m_sendEventDue = false;
    m_drainTimer.stop();
    if (!deviceUsable()) return;
    m_device->setWriteNotification(false);
    // On a pty the driver queue always reads 0 and a flush would recall bytes the far end
    // already holds; flush only what the driver reports as still waiting.
    if (m_device->driverOutputCount() > 0) m_device->discardOutput();
}

QByteArray MSComm::Input() {
    QByteArray bytes;
    bytes.swap(m_inBuffer);
    if (m_open) resumeReading();
    return bytes;
}

void MSComm::setOutput(const QString& text) {
    requireOpen();
    if (m_hungUp) return;
    const QByteArray bytes = code_page::encode(text);
    if (bytes.isEmpty()) return;
    // A text larger than the buffer is taken into an empty queue; one that does not fit
    // beside queued data is refused whole, so nothing is ever half-sent.
    if (!m_outQueue.isEmpty() && m_outQueue.size() + bytes.size() > m_outBufferSize) {
        postCommEvent(LineEvent::TransmitFull);
        return;
    }
    m_outQueue.append(bytes);
    // A Send still waiting speaks of the data before: delivered now, it would let the next
    // text in before this one has left.
    std::erase_if(m_pendingEvents,
                  [](const PendingEvent& p) { return p.event == LineEvent::TransmitEmpty; });
    m_sendEventDue = true;
    m_drainTimer.stop();
    writePending();
}

void MSComm::writePending() {
    while (!m_outQueue.isEmpty()) {
        const qint64 written = m_device->write(m_outQueue.constData(), m_outQueue.size());
        if (written <= 0) break;
        m_outQueue.remove(0, qsizetype(written));
    }
    if (!m_open || m_hungUp) return;
    m_device->setWriteNotification(!m_outQueue.isEmpty());
    if (m_outQueue.isEmpty()) checkDrained();
}

void MSComm::checkDrained() {
    if (!deviceUsable() || !m_outQueue.isEmpty() || !m_sendEventDue) return;
    // Without a send threshold nobody hears of the drain: the driver need not be asked.
    if (m_sThreshold <= 0) {
        m_sendEventDue = false;
        return;
    }
    const qint64 inDriver = m_device->driverOutputCount();
    if (inDriver <= 0) {
        m_sendEventDue = false;
        postCommEvent(LineEvent::TransmitEmpty);
        return;
    }
    // Wait for about the line time of what is left instead of polling.
    const double ms = double(inDriver) * m_settings.bitsPerCharacter() * 1000.0 /
                      std::max(1, m_settings.baudRate);
    m_drainTimer.start(std::clamp(int(std::ceil(ms)) + 1, 1, 1000));
}

void MSComm::onReadyWrite() {
    if (deviceUsable()) writePending();
}

void MSComm::resumeReading() {
    if (m_readPaused && deviceUsable() && m_inBuffer.size() < m_inBufferSize) {
        m_readPaused = false;
        m_device->setReadNotification(true);
    }
}

// Reads no more than the buffer has room for. What does not fit stays in the kernel: with
// handshaking the line is held back, without it the kernel's own buffers give the window
// time to catch up, and a byte the kernel really has to drop is reported by the driver's
// overrun counters (1006, 1008). Reading all that is waiting and dropping the excess here
// would lose bytes of a burst that the kernel could have kept.
void MSComm::onReadyRead() {
    if (!deviceUsable()) return;
    char chunk[4096];
    qsizetype added = 0;
    while (deviceUsable()) {
        const qsizetype room = m_inBufferSize - m_inBuffer.size();
        if (room <= 0) {
            m_readPaused = true;
            m_device->setReadNotification(false);
            break;
        }
        const qint64 want = std::min<qint64>(room, sizeof chunk);
        const qint64 got = m_device->read(chunk, want);
        if (got <= 0) break;
        m_inBuffer.append(chunk, qsizetype(got));
        added += qsizetype(got);
        if (got < want) break;  // drained for now; the notifier reports the next arrival
    }
    if (added > 0 && m_rThreshold > 0 && m_inBuffer.size() >= m_rThreshold)
        postCommEvent(LineEvent::DataReceived);
}

void MSComm::onLineEvent(LineEvent event) {
    if (!deviceUsable()) return;
    m_errorFlags |= errorFlagFor(event);
    postCommEvent(event);
}

void MSComm::onHungUp() {
    if (!m_open || m_hungUp) return;
    // The last bytes are taken whole, past InBufferSize if need be, and announced before the
    // hang-up, so that the window counts and shows them before it closes the port.
    char chunk[4096];
    qint64 got = 0;
    qsizetype added = 0;
    while ((got = m_device->read(chunk, sizeof chunk)) > 0) {
        m_inBuffer.append(chunk, qsizetype(got));
        added += qsizetype(got);
    }
    m_hungUp = true;
    m_drainTimer.stop();
    m_outQueue.clear();
    if (added > 0 && m_rThreshold > 0) postCommEvent(LineEvent::DataReceived);
    postCommEvent(LineEvent::DeviceLost);
}

bool MSComm::CDHolding() const {
    requireOpen();
    return !m_hungUp && m_device->modemLines().dcd;
}

bool MSComm::CTSHolding() const {
    requireOpen();
    return !m_hungUp && m_device->modemLines().cts;
}

bool MSComm::DSRHolding() const {
    requireOpen();
    return !m_hungUp && m_device->modemLines().dsr;
}

qint32 MSComm::CommID() const {
    return m_open ? m_device->handle() : -1;
}

void MSComm::purge(quint32 flags) {
    if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) {
        m_inBuffer.clear();
        if (deviceUsable()) m_device->discardInput();
        resumeReading();
    }
    if (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) setOutBufferCount(0);
}

quint32 MSComm::takeErrorFlags() {
    const quint32 flags = m_errorFlags;
    m_errorFlags = 0;
    return flags;
}

// Events are delivered one per dispatch from a zero-interval timer rather than as posted
// events: posting wakes the event loop through a pipe even from its own thread, two system
// calls per event that a loopback test at full speed makes thousands of times a second.
// Send and Receive only say "look now", so one of each waiting is enough: a continuous send
// posts both on every pass, and queued one by one they would outgrow the delivery for ever,
// holding a later fatal event back by as long as the run has lasted.
void MSComm::postCommEvent(LineEvent event) {
    const auto waiting = std::find_if(m_pendingEvents.begin(), m_pendingEvents.end(),
                                      [event](const PendingEvent& p) { return p.event == event; });
    if (waiting == m_pendingEvents.end()) {
        m_pendingEvents.push_back({event});
    } else if (countsEachTime(event) && waiting->times < UINT32_MAX) {
        ++waiting->times;
    }
    if (!m_deliveryTimer.isActive()) m_deliveryTimer.start();
}

void MSComm::deliverCommEvent() {
    // Events of a session that has since been closed were dropped from the queue.
    if (m_pendingEvents.empty()) return;
    PendingEvent next = m_pendingEvents.front();
    m_pendingEvents.pop_front();
    m_commEvent = next.event;
    if (--next.times > 0) m_pendingEvents.push_back(next);
    // The next one waits for the next dispatch, so each handler sees its own CommEvent.
    if (!m_pendingEvents.empty()) m_deliveryTimer.start();
    emit OnComm();
}

qsizetype MSComm::pendingEventCount() const {
    qsizetype count = 0;
    for (const PendingEvent& p : m_pendingEvents) count += qsizetype(p.times);
    return count;
}

}  // namespace parvolo
