// COM numbers: the numbering rule as a table of situations, the port map directory it keeps,
// and the devices read from a sysfs tree of the test's own.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "serial/com_numbers.h"
#include "serial/mscomm.h"
#include "serial/serial_error.h"
#include "support/fake_serial_device.h"
#include "support/window_language.h"

using namespace parvolo;

namespace {

// "ttyUSB0 A1 1-2" is a USB adapter (serial A1, "-" for none, plugged in at 1-2); "ttyS0" a UART.
SerialPortInfo device(const QString& words) {
    const QStringList w = words.split(QLatin1Char(' '));
    SerialPortInfo d;
    d.node = QStringLiteral("/dev/") + w[0];
    if (w.size() == 1) return d;
    d.vendorId = QStringLiteral("0403");
    d.productId = QStringLiteral("6001");
    d.product = QStringLiteral("FT232R USB UART");
    d.serialNumber = w[1] == QLatin1String("-") ? QString() : w[1];
    d.usbPortPath = w[2];
    d.interfaceNumber = QStringLiteral("00");
    return d;
}

QList<SerialPortInfo> devices(const QString& list) {
    QList<SerialPortInfo> out;
    for (const QString& words : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
        out << device(words.trimmed());
    return out;
}

const QDateTime kNow = QDateTime::fromString(QStringLiteral("2026-12-09T12:00:00Z"), Qt::ISODate);

// "COM5 serial:0403:6001:A1:00 30" kept from before, last seen 30 days ago.
QList<ComAssignment> kept(const QString& list) {
    QList<ComAssignment> out;
    for (const QString& entry : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList w = entry.trimmed().split(QLatin1Char(' '));
        out << ComAssignment{w[0].mid(3).toInt(), w[1], QStringLiteral("old"),
                             QStringLiteral("/dev/old"), kNow.addDays(-w[2].toInt())};
    }
    return out;
}

QString numbering(const NumberingResult& result) {
    QStringList words;
    for (const ComAssignment& a : result.assignments)
        words << QStringLiteral("COM%1=%2").arg(a.number).arg(a.link);
    for (const SerialPortInfo& d : result.unnumbered) words << QStringLiteral("none=") + d.node;
    return words.join(QLatin1Char(' '));
}

QString fifteen(const QString& prefix) {
    QStringList list;
    for (int n = 1; n <= kComPortCount; ++n)
        list << QStringLiteral("COM%1 serial:0403:6001:%2:00 %1")
                    .arg(n)
                    .arg(prefix + QString::number(n));
    return list.join(QLatin1Char(','));
}

void writeFile(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

void link(const QString& target, const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QVERIFY(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) ==
            0);
}

QString readLinkText(const QString& path) {
    char text[512];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), text, sizeof text);
    return n > 0 ? QString::fromUtf8(text, n) : QString();
}

}  // namespace

