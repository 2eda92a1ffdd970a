#pragma once

#include "serial_line.h"

#include <QSet>
#include <QString>

#include <memory>

class SerialDevice;

// The program's serial line: the port numbering, the rules of its three properties and the
// wording of its failures. The platform's device code sits below it.
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
    QList<Notice> takeNotices() override;
    QString openDevice() const override { return m_deviceName; }

    // Lowers RTS and lets go of the port, if open, saying nothing: for the program's end.
    void letGo() noexcept;

    // The device the open port belongs to; empty while closed.
    QString device() const { return m_deviceName; }

private:
    void open();
    void close();

    std::unique_ptr<SerialDevice> m_device;
    qint16 m_commPort = 1;
    QString m_deviceName;
    QList<Notice> m_notices;
    QSet<QString> m_told; // device and number of each notice given
};
