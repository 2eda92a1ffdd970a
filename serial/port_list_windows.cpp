#include "port_list.h"

#include "com_drivers.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>

#include <windows.h>

#include <setupapi.h>

namespace {

const QRegularExpression &comName()
{
    static const QRegularExpression name(QStringLiteral("^COM([1-9][0-9]*)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    return name;
}

// What Device Manager calls each COM port ("USB-SERIAL CH340") and its USB ids, by COM name.
struct Described
{
    QString description;
    QString usbId;
};

QString deviceProperty(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property)
{
    wchar_t buffer[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE *>(buffer),
                                           sizeof buffer - sizeof(wchar_t), nullptr))
        return {};
    // A multi-string holds its first entry first, which is the one wanted.
    return QString::fromWCharArray(buffer);
}

QHash<QString, Described> describedPorts()
{
    QHash<QString, Described> found;
    forEachComDevice([&found](HDEVINFO set, SP_DEVINFO_DATA &device, const QString &port, HKEY) {
        Described described;
        described.description = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
        // "USB-SERIAL CH340 (COM5)": the number is shown beside it already.
        described.description.remove(QStringLiteral(" (%1)").arg(port), Qt::CaseInsensitive);
        if (described.description.isEmpty())
            described.description = deviceProperty(set, device, SPDRP_DEVICEDESC);
        static const QRegularExpression ids(QStringLiteral("VID_([0-9A-F]{4})&PID_([0-9A-F]{4})"),
                                            QRegularExpression::CaseInsensitiveOption);
        if (const auto match = ids.match(deviceProperty(set, device, SPDRP_HARDWAREID));
            match.hasMatch())
            described.usbId = (match.captured(1) + u':' + match.captured(2)).toLower();
        found.insert(port, described);
    });
    return found;
}

} // namespace

QList<PortEntry> hostPorts()
{
    if (qEnvironmentVariableIsSet("VANTRELO_PORTS"))
        return portsFromOverride(qEnvironmentVariable("VANTRELO_PORTS").toUtf8());

    // The serial drivers register every port they serve here, opening nothing.
    QList<PortEntry> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return ports;
    const QHash<QString, Described> described = describedPorts();
    for (DWORD i = 0;; ++i) {
        wchar_t valueName[256];
        DWORD valueNameSize = std::size(valueName);
        wchar_t data[64] = {};
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG result = RegEnumValueW(key, i, valueName, &valueNameSize, nullptr, &type,
                                          reinterpret_cast<BYTE *>(data), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        const QString name = QString::fromWCharArray(data).trimmed().toUpper();
        if (!comName().match(name).hasMatch() ||
            std::any_of(ports.cbegin(), ports.cend(),
                        [&name](const PortEntry &port) { return port.device == name; }))
            continue;
        const Described about = described.value(name);
        ports.append({name, about.description, about.usbId});
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const PortEntry &a, const PortEntry &b) {
        return naturalLess(a.device, b.device);
    });
    return ports;
}

int portNumber(const QList<PortEntry> &ports, qsizetype index)
{
    if (!qEnvironmentVariableIsSet("VANTRELO_PORTS")) {
        if (const auto match = comName().match(ports.at(index).device); match.hasMatch())
            return match.captured(1).toInt();
    }
    return int(index) + 1;
}

std::optional<PortEntry> findPort(const QList<PortEntry> &ports, qint16 number)
{
    for (qsizetype i = 0; i < ports.size(); ++i) {
        if (portNumber(ports, i) == number)
            return ports.at(i);
    }
    if (number < 1 || qEnvironmentVariableIsSet("VANTRELO_PORTS"))
        return std::nullopt;
    return PortEntry{QStringLiteral("COM%1").arg(number), {}, {}};
}
