#include "serial/com_numbers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/port_names.h"

namespace parvolo {

namespace {

const QLatin1String kAssignmentsFile("assignments");
constexpr qint64 kMaxAssignmentsBytes = 64 * 1024;
constexpr int kAssignmentFields = 5;
constexpr qint64 kSeenResolutionSeconds = 3600;

int onBoardNumber(const SerialPortInfo& device) {
    if (!device.isOnBoardUart()) return 0;
    const int n = device.ttyName().mid(4).toInt() + 1;
    return n <= kComPortCount ? n : 0;
}

// The present devices by the identity each answers to. Two devices that claim the same serial
// number (clones often do) are told apart by where they are plugged in.
QMap<QString, SerialPortInfo> identities(const QList<SerialPortInfo>& devices) {
    QMap<QString, SerialPortInfo> byIdentity;
    for (const SerialPortInfo& device : devices) {
        if (device.isOnBoardUart()) continue;
        QString identity = device.identity();
        if (byIdentity.contains(identity)) {
            SerialPortInfo withoutSerial = device;
            withoutSerial.serialNumber.clear();
            identity = withoutSerial.identity();
        }
        byIdentity.insert(identity, device);
    }
    return byIdentity;
}

int lowestFree(const QSet<int>& taken) {
    for (int n = 1; n <= kComPortCount; ++n)
        if (!taken.contains(n)) return n;
    return 0;
}

// The assignment of a device that is not here, seen the longest ago; -1 when every one is here.
qsizetype longestUnseen(const QList<ComAssignment>& kept,
                        const QMap<QString, SerialPortInfo>& present) {
    qsizetype oldest = -1;
    for (qsizetype i = 0; i < kept.size(); ++i)
        if (!present.contains(kept[i].identity) &&
            (oldest < 0 || kept[i].lastSeen < kept[oldest].lastSeen))
            oldest = i;
    return oldest;
}

// ---- the port map directory -------------------------------------------------------------------

QString linkPath(const QString& dir, int number) {
    return dir + QStringLiteral("/COM%1").arg(number);
}

QString linkText(const QString& path) {
    char buffer[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    if (length <= 0 || length == ssize_t(sizeof buffer)) return QString();
    return QFile::decodeName(QByteArray(buffer, length));
}

QList<ComAssignment> readAssignments(const QString& dir) {
    QList<ComAssignment> assignments;
    QFile file(dir + QLatin1Char('/') + kAssignmentsFile);
    if (!file.open(QIODevice::ReadOnly)) return assignments;
    for (const QByteArray& raw : file.read(kMaxAssignmentsBytes).split('\n')) {
        const QStringList fields = QString::fromUtf8(raw).split(QLatin1Char('\t'));
        if (raw.startsWith('#') || fields.size() != kAssignmentFields) continue;
        ComAssignment a;
        bool ok = false;
        a.number = fields[0].startsWith(QLatin1String("COM")) ? fields[0].mid(3).toInt(&ok) : 0;
        a.identity = fields[1];
        a.lastSeen = QDateTime::fromString(fields[2], Qt::ISODate);
        a.link = fields[3];
        a.description = fields[4];
        if (ok && a.number >= 1 && a.number <= kComPortCount && !a.identity.isEmpty() &&
            !a.link.isEmpty())
            assignments << a;
    }
    return assignments;
}

QByteArray assignmentsText(const QList<ComAssignment>& assignments) {
    QByteArray text =
        "# COM numbers Parvolo gave to serial devices; the COMn links beside this file are the\n"
        "# numbers. Change or remove a link to make it yours or to give the number back.\n"
        "# number\tidentity\tlast seen\tlink\tdevice\n";
    for (const ComAssignment& a : assignments)
        text +=
            QStringLiteral("COM%1\t%2\t%3\t%4\t%5\n")
                .arg(a.number)
                .arg(a.identity, a.lastSeen.toUTC().toString(Qt::ISODate), a.link, a.description)
                .toUtf8();
    return text;
}

// Replaces COMn whole: the new link is made beside it and renamed over it.
bool writeLink(const QString& dir, int number, const QString& text) {
    const QByteArray path = QFile::encodeName(linkPath(dir, number));
    const QByteArray temporary = QFile::encodeName(dir + QStringLiteral("/.COM%1.new").arg(number));
    ::unlink(temporary.constData());
    return ::symlink(QFile::encodeName(text).constData(), temporary.constData()) == 0 &&
           ::rename(temporary.constData(), path.constData()) == 0;
}

// Holds flock() on the directory while one program renumbers, so two never give one number.
class DirectoryLock {
public:
    explicit DirectoryLock(const QString& dir)
        : m_fd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (m_fd >= 0) ::flock(m_fd, LOCK_EX);
    }
    ~DirectoryLock() {
        if (m_fd >= 0) ::close(m_fd);
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    int m_fd;
};

// The links as they are: the assignments whose link is still as it was written, and the rest
// as hand links, each with where it leads.
struct MapState {
    QMap<int, QString> linkTexts;
    QMap<int, QString> handLinks;
    QList<ComAssignment> assignments;
};

MapState readMap(const QString& dir) {
    MapState state;
    for (int n = 1; n <= kComPortCount; ++n)
        if (QFileInfo(linkPath(dir, n)).isSymLink() || QFileInfo::exists(linkPath(dir, n)))
            state.linkTexts.insert(n, linkText(linkPath(dir, n)));
    for (const ComAssignment& a : readAssignments(dir))
        if (state.linkTexts.value(a.number) == a.link) state.assignments << a;
    for (auto it = state.linkTexts.cbegin(); it != state.linkTexts.cend(); ++it) {
        const bool assigned =
            std::any_of(state.assignments.cbegin(), state.assignments.cend(),
                        [&](const ComAssignment& a) { return a.number == it.key(); });
        if (assigned) continue;
        const QString path = linkPath(dir, it.key());
        const QString leadsTo =
            isRemotePortName(it.value()) ? it.value() : QFileInfo(path).canonicalFilePath();
        state.handLinks.insert(it.key(), leadsTo.isEmpty() ? it.value() : leadsTo);
    }
    return state;
}

// Writes what changed; an assignment whose link cannot be written is dropped, with the reason.
QString writeMap(const QString& dir, const MapState& before, NumberingResult& result) {
    QString problem;
    auto failed = [&](const QString& what) {
        if (problem.isEmpty())
            problem =
                QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
    };
    for (const ComAssignment& old : before.assignments)
        if (std::none_of(result.assignments.cbegin(), result.assignments.cend(),
                         [&](const ComAssignment& a) { return a.number == old.number; }))
            ::unlink(QFile::encodeName(linkPath(dir, old.number)).constData());
    if (result.assignments.isEmpty() && before.assignments.isEmpty()) return problem;
    if (!QDir().mkpath(dir)) {
        failed(dir);
        result.assignments.clear();
    }
    for (qsizetype i = 0; i < result.assignments.size();) {
        const ComAssignment& a = result.assignments[i];
        if (before.linkTexts.value(a.number) == a.link || writeLink(dir, a.number, a.link)) {
            ++i;
            continue;
        }
        failed(linkPath(dir, a.number));
        result.assignments.removeAt(i);
    }
    const QByteArray text = assignmentsText(result.assignments);
    QFile current(dir + QLatin1Char('/') + kAssignmentsFile);
    if (current.open(QIODevice::ReadOnly) && current.read(kMaxAssignmentsBytes + 1) == text)
        return problem;
    QSaveFile file(current.fileName());
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        failed(current.fileName());
    return problem;
}

ComPort describe(int number, const QString& dir, const MapState& map, const NumberingResult& result,
                 const QList<SerialPortInfo>& devices) {
    ComPort port;
    port.number = number;
    port.path = QStringLiteral("/dev/ttyS%1").arg(number - 1);
    auto byNode = [&](const QString& node) -> std::optional<SerialPortInfo> {
        for (const SerialPortInfo& d : devices)
            if (d.node == node || QFileInfo(d.node).canonicalFilePath() == node) return d;
        return std::nullopt;
    };
    if (map.handLinks.contains(number)) {
        port.source = ComPort::Source::HandLink;
        port.linkTarget = map.linkTexts.value(number);
        port.path = isRemotePortName(port.linkTarget) ? port.linkTarget : linkPath(dir, number);
        if (!port.isRemote()) port.device = byNode(map.handLinks.value(number));
        return port;
    }
    for (const ComAssignment& a : result.assignments) {
        if (a.number != number) continue;
        port.source = ComPort::Source::Assigned;
        port.path = linkPath(dir, number);
        port.linkTarget = a.link;
        port.device = byNode(a.link);
        if (!port.device) port.unplugged = a.description;
        return port;
    }
    if (const auto uart = byNode(port.path); uart && onBoardNumber(*uart) == number) {
        port.source = ComPort::Source::OnBoard;
        port.device = uart;
    }
    return port;
}

}  // namespace

QString unpluggedLinkText(const QString& description) {
    QString name = description;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("(unplugged) ") + name;
}

NumberingResult numberDevices(const NumberingInput& input) {
    QSet<int> taken(input.handLinks.keyBegin(), input.handLinks.keyEnd());
    for (const SerialPortInfo& device : input.devices)
        if (const int n = onBoardNumber(device); n > 0 && !input.handLinks.contains(n)) taken << n;
    const QList<QString> reachedByHand = input.handLinks.values();
    const QMap<QString, SerialPortInfo> present = identities(input.devices);

    NumberingResult result;
    QSet<QString> numbered;
    for (ComAssignment a : input.assignments) {
        if (taken.contains(a.number) || numbered.contains(a.identity)) continue;
        if (const auto device = present.constFind(a.identity); device != present.cend()) {
            // Seen again: stamped when it comes back and then hourly, so that a file that was
            // just written is not rewritten at every look.
            if (a.link != device->node || !a.lastSeen.isValid() ||
                a.lastSeen.secsTo(input.now) >= kSeenResolutionSeconds)
                a.lastSeen = input.now;
            a.link = device->node;
            a.description = device->description();
        } else {
            a.link = unpluggedLinkText(a.description);
        }
        taken << a.number;
        numbered << a.identity;
        result.assignments << a;
    }
    // A device a hand link reaches has a number; one it had already is kept all the same.
    for (auto it = present.cbegin(); it != present.cend(); ++it) {
        if (numbered.contains(it.key()) || reachedByHand.contains(it->node)) continue;
        int number = lowestFree(taken);
        if (number == 0) {
            const qsizetype oldest = longestUnseen(result.assignments, present);
            if (oldest < 0) {
                result.unnumbered << it.value();
                continue;
            }
            number = result.assignments.takeAt(oldest).number;
        }
        taken << number;
        numbered << it.key();
        result.assignments << ComAssignment{number, it.key(), it->description(), it->node,
                                            input.now};
    }
    std::sort(result.assignments.begin(), result.assignments.end(),
              [](const ComAssignment& a, const ComAssignment& b) { return a.number < b.number; });
    return result;
}

bool ComPort::isRemote() const {
    return isRemotePortName(path);
}

bool ComPort::reaches() const {
    return isRemote() || device || (source == Source::HandLink && QFileInfo::exists(path));
}

QString ComPort::reachedName() const {
    if (isRemote()) return path;
    if (device) return device->isUsb() ? device->description() : device->ttyName();
    return linkTarget;
}

QString ComNumbers::reachable() const {
    QStringList names;
    for (const ComPort& port : ports)
        if (port.reaches())
            names << port.name() + QStringLiteral(" (") + port.reachedName() + QLatin1Char(')');
    return names.join(QStringLiteral(", "));
}

ComNumbers refreshComNumbers(const QString& mapDirectory,
                             const std::optional<QList<SerialPortInfo>>& devices,
                             const QDateTime& now) {
    const QList<SerialPortInfo> present = devices ? *devices : discoverSerialPorts();
    // Made before it is locked, so that two programs starting at once share the lock.
    if (std::any_of(present.cbegin(), present.cend(),
                    [](const SerialPortInfo& d) { return !d.isOnBoardUart(); }))
        QDir().mkpath(mapDirectory);
    const DirectoryLock lock(mapDirectory);
    const MapState map = readMap(mapDirectory);
    NumberingResult result = numberDevices({map.handLinks, map.assignments, present, now});
    ComNumbers numbers;
    numbers.problem = writeMap(mapDirectory, map, result);
    numbers.unnumbered = result.unnumbered;
    for (int n = 1; n <= kComPortCount; ++n)
        numbers.ports << describe(n, mapDirectory, map, result, present);
    return numbers;
}

ComNumbers refreshComNumbers() {
    return refreshComNumbers(portMapDirectory());
}

}  // namespace parvolo
