#pragma once

// The device the programs open ports with: a local port through the kernel (PosixSerialDevice)
// or a port on another machine, chosen by the name each open() is given: a name that starts
// with one of the schemes of remotePortKinds() goes to that kind's device. The serial control
// keeps one device for its life, while the operator may pick COM1 (a UART) and then COM5
// (mapped to rfc2217://...), so this forwards every call to the one that was opened last; its
// signals are the opened one's.
#include <memory>
#include <span>
#include <vector>

#include "serial/posix_serial_device.h"
#include "serial/serial_device.h"

namespace parvolo {

// A kind of remote port: the scheme its names start with ("rfc2217://") and its device.
struct RemotePortKind {
    const char* scheme;
    SerialDevice* (*make)(QObject* parent);
};
// Every kind, one row each; a second protocol is one device class and one row.
std::span<const RemotePortKind> remotePortKinds();

class PortDevice : public SerialDevice {
    Q_OBJECT
public:
    explicit PortDevice(
        QString lockDirectory = QString::fromLatin1(PosixSerialDevice::kLockDirectory),
        QObject* parent = nullptr);
    ~PortDevice() override;

    PosixSerialDevice& local() { return *m_local; }

    void open(const QString& path) override;
    void close() override { m_active->close(); }
    bool isOpen() const override { return m_active->isOpen(); }

    void applySettings(const LineSettings& settings) override { m_active->applySettings(settings); }
    void setRts(bool on) override { m_active->setRts(on); }
    void setDtr(bool on) override { m_active->setDtr(on); }
    ModemLines modemLines() const override { return m_active->modemLines(); }

    qint64 read(char* data, qint64 maxSize) override { return m_active->read(data, maxSize); }
    qint64 write(const char* data, qint64 size) override { return m_active->write(data, size); }
    qint64 driverOutputCount() const override { return m_active->driverOutputCount(); }
    void discardInput() override { m_active->discardInput(); }
    void discardOutput() override { m_active->discardOutput(); }

    void setReadNotification(bool enabled) override { m_active->setReadNotification(enabled); }
    void setWriteNotification(bool enabled) override { m_active->setWriteNotification(enabled); }
    int handle() const override { return m_active->handle(); }

    std::optional<LineSettings> readBackSettings() const override {
        return m_active->readBackSettings();
    }
    bool hasModemLines() const override { return m_active->hasModemLines(); }
    std::optional<KernelLineCounts> kernelLineCounts() const override {
        return m_active->kernelLineCounts();
    }
    bool isRemote() const override { return m_active->isRemote(); }
    QString lostReason() const override { return m_active->lostReason(); }
    const DriverCapabilities* driverCapabilities() const override {
        return m_active->driverCapabilities();
    }

private:
    void forwardSignals(SerialDevice& device);

    // Owned as children, so that their signals stop with this object.
    PosixSerialDevice* m_local;
    // One per row of remotePortKinds(), in its order.
    std::vector<SerialDevice*> m_remotes;
    SerialDevice* m_active;
};

}  // namespace parvolo
