#pragma once

#include "failure.h"

#include <QStringList>

// What the line was doing when the system said no: the same errno means different things
// to a user while opening a port and while driving RTS.
enum class LineStep { Opening, DrivingRts, Closing };

// A Failure for system error `error` on `device`, worded for the user with what to do next.
Failure systemFailure(int error, const QString &device, LineStep step);

// Another program holds `device`; `holder` says which and how we know, when we do.
Failure busyFailure(const QString &device, const QString &holder = {});

// No lock could be written in any of `dirs`, so holding the device alone is not assured.
Failure noLockDirectoryFailure(const QString &device, const QStringList &dirs);

// The lock file at `path` is in the way: it can be neither used nor removed by this user.
Failure unusableLockFailure(const QString &device, const QString &path);

// `device` is the system's console or a terminal of it, never a relay board's port.
Failure consoleFailure(const QString &device);

// The line reads back another RTS level than the one just set.
Failure levelNotTakenFailure(const QString &device, bool level);

// RTS still reads asserted after the closing lowered it: the relay may be pulled in still.
Failure levelNotTakenAtClosingFailure(const QString &device);
