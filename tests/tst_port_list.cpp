#include "line_errors.h"
#include "port_list.h"
#ifdef Q_OS_WIN
#include "com_drivers.h"
#include "com_errors.h"
#endif

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A tree shaped like /sys/class/tty with the devices it points at, built in a scratch folder.
class FakeSysfs
{
public:
    FakeSysfs() { QVERIFY(m_root.isValid()); }

    QString ttyDir() const { return m_root.filePath(QStringLiteral("class/tty")); }

    void write(const QString &relative, const QByteArray &content)
    {
        const QString path = m_root.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content + '\n');
    }
    void link(const QString &relative, const QString &target)
    {
        const QString path = m_root.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QVERIFY(QFile::link(m_root.filePath(target), path));
    }

    // An on-board UART; `type` 0 means the driver found nothing at that address.
    void uart(const QString &name, int type)
    {
        write(QStringLiteral("class/tty/%1/type").arg(name), QByteArray::number(type));
        QDir().mkpath(m_root.filePath(QStringLiteral("bus/platform/drivers/serial8250")));
        QDir().mkpath(m_root.filePath(QStringLiteral("devices/platform/serial8250")));
        if (!QFileInfo::exists(
                m_root.filePath(QStringLiteral("devices/platform/serial8250/driver"))))
            link(QStringLiteral("devices/platform/serial8250/driver"),
                 QStringLiteral("bus/platform/drivers/serial8250"));
        link(QStringLiteral("class/tty/%1/device").arg(name),
             QStringLiteral("devices/platform/serial8250"));
    }

    // A USB adapter: the tty's device is an interface below the USB device with the ids.
    void usb(const QString &name, const QByteArray &product, const QByteArray &vid,
             const QByteArray &pid)
    {
        const QString usbDevice = QStringLiteral("devices/pci0000:00/usb1/1-1.%1").arg(name);
        write(usbDevice + QStringLiteral("/idVendor"), vid);
        write(usbDevice + QStringLiteral("/idProduct"), pid);
        write(usbDevice + QStringLiteral("/product"), product);
        const QString usbInterface = usbDevice + QStringLiteral("/1-1:1.0/") + name;
        QDir().mkpath(m_root.filePath(usbInterface + QStringLiteral("/tty")));
        QDir().mkpath(m_root.filePath(QStringLiteral("class/tty/%1").arg(name)));
        link(QStringLiteral("class/tty/%1/device").arg(name), usbInterface);
    }

    // A tty with no device behind it: virtual consoles, ptmx.
    void virtualTty(const QString &name)
    {
        write(QStringLiteral("class/tty/%1/dev").arg(name), "4:1");
    }

private:
    QTemporaryDir m_root;
};

QStringList devices(const QList<PortEntry> &ports)
{
    QStringList list;
    for (const PortEntry &port : ports)
        list << port.device;
    return list;
}

} // namespace

class tst_port_list : public QObject
{
    Q_OBJECT

private slots:
    void overrideList_data();
    void overrideList();
    void naturalOrder_data();
    void naturalOrder();
    void sysfsListsRealSerialPortsOnly();
    void sysfsLeavesOutTheConsole_data();
    void sysfsLeavesOutTheConsole();
    void numberedList();
    void namesThatAreNotUtf8();
    void comNumbers();
    void comFailuresAdvise();
    void comDriverNotices();
};

void tst_port_list::overrideList_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("one") << "/dev/pts/3" << QStringList{"/dev/pts/3"};
    QTest::newRow("order kept, not sorted")
        << "/dev/ttyUSB1:/dev/ttyUSB0" << QStringList{"/dev/ttyUSB1", "/dev/ttyUSB0"};
    QTest::newRow("by-id path") << "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"
                                << QStringList{"/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"};
    QTest::newRow("empty entries skipped") << ":/dev/a::/dev/b:" << QStringList{"/dev/a", "/dev/b"};
#ifndef Q_OS_WIN
    QTest::newRow("by-path names keep their colons")
        << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0:/dev/ttyS1"
        << QStringList{"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0", "/dev/ttyS1"};
    QTest::newRow("served ports keep their colons")
        << "/dev/ttyUSB0:rfc2217://lab-pi:7001:RFC2217://192.0.2.7:7002:rfc2217://[fe80::1]:7003:"
           "rfc2217://[::1]:7004"
        << QStringList{"/dev/ttyUSB0", "rfc2217://lab-pi:7001", "RFC2217://192.0.2.7:7002",
                       "rfc2217://[fe80::1]:7003", "rfc2217://[::1]:7004"};
