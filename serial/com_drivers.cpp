#include "com_drivers.h"

#include <QStringList>

#include <devguid.h>

namespace {

// serenum reads it at the device's start: the number of enumerations to skip, this one never.
constexpr DWORD neverEnumerate = 0xFFFFFFFF;
// "Set RTS On Close": bit 3 of the first byte of FTDI's ConfigData.
constexpr BYTE ftdiRtsOnClose = 0x08;

QString instanceId(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    wchar_t id[256] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, &device, id, std::size(id) - 1, nullptr))
        return {};
    return QString::fromWCharArray(id);
}

QStringList upperFilters(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    wchar_t buffer[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS, nullptr,
                                           reinterpret_cast<BYTE *>(buffer),
                                           sizeof buffer - 2 * sizeof(wchar_t), nullptr))
        return {};
    QStringList filters;
    for (const wchar_t *entry = buffer; *entry; entry += wcslen(entry) + 1)
        filters << QString::fromWCharArray(entry);
    return filters;
}

bool enumerationsSkipped(HKEY parameters)
{
    DWORD skip = 0;
    DWORD size = sizeof skip;
    return RegQueryValueExW(parameters, L"SkipEnumerations", nullptr, nullptr,
                            reinterpret_cast<BYTE *>(&skip), &size) == ERROR_SUCCESS &&
           size == sizeof skip && skip == neverEnumerate;
}

bool raisesRtsOnClose(HKEY parameters)
{
    BYTE config[1024] = {};
    DWORD size = sizeof config;
    return RegQueryValueExW(parameters, L"ConfigData", nullptr, nullptr, config, &size) ==
               ERROR_SUCCESS &&
           size > 0 && (config[0] & ftdiRtsOnClose) != 0;
}

Notice serialEnumeratorNotice(const QString &port, const QString &id, bool ftdi)
{
    const QString key =
        QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\%1\\Device Parameters").arg(id);
    QString text =
        QStringLiteral(
            "%1 上装有 Windows 的串口枚举器（serenum）：开机、插入设备或在设备管理器中“扫描检测"
            "硬件改动”时，只要没有程序打开 %1，它就探测串口上是否有鼠标，数次拉高 RTS，每次至少"
            "约 0.24 秒，继电器会随之吸合、断开。要关掉这一探测，请先关闭串口，再在以管理员身份"
            "运行的 PowerShell 中粘贴下面这一行，它设置 SkipEnumerations 并重新启动该端口：\n\n"
            "Set-ItemProperty -Path 'HKLM:\\%2' -Name SkipEnumerations -Type DWord "
            "-Value 0xFFFFFFFF; Disable-PnpDevice -InstanceId '%3' -Confirm:$false; "
            "Enable-PnpDevice -InstanceId '%3' -Confirm:$false\n\n"
            "也可以用注册表编辑器在 HKEY_LOCAL_MACHINE\\%2 下新建 DWORD 值 SkipEnumerations，"
            "数据填 ffffffff，然后在设备管理器的“端口 (COM 和 LPT)”下右击 %1，先“禁用设备”，"
            "再“启用设备”。")
            .arg(port, key, id);
    if (ftdi)
        text += QStringLiteral("FTDI 的端口还可以在设备管理器中右击 %1，选“属性”→“端口设置”→"
                               "“高级”，取消勾选“Serial Enumerator”。")
                    .arg(port);
    return {failure_number::SerialEnumerator, text};
}

Notice rtsOnCloseNotice(const QString &port)
{
    return {failure_number::RtsOnClose,
            QStringLiteral("%1 的 FTDI 驱动打开了“Set RTS On Close”选项：关闭串口时，不论本程序"
                           "怎样设置，驱动都会拉高 RTS，继电器会吸合，直到再次打开串口。要关掉它，"
                           "请在设备管理器的“端口 (COM 和 LPT)”下右击 %1，选“属性”→“端口设置”→"
                           "“高级”，取消勾选“Set RTS On Close”并确定，然后拔下继电器板再插上。")
                .arg(port)};
}

} // namespace

void forEachComDevice(
    const std::function<void(HDEVINFO, SP_DEVINFO_DATA &, const QString &, HKEY)> &visit)
{
    const HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const HKEY key =
            SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        wchar_t name[64] = {};
        DWORD size = sizeof name - sizeof(wchar_t);
        if (RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE *>(name),
                             &size) == ERROR_SUCCESS)
            visit(set, device, QString::fromWCharArray(name).toUpper(), key);
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
}

QList<Notice> driverNotices(const QString &port)
{
    QString name = port.toUpper();
    if (name.startsWith(QStringLiteral("\\\\.\\")))
        name.remove(0, 4);
    QList<Notice> notices;
    bool found = false;
    forEachComDevice([&](HDEVINFO set, SP_DEVINFO_DATA &device, const QString &portName,
                         HKEY parameters) {
        if (found || portName != name)
            return;
        found = true;
        const QString id = instanceId(set, device);
        const bool ftdi = id.startsWith(QStringLiteral("FTDIBUS\\"), Qt::CaseInsensitive);
        if (upperFilters(set, device).contains(QStringLiteral("serenum"), Qt::CaseInsensitive) &&
            !enumerationsSkipped(parameters))
            notices.append(serialEnumeratorNotice(name, id, ftdi));
        if (ftdi && raisesRtsOnClose(parameters))
            notices.append(rtsOnCloseNotice(name));
    });
    return notices;
}
