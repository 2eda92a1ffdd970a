#pragma once

#include "rfc2217.h"
#include "serial_device.h"

#include <QTcpSocket>

#include <chrono>
#include <functional>
#include <optional>

struct Failure;

// A serial port served by another machine over RFC 2217, held for its RTS line alone. The
// server opens the device when we connect, so connecting asks for nothing to change: no
// baud, framing, flow control, DTR or RTS, only RTS's state. Each RTS change is confirmed by
// the server's answer, and letting go lowers RTS before the connection closes.
//
// Every wait is bounded and keeps the window painting, with user input held back: a click
// never starts while another is waiting for its answer.
class NetworkDevice final : public SerialDevice
{
public:
    // Throws Failure; on failure the connection is closed, nothing having moved.
    NetworkDevice(const ServedPort &address, const QString &shown);
    ~NetworkDevice() override;

    NetworkDevice(const NetworkDevice &) = delete;
    NetworkDevice &operator=(const NetworkDevice &) = delete;

    void setRts(bool level) override;
    void close() override;

    // For the program's end through exit(): asks RTS off without waiting for anything.
    void lowerAtExit();

private:
    bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);
    void readAvailable();
    bool connected() const;
    std::optional<bool> request(quint8 value, std::chrono::milliseconds limit);
    Failure openingFailure(const ServedPort &address) const;
    std::optional<Failure> letGo();

    QString m_shown;
    QTcpSocket m_socket;
    ComPortClient m_protocol;
    bool m_reached = false; // the connection was made
};
