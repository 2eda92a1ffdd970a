#pragma once

#include "failure.h"

#include <QString>

// What the line was doing when the system said no: the same errno means different things
// to a user while opening a port and while driving RTS.
enum class LineStep { Opening, DrivingRts, Closing };

// A Failure for system error `error` on `device`, worded for the user with what to do next.
Failure systemFailure(int error, const QString &device, LineStep step);

// Another program holds `device`; `holder` says which and how we know, when we do.
Failure busyFailure(const QString &device, const QString &holder = {});

// Our own closing of `device` has not finished, long after the driver should have let go.
Failure stillClosingFailure(const QString &device);

// `device` is a device of the kind the kernel calls `kind` (from /proc/devices), not a tty.
Failure notSerialFailure(const QString &device, const QString &kind);

// Neither /proc nor /sys says what kind of device `device` is.
Failure unknownKindFailure(const QString &device);

// `device` is the system's console or a terminal of it, never a relay board's port.
Failure consoleFailure(const QString &device);

// The line reads back another RTS level than the one just set.
Failure levelNotTakenFailure(const QString &device, bool level);

// RTS still reads asserted after the closing lowered it: the relay may be pulled in still.
Failure levelNotTakenAtClosingFailure(const QString &device);
