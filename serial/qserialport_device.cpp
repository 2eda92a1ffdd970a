#include "qserialport_device.h"

#include "failure.h"
#include "line_errors.h"

#include <cerrno>

std::unique_ptr<SerialDevice> openSerialDevice(const PortEntry &port)
{
    return std::make_unique<QSerialPortDevice>(port.device);
}

QSerialPortDevice::QSerialPortDevice(const QString &name) : m_port(name)
{
    // Hardware flow control must stay off: with it the driver, not the user, would drive RTS.
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // Restoring the settings found at opening could restore RTS enabled, and pull the relay in
    // as the port is let go.
    m_port.setSettingsRestoredOnClose(false);
    if (!m_port.open(QIODevice::WriteOnly)) {
        switch (m_port.error()) {
        case QSerialPort::PermissionError:
            // Windows opens a COM port for one program at a time and says "access denied".
            throw busyFailure(name);
        case QSerialPort::DeviceNotFoundError:
            throw systemFailure(ENOENT, name, LineStep::Opening);
        case QSerialPort::UnsupportedOperationError:
            throw systemFailure(ENOTTY, name, LineStep::Opening);
        default:
            throw Failure{failure_number::SerialPortFailed,
                          QStringLiteral("无法打开 %1：%2").arg(name, m_port.errorString())};
        }
    }
    try {
        setRts(false);
        // Some boards draw their power from DTR.
        m_port.setDataTerminalReady(true);
    } catch (...) {
        m_port.close();
        throw;
    }
}

QSerialPortDevice::~QSerialPortDevice()
{
    if (m_port.isOpen()) {
        m_port.setRequestToSend(false);
        m_port.close();
    }
}

void QSerialPortDevice::setRts(bool level)
{
    if (!m_port.setRequestToSend(level) || m_port.isRequestToSend() != level)
        throw levelNotTakenFailure(m_port.portName(), level);
}

void QSerialPortDevice::close()
{
    const bool lowered = m_port.setRequestToSend(false) && !m_port.isRequestToSend();
    m_port.clearError();
    m_port.close();
    if (m_port.error() != QSerialPort::NoError) {
        throw Failure{
            failure_number::SerialPortFailed,
            QStringLiteral("关闭 %1 时出错：%2").arg(m_port.portName(), m_port.errorString())};
    }
    if (!lowered)
        throw levelNotTakenAtClosingFailure(m_port.portName());
}
