#pragma once

#include "failure.h"

#include <QList>
#include <QString>

#include <functional>

#include <windows.h>

#include <setupapi.h>

// What the drivers Windows stacks on a COM port will do to RTS by themselves, read from the
// registry.

// Calls `visit` for each present device of the Ports class that names its COM port, with that
// name in capitals and the device's Device Parameters key, open for reading.
void forEachComDevice(const std::function<void(HDEVINFO set, SP_DEVINFO_DATA &device,
                                               const QString &name, HKEY parameters)> &visit);

// What the user should know of COM port `port` ("COM5", or "\\.\COM5"): the Serial Enumerator
// probes it while no program holds it; FTDI's driver raises RTS as it is closed. Empty for
// other ports and for names the registry does not know.
QList<Notice> driverNotices(const QString &port);
