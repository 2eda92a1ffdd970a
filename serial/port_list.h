#pragma once

#include <QList>
#include <QString>

#include <optional>

// One serial port of the host, as the user numbers it.
struct PortEntry
{
    QString device;      // path handed to the serial line, e.g. /dev/ttyUSB0
    QString description; // what the user would recognise it by, e.g. "USB Serial"
    QString usbId;       // "vid:pid" for USB adapters, else empty
    // The path's bytes where they are not UTF-8, so such a name still opens; else empty.
    QByteArray rawDevice = {};

    bool operator==(const PortEntry &) const = default;
};

// The path to hand the system for `port`.
QByteArray devicePath(const PortEntry &port);

// The host's serial ports in the order the user numbers them. Read anew on every call, so a
// board plugged in while the program runs gets a number without a restart. Never opens a
// device.
QList<PortEntry> hostPorts();

// The number the user types for ports[index] of a list hostPorts() gave: its place in the list
// on Linux; on Windows the number of its COM name, as Device Manager shows it.
int portNumber(const QList<PortEntry> &ports, qsizetype index);

// The port the user means by `number`; none when the host has no such port. On Windows any
// COM number names a port, listed or not: virtual ports are often missing from the list.
std::optional<PortEntry> findPort(const QList<PortEntry> &ports, qint16 number);

// The list named by VANTRELO_PORTS: absolute device paths separated by ':' (';' on Windows).
QList<PortEntry> portsFromOverride(const QByteArray &value);

// The serial ports listed under a sysfs tty class directory (normally /sys/class/tty).
QList<PortEntry> portsFromSysfs(const QString &ttyClassDir);

// "ttyS2" before "ttyS10": digit runs compare by value.
bool naturalLess(const QString &a, const QString &b);

// At most this many ports are listed in a message or tooltip, so that a host with dozens of
// ports still gets a box that fits on the screen; a last line says how many were left out.
constexpr qsizetype listedPortsAtMost = 20;

// One line per port, "1 = /dev/ttyUSB0 (USB Serial)", for messages.
QString numberedPortList(const QList<PortEntry> &ports);

// The end of a message about a port the host lacks: the numbers it has, or what to do when none.
QString portsAdvice(const QList<PortEntry> &ports);

// One line per port with all the host knows of it, "1 = /dev/ttyUSB0  USB Serial (1a86:7523)",
// for a user matching numbers to the boards on the desk.
QString describedPortList(const QList<PortEntry> &ports);
