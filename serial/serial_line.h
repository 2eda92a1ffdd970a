#pragma once

#include "failure.h"

#include <QList>
#include <QString>

// The serial line as the window drives it: choose a port, open or close it, set RTS.
// Every call either does what it says or throws Failure.
class SerialLine
{
public:
    virtual ~SerialLine() = default;

    virtual void putCommPort(qint16 number) = 0;
    virtual bool getPortOpen() const = 0;
    virtual void putPortOpen(bool open) = 0;
    virtual void putRTSEnable(bool level) = 0;
    // What the openings found that the user has not yet been told, each once a run; emptied by
    // the call.
    virtual QList<Notice> takeNotices() { return {}; }
    // The device the open port is, as the port list named it; empty while closed.
    virtual QString openDevice() const { return {}; }
};
