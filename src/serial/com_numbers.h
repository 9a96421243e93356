#pragma once

// COM numbers, as a PC gives them: every serial device gets one and keeps it.
//   - A link COMn in the port map directory that a person made (to a device, a pty or
//     rfc2217://HOST:PORT) always wins and is never touched.
//   - An on-board UART that is present keeps COM n = /dev/ttyS<n-1>.
//   - Every other serial device that has no number gets the lowest free one, and keeps it by
//     its identity (serial number, else USB port path): after a re-plug, under another
//     /dev/ttyUSBn, after a reboot. Two devices never share one.
// Given numbers are links too (COMn -> /dev/ttyUSB1; an unplugged one dangles, naming the
// device), listed with who they belong to in the file "assignments" beside them. A person may
// change or remove such a link: it is then theirs, or the number is free. When all fifteen are
// taken, the number of the device not seen the longest is given up first.

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

#include "serial/port_names.h"
#include "serial/serial_discovery.h"

namespace parvolo {

struct ComAssignment {
    int number = 0;
    QString identity;     // SerialPortInfo::identity()
    QString description;  // what the device called itself when last seen
    QString link;         // the link's text as it was written
    QDateTime lastSeen;
};

// The numbering rule, without I/O: what was kept, the hand links (number -> where each leads,
// links resolved), and the devices present now.
struct NumberingInput {
    QMap<int, QString> handLinks;
    QList<ComAssignment> assignments;
    QList<SerialPortInfo> devices;
    QDateTime now;
};
struct NumberingResult {
    QList<ComAssignment> assignments;  // by number
    QList<SerialPortInfo> unnumbered;  // all fifteen taken by devices present or hand links
};
NumberingResult numberDevices(const NumberingInput& input);
// The link text of an assignment whose device is unplugged: a name that leads nowhere.
QString unpluggedLinkText(const QString& description);

struct ComPort {
    enum class Source { Nothing, HandLink, OnBoard, Assigned };
    int number = 0;
    Source source = Source::Nothing;
    QString path;        // what opening it opens: the link, /dev/ttyS<n-1>, or a remote URL
    QString linkTarget;  // a link's own text
    std::optional<SerialPortInfo> device;  // the device it reaches now
    QString unplugged;  // an assignment's device that is not there: its description

    QString name() const { return QStringLiteral("COM%1").arg(number); }
    bool isRemote() const;
    // Whether opening it would find something: a device, a remote port, what a link leads to.
    bool reaches() const;
    // What it reaches, short: "FT232R USB UART A10K1234", "ttyS0", "/dev/pts/3", the URL.
    QString reachedName() const;
};

struct ComNumbers {
    QList<ComPort> ports;              // COM1..COM15
    QList<SerialPortInfo> unnumbered;  // devices no number is left for
    QString problem;                   // why a number could not be given (the map unwritable)

    const ComPort& port(int number) const { return ports[number - 1]; }
    // "COM1 (ttyS0), COM4 (FT232R USB UART A10K1234)": the numbers that reach a device now.
    QString reachable() const;
};

// Reads the port map directory, gives numbers to the devices that have none, writes what
// changed (links and "assignments", each replaced whole, under a lock on the directory) and
// says what each number reaches. The devices default to discoverSerialPorts().
ComNumbers refreshComNumbers(const QString& mapDirectory,
                             const std::optional<QList<SerialPortInfo>>& devices = std::nullopt,
                             const QDateTime& now = QDateTime::currentDateTimeUtc());
ComNumbers refreshComNumbers();

}  // namespace parvolo
