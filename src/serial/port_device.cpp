#include "serial/port_device.h"

namespace parvolo {

PortDevice::PortDevice(QString lockDirectory, QObject* parent)
    : SerialDevice(parent),
      m_local(new PosixSerialDevice(std::move(lockDirectory), this)),
      m_remote(new Rfc2217Device(this)),
      m_active(m_local) {
    forwardSignals(*m_local);
    forwardSignals(*m_remote);
}

PortDevice::~PortDevice() = default;

// Only the device in use speaks; a closed one has nothing to say, but a late queued signal of
// the other must not reach the serial control.
void PortDevice::forwardSignals(SerialDevice& device) {
    SerialDevice* const from = &device;
    connect(from, &SerialDevice::readyRead, this, [this, from] {
        if (m_active == from) emit readyRead();
    });
    connect(from, &SerialDevice::readyWrite, this, [this, from] {
        if (m_active == from) emit readyWrite();
    });
    connect(from, &SerialDevice::lineEvent, this, [this, from](LineEvent event) {
        if (m_active == from) emit lineEvent(event);
    });
    connect(from, &SerialDevice::hungUp, this, [this, from] {
        if (m_active == from) emit hungUp();
    });
}

void PortDevice::open(const QString& path) {
    SerialDevice* const next =
        Rfc2217Device::isRemoteName(path) ? static_cast<SerialDevice*>(m_remote) : m_local;
    if (next != m_active) m_active->close();
    m_active = next;
    m_active->open(path);
}

}  // namespace parvolo
