#pragma once

#include "failure.h"
#include "line_errors.h"

// A Failure for the Win32 error `code` (GetLastError) on COM port `port`, worded for the user
// with what to do next. Codes without words of our own get the system's description.
Failure comFailure(unsigned long code, const QString &port, LineStep step);

// Whether `code` says the device behind an open handle is gone (an adapter pulled out).
bool comDeviceGone(unsigned long code);
