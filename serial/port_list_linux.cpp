#include "port_list.h"

QList<PortEntry> hostPorts()
{
    if (qEnvironmentVariableIsSet("VANTRELO_PORTS"))
        return portsFromOverride(qgetenv("VANTRELO_PORTS"));
    // QSerialPortInfo opens every on-board ttyS port to probe it, and an open raises RTS: merely
    // listing ports would click a relay wired there. sysfs tells the same without touching a line.
    return portsFromSysfs(QStringLiteral("/sys/class/tty"));
}

int portNumber(const QList<PortEntry> &, qsizetype index)
{
    return int(index) + 1;
}

std::optional<PortEntry> findPort(const QList<PortEntry> &ports, qint16 number)
{
    if (number < 1 || number > ports.size())
        return std::nullopt;
    return ports.at(number - 1);
}
