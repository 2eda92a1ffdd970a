#pragma once

#include "serial_line.h"

#include <QSerialPort>
#include <QString>

// The program's serial line: one QSerialPort that carries nothing but its RTS level.
class MSComm final : public SerialLine
{
public:
    MSComm();
    ~MSComm() override;

    MSComm(const MSComm &) = delete;
    MSComm &operator=(const MSComm &) = delete;

    void putCommPort(qint16 number) override;
    bool getPortOpen() const override;
    void putPortOpen(bool open) override;
    void putRTSEnable(bool level) override;

    // The device the open port belongs to; empty while closed.
    QString device() const { return m_device; }

private:
    void open();
    void close();
    void driveRts(bool level);

    QSerialPort m_port;
    qint16 m_commPort = 1;
    QString m_device;
};
