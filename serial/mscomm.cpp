#include "mscomm.h"

#include "line_errors.h"
#include "port_list.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
// Problems we can name precisely before QSerialPort tries, since its own error kinds lump
// "no such file", "no permission" and "someone else has it" together.
int precheckDevice(const QString &device)
{
    const QByteArray path = device.toLocal8Bit();
    struct stat info
    {};
    if (::stat(path.constData(), &info) != 0)
        return errno;
    if (!S_ISCHR(info.st_mode))
        return ENOTTY;
    if (::access(path.constData(), W_OK) != 0)
        return errno;
    return 0;
}

// Terminal programs that lock a port the old UUCP way write their pid and nothing else.
// QSerialPort takes such a file for a stale lock of its own, removes it and opens the port
// under the holder's feet, and that opening raises RTS on the holder's line. A live pid in the
// file therefore means busy. Our own locks start with the pid too, so they read the same way.
bool lockedByAnotherProgram(const QString &node)
{
    QString name = node.startsWith(u"/dev/") ? node.mid(5) : node;
    name.replace(u'/', u'_');
    for (const char *dir : {"/var/lock", "/run/lock"}) {
        QFile lock(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const qint64 pid = lock.readLine(64).trimmed().toLongLong(&ok);
        // This process's own lock is QSerialPort's to judge.
        if (!ok || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(pid_t(pid), 0) == 0 || errno == EPERM)
            return true;
    }
    return false;
}
#endif

Failure noSuchPort(qint16 number, const QList<PortEntry> &ports)
{
#ifdef Q_OS_WIN
    Q_UNUSED(ports);
    return {failure_number::NoSuchPort,
            QStringLiteral("串口号 %1 无效。请输入 1 到 255 之间的串口号。").arg(number)};
#else
    QString text = QStringLiteral("本机没有第 %1 号串口。").arg(number);
    if (ports.isEmpty()) {
        text += QStringLiteral("本机当前没有可用的串口，请连接继电器板后再试。");
    } else {
        text += QStringLiteral("本机的串口有：\n") + numberedPortList(ports);
    }
    return {failure_number::NoSuchPort, text};
#endif
}

} // namespace

MSComm::MSComm()
{
    // Stored once, applied by QSerialPort at every opening. Hardware flow control must stay
    // off: with it the kernel, not the program, would drive RTS.
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
}

MSComm::~MSComm()
{
    if (m_port.isOpen())
        m_port.close();
}

void MSComm::putCommPort(qint16 number)
{
    if (m_port.isOpen()) {
        throw Failure{failure_number::PortAlreadyOpen,
                      QStringLiteral("串口已打开，不能更改串口号。请先关闭串口。")};
    }
    m_commPort = number;
}

bool MSComm::getPortOpen() const
{
    return m_port.isOpen();
}

void MSComm::putPortOpen(bool open)
{
    if (open == m_port.isOpen())
        return;
    if (open)
        this->open();
    else
        close();
}

void MSComm::putRTSEnable(bool level)
{
    if (!m_port.isOpen()) {
        throw Failure{failure_number::PortNotOpen,
                      QStringLiteral("串口未打开，无法设置 RTS。请先打开串口。")};
    }
    driveRts(level);
}

void MSComm::open()
{
#ifdef Q_OS_WIN
    if (m_commPort < 1)
        throw noSuchPort(m_commPort, {});
    const QString device = QStringLiteral("COM%1").arg(m_commPort);
    const QString node = device;
#else
    const QList<PortEntry> ports = hostPorts();
    if (m_commPort < 1 || m_commPort > ports.size())
        throw noSuchPort(m_commPort, ports);
    const QString device = ports.at(m_commPort - 1).device;
    if (const int error = precheckDevice(device))
        throw systemFailure(error, device, LineStep::Opening);
    // QSerialPort names its lock file after the path it is given, and for root that lock is all
    // that keeps a second holder off. Through a udev by-id link and through /dev/ttyUSB0 one
    // device would get two locks, so the lock goes by the node the link leads to.
    QString node = QFileInfo(device).canonicalFilePath();
    if (node.isEmpty())
        node = device;
    if (lockedByAnotherProgram(node))
        throw systemFailure(EBUSY, device, LineStep::Opening);
#endif

    m_port.setPortName(node);
    // Write-only: nothing is ever read, and without a read notifier a vanished device shows
    // up at the next click instead of as an error event no one handles.
    if (!m_port.open(QIODevice::WriteOnly)) {
        switch (m_port.error()) {
        case QSerialPort::PermissionError:
            // The device itself let us in (checked above), so what refused is the lock
            // another program took on it.
            throw systemFailure(EBUSY, device, LineStep::Opening);
        case QSerialPort::DeviceNotFoundError:
            throw systemFailure(ENOENT, device, LineStep::Opening);
        case QSerialPort::UnsupportedOperationError:
            throw systemFailure(ENOTTY, device, LineStep::Opening);
        default:
            throw Failure{failure_number::SerialPortFailed,
                          QStringLiteral("无法打开 %1：%2").arg(device, m_port.errorString())};
        }
    }
    m_device = device;

    // Linux raises RTS and DTR whenever a port is opened. RTS goes low at once, also when the
    // last click before a closing pulled the relay in: a relay must never pull in because a
    // port was opened.
    try {
        driveRts(false);
    } catch (...) {
        m_port.close();
        m_device.clear();
        throw;
    }
}

void MSComm::close()
{
    const QString device = m_device;
    m_port.clearError();
    m_port.close();
    m_device.clear();
    if (m_port.error() != QSerialPort::NoError) {
        throw Failure{failure_number::SerialPortFailed,
                      QStringLiteral("关闭 %1 时出错：%2").arg(device, m_port.errorString())};
    }
}

void MSComm::driveRts(bool level)
{
#ifdef Q_OS_WIN
    if (!m_port.setRequestToSend(level) || m_port.isRequestToSend() != level) {
        throw Failure{
            failure_number::LineDidNotTake,
            QStringLiteral("%1 的 RTS 线未能设置：%2").arg(m_device, m_port.errorString())};
    }
#else
    // QSerialPort's setter reports no errno; the ioctls tell the user exactly what the driver
    // said (EIO for an unplugged adapter, ENOTTY for a line without modem control).
    const int fd = static_cast<int>(m_port.handle());
    int bits = TIOCM_RTS;
    if (::ioctl(fd, level ? TIOCMBIS : TIOCMBIC, &bits) != 0)
        throw systemFailure(errno, m_device, LineStep::DrivingRts);

    // Read back what the driver reports: a line that did not take the level must not pass
    // for one that did.
    int status = 0;
    if (::ioctl(fd, TIOCMGET, &status) != 0)
        throw systemFailure(errno, m_device, LineStep::DrivingRts);
    if (((status & TIOCM_RTS) != 0) != level) {
        throw Failure{failure_number::LineDidNotTake,
                      QStringLiteral("%1 的 RTS 线没有变为%2，继电器状态未知。"
                                     "请检查串口设备后重新打开串口。")
                          .arg(m_device, level ? QStringLiteral("高电平（吸合）")
                                               : QStringLiteral("低电平（断开）"))};
    }
#endif
}
