#pragma once

#include <QString>
#include <QtGlobal>

// The port number typed into the field: a decimal whole number in -32768..32767, blanks
// around it and a sign allowed, in half-width or full-width forms. Throws Failure otherwise.
qint16 toPortNumber(const QString &text);