#else
    QTest::newRow("served ports keep their colons")
        << "COM3;rfc2217://lab-pi:7001;rfc2217://[::1]:7004"
        << QStringList{"COM3", "rfc2217://lab-pi:7001", "rfc2217://[::1]:7004"};
#endif
    QTest::newRow("empty") << "" << QStringList{};
}

void tst_port_list::overrideList()
{
    QFETCH(QString, value);
    QFETCH(QStringList, expected);
    if (!value.contains(u';'))
        value.replace(u':', QDir::listSeparator());
    QCOMPARE(devices(portsFromOverride(value.toLocal8Bit())), expected);

    // Windows takes an empty variable for none at all, and lists the system's ports.
    if (value.isEmpty() && QSysInfo::productType() == u"windows")
        return;
    qputenv("VANTRELO_PORTS", value.toLocal8Bit());
    QCOMPARE(devices(hostPorts()), expected);
}

void tst_port_list::naturalOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("less");

    QTest::newRow("2 before 10") << "/dev/ttyS2"
                                 << "/dev/ttyS10" << true;
    QTest::newRow("10 after 2") << "/dev/ttyS10"
                                << "/dev/ttyS2" << false;
    QTest::newRow("same") << "/dev/ttyS1"
                          << "/dev/ttyS1" << false;
    QTest::newRow("prefix first") << "/dev/ttyS"
                                  << "/dev/ttyS0" << true;
    QTest::newRow("by name first") << "/dev/ttyACM9"
                                   << "/dev/ttyS0" << true;
    QTest::newRow("leading zeros") << "/dev/tty02"
                                   << "/dev/tty10" << true;
    QTest::newRow("USB 9 before 10") << "/dev/ttyUSB9"
                                     << "/dev/ttyUSB10" << true;
}

void tst_port_list::naturalOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, less);
    QCOMPARE(naturalLess(a, b), less);
}

void tst_port_list::sysfsListsRealSerialPortsOnly()
{
#ifdef Q_OS_WIN
    QSKIP("sysfs is Linux's");
#endif
    FakeSysfs sysfs;
    sysfs.uart(QStringLiteral("ttyS10"), 4);
    sysfs.uart(QStringLiteral("ttyS2"), 4);
    sysfs.uart(QStringLiteral("ttyS3"), 0); // nothing answered at that address
    sysfs.usb(QStringLiteral("ttyUSB0"), "USB Serial", "1a86", "7523");
    sysfs.usb(QStringLiteral("ttyACM0"), "Relay Board", "2341", "0043");
    sysfs.virtualTty(QStringLiteral("tty1"));
    sysfs.virtualTty(QStringLiteral("ptmx"));

    const QList<PortEntry> ports = portsFromSysfs(sysfs.ttyDir());
    QCOMPARE(devices(ports),
             (QStringList{"/dev/ttyACM0", "/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0"}));
    QCOMPARE(ports[0], (PortEntry{"/dev/ttyACM0", "Relay Board", "2341:0043"}));
    QCOMPARE(ports[3], (PortEntry{"/dev/ttyUSB0", "USB Serial", "1a86:7523"}));
    QCOMPARE(ports[1].description, QStringLiteral("serial8250"));
    QVERIFY(ports[1].usbId.isEmpty());
}

void tst_port_list::sysfsLeavesOutTheConsole_data()
{
    QTest::addColumn<QByteArray>("active");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("serial console") << QByteArray("ttyS0") << QStringList{"/dev/ttyS1"};
    QTest::newRow("console on two lines") << QByteArray("tty0 ttyS1") << QStringList{"/dev/ttyS0"};
    QTest::newRow("console on a screen")
        << QByteArray("tty0") << QStringList{"/dev/ttyS0", "/dev/ttyS1"};
}

