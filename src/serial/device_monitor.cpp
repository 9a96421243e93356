#include "serial/device_monitor.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>

#include <libudev.h>

namespace parvolo {

namespace {

const QString kDevDirectory = QStringLiteral("/dev");

bool udevRuns() {
    return QFileInfo::exists(QStringLiteral("/run/udev/control"));
}

}  // namespace

DeviceMonitor::DeviceMonitor(const QString& mapDirectory, QObject* parent)
    : QObject(parent), m_mapDirectory(mapDirectory) {
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &DeviceMonitor::changed);
    watchMapDirectory();
    // Where udev runs, its events come once it has set the node's group and made the by-id
    // links, filtered to ttys inside the kernel. Without udev, the kernel's own events would
    // wake us for every device of every kind: a node made or removed in /dev is what counts.
    if (!udevRuns()) {
        m_watcher->addPath(kDevDirectory);
        return;
    }
    m_udev = udev_new();
    if (m_udev) m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor &&
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) >= 0 &&
        udev_monitor_enable_receiving(m_monitor) >= 0) {
        m_notifier =
            new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &DeviceMonitor::readDeviceEvents);
    }
}

DeviceMonitor::~DeviceMonitor() {
    delete m_notifier;
    if (m_monitor) udev_monitor_unref(m_monitor);
    if (m_udev) udev_unref(m_udev);
}

bool DeviceMonitor::watchingDevices() const {
    return m_notifier != nullptr || m_watcher->directories().contains(kDevDirectory);
}

void DeviceMonitor::watchMapDirectory() {
    if (!m_watcher->directories().contains(m_mapDirectory) && QFileInfo(m_mapDirectory).isDir())
        m_watcher->addPath(m_mapDirectory);
}

void DeviceMonitor::readDeviceEvents() {
    // The socket is non-blocking: take every event waiting, then say so once.
    bool any = false;
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        udev_device_unref(device);
        any = true;
    }
    if (any) emit changed();
}

}  // namespace parvolo
