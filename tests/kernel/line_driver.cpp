// Runs inside the guest: drives MSComm through the steps the host sends, one per line, as
// "<marker> <command> [argument]", and answers each with "@@ <marker> ok <µs>" or
// "@@ <marker> fail <number> <description>". Before a step it writes the marker to the guest's
// second UART's scratch register, which QEMU traces like the modem lines, so the host can tell
// which step moved which line without trusting the console's timing.
#include "failure.h"
#include "mscomm.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The scratch register of the UART at 0x2f8 (ttyS1); no driver reads it after probing.
constexpr off_t scratchPort = 0x2f8 + 7;

void mark(int marker)
{
    static const int port = open("/dev/port", O_WRONLY | O_CLOEXEC);
    const unsigned char byte = marker & 0xff;
    if (port < 0 || pwrite(port, &byte, 1, scratchPort) != 1)
        std::perror("/dev/port");
}

void answer(int marker, const std::function<void()> &step)
{
    const auto start = std::chrono::steady_clock::now();
    try {
        step();
    } catch (const Failure &failure) {
        std::printf("@@ %d fail %d %s\n", marker, failure.number,
                    failure.description.simplified().toStdString().c_str());
        std::fflush(stdout);
        return;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("@@ %d ok %lld\n", marker,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    std::fflush(stdout);
}

// Device nodes come and go with the USB adapter; udev is not there to say when.
void waitFor(const std::string &path, bool present)
{
    struct stat st;
    for (int tries = 0; tries < 1000; ++tries) {
        if ((stat(path.c_str(), &st) == 0) == present)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw Failure{ETIMEDOUT, QString::fromStdString(path)};
}

// A second holder must be another process: one process's own flock() would not refuse it.
void holdElsewhere(int marker, const std::string &port)
{
    const pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "line_driver", "--hold", std::to_string(marker).c_str(),
              port.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--hold") {
        const int marker = std::atoi(argv[2]);
        MSComm line;
        answer(marker, [&] {
            line.putCommPort(static_cast<qint16>(std::atoi(argv[3])));
            line.putPortOpen(true);
        });
        return 0;
    }

    MSComm line;
    std::string text;
    while (std::getline(std::cin, text)) {
        std::istringstream words(text);
        int marker = 0;
        std::string command, argument;
        if (!(words >> marker >> command))
            continue;
        std::getline(words >> std::ws, argument);
        mark(marker);
        if (command == "open") {
            answer(marker, [&] {
                line.putCommPort(static_cast<qint16>(std::stoi(argument)));
                line.putPortOpen(true);
            });
        } else if (command == "rts") {
            answer(marker, [&] { line.putRTSEnable(argument == "1"); });
        } else if (command == "close") {
            answer(marker, [&] { line.putPortOpen(false); });
        } else if (command == "hold") {
            holdElsewhere(marker, argument);
        } else if (command == "sh") {
            answer(marker, [&] {
                if (std::system(argument.c_str()) != 0)
                    throw Failure{-1, QString::fromStdString(argument)};
            });
        } else if (command == "gone" || command == "back") {
            answer(marker, [&] { waitFor(argument, command == "back"); });
        } else if (command == "quit") {
            answer(marker, [] {});
            break;
        } else {
            answer(marker, [&] { throw Failure{-1, QString::fromStdString(command)}; });
        }
    }
    return 0;
}
