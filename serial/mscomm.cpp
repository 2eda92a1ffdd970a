#include "mscomm.h"

#include "failure.h"
#include "port_list.h"
#include "rfc2217.h"
#include "serial_device.h"

#include <utility>

namespace {

Failure noSuchPort(qint16 number, const QList<PortEntry> &ports)
{
    // Zero or a negative number is most likely a guess at counting from 0, as ttyS0 does.
    QString text = number < 1 ? QStringLiteral("串口号从 1 开始：1 号是本机的第一个串口。")
                              : QStringLiteral("本机没有第 %1 号串口。").arg(number);
    text += portsAdvice(ports);
    return {failure_number::NoSuchPort, text};
}

} // namespace

MSComm::MSComm() = default;

// The device lowers RTS and lets go as it is destroyed.
MSComm::~MSComm() = default;

void MSComm::letGo() noexcept
{
    m_device.reset();
    m_deviceName.clear();
}

void MSComm::putCommPort(qint16 number)
{
    if (m_device) {
        throw Failure{failure_number::PortAlreadyOpen,
                      QStringLiteral("串口已打开，不能更改串口号。请先关闭串口。")};
    }
    m_commPort = number;
}

bool MSComm::getPortOpen() const
{
    return m_device != nullptr;
}

void MSComm::putPortOpen(bool open)
{
    if (open == getPortOpen())
        return;
    if (open)
        this->open();
    else
        close();
}

void MSComm::putRTSEnable(bool level)
{
    if (!m_device) {
        throw Failure{failure_number::PortNotOpen,
                      QStringLiteral("串口未打开，无法设置 RTS。请先打开串口。")};
    }
    m_device->setRts(level);
}

void MSComm::open()
{
    // Read at every opening, so the number means what the tooltip showed a moment ago.
    const QList<PortEntry> ports = hostPorts();
    const std::optional<PortEntry> port = findPort(ports, m_commPort);
    if (!port)
        throw noSuchPort(m_commPort, ports);
    m_device = isServedPort(port->device) ? openServedDevice(*port) : openSerialDevice(*port);
    m_deviceName = port->device;
    // Once is enough: the user who chose to live with it is not asked at every opening.
    for (const Notice &notice : m_device->notices()) {
        const QString key = m_deviceName + u' ' + QString::number(notice.number);
        if (!m_told.contains(key)) {
            m_told.insert(key);
            m_notices.append(notice);
        }
    }
}

QList<Notice> MSComm::takeNotices()
{
    return std::exchange(m_notices, {});
}

void MSComm::close()
{
    // The port counts as closed whatever the device reports: it has let go by then.
    const std::unique_ptr<SerialDevice> device = std::move(m_device);
    m_deviceName.clear();
    device->close();
}