void tst_port_list::sysfsLeavesOutTheConsole()
{
    QFETCH(QByteArray, active);
    QFETCH(QStringList, expected);
#ifdef Q_OS_WIN
    QSKIP("sysfs is Linux's");
#endif

    FakeSysfs sysfs;
    sysfs.uart(QStringLiteral("ttyS0"), 4);
    sysfs.uart(QStringLiteral("ttyS1"), 4);
    sysfs.write(QStringLiteral("class/tty/console/active"), active);
    QCOMPARE(devices(portsFromSysfs(sysfs.ttyDir())), expected);
}

void tst_port_list::numberedList()
{
    const QList<PortEntry> ports{{"/dev/ttyUSB0", "USB Serial", "1a86:7523"},
                                 {"/dev/pts/4", {}, {}}};
    QCOMPARE(numberedPortList(ports),
             QStringLiteral("1 = /dev/ttyUSB0 (USB Serial)\n2 = /dev/pts/4"));
    QCOMPARE(numberedPortList({}), QString());
    QCOMPARE(describedPortList(ports),
             QStringLiteral("1 = /dev/ttyUSB0  USB Serial (1a86:7523)\n2 = /dev/pts/4"));

    // Sixty ports would make a box taller than the screen: twenty, and word of the rest.
    QList<PortEntry> many;
    for (int i = 0; i < 60; ++i)
        many.append({QStringLiteral("/dev/ttyS%1").arg(i), {}, {}});
    for (const QString &list : {numberedPortList(many), describedPortList(many)}) {
        const QStringList lines = list.split(u'\n');
        QCOMPARE(lines.size(), listedPortsAtMost + 1);
        QCOMPARE(lines[19], QStringLiteral("20 = /dev/ttyS19"));
        QVERIFY2(lines.last().contains(QStringLiteral("另有 40 个串口（第 21 到 60 号）")),
                 qPrintable(lines.last()));
    }
}

void tst_port_list::namesThatAreNotUtf8()
{
#ifdef Q_OS_WIN
    QSKIP("Windows names its ports in UTF-16");
#endif
    // The bytes are what opens the device; the text is only for showing.
    const QList<PortEntry> ports = portsFromOverride("/dev/serial/by-id/\xff\xfe:/dev/ttyUSB0");
    QCOMPARE(ports.size(), 2);
    QCOMPARE(devicePath(ports[0]), QByteArray("/dev/serial/by-id/\xff\xfe"));
    QVERIFY(ports[0].device.startsWith(QStringLiteral("/dev/serial/by-id/")));
    QCOMPARE(devicePath(ports[1]), QByteArray("/dev/ttyUSB0"));
    QVERIFY(ports[1].rawDevice.isEmpty());
}

void tst_port_list::comNumbers()
{
    // Linux numbers the list; Windows takes the number for the COM port's own, listed or not.
    const bool com = QSysInfo::productType() == u"windows";
    const QList<PortEntry> ports{{"COM3", "通信端口", {}},
                                 {"COM10", "USB-SERIAL CH340", "1a86:7523"}};
    const QByteArray override = qgetenv("VANTRELO_PORTS");
    qunsetenv("VANTRELO_PORTS");
    const auto restore = qScopeGuard([&override] { qputenv("VANTRELO_PORTS", override); });
    for (const auto &[number, opened] : {std::pair{10, com ? "COM10" : ""},
                                         {2, com ? "COM2" : "COM10"},
                                         {7, com ? "COM7" : ""},
                                         {0, ""},
                                         {-1, ""}}) {
        const std::optional<PortEntry> port = findPort(ports, qint16(number));
        QCOMPARE(port ? port->device : QString(), QString::fromLatin1(opened));
    }
    if (com)
        QCOMPARE(describedPortList(ports),
                 QStringLiteral("3 = COM3  通信端口\n10 = COM10  USB-SERIAL CH340 (1a86:7523)"));
}

