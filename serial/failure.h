#pragma once

#include <QString>

// A step that could not be done: the number a user can quote and what to do about it.
struct Failure
{
    int number = 0;
    QString description;
};

// What a driver will do to the line by itself, for the user to hear of before relying on the
// relay: a number to quote, what happens and how to stop it. Not a failure: the port is open.
struct Notice
{
    int number = 0;
    QString description;
};

// Numbers for failures that carry no system error code, and for notices; kept clear of errno
// values.
namespace failure_number {
constexpr int NoSuchPort = 1001;
constexpr int PortAlreadyOpen = 1002;
constexpr int PortNotOpen = 1003;
constexpr int LineDidNotTake = 1004;
constexpr int SerialPortFailed = 1005;
constexpr int BadServedPort = 1201;
constexpr int HostNotFound = 1202;
constexpr int ConnectionRefused = 1203;
constexpr int NoAnswer = 1204;
constexpr int NotComPortServer = 1205;
constexpr int ConnectionLost = 1206;
constexpr int ServerBrokeProtocol = 1207;
constexpr int NetworkFailed = 1208;
constexpr int PortNumberEmpty = 1101;
constexpr int PortNumberNotInteger = 1102;
constexpr int PortNumberOutOfRange = 1103;
constexpr int SerialEnumerator = 1301;
constexpr int RtsOnClose = 1302;
} // namespace failure_number