class TestComNumbers : public QObject {
    Q_OBJECT
private slots:
    void numberingRule_data() {
        QTest::addColumn<QString>("handLinks");  // "1=/dev/pts/3,2=/dev/ttyUSB0"
        QTest::addColumn<QString>("assignments");
        QTest::addColumn<QString>("present");
        QTest::addColumn<QString>("expected");
        const QString a1 = QStringLiteral("serial:0403:6001:A1:00");
        QTest::newRow("new adapter: the lowest free number") << ""
                                                             << ""
                                                             << "ttyUSB0 A1 1-2"
                                                             << "COM1=/dev/ttyUSB0";
        QTest::newRow("UARTs keep their own numbers") << ""
                                                      << ""
                                                      << "ttyS0,ttyS1,ttyUSB0 A1 1-2"
                                                      << "COM3=/dev/ttyUSB0";
        QTest::newRow("a hand link wins over a UART and an adapter's number")
            << "1=/dev/pts/3,3=/dev/ttyS9" << ("COM3 " + a1 + " 1") << "ttyS0,ttyUSB0 A1 1-2"
            << "COM2=/dev/ttyUSB0";
        QTest::newRow("an adapter a hand link reaches gets none") << "4=/dev/ttyUSB0"
                                                                  << ""
                                                                  << "ttyUSB0 A1 1-2"
                                                                  << "";
        QTest::newRow("a hand link to an adapter leaves the number it had")
            << "4=/dev/ttyUSB0" << ("COM2 " + a1 + " 1") << "ttyUSB0 A1 1-2"
            << "COM2=/dev/ttyUSB0";
        QTest::newRow("seen before: keeps its number, not the lowest")
            << "" << ("COM5 " + a1 + " 1") << "ttyUSB0 A1 1-2"
            << "COM5=/dev/ttyUSB0";
        QTest::newRow("same serial as another ttyUSBn: the same number")
            << "" << ("COM5 " + a1 + " 1") << "ttyUSB0 B2 1-1,ttyUSB1 A1 1-3"
            << "COM1=/dev/ttyUSB0 COM5=/dev/ttyUSB1";
        QTest::newRow("no serial: the same USB port, the same number")
            << ""
            << "COM7 usb-port:0403:6001:1-2:00 1"
            << "ttyUSB3 - 1-2"
            << "COM7=/dev/ttyUSB3";
        QTest::newRow("no serial, another USB port: a new number")
            << ""
            << "COM7 usb-port:0403:6001:1-2:00 1"
            << "ttyUSB3 - 1-4"
            << "COM1=/dev/ttyUSB3 COM7=(unplugged) old";
        QTest::newRow("two new adapters: in the order of their nodes")
            << ""
            << ""
            << "ttyUSB1 B2 1-1,ttyUSB0 A1 1-2"
            << "COM1=/dev/ttyUSB0 COM2=/dev/ttyUSB1";
        QTest::newRow("two clones with one serial: the second by its port")
            << "" << ("COM2 " + a1 + " 1") << "ttyUSB0 A1 1-1,ttyUSB1 A1 1-2"
            << "COM1=/dev/ttyUSB1 COM2=/dev/ttyUSB0";
        QTest::newRow("unplugged: the number is kept, its link leads nowhere")
            << "" << ("COM2 " + a1 + " 1") << ""
            << "COM2=(unplugged) old";
        QTest::newRow("a UART that appeared takes its number back")
            << "" << ("COM2 " + a1 + " 1") << "ttyS1,ttyUSB0 A1 1-2"
            << "COM1=/dev/ttyUSB0";
        QTest::newRow("all fifteen taken: the longest unseen is given up")
            << "" << fifteen(QStringLiteral("X")) << "ttyUSB0 A1 1-2"
            << "";
        QTest::newRow("all fifteen present: none left")
            << "1=/dev/pts/1,2=/dev/pts/2,3=/dev/pts/3,4=/dev/pts/4,5=/dev/pts/5,6=/dev/pts/6,"
               "7=/dev/pts/7,8=/dev/pts/8,9=/dev/pts/9,10=/dev/pts/10,11=/dev/pts/11,"
               "12=/dev/pts/12,13=/dev/pts/13,14=/dev/pts/14,15=/dev/pts/15"
            << ""
            << "ttyUSB0 A1 1-2"
            << "none=/dev/ttyUSB0";
    }
    void numberingRule() {
        QFETCH(QString, handLinks);
        QFETCH(QString, assignments);
        QFETCH(QString, present);
        QFETCH(QString, expected);
        NumberingInput input{{}, kept(assignments), devices(present), kNow};
        for (const QString& pair : handLinks.split(QLatin1Char(','), Qt::SkipEmptyParts))
            input.handLinks.insert(pair.section(QLatin1Char('='), 0, 0).toInt(),
                                   pair.section(QLatin1Char('='), 1));
        const NumberingResult result = numberDevices(input);
        if (QByteArray(QTest::currentDataTag()).startsWith("all fifteen taken")) {
            // COM15 was seen 15 days ago, the longest: the new adapter gets it.
            QCOMPARE(result.assignments.size(), kComPortCount);
            QCOMPARE(result.assignments.last().link, QStringLiteral("/dev/ttyUSB0"));
            QCOMPARE(result.assignments.last().number, 15);
            QCOMPARE(result.assignments.last().lastSeen, kNow);
            return;
        }
        QCOMPARE(numbering(result), expected);
    }

