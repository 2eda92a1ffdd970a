#include "line_errors.h"

#include <QtCore/qsystemdetection.h>

#include <cerrno>
#include <cstring>

#ifndef Q_OS_WIN
#include <grp.h>
#include <sys/stat.h>
#endif

namespace {

// The group to join, by the device's own group, so the advice fits this host. Empty when the
// device belongs to root's group: joining that would hand the user the whole machine.
QString deviceGroup(const QString &device)
{
#ifndef Q_OS_WIN
    struct stat info
    {};
    if (::stat(device.toLocal8Bit().constData(), &info) == 0) {
        if (info.st_gid == 0)
            return {};
        if (const group *owner = ::getgrgid(info.st_gid))
            return QString::fromLocal8Bit(owner->gr_name);
    }
#else
    Q_UNUSED(device);
#endif
    return QStringLiteral("dialout");
}

} // namespace

Failure systemFailure(int error, const QString &device, LineStep step)
{
    QString text;
    switch (error) {
    case EACCES:
    case EPERM:
        if (const QString group = deviceGroup(device); !group.isEmpty()) {
            text = QStringLiteral("没有权限打开 %1。请把当前用户加入用户组 %2"
                                  "（sudo adduser $USER %2），重新登录后再试。")
                       .arg(device, group);
        } else {
            text = QStringLiteral("没有权限打开 %1，只有 root 能打开它。请让管理员用 udev 规则"
                                  "把该设备交给 dialout 组，再把当前用户加入该组。")
                       .arg(device);
        }
        break;
    case EBUSY:
        text = QStringLiteral("%1 正被另一个程序占用。请先关闭占用该串口的程序，再打开串口。")
                   .arg(device);
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        text =
            QStringLiteral("找不到设备 %1。请检查继电器板是否已连接，串口号是否正确。").arg(device);
        break;
    case ENOTTY:
    case EINVAL:
        text = step == LineStep::Opening
                   ? QStringLiteral("%1 不是串口。请选择继电器板所在的串口号。").arg(device)
                   : QStringLiteral("%1 没有调制解调器控制线，无法驱动 RTS。"
                                    "请改用带 RTS 线的串口。")
                         .arg(device);
        break;
    case EIO:
        text = QStringLiteral("%1 输入/输出错误，设备可能已被拔出。"
                              "请关闭串口，重新连接设备后再打开。")
                   .arg(device);
        break;
    default:
        text = QStringLiteral("%1：%2").arg(device, QString::fromLocal8Bit(std::strerror(error)));
        break;
    }
    return {error, text};
}
