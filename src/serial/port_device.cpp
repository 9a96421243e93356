#include "serial/port_device.h"

#include "serial/port_names.h"
#include "serial/rfc2217_device.h"

namespace parvolo {

namespace {

template <typename Device>
SerialDevice* makeDevice(QObject* parent) {
    return new Device(parent);
}

constexpr RemotePortKind kRemotePortKinds[] = {
    {Rfc2217Device::kScheme, makeDevice<Rfc2217Device>},
};

}  // namespace

std::span<const RemotePortKind> remotePortKinds() {
    return kRemotePortKinds;
}

PortDevice::PortDevice(QString lockDirectory, QObject* parent)
    : SerialDevice(parent),
      m_local(new PosixSerialDevice(std::move(lockDirectory), this)),
      m_active(m_local) {
    forwardSignals(*m_local);
    for (const RemotePortKind& kind : remotePortKinds()) {
        m_remotes.push_back(kind.make(this));
        forwardSignals(*m_remotes.back());
    }
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
    const int kind = remotePortKindOf(path);
    SerialDevice* const next = kind < 0 ? m_local : m_remotes[size_t(kind)];
    if (next != m_active) m_active->close();
    m_active = next;
    m_active->open(path);
}

}  // namespace parvolo
