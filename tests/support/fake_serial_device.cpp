#include "support/fake_serial_device.h"

#include <QTimer>

namespace parvolo {

namespace {
int nextHandle = 1000;
}

FakeSerialDevice::FakeSerialDevice(State* state, QObject* parent)
    : SerialDevice(parent), m_state(state), m_handle(nextHandle++) {}

void FakeSerialDevice::open(const QString& path) {
    if (m_state->openError)
        throw SerialError(*m_state->openError,
                          QStringLiteral("Cannot open %1 (scripted error)").arg(path));
    m_state->open = true;
    m_state->hungUp = false;
    m_state->path = path;
    ++m_state->opens;
}

void FakeSerialDevice::close() {
    if (!m_state->open) return;
    m_state->open = false;
    m_state->readNotification = false;
    m_writeNotification = false;
    ++m_state->closes;
}

void FakeSerialDevice::applySettings(const LineSettings& settings) {
    if (m_state->refuseSettings)
        throw SerialError(
            SerialError::Code::SettingRefused,
            QStringLiteral("The device %1 does not take the settings").arg(m_state->path));
    m_state->settings = settings;
}

void FakeSerialDevice::setRts(bool on) {
    if (m_state->refuseRts)
        throw SerialError(SerialError::Code::LineRefused, QStringLiteral("RTS refused"));
    m_state->rts = on;
    ++m_state->rtsChanges;
}

void FakeSerialDevice::setDtr(bool on) {
    if (m_state->refuseDtr)
        throw SerialError(SerialError::Code::LineRefused, QStringLiteral("DTR refused"));
    m_state->dtr = on;
    ++m_state->dtrChanges;
}

qint64 FakeSerialDevice::read(char* data, qint64 maxSize) {
    // After a hang-up, what was waiting is still handed out, as the real device does.
    if (!m_state->open) return 0;
    const qint64 n = std::min<qint64>(maxSize, m_state->kernelInput.size());
    std::copy_n(m_state->kernelInput.constData(), n, data);
    m_state->kernelInput.remove(0, qsizetype(n));
    return n;
}

qint64 FakeSerialDevice::write(const char* data, qint64 size) {
    if (!m_state->open || m_state->hungUp) return 0;
    if (m_state->holdTransmit) {
        const qint64 room =
            std::max<qint64>(0, m_state->driverCapacity - m_state->driverQueue.size());
        const qint64 n = std::min(room, size);
        m_state->driverQueue.append(data, qsizetype(n));
        return n;
    }
    const QByteArray bytes(data, qsizetype(size));
    m_state->written.append(bytes);
    if (m_state->echo) receive(bytes);
    return size;
}

void FakeSerialDevice::releaseTransmit() {
    m_state->holdTransmit = false;
    const QByteArray held = m_state->driverQueue;
    m_state->driverQueue.clear();
    m_state->written.append(held);
    if (m_state->echo) receive(held);
    if (m_writeNotification) QTimer::singleShot(0, this, [this] { emit readyWrite(); });
}

void FakeSerialDevice::discardInput() {
    m_state->kernelInput.clear();
    ++m_state->discardedInput;
}

void FakeSerialDevice::discardOutput() {
    m_state->driverQueue.clear();
    ++m_state->discardedOutput;
}

void FakeSerialDevice::setReadNotification(bool enabled) {
    m_state->readNotification = enabled;
    if (enabled && !m_state->kernelInput.isEmpty()) postReadable();
}

void FakeSerialDevice::setWriteNotification(bool enabled) {
    m_writeNotification = enabled;
}

void FakeSerialDevice::postReadable() {
    QTimer::singleShot(0, this, [this] {
        if (m_state->open && m_state->readNotification && !m_state->kernelInput.isEmpty())
            emit readyRead();
    });
}

void FakeSerialDevice::receive(const QByteArray& bytes) {
    m_state->kernelInput.append(bytes);
    postReadable();
}

void FakeSerialDevice::setLine(int code, bool on) {
    if (code == 3) m_state->lines.cts = on;
    if (code == 4) m_state->lines.dsr = on;
    if (code == 5) m_state->lines.dcd = on;
    raiseLineEvent(code);
}

void FakeSerialDevice::ring() {
    raiseLineEvent(6);
}

void FakeSerialDevice::raiseLineEvent(int code) {
    QTimer::singleShot(0, this, [this, code] {
        if (m_state->open) emit lineEvent(LineEvent(code));
    });
}

void FakeSerialDevice::hangUp() {
    QTimer::singleShot(0, this, [this] {
        if (!m_state->open || m_state->hungUp) return;
        m_state->hungUp = true;
        emit hungUp();
    });
}

}  // namespace parvolo
