#include "com_errors.h"

#include "port_list.h"

#include <windows.h>

namespace {

// Not in mingw-w64's headers.
constexpr DWORD errorNoSuchDevice = 433;

// The system's own words in Chinese (PRC) where it has them, else in its own language.
QString systemDescription(unsigned long code)
{
    wchar_t *buffer = nullptr;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD length = 0;
    for (const DWORD language :
         {DWORD(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)), DWORD(0)}) {
        length = FormatMessageW(flags, nullptr, code, language, reinterpret_cast<LPWSTR>(&buffer),
                                0, nullptr);
        if (length)
            break;
    }
    if (!length)
        return QStringLiteral("未知错误");
    const QString text = QString::fromWCharArray(buffer, int(length)).trimmed();
    LocalFree(buffer);
    return text;
}

} // namespace

bool comDeviceGone(unsigned long code)
{
    switch (code) {
    // Once the port is open, many USB serial drivers answer so on a surprise removal.
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
    case errorNoSuchDevice:
    case ERROR_INVALID_HANDLE:
        return true;
    default:
        return false;
    }
}

// Each text is filled in one pass: a port's name holding "%2" must not take the code's place.
Failure comFailure(unsigned long code, const QString &port, LineStep step)
{
    const int number = int(code);
    if (comDeviceGone(code) && step != LineStep::Opening) {
        return {number, QStringLiteral("%1 已不存在或不再响应，设备可能已被拔出（系统错误 %2）。"
                                       "请关闭串口，重新连接设备后再打开。")
                            .arg(port, QString::number(code))};
    }
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case errorNoSuchDevice:
    case ERROR_DEVICE_REMOVED:
        return {number,
                QStringLiteral("本机没有 %1。请在设备管理器的“端口 (COM 和 LPT)”下查看"
                               "继电器板的 COM 号，并检查继电器板是否已连接、驱动是否已安装。")
                        .arg(port) +
                    portsAdvice(hostPorts())};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // Windows opens a COM port for one program at a time and says "access denied" to the
        // second.
        return {number, QStringLiteral("另一个程序正在使用 %1。请关闭使用该串口的程序"
                                       "（串口调试助手、另一个本程序的窗口等）后再打开串口。")
                            .arg(port)};
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
        return {number, QStringLiteral("%1 没有响应，设备可能刚被拔出或尚未就绪（系统错误 %2）。"
                                       "请检查继电器板的 USB 连接，稍后再打开串口。")
                            .arg(port, QString::number(code))};
    case ERROR_SEM_TIMEOUT:
        return {number, QStringLiteral("%1 的驱动程序没有及时响应（系统错误 121）。请拔下继电器板"
                                       "再插上，必要时重新安装 USB 转串口驱动，然后再试。")
                            .arg(port)};
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_NAME:
        return {number,
                step == LineStep::Opening
                    ? QStringLiteral(
                          "%1 不是可用的串口，或它的驱动程序不支持所需的设置（系统错误 %2）。"
                          "请选择继电器板所在的 COM 号。")
                          .arg(port, QString::number(code))
                    : QStringLiteral("%1 的驱动程序不支持设置 RTS 线（系统错误 %2）。"
                                     "请改用带 RTS 线的串口。")
                          .arg(port, QString::number(code))};
    default:
        return {number, QStringLiteral("%1 出错（系统错误 %2：%3）。请检查继电器板的连接后再试。")
                            .arg(port, QString::number(code), systemDescription(code))};
    }
}
