#pragma once

#include "serial_device.h"

#include <QSerialPort>

// A Windows COM port held through QSerialPort, whose opening there leaves RTS disabled.
class QSerialPortDevice final : public SerialDevice
{
public:
    // Throws Failure; on failure nothing is held.
    explicit QSerialPortDevice(const QString &name);
    ~QSerialPortDevice() override;

    void setRts(bool level) override;
    void close() override;

private:
    QSerialPort m_port;
};