    // The directory as a person sees it: links, the assignments file, and what each number
    // reaches, through plugs, a move to another node, an unplug and a person's own edits.
    void mapDirectory() {
        QTemporaryDir dir;
        const QString com1 = dir.filePath(QStringLiteral("ports/COM1"));
        const QString ports = dir.filePath(QStringLiteral("ports"));
        ComNumbers numbers =
            refreshComNumbers(ports, devices(QStringLiteral("ttyUSB0 A1 1-2")), kNow);
        QCOMPARE(readLinkText(com1), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(numbers.port(1).source, ComPort::Source::Assigned);
        QCOMPARE(numbers.port(1).device->node, QStringLiteral("/dev/ttyUSB0"));
        QFile file(dir.filePath(QStringLiteral("ports/assignments")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(
            file.readAll().contains("COM1\tserial:0403:6001:A1:00\t2026-12-09T12:00:00Z\t"
                                    "/dev/ttyUSB0\tFT232R USB UART A1\n"));
        file.close();

        // Nothing changed: nothing is written.
        const QDateTime written = QFileInfo(file).lastModified();
        QTest::qWait(20);
        refreshComNumbers(ports, devices(QStringLiteral("ttyUSB0 A1 1-2")), kNow.addSecs(60));
        QCOMPARE(QFileInfo(file).lastModified(), written);

        refreshComNumbers(ports, devices(QStringLiteral("ttyUSB1 A1 1-3")), kNow);
        QCOMPARE(readLinkText(com1), QStringLiteral("/dev/ttyUSB1"));

        numbers = refreshComNumbers(ports, QList<SerialPortInfo>{}, kNow);
        QCOMPARE(readLinkText(com1), QStringLiteral("(unplugged) FT232R USB UART A1"));
        QCOMPARE(numbers.port(1).unplugged, QStringLiteral("FT232R USB UART A1"));
        QVERIFY(!numbers.port(1).device);

        // A person's link replaces the assignment, and is left as it is.
        QVERIFY(QFile::remove(com1));
        link(QStringLiteral("/dev/pts/7"), com1);
        numbers = refreshComNumbers(ports, devices(QStringLiteral("ttyUSB0 A1 1-2")), kNow);
        QCOMPARE(readLinkText(com1), QStringLiteral("/dev/pts/7"));
        QCOMPARE(numbers.port(1).source, ComPort::Source::HandLink);
        QCOMPARE(numbers.port(2).device->node, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(numbers.reachable(), QStringLiteral("COM2 (FT232R USB UART A1)"));

        // Removed by a person: the number is free; the plugged-in adapter takes the lowest.
        QVERIFY(QFile::remove(dir.filePath(QStringLiteral("ports/COM2"))));
        QVERIFY(QFile::remove(com1));
        refreshComNumbers(ports, devices(QStringLiteral("ttyUSB0 A1 1-2")), kNow);
        QCOMPARE(readLinkText(com1), QStringLiteral("/dev/ttyUSB0"));
    }

    // A number that reaches nothing names itself, what it would have opened and what does
    // reach a device.
    void reachesNothing_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing") << 3 << "COM3 には何もつながっていません (Cannot open /dev/ttyS2";
        QTest::newRow("unplugged") << 2 << "COM2 の FT232R USB UART A1 はつながっていません。";
        QTest::newRow("hand link")
            << 4 << "COM4 のリンク先 /nonexistent/ttyUSB9 がありません (リンク ";
    }
    void reachesNothing() {
        QFETCH(int, port);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        qputenv("PARVOLO_PORT_DIR", dir.path().toUtf8());
        link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("COM1")));
        link(QStringLiteral("/nonexistent/ttyUSB9"), dir.filePath(QStringLiteral("COM4")));
        refreshComNumbers(dir.path(), devices(QStringLiteral("ttyUSB0 A1 1-2")), kNow);
        refreshComNumbers(dir.path(), QList<SerialPortInfo>{}, kNow);
        link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("COM5")));
        FakeSerialDevice::State state;
        state.openError = SerialError::Code::NoSuchPort;
        MSComm comm(std::make_unique<FakeSerialDevice>(&state));
        comm.setCommPort(qint16(port));
        try {
            comm.setPortOpen(true);
            QFAIL("opened");
        } catch (const SerialError& error) {
            QCOMPARE(error.code(), SerialError::Code::NoSuchPort);
            QVERIFY2(error.description().startsWith(expected), qPrintable(error.description()));
            QVERIFY2(error.description().endsWith(QStringLiteral(
                         "。デバイスのある COM 番号: COM1 (/dev/null), COM5 (/dev/null)")),
                     qPrintable(error.description()));
        }
        qunsetenv("PARVOLO_PORT_DIR");
    }

