#include "chinese_ui.h"
#include "command_line.h"
#include "main_form.h"
#include "mscomm.h"
#include "platform.h"

#include <QApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    // The handler may interrupt code that is about to read errno.
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// Logging out or `kill` ends the program through the event loop like the close box does, so
// the serial line's destructor lets go of the port and of its lock file. Without this a killed
// program leaves a lock that keeps other users off the port.
void quitOnSignals(QObject *parent)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [] { QApplication::quit(); });
    struct sigaction action
    {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) {
        // A signal the caller chose to ignore stays ignored, as under nohup.
        struct sigaction previous
        {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace
#endif

int main(int argc, char *argv[])
{
    if (const auto status = answerHelpOrVersion(argc, argv))
        return *status;
    setUpPlatform();
    QApplication app(argc, argv);
    if (const auto status = refuseUnknownArguments(argc, argv))
        return *status;
    QApplication::setApplicationName(QStringLiteral(VANTRELO_NAME));
    QApplication::setApplicationVersion(QStringLiteral(VANTRELO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(VANTRELO_NAME));
    // The interface is Chinese (PRC) whatever the desktop's language: Qt's own texts too, and
    // the Chinese forms of the characters.
    speakChinese(app);
#ifdef Q_OS_UNIX
    quitOnSignals(&app);
#endif

    // Declared before the window that drives it, so it outlives the window and its destructor
    // releases the port after the last click has been handled.
    MSComm MSComm1;
    // Windows ends a session by ending the program right after Qt's aboutToQuit, without a
    // return from exec(): the port is let go while that signal is delivered.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [&MSComm1] { MSComm1.letGo(); });
    main_form window(MSComm1);
    window.show();
    return QApplication::exec();
}