void tst_port_list::comFailuresAdvise()
{
    // A name holding "%2" stays as written, the error's number after it.
    QVERIFY(systemFailure(EXDEV, QStringLiteral("/dev/%2"), LineStep::Opening)
                .description.startsWith(QStringLiteral("/dev/%2 出错（系统错误 %1：").arg(EXDEV)));
#ifdef Q_OS_WIN
    // Each code an opening or a click can meet has words and advice; the rest the system's words.
    for (const auto &[code, says] : {std::pair{2, "本机没有 COM5"},
                                     {3, "本机没有 COM5"},
                                     {5, "另一个程序正在使用 COM5"},
                                     {21, "没有响应"},
                                     {31, "没有响应"},
                                     {87, "不是可用的串口"},
                                     {121, "没有及时响应"},
                                     {995, "没有响应"},
                                     {1167, "没有响应"},
                                     {1450, "系统错误 1450："}}) {
        const Failure failure =
            comFailure(unsigned(code), QStringLiteral("COM5"), LineStep::Opening);
        QCOMPARE(failure.number, code);
        QVERIFY2(failure.description.contains(QString::fromUtf8(says)) &&
                     failure.description.contains(u'请'),
                 qPrintable(failure.description));
    }
    QVERIFY(comFailure(1450, QStringLiteral("COM%2"), LineStep::Opening)
                .description.startsWith(QStringLiteral("COM%2 出错（系统错误 1450：")));
    // Refused while open, the port is not another program's but gone.
    QVERIFY(comFailure(5, QStringLiteral("COM5"), LineStep::DrivingRts)
                .description.contains(u"已不存在"));
#else
    QSKIP("Windows' error codes");
#endif
}

void tst_port_list::comDriverNotices()
{
#ifdef Q_OS_WIN
    using namespace failure_number;
    // COM5's device instance as its driver's installer leaves it, and what opening COM5 tells.
    const QString ftdi = "FTDIBUS\\VID_0403+PID_6001+A1B2C3D4A\\0000", com1 = "ACPI\\PNP0501\\1";
    for (const auto &[id, filters, skip, config, told] : {
             std::tuple{ftdi, "", -1LL, "\x09", QList<int>{RtsOnClose}},
             {ftdi, "", -1, "\x01", {}},
             {ftdi, "serenum", -1, "\x08", {SerialEnumerator, RtsOnClose}},
             {com1, "serenum", -1, "", {SerialEnumerator}},
             {com1, "serenum", 0xFFFFFFFF, "", {}},
             {com1, "serenum", 3, "", {SerialEnumerator}}, // only the next three are skipped
             {com1, "", -1, "\x08", {}},                   // ConfigData is FTDI's alone
             {QString("USB\\VID_2341&PID_0043\\7&1A2B3C&0&1"), "", -1, "", {}},
         }) {
        const std::wstring key = L"SYSTEM\\CurrentControlSet\\Enum\\" + id.toStdWString();
        const auto remove =
            qScopeGuard([&key] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()); });
        const auto set = [&key](const wchar_t *sub, const wchar_t *name, DWORD type,
                                QByteArray data) {
            QCOMPARE(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + sub).c_str(), name, type,
                                     data.data(), DWORD(data.size())),
                     ERROR_SUCCESS);
        };
        const auto text = [](const QString &value) {
            return QByteArray(reinterpret_cast<const char *>(value.utf16()), value.size() * 2 + 2);
        };
        set(L"", L"ClassGUID", REG_SZ, text("{4d36e978-e325-11ce-bfc1-08002be10318}"));
        if (*filters)
            set(L"", L"UpperFilters", REG_MULTI_SZ, text(QString(filters) + u'\0'));
        set(L"\\Device Parameters", L"PortName", REG_SZ, text("COM5"));
        const DWORD skipped = DWORD(skip);
        if (skip >= 0)
            set(L"\\Device Parameters", L"SkipEnumerations", REG_DWORD,
                QByteArray(reinterpret_cast<const char *>(&skipped), 4));
        if (*config)
            set(L"\\Device Parameters", L"ConfigData", REG_BINARY, QByteArray(config));

        QList<int> numbers;
        for (const Notice &notice : driverNotices("\\\\.\\com5")) {
            numbers << notice.number;
            // What happens, and how to stop it on this very device.
            QVERIFY2(notice.description.contains(u"COM5") && notice.description.contains(u'请') &&
                         (notice.number == RtsOnClose || notice.description.contains(id)),
                     qPrintable(notice.description));
        }
        QCOMPARE(numbers, told);
    }
#else
    QSKIP("Windows' registry");
#endif
}

QTEST_GUILESS_MAIN(tst_port_list)
#include "tst_port_list.moc"
