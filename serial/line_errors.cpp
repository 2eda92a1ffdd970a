#include "line_errors.h"

#include <QtCore/qsystemdetection.h>

#include <cerrno>
#include <cstring>

#ifndef Q_OS_WIN
#include <QFileInfo>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#endif

namespace {

// Advice that fits how the device is set up on this host. Joining its group helps only when
// the group may read and write it, and joining root's group would hand the user the machine.
QString permissionAdvice(const QString &device)
{
#ifndef Q_OS_WIN
    struct stat info
    {};
    if (::stat(device.toLocal8Bit().constData(), &info) == 0) {
        const group *owners = ::getgrgid(info.st_gid);
        const QString group =
            owners ? QString::fromLocal8Bit(owners->gr_name) : QString::number(info.st_gid);
        if (info.st_gid == 0) {
            return QStringLiteral("没有权限打开 %1，只有 root 能打开它。请让管理员用 udev 规则"
                                  "把该设备交给 dialout 组，再把当前用户加入该组。")
                .arg(device);
        }
        if ((info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            return QStringLiteral("没有权限打开 %1。请把当前用户加入用户组 %2"
                                  "（sudo adduser $USER %2），重新登录后再试。")
                .arg(device, group);
        }
        const passwd *user = ::getpwuid(info.st_uid);
        const QString owner =
            user ? QString::fromLocal8Bit(user->pw_name) : QString::number(info.st_uid);
        const QString kernelName = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
        return QStringLiteral("没有权限打开 %1：它的权限是 %2（属主 %3，用户组 %4），用户组 %4 "
                              "也不能读写它，所以加入该组无济于事。请让管理员加一条 udev 规则"
                              "（例如 SUBSYSTEM==\"tty\", KERNEL==\"%5\", GROUP=\"dialout\", "
                              "MODE=\"0660\"），再把当前用户加入 dialout 组；或临时执行 "
                              "sudo chmod 0660 %1（设备重新插入后失效）。")
            .arg(device, QString::number(info.st_mode & 07777, 8).rightJustified(4, u'0'), owner,
                 group, kernelName);
    }
#endif
    return QStringLiteral("没有权限打开 %1。请把当前用户加入用户组 dialout"
                          "（sudo adduser $USER dialout），重新登录后再试。")
        .arg(device);
}

} // namespace

Failure systemFailure(int error, const QString &device, LineStep step)
{
    QString text;
    switch (error) {
    case EACCES:
    case EPERM:
        text = permissionAdvice(device);
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
        text =
            QStringLiteral("%1 出错（系统错误 %2：%3）。请检查继电器板的连接后再试。")
                // in one pass: a name holding "%2" must not take the number's place
                .arg(device, QString::number(error), QString::fromLocal8Bit(std::strerror(error)));
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

Failure stillClosingFailure(const QString &device)
{
    return {EBUSY, QStringLiteral("本程序刚才关闭了 %1，但驱动程序迟迟没有让它关闭完毕。"
                                  "请稍等片刻再打开串口；若一直如此，请拔下设备再重新插入。")
                       .arg(device)};
}

Failure notSerialFailure(const QString &device, const QString &kind)
{
    if (kind.isEmpty())
        return systemFailure(ENOTTY, device, LineStep::Opening);
    return {ENOTTY, QStringLiteral("%1 不是串口，而是 %2 设备。请选择继电器板所在的串口号。")
                        .arg(device, kind)};
}

Failure unknownKindFailure(const QString &device)
{
    return {ENOTTY, QStringLiteral("无法确认 %1 是不是串口：/proc/tty/drivers 和 /sys 都读不到"
                                   "（程序可能运行在容器或沙盒中）。打开别的设备可能有副作用，"
                                   "所以本程序不打开它。请让程序能读取 /proc/tty/drivers 后再试。")
                        .arg(device)};
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
