#pragma once

// Tells when serial devices come or go, or the port map directory changes, so that the COM
// numbers can be looked at again. Event-driven: the kernel's or udev's device events on a
// netlink socket and inotify on the directory; nothing wakes it while nothing happens.

#include <QObject>
#include <QString>

class QFileSystemWatcher;
class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace parvolo {

class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    explicit DeviceMonitor(const QString& mapDirectory, QObject* parent = nullptr);
    ~DeviceMonitor() override;

    // Whether device events arrive (a machine without netlink, a sandbox, gives none).
    bool watchingDevices() const { return m_notifier != nullptr; }
    // The directory is watched once it exists; call after it may have been made.
    void watchMapDirectory();

signals:
    void changed();

private:
    void readDeviceEvents();

    QString m_mapDirectory;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    QFileSystemWatcher* m_watcher = nullptr;
};

}  // namespace parvolo
