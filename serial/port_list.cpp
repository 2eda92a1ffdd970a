#include "port_list.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace {

QString readAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// USB adapters name themselves in the attributes of the USB device a few levels above the tty.
void describeFromSysfs(const QString &deviceLink, PortEntry &entry)
{
    QDir dir(QFileInfo(deviceLink).canonicalFilePath());
    for (int level = 0; level < 4; ++level) {
        if (QFileInfo::exists(dir.filePath(QStringLiteral("idVendor")))) {
            entry.description = readAttribute(dir.filePath(QStringLiteral("product")));
            entry.usbId = readAttribute(dir.filePath(QStringLiteral("idVendor"))) + u':' +
                          readAttribute(dir.filePath(QStringLiteral("idProduct")));
            return;
        }
        if (!dir.cdUp())
            break;
    }
    entry.description =
        QFileInfo(QFileInfo(deviceLink + QStringLiteral("/driver")).canonicalFilePath()).fileName();
}

} // namespace

bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i;
            qsizetype ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            // Leading zeros aside, the longer run is the larger number.
            QStringView da = QStringView(a).mid(i, ei - i);
            QStringView db = QStringView(b).mid(j, ej - j);
            while (da.size() > 1 && da.front() == u'0')
                da = da.mid(1);
            while (db.size() > 1 && db.front() == u'0')
                db = db.mid(1);
            if (da.size() != db.size())
                return da.size() < db.size();
            if (const int c = da.compare(db); c != 0)
                return c < 0;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

QByteArray devicePath(const PortEntry &port)
{
    return port.rawDevice.isEmpty() ? QFile::encodeName(port.device) : port.rawDevice;
}

QList<PortEntry> portsFromOverride(const QByteArray &value)
{
    // Latin-1 maps each byte to one character and back, so a name that is not UTF-8 survives
    // the splitting byte for byte.
    const QString bytes = QString::fromLatin1(value);
#ifdef Q_OS_WIN
    const QStringList paths = bytes.split(QDir::listSeparator(), Qt::SkipEmptyParts);
#else
    // udev's by-path names hold colons of their own ("pci-0000:00:14.0-usb-0:1.2:1.0-port0"),
    // and so do served ports ("rfc2217://[fe80::1]:7001"). Every entry is an absolute path or
    // a served port, so only a colon before a slash or before "rfc2217://" separates two; the
    // colon of the scheme itself does not.
    static const QRegularExpression separator(QStringLiteral("(?<!rfc2217):+(?=/|rfc2217://|$)"),
                                              QRegularExpression::CaseInsensitiveOption);
    const QStringList paths = bytes.split(separator, Qt::SkipEmptyParts);
#endif
    QList<PortEntry> ports;
    for (const QString &path : paths) {
        const QByteArray raw = path.toLatin1();
        PortEntry entry{QString::fromUtf8(raw), {}, {}};
        if (entry.device.toUtf8() != raw)
            entry.rawDevice = raw;
        ports.append(entry);
    }
    return ports;
}

QList<PortEntry> portsFromSysfs(const QString &ttyClassDir)
{
    const QDir dir(ttyClassDir);
    // A line that is the kernel's console carries its messages; toggling it is never ours to do.
    const QStringList consoles = readAttribute(dir.filePath(QStringLiteral("console/active")))
                                     .split(u' ', Qt::SkipEmptyParts);

    QList<PortEntry> ports;
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString &name : names) {
        const QString deviceLink = dir.filePath(name + QStringLiteral("/device"));
        if (!QFileInfo::exists(deviceLink) || consoles.contains(name))
            continue;
        // Serial-core drivers register every possible port; type 0 means no UART answered there.
        const QString typePath = dir.filePath(name + QStringLiteral("/type"));
        if (QFileInfo::exists(typePath) && readAttribute(typePath) == u"0")
            continue;
        PortEntry entry{QStringLiteral("/dev/") + name, {}, {}};
        describeFromSysfs(deviceLink, entry);
        ports.append(entry);
    }
    std::sort(ports.begin(), ports.end(), [](const PortEntry &a, const PortEntry &b) {
        return naturalLess(a.device, b.device);
    });
    return ports;
}

namespace {

template <typename Describe> QString numbered(const QList<PortEntry> &ports, Describe describe)
{
    QStringList lines;
    const qsizetype listed = std::min(ports.size(), listedPortsAtMost);
    for (qsizetype i = 0; i < listed; ++i)
        lines.append(QStringLiteral("%1 = %2").arg(portNumber(ports, i)).arg(ports[i].device) +
                     describe(ports[i]));
    if (ports.size() > listed) {
        lines.append(QStringLiteral("……另有 %1 个串口（第 %2 到 %3 号）未列出")
                         .arg(ports.size() - listed)
                         .arg(portNumber(ports, listed))
                         .arg(portNumber(ports, ports.size() - 1)));
    }
    return lines.join(u'\n');
}

} // namespace

QString numberedPortList(const QList<PortEntry> &ports)
{
    return numbered(ports, [](const PortEntry &port) {
        return port.description.isEmpty() ? QString()
                                          : QStringLiteral(" (%1)").arg(port.description);
    });
}

QString portsAdvice(const QList<PortEntry> &ports)
{
    return ports.isEmpty() ? QStringLiteral("本机当前没有可用的串口，请连接继电器板后再试。")
                           : QStringLiteral("本机的串口有：\n") + numberedPortList(ports);
}

QString describedPortList(const QList<PortEntry> &ports)
{
    return numbered(ports, [](const PortEntry &port) {
        QString text;
        if (!port.description.isEmpty())
            text += QStringLiteral("  ") + port.description;
        if (!port.usbId.isEmpty())
            text += QStringLiteral(" (%1)").arg(port.usbId);
        return text;
    });
}
