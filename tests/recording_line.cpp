#include "recording_line.h"

namespace {
QString boolText(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}
} // namespace

void RecordingLine::putCommPort(qint16 number)
{
    calls << QStringLiteral("put CommPort %1").arg(number);
    if (failCommPort)
        throw *failCommPort;
    commPort = number;
}

bool RecordingLine::getPortOpen() const
{
    calls << QStringLiteral("get PortOpen");
    return open;
}

void RecordingLine::putPortOpen(bool value)
{
    calls << QStringLiteral("put PortOpen ") + boolText(value);
    if (value && failOpen)
        throw *failOpen;
    open = value;
    if (!value && failClose)
        throw *failClose;
}

void RecordingLine::putRTSEnable(bool level)
{
    calls << QStringLiteral("put RTSEnable ") + boolText(level);
    if (onRts)
        onRts();
    if (failRts)
        throw *failRts;
    rts = level;
}
