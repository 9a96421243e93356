#pragma once

#include <QString>

namespace parvolo {

// The ports a user picks by number: COM1 to COM15.
inline constexpr int kComPortCount = 15;

// COMn resolves to the symlink "COMn" in the port map directory when one exists, else to
// /dev/ttyS<n-1>; the links are made by hand or given to devices (com_numbers.h). The map
// directory is $PARVOLO_PORT_DIR, else ~/.config/parvolo/ports.
// A link whose text is rfc2217://HOST:PORT (ln -s rfc2217://labhost:4001 COM5) names a port on
// another machine, and COMn resolves to that URL.

QString portMapDirectory();
// As the map is now; opening gives numbers to new devices first (refreshComNumbers).
QString resolvePortPath(int portNumber);
// The URL a port map entry names, or empty when it names a local device (or nothing).
QString remotePortOf(const QString& mapEntry);
// Whether a port name is a remote port's URL (rfc2217://...), well-formed or not.
bool isRemotePortName(const QString& name);
// "serial:A10K1234" names the USB serial device with that serial number, "serial:A10K1234:01"
// one interface of an adapter that has several; for a rig without udev's by-id links.
bool isSerialNumberName(const QString& name);
// The device node it names; SerialError NoSuchPort when none does or several do.
QString resolveSerialNumberName(const QString& name);
// Which row of remotePortKinds() (port_device.h) a name belongs to, -1 for a local port.
int remotePortKindOf(const QString& name);

}  // namespace parvolo
