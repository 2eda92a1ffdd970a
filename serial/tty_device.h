#pragma once

#include "device_lock.h"
#include "serial_device.h"

#include <QString>

#include <memory>

// A Linux tty held for its RTS line, opened and let go without RTS ever rising on its own.
//
// Linux raises RTS and DTR whenever a tty is opened, unless the baud stored in its termios is
// B0, and raises them again on any change away from B0. The kernel keeps that termios between
// closings for as long as the device stays plugged in. So the line is held at B0 and left at
// B0: once one opening has stored it, no later opening moves RTS. The opening that finds
// another baud (the first after boot or plug-in, or after another program) lowers RTS with its
// very first call.
class TtyDevice final : public SerialDevice
{
public:
    // Throws Failure; on failure nothing is held.
    TtyDevice(const QByteArray &path, const QString &shown);
    ~TtyDevice() override;

    TtyDevice(const TtyDevice &) = delete;
    TtyDevice &operator=(const TtyDevice &) = delete;

    void setRts(bool level) override;
    void close() override;

private:
    void holdAtB0();
    int letGo();

    QString m_shown;
    int m_fd = -1;
    dev_t m_device = 0;
    std::unique_ptr<DeviceLock> m_lock;
};
