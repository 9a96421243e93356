#include "serial/rfc2217_device.h"

#include "serial/serial_error.h"

namespace parvolo {

Rfc2217Device::Rfc2217Device(QObject* parent) : SerialDevice(parent) {}

Rfc2217Device::~Rfc2217Device() {
    close();
}

bool Rfc2217Device::isRemoteName(const QString& name) {
    return name.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive);
}

Rfc2217Device::RemoteAddress Rfc2217Device::parseRemoteName(const QString& url) {
    throw SerialError(SerialError::Code::NoSuchPort, url);
}

void Rfc2217Device::open(const QString& url) {
    throw SerialError(SerialError::Code::OpenFailed, url);
}

void Rfc2217Device::close() {}
void Rfc2217Device::applySettings(const LineSettings&) {}
void Rfc2217Device::setRts(bool) {}
void Rfc2217Device::setDtr(bool) {}
ModemLines Rfc2217Device::modemLines() const {
    return {};
}
qint64 Rfc2217Device::read(char*, qint64) {
    return 0;
}
qint64 Rfc2217Device::write(const char*, qint64) {
    return 0;
}
qint64 Rfc2217Device::driverOutputCount() const {
    return 0;
}
void Rfc2217Device::discardInput() {}
void Rfc2217Device::discardOutput() {}
void Rfc2217Device::setReadNotification(bool) {}
void Rfc2217Device::setWriteNotification(bool) {}

}  // namespace parvolo
