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
        return busyFailure(device);
    case ENOENT:
    case ENODEV:
        text =
            QStringLiteral("找不到设备 %1。请检查继电器板是否已连接，串口号是否正确。").arg(device);
        break;
    case ENXIO:
        text = step == LineStep::Opening
                   ? QStringLiteral("%1 后面没有可用的串口硬件（设备可能刚被拔出）。"
                                    "请检查继电器板是否已连接，串口号是否正确。")
                         .arg(device)
                   : QStringLiteral("%1 已不存在，设备可能已被拔出。"
                                    "请关闭串口，重新连接设备后再打开。")
                         .arg(device);
        break;
    case ELOOP:
        text = QStringLiteral("%1 是一串循环的符号链接，指不到任何设备。"
                              "请检查 VANTRELO_PORTS 中的路径。")
                   .arg(device);
        break;
    case ENOTDIR:
        text = QStringLiteral("%1 的路径中有一段不是文件夹，找不到该设备。"
                              "请检查 VANTRELO_PORTS 中的路径。")
                   .arg(device);
        break;
    case ENAMETOOLONG:
        text = QStringLiteral("设备路径太长，系统无法打开：%1。请改用较短的路径。").arg(device);
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
        text = step == LineStep::Opening
                   ? QStringLiteral("%1 没有响应（输入/输出错误），设备可能刚被拔出或尚未就绪。"
                                    "请检查继电器板的连接，稍后再打开串口。")
                         .arg(device)
                   : QStringLiteral("%1 输入/输出错误，设备可能已被拔出。"
                                    "请关闭串口，重新连接设备后再打开。")
                         .arg(device);
        break;
    default:
        text = QStringLiteral("%1 出错（系统错误 %2：%3）。请检查继电器板的连接后再试。")
                   .arg(device)
                   .arg(error)
                   .arg(QString::fromLocal8Bit(std::strerror(error)));
        break;
    }
    return {error, text};
}

Failure busyFailure(const QString &device, const QString &holder)
{
    const QString who = holder.isEmpty() ? QString() : QStringLiteral("（%1）").arg(holder);
    return {EBUSY, QStringLiteral("%1 正被另一个程序占用%2。请先关闭占用该串口的程序，"
                                  "再打开串口。")
                       .arg(device, who)};
}

Failure noLockDirectoryFailure(const QString &device, const QStringList &dirs)
{
    return {failure_number::NoLockDirectory,
            QStringLiteral("无法锁定 %1：锁文件夹 %2 不存在或当前用户不能写入，"
                           "因此无法保证没有别的程序同时使用该串口。"
                           "请让管理员确认 %3 存在且所有用户可写（权限 1777）。")
                .arg(device, dirs.join(QStringLiteral("、")), dirs.value(0))};
}

Failure unusableLockFailure(const QString &device, const QString &path)
{
    return {failure_number::LockFileUnusable,
            QStringLiteral("无法锁定 %1：锁文件 %2 既不能使用，也不能被当前用户删除。"
                           "请确认没有程序在使用该串口后，让管理员删除它（sudo rm %2）。")
                .arg(device, path)};
}

Failure consoleFailure(const QString &device)
{
    return {ENOTTY, QStringLiteral("%1 是系统的控制台终端，不是继电器板的串口，"
                                   "本程序不会驱动它。请选择继电器板所在的串口号。")
                        .arg(device)};
}

Failure levelNotTakenFailure(const QString &device, bool level)
{
    return {failure_number::LineDidNotTake,
            QStringLiteral("%1 的 RTS 线没有变为%2，继电器状态未知。"
                           "请检查串口设备后重新打开串口。")
                .arg(device,
                     level ? QStringLiteral("高电平（吸合）") : QStringLiteral("低电平（断开）"))};
}

Failure levelNotTakenAtClosingFailure(const QString &device)
{
    return {failure_number::LineDidNotTake,
            QStringLiteral("串口 %1 已关闭，但关闭前 RTS 线没有变为低电平，继电器可能仍处于"
                           "吸合状态。请检查继电器板和串口设备。")
                .arg(device)};
}
