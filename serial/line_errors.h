#pragma once

#include "failure.h"

// What the line was doing when the system said no: the same errno means different things
// to a user while opening a port and while driving RTS.
enum class LineStep { Opening, DrivingRts, Closing };

// A Failure for system error `error` on `device`, worded for the user with what to do next.
Failure systemFailure(int error, const QString &device, LineStep step);
