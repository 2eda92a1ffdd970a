#pragma once

#include "serial_device.h"

#include <QString>

// A Windows COM port held through Win32 for its RTS line alone.
//
// Windows opens a COM port with the handshake settings of its last use, which may have RTS
// enabled; so the first call that touches the line disables RTS, and nothing raises it but a
// click. A port is ours alone while open: CreateFileW's share mode 0 refuses everyone else.
class ComDevice final : public SerialDevice
{
public:
    // Throws Failure; on failure nothing is held.
    explicit ComDevice(const QString &name);
    ~ComDevice() override;

    ComDevice(const ComDevice &) = delete;
    ComDevice &operator=(const ComDevice &) = delete;

    void setRts(bool level) override;
    void close() override;
    QList<Notice> notices() const override { return m_notices; }

private:
    // 0 when the line reads `level` or cannot be read back; else the Win32 error or -1.
    long confirmRts(bool level) const;
    unsigned long letGo();

    QString m_name;
    void *m_handle;
    QList<Notice> m_notices;
};
