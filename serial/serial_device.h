#pragma once

#include "failure.h"
#include "port_list.h"

#include <memory>

// One serial device of the platform, held for its RTS line alone. It is opened with RTS
// negated and lets go with RTS negated, whatever the platform would do on its own.
class SerialDevice
{
public:
    // Lets go as close() does, reporting nothing.
    virtual ~SerialDevice() = default;

    // Sets RTS and reads it back; throws Failure when the line did not take the level.
    virtual void setRts(bool level) = 0;
    // Negates RTS, then lets go of the device. Throws Failure only after letting go.
    virtual void close() = 0;
    // What the system's drivers of the device will do to RTS by themselves, found at opening.
    virtual QList<Notice> notices() const { return {}; }
};

// Opens `port` for its modem lines; throws Failure with the reason worded for the user.
std::unique_ptr<SerialDevice> openSerialDevice(const PortEntry &port);

// The same for a port another machine serves (rfc2217://HOST:PORT), on either platform.
std::unique_ptr<SerialDevice> openServedDevice(const PortEntry &port);
