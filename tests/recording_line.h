#pragma once

#include "failure.h"
#include "serial_line.h"

#include <QStringList>

#include <functional>
#include <optional>

// A serial line that writes down every property call, so a test can compare the window's
// calls with the expected sequence, and that fails on demand.
class RecordingLine final : public SerialLine
{
public:
    void putCommPort(qint16 number) override;
    bool getPortOpen() const override;
    void putPortOpen(bool open) override;
    void putRTSEnable(bool level) override;

    mutable QStringList calls;
    bool open = false;
    bool rts = false;
    qint16 commPort = 0;

    std::optional<Failure> failCommPort;
    std::optional<Failure> failOpen;
    std::optional<Failure> failClose; // the port is released anyway, as a real close is
    std::optional<Failure> failRts;

    // Runs as the line is driven, to see what the window showed at that moment.
    std::function<void()> onRts;
};
