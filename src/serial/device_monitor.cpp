#include "serial/device_monitor.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>

#include <libudev.h>

namespace parvolo {

namespace {

// Where udev runs, its events come after it has set the node's group and made the by-id
// links; elsewhere the kernel's own come once the node exists.
const char* eventSource() {
    return QFileInfo::exists(QStringLiteral("/run/udev/control")) ? "udev" : "kernel";
}

}  // namespace

DeviceMonitor::DeviceMonitor(const QString& mapDirectory, QObject* parent)
    : QObject(parent), m_mapDirectory(mapDirectory), m_udev(udev_new()) {
    if (m_udev) m_monitor = udev_monitor_new_from_netlink(m_udev, eventSource());
    if (m_monitor &&
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) >= 0 &&
        udev_monitor_enable_receiving(m_monitor) >= 0) {
        m_notifier =
            new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &DeviceMonitor::readDeviceEvents);
    }
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &DeviceMonitor::changed);
    watchMapDirectory();
}

DeviceMonitor::~DeviceMonitor() {
    delete m_notifier;
    if (m_monitor) udev_monitor_unref(m_monitor);
    if (m_udev) udev_unref(m_udev);
}

void DeviceMonitor::watchMapDirectory() {
    if (m_watcher->directories().isEmpty() && QFileInfo(m_mapDirectory).isDir())
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
