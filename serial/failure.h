#pragma once

#include <QString>

// A step that could not be done: the number a user can quote and what to do about it.
struct Failure
{
    int number = 0;
    QString description;
};

// Numbers for failures that carry no system error code; kept clear of errno values.
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
} // namespace failure_number
