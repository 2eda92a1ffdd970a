// How long after a click reaches the window does the RTS line change? Clicks the real window
// driving the real serial line on a pty, with the modem-line library recording each change,
// and prints the spread over many clicks.
//
//   bench/run_rts_latency.sh [CLICKS] [BUILD_DIR]     (default 2000 clicks, build/)
//   build/bench/bench_rts_latency [CLICKS] [OPENINGS] [served] (preloads the library itself)
//
// With "served" the port is the pty served by ser2net on 127.0.0.1, as a board on another
// machine would be, with the keeper connection the README's recipe sets up.
// Then it times OPENINGS (default 20) clicks on 打开串口, each after a closing, by the clock and
// by the processor time of all the program's threads, which what else runs does not change.
#include "main_form.h"
#include "mscomm.h"
#include "pty_fixture.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

namespace {

qint64 nowNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec t{};
    clock_gettime(clock, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The library must be there before the program's first open(); start over with it preloaded.
void ensurePreloaded(char **argv, const QString &log)
{
    if (dlsym(RTLD_DEFAULT, "modemshim_loaded"))
        return;
    setenv("LD_PRELOAD", MODEMSHIM_PATH, 1);
    setenv("MODEMSHIM_LOG", log.toLocal8Bit().constData(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    execv("/proc/self/exe", argv);
    std::perror("exec");
    std::exit(1);
}

double percentile(const std::vector<double> &sorted, double p)
{
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char *argv[])
{
    // Until the bench has its own pty, no port at all: the host's real ones are never ours.
    setenv("VANTRELO_PORTS", "/nonexistent/vantrelo-bench-port", 1);
    const QString logPath =
        qEnvironmentVariableIsSet("MODEMSHIM_LOG")
            ? qEnvironmentVariable("MODEMSHIM_LOG")
            : QDir::temp().filePath(QStringLiteral("vantrelo-bench-%1.log").arg(getpid()));
    ensurePreloaded(argv, logPath);
    QFile::resize(logPath, 0);

    QApplication app(argc, argv);
    const int clicks = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;

    const Pty pty;
    if (!pty.isValid()) {
        std::perror("openpty");
        return 1;
    }
    const QByteArray name = pty.path().toLocal8Bit();
    qputenv("VANTRELO_PORTS", name);
    std::unique_ptr<Ser2net> server;
    if (argc > 3 && qstrcmp(argv[3], "served") == 0) {
        server = std::make_unique<Ser2net>(pty.path());
        if (!server->listening() || !server->keep()) {
            std::fprintf(stderr, "ser2net did not serve %s\n", name.constData());
            return 1;
        }
        QThread::msleep(300); // ser2net opens the device for the keeper
        qputenv("VANTRELO_PORTS", server->entry().toLocal8Bit());
    }

    MSComm line;
    main_form window(line);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    auto *openClose = window.findChild<QPushButton *>(QStringLiteral("open_comm"));
    auto *pullIn = window.findChild<QPushButton *>(QStringLiteral("xihestate"));
    auto *release = window.findChild<QPushButton *>(QStringLiteral("duankai"));
    QTest::mouseClick(openClose, Qt::LeftButton);
    if (!line.getPortOpen()) {
        std::fprintf(stderr, "the port did not open\n");
        return 1;
    }

    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return 1;
    log.readAll();

    std::vector<double> latencyMs;
    latencyMs.reserve(size_t(clicks));
    for (int i = 0; i < clicks; ++i) {
        QPushButton *button = i % 2 ? release : pullIn;
        const QPoint centre = button->rect().center();
        QTest::mousePress(button, Qt::LeftButton, {}, centre);
        // The click is delivered with the release; that is where the user's action ends.
        const qint64 delivered = nowNs();
        QTest::mouseRelease(button, Qt::LeftButton, {}, centre);
        const bool wanted = button == pullIn;
        qint64 changed = 0;
        bool level = !wanted;
        for (const QByteArray &entry : log.readAll().split('\n')) {
            const QList<QByteArray> fields = entry.split(' ');
            if (fields.size() == 5 && fields[1] == "set" && fields[2] == name) {
                changed = fields[0].toLongLong();
                level = fields[3] == "RTS=1";
            }
        }
        // A figure from the wrong event would look as plausible as a right one.
        if (changed < delivered || level != wanted) {
            std::fprintf(stderr, "click %d did not set RTS=%d on %s after its release\n", i,
                         int(wanted), name.constData());
            return 1;
        }
        latencyMs.push_back(double(changed - delivered) / 1e6);
    }
    QTest::mouseClick(openClose, Qt::LeftButton);

    std::vector<double> openingMs[2];
    for (int i = 0; i < (argc > 2 ? std::max(1, std::atoi(argv[2])) : 20); ++i) {
        const qint64 start[2] = {nowNs(), nowNs(CLOCK_PROCESS_CPUTIME_ID)};
        QTest::mouseClick(openClose, Qt::LeftButton);
        openingMs[0].push_back(double(nowNs() - start[0]) / 1e6);
        openingMs[1].push_back(double(nowNs(CLOCK_PROCESS_CPUTIME_ID) - start[1]) / 1e6);
        QTest::mouseClick(openClose, Qt::LeftButton);
    }
    for (std::vector<double> &times : openingMs)
        std::sort(times.begin(), times.end());
    std::printf("click on 打开串口 over %zu openings (ms): median %.1f  max %.1f  processor %.1f\n",
                openingMs[0].size(), percentile(openingMs[0], 0.5), openingMs[0].back(),
                percentile(openingMs[1], 0.5));

    std::sort(latencyMs.begin(), latencyMs.end());
    std::printf("click to RTS change over %d clicks (ms): median %.4f  p10 %.4f  p90 %.4f  "
                "p99 %.4f  min %.4f  max %.4f\n",
                clicks, percentile(latencyMs, 0.5), percentile(latencyMs, 0.1),
                percentile(latencyMs, 0.9), percentile(latencyMs, 0.99), latencyMs.front(),
                latencyMs.back());
    QFile::remove(logPath);
    return 0;
}