    // sysfs as the kernel lays it out, without udev: a USB adapter, an ACM board, a UART that
    // is present and one that is not, a virtual console, and a device with hostile strings.
    void sysfsFallback_data() {
        QTest::addColumn<QString>("tty");
        QTest::addColumn<QString>("expected");  // driver vid:pid product serial port if by-id
        QTest::newRow("FT232R") << "ttyUSB0"
                                << "ftdi_sio 0403:6001 FT232R USB UART A10K1234 1-2 00 by-id";
        QTest::newRow("ACM board") << "ttyACM0"
                                   << "cdc_acm 1209:0001 board - 1-3 01 -";
        QTest::newRow("second port on one interface")
            << "ttyUSB1"
            << "ftdi_sio 0403:6001 FT232R USB UART A10K1234 1-2 00:1 -";
        QTest::newRow("UART") << "ttyS0"
                              << "serial8250 : - - - - -";
        QTest::newRow("hostile strings") << "ttyUSB2"
                                         << "ch341 1a86:7523 B?D - 1-4 00 -";
    }
    void sysfsFallback() {
        QFETCH(QString, tty);
        QFETCH(QString, expected);
        QTemporaryDir root;
        const QString sys = root.filePath(QStringLiteral("sys"));
        const QString pci = sys + QStringLiteral("/devices/pci0000:00/usb1/");
        auto usbDevice = [&](const QString& port, const QByteArray& vid, const QByteArray& pid,
                             const QByteArray& product, const QByteArray& serial) {
            writeFile(pci + port + QStringLiteral("/idVendor"), vid + "\n");
            writeFile(pci + port + QStringLiteral("/idProduct"), pid + "\n");
            writeFile(pci + port + QStringLiteral("/product"), product + "\n");
            if (!serial.isEmpty()) writeFile(pci + port + QStringLiteral("/serial"), serial + "\n");
        };
        // A tty under DEVICE, its driver bound at DRIVER_AT (a directory under the device).
        auto ttyAt = [&](const QString& name, const QString& deviceDir, const QString& driverAt,
                         const QString& driver) {
            writeFile(deviceDir + QStringLiteral("/tty/") + name + QStringLiteral("/dev"),
                      "188:0\n");
            link(deviceDir, deviceDir + QStringLiteral("/tty/") + name + QStringLiteral("/device"));
            if (!QFileInfo(driverAt + QStringLiteral("/driver")).isSymLink())
                link(sys + QStringLiteral("/bus/x/drivers/") + driver,
                     driverAt + QStringLiteral("/driver"));
            QDir().mkpath(sys + QStringLiteral("/bus/x/drivers/") + driver);
            link(deviceDir + QStringLiteral("/tty/") + name,
                 sys + QStringLiteral("/class/tty/") + name);
        };
        usbDevice(QStringLiteral("1-2"), "0403", "6001", "FT232R USB UART", "A10K1234");
        writeFile(pci + QStringLiteral("1-2/1-2:1.0/bInterfaceNumber"), "00\n");
        for (const QString& port : {QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")}) {
            const QString dir = pci + QStringLiteral("1-2/1-2:1.0/") + port;
            writeFile(dir + QStringLiteral("/port_number"),
                      port.endsWith(QLatin1Char('1')) ? "1\n" : "0\n");
            ttyAt(port, dir, dir, QStringLiteral("ftdi_sio"));
        }
        usbDevice(QStringLiteral("1-3"), "1209", "0001", "board", "");
        writeFile(pci + QStringLiteral("1-3/1-3:1.1/bInterfaceNumber"), "01\n");
        ttyAt(QStringLiteral("ttyACM0"), pci + QStringLiteral("1-3/1-3:1.1"),
              pci + QStringLiteral("1-3/1-3:1.1"), QStringLiteral("cdc_acm"));
        usbDevice(QStringLiteral("1-4"), "1a86", "7523",
                  "B\x1b"
                  "D",
                  "");
        writeFile(pci + QStringLiteral("1-4/1-4:1.0/bInterfaceNumber"), "00\n");
        ttyAt(QStringLiteral("ttyUSB2"), pci + QStringLiteral("1-4/1-4:1.0/ttyUSB2"),
              pci + QStringLiteral("1-4/1-4:1.0/ttyUSB2"), QStringLiteral("ch341"));
        const QString uarts = sys + QStringLiteral("/devices/platform/serial8250");
        for (const QString& name : {QStringLiteral("ttyS0"), QStringLiteral("ttyS1")}) {
            ttyAt(name, uarts, uarts, QStringLiteral("serial8250"));
            writeFile(uarts + QStringLiteral("/tty/") + name + QStringLiteral("/type"),
                      name == QLatin1String("ttyS0") ? "4\n" : "0\n");
        }
        writeFile(sys + QStringLiteral("/devices/virtual/tty/tty0/dev"), "4:0\n");
        link(sys + QStringLiteral("/devices/virtual/tty/tty0"),
             sys + QStringLiteral("/class/tty/tty0"));
        const QString dev = root.filePath(QStringLiteral("dev"));
        for (const QString& name :
             {QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1"), QStringLiteral("ttyUSB2"),
              QStringLiteral("ttyACM0"), QStringLiteral("ttyS0"), QStringLiteral("ttyS1"),
              QStringLiteral("tty0")})
            writeFile(dev + QLatin1Char('/') + name, "");
        link(QStringLiteral("../../ttyUSB0"),
             dev + QStringLiteral("/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"));

        const QList<SerialPortInfo> found =
            discoverFromSysfs({sys, dev, root.filePath(QStringLiteral("none"))});
        QStringList nodes;
        for (const SerialPortInfo& d : found) nodes << d.ttyName();
        QCOMPARE(nodes, QStringList({"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB2"}));
        const auto it = std::find_if(found.cbegin(), found.cend(),
                                     [&](const SerialPortInfo& d) { return d.ttyName() == tty; });
        QVERIFY(it != found.cend());
        auto dash = [](const QString& s) { return s.isEmpty() ? QStringLiteral("-") : s; };
        const QString got =
            QStringList{it->driver,
                        it->vendorId + QLatin1Char(':') + it->productId,
                        dash(it->product),
                        dash(it->serialNumber),
                        dash(it->usbPortPath),
                        dash(it->interfaceNumber),
                        it->byId.isEmpty() ? QStringLiteral("-") : QStringLiteral("by-id")}
                .join(QLatin1Char(' '));
        QCOMPARE(got, expected);
        QVERIFY(!it->identity().contains(QLatin1Char('\t')));
    }
};

PARVOLO_TEST_IN_WINDOW_LANGUAGE

QTEST_GUILESS_MAIN(TestComNumbers)
#include "test_com_numbers.moc"
