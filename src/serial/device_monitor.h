#pragma once

// Tells when serial devices come or go, or the port map directory changes, so that the COM
// numbers can be looked at again. Event-driven: udev's tty events on a netlink socket where
// udev runs, else inotify on /dev, and inotify on the port map directory; nothing wakes it while
// nothing happens.

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
    bool watchingDevices() const;
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
