// The real serial line on pseudo-terminals. With the modem-line library preloaded a pty has
// the lines of a real UART; without it, it has none, as some USB gadgets and virtual ports.
#include "device_lock.h"
#include "failure.h"
#include "mscomm.h"
#include "pty_fixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <functional>
#include <memory>

#include <dlfcn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <utime.h>

namespace {

bool shimLoaded()
{
    return dlsym(RTLD_DEFAULT, "modemshim_loaded") != nullptr;
}

// The number and description a call fails with; number 0 when it did not fail.
Failure failureOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const Failure &failure) {
        return failure;
    }
    return {};
}

void openPort(MSComm &line, qint16 number)
{
    line.putCommPort(number);
    line.putPortOpen(true);
}

// Straight to the kernel, so the library neither raises the lines for it nor logs it.
int openPastTheLibrary(const QString &device)
{
    return int(::syscall(SYS_openat, AT_FDCWD, device.toLocal8Bit().constData(),
                         O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

// Child mode: hold `device` the way `kind` would until the test closes our stdin.
int holdPort(const QString &kind, const QString &device)
{
    QTextStream out(stdout);
    qputenv("VANTRELO_PORTS", device.toLocal8Bit());
    MSComm line;
    // A terminal program opens for reading and writing and knows nothing of RTS.
    QSerialPort terminal(device);
    if (kind == u"this-program" || kind == u"pulled-in-until-exit") {
        const Failure failure = failureOf([&] {
            openPort(line, 1);
            line.putRTSEnable(kind != u"this-program");
        });
        if (failure.number) {
            out << "failed: " << failure.description << Qt::endl;
            return 1;
        }
    } else if (kind == u"uucp") {
        // A terminal program of the old school: a plain open, and a lock file with its pid.
        if (::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY) < 0) {
            out << "failed: " << strerror(errno) << Qt::endl;
            return 1;
        }
        const QString canonical = QFileInfo(device).canonicalFilePath();
        QFile lock(QStringLiteral("/var/lock/LCK..") + canonical.mid(5).replace(u'/', u'_'));
        if (!lock.open(QIODevice::WriteOnly)) {
            out << "failed: " << lock.errorString() << Qt::endl;
            return 1;
        }
        lock.write(QByteArray::number(::getpid()).rightJustified(10) + '\n');
        lock.close();
        out << "held" << Qt::endl;
        char byte = 0;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
        lock.remove();
        return 0;
    } else if (kind == u"path-only" // a handle on the node, which anyone who reaches it may take
                   ? ::open(device.toLocal8Bit().constData(), O_PATH) < 0
                   : !terminal.open(QIODevice::ReadWrite)) {
        out << "failed: " << terminal.errorString() << Qt::endl;
        return 1;
    }
    out << "held" << Qt::endl;
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    // As Qt ends the program when the X server goes away: the line is never destroyed.
    if (kind == u"pulled-in-until-exit")
        std::exit(0);
    return 0;
}

// Holders that live in a mount namespace of their own: the script that sets it up and starts
// them there, "$0" being this test and "$1" the device.
QString sandboxScript(const QString &holder)
{
    if (holder == u"sandboxed") // with a lock folder of its own
        return QStringLiteral("mount -t tmpfs sandbox /run/lock && exec \"$0\" --hold "
                              "this-program \"$1\"");
    if (holder == u"bind-mounted") // by a name that means nothing outside
        return QStringLiteral("mount -t tmpfs sandbox /mnt && touch /mnt/relay && mount --bind "
                              "\"$1\" /mnt/relay && exec \"$0\" --hold uucp /mnt/relay");
    // New ptys of its own until one has the test's name, which a terminal program or this one
    // holds; a container has a lock folder of its own too.
    if (holder.startsWith(u"other-devpts"))
        return QStringLiteral("mount -t tmpfs sandbox /run/lock && mount -t devpts -o newinstance "
                              "devpts /dev/pts && exec python3 -c \"import os, subprocess, sys\n"
                              "for n in range(256):\n    m, s = os.openpty()\n    if os.ttyname(s)"
                              " == sys.argv[1]: os.close(s); subprocess.run(sys.argv[2:]); break\""
                              " \"$1\" \"$0\" --hold %1 \"$1\"")
            .arg(holder.section(u'+', 1));
    return {};
}

// The names of sockets this program's locks take, as anyone may read them in /proc/net/unix.
QSet<QString> lockNames()
{
    QFile sockets(QStringLiteral("/proc/net/unix"));
    QSet<QString> names;
    for (const QByteArray &line :
         sockets.open(QIODevice::ReadOnly) ? sockets.readAll().split('\n') : QList<QByteArray>())
        if (line.contains(" @vantrelo-relay/"))
            names << QString::fromLatin1(line.mid(line.indexOf('@') + 1));
    return names;
}

void startInSandbox(QProcess &child, const QString &script, const QString &device)
{
    // Why no namespace is to be had comes first, and makes the reason to skip.
    child.setProcessChannelMode(QProcess::MergedChannels);
    // Without a UTF-8 locale Qt would warn into that channel too.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                 QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                 QCoreApplication::applicationFilePath(), device});
}

} // namespace

// QSKIP returns from the function it is in, so this has to be a macro.
#define NEED_SHIM(wanted)                                                                          \
    if (shimLoaded() != (wanted))                                                                  \
    QSKIP((wanted) ? "needs the modem-line library" : "only without the modem-line library")

class tst_mscomm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // with the modem-line library
    void opensTheNumberedPortWithItsSettings_data();
    void opensTheNumberedPortWithItsSettings();
    void rtsIsNegatedRightAfterOpening_data();
    void rtsIsNegatedRightAfterOpening();
    void rtsFollowsEachPut_data();
    void rtsFollowsEachPut();
    void closingDropsTheLines_data();
    void closingDropsTheLines();
    void misuseIsRefused();
    void lineFaults_data();
    void lineFaults();
    void faultWhileOpeningLeavesThePortClosed_data();
    void faultWhileOpeningLeavesThePortClosed();

    // without it
    void noModemLines();

    // either way
    void portsThatCannotBeOpened_data();
    void portsThatCannotBeOpened();
    void numbersWithoutAPort_data();
    void numbersWithoutAPort();
    void secondInstanceGetsBusy_data();
    void secondInstanceGetsBusy();
    void lockFiles_data();
    void lockFiles();

    // ports served over the network
    void servedPortMovesOnlyOnClicks_data();
    void servedPortMovesOnlyOnClicks();
    void servedPortsThatCannotBeOpened_data();
    void servedPortsThatCannotBeOpened();

private:
    QList<LineEvent> events(int port = 1) const
    {
        if (m_log.isEmpty())
            return {};
        return readLineLog(m_log, m_ptys.at(port - 1)->path());
    }

    QString m_log;
    QList<std::shared_ptr<Pty>> m_ptys;
};

void tst_mscomm::init()
{
    m_log = qEnvironmentVariable("MODEMSHIM_LOG");
    if (!m_log.isEmpty())
        QFile::resize(m_log, 0);
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        m_ptys.append(std::make_shared<Pty>());
        QVERIFY(m_ptys.last()->isValid());
        paths << m_ptys.last()->path();
    }
    qputenv("VANTRELO_PORTS", paths.join(u':').toLocal8Bit());
}

void tst_mscomm::cleanup()
{
    for (const char *variable : {"MODEMSHIM_EIO", "MODEMSHIM_STUCK", "MODEMSHIM_SLOW_CLOSE"}) {
        if (const QString fault = qEnvironmentVariable(variable); !fault.isEmpty())
            QFile::remove(fault);
    }
    m_ptys.clear();
}

void tst_mscomm::opensTheNumberedPortWithItsSettings_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("first") << 1;
    QTest::newRow("middle") << 2;
    QTest::newRow("last") << 3;
}

void tst_mscomm::opensTheNumberedPortWithItsSettings()
{
    NEED_SHIM(true);
    QFETCH(int, number);
    const QString device = m_ptys.at(number - 1)->path();

    // Opened before the port is: once open it is exclusive to anyone but root.
    const int fd = openPastTheLibrary(device);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::syscall(SYS_close, fd); });

    MSComm line;
    QVERIFY(!line.getPortOpen());
    openPort(line, qint16(number));
    QVERIFY(line.getPortOpen());
    QCOMPARE(line.device(), device);
    for (int port = 1; port <= m_ptys.size(); ++port) {
        if (port == number)
            QCOMPARE(events(port).value(0).event, QStringLiteral("open"));
        else
            QVERIFY2(events(port).isEmpty(), "another port was touched");
    }

    // Held at B0, the baud at which the kernel raises nothing at the next opening; no byte is
    // ever sent, so no other baud would be of use.
    termios settings{};
    QCOMPARE(::tcgetattr(fd, &settings), 0);
    QCOMPARE(::cfgetispeed(&settings), speed_t(B0));
    QCOMPARE(::cfgetospeed(&settings), speed_t(B0));
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(settings.c_cflag & (CLOCAL | HUPCL), tcflag_t(CLOCAL | HUPCL));
    QCOMPARE(settings.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
}

void tst_mscomm::rtsIsNegatedRightAfterOpening_data()
{
    // What the opening finds: the kernel raises RTS at it unless the stored baud is B0, and a
    // line left high without HUPCL stays high until someone lowers it.
    QTest::addColumn<bool>("pulledInBefore");
    QTest::addColumn<bool>("otherBaudStored");
    QTest::addColumn<bool>("leftHighWithoutHangUp");
    QTest::addColumn<bool>("highAtOpening");
    QTest::newRow("first opening") << false << false << false << true;
    QTest::newRow("opened again after closing pulled in") << true << false << false << false;
    QTest::newRow("opened after another program stored 9600") << true << true << false << true;
    QTest::newRow("another program left RTS high, -hupcl") << false << false << true << true;
}

void tst_mscomm::rtsIsNegatedRightAfterOpening()
{
    NEED_SHIM(true);
    QFETCH(bool, pulledInBefore);
    QFETCH(bool, otherBaudStored);
    QFETCH(bool, leftHighWithoutHangUp);
    QFETCH(bool, highAtOpening);

    MSComm line;
    if (pulledInBefore) {
        openPort(line, 1);
        line.putRTSEnable(true);
        line.putPortOpen(false);
    }
    if (otherBaudStored)
        QVERIFY(m_ptys[0]->storeBaud(B9600));
    if (leftHighWithoutHangUp) {
        const int fd = ::open(m_ptys[0]->path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios settings{};
        QCOMPARE(::tcgetattr(fd, &settings), 0);
        ::cfsetspeed(&settings, B0);
        settings.c_cflag &= ~HUPCL;
        QCOMPARE(::tcsetattr(fd, TCSANOW, &settings), 0);
        int rts = TIOCM_RTS;
        QCOMPARE(::ioctl(fd, TIOCMBIS, &rts), 0);
        ::close(fd);
    }
    const qsizetype before = events().size();
    line.putPortOpen(true);
    const QList<LineEvent> seen = events().mid(before);
    QVERIFY(seen.size() >= 2);
    QCOMPARE(seen[0].event, QStringLiteral("open"));
    QCOMPARE(seen[0].rts, highAtOpening);
    // The very first call after the opening lowers RTS, and nothing raises it again.
    QCOMPARE(seen[1].event, QStringLiteral("set"));
    QVERIFY(!seen[1].rts);
    for (const LineEvent &event : seen.mid(1))
        QVERIFY2(!event.rts, qPrintable(event.event));
    QVERIFY(seen.last().dtr); // some boards draw their power from DTR
}

void tst_mscomm::rtsFollowsEachPut_data()
{
    QTest::addColumn<QList<bool>>("levels");
    QTest::newRow("assert") << QList<bool>{true};
    QTest::newRow("negate") << QList<bool>{false};
    QTest::newRow("assert twice") << QList<bool>{true, true};
    QTest::newRow("negate twice") << QList<bool>{false, false};
    QTest::newRow("assert, negate, assert") << QList<bool>{true, false, true};
    QTest::newRow("assert, assert, negate, negate") << QList<bool>{true, true, false, false};
}

void tst_mscomm::rtsFollowsEachPut()
{
    NEED_SHIM(true);
    QFETCH(QList<bool>, levels);

    MSComm line;
    openPort(line, 1);
    const qsizetype opened = events().size();
    for (qsizetype i = 0; i < levels.size(); ++i) {
        line.putRTSEnable(levels[i]);
        const QList<LineEvent> seen = events();
        // Every put reaches the line, also when it already has the level.
        QCOMPARE(seen.size(), opened + 1 + i);
        QCOMPARE(seen.last().event, QStringLiteral("set"));
        QCOMPARE(seen.last().rts, levels[i]);
        QVERIFY(seen.last().dtr);
    }
}

void tst_mscomm::closingDropsTheLines_data()
{
    QTest::addColumn<bool>("byDestroying");
    QTest::addColumn<bool>("slowDriver");
    QTest::newRow("port closed") << false << false;
    QTest::newRow("line destroyed with the port open") << true << false;
    QTest::newRow("port closed, driver slow to let go") << false << true;
}

void tst_mscomm::closingDropsTheLines()
{
    NEED_SHIM(true);
    QFETCH(bool, byDestroying);
    QFETCH(bool, slowDriver);

    auto line = std::make_unique<MSComm>();
    openPort(*line, 1);
    line->putRTSEnable(true);
    QFile slow(qEnvironmentVariable("MODEMSHIM_SLOW_CLOSE"));
    if (slowDriver)
        QVERIFY(slow.open(QIODevice::WriteOnly));
    QElapsedTimer clock;
    clock.start();
    if (byDestroying) {
        line.reset();
    } else {
        line->putPortOpen(false);
        QVERIFY(!line->getPortOpen());
        QVERIFY(line->device().isEmpty());
    }
    // The click must not wait for the driver. Opening the port again at once waits for our own
    // closing to end, the window painted meanwhile, and then opens.
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    if (slowDriver) {
        slow.remove();
        bool painted = false;
        QObject waiting;
        QTimer::singleShot(300, &waiting, [&painted] { painted = true; });
        line->putPortOpen(true);
        QVERIFY(painted && clock.elapsed() >= 1900);
        line->putPortOpen(false);
    }
    const QList<LineEvent> seen = events();
    QCOMPARE(seen.last().event, QStringLiteral("close"));
    QVERIFY(!seen.last().rts);
    QVERIFY(!seen.last().dtr);
    // Lowered by the program itself, not left to HUPCL, which another program may clear.
    QCOMPARE(seen[seen.size() - 2].event, QStringLiteral("set"));
    QVERIFY(!seen[seen.size() - 2].rts);
}

void tst_mscomm::misuseIsRefused()
{
    NEED_SHIM(true);
    MSComm line;
    QCOMPARE(failureOf([&] { line.putRTSEnable(true); }).number, failure_number::PortNotOpen);
    QVERIFY(events().isEmpty());

    openPort(line, 1);
    const qsizetype opened = events().size();
    QCOMPARE(failureOf([&] { line.putCommPort(2); }).number, failure_number::PortAlreadyOpen);
    QVERIFY(line.getPortOpen());
    QCOMPARE(line.device(), m_ptys[0]->path());
    // Opening an open port, or closing a closed one, is no change and no error.
    QCOMPARE(failureOf([&] { line.putPortOpen(true); }).number, 0);
    QCOMPARE(events().size(), opened);

    line.putPortOpen(false);
    QCOMPARE(failureOf([&] { line.putPortOpen(false); }).number, 0);
    const qsizetype closed = events().size();
    QCOMPARE(failureOf([&] { line.putRTSEnable(false); }).number, failure_number::PortNotOpen);
    QCOMPARE(events().size(), closed);

    // The refused change of number did not stick.
    line.putPortOpen(true);
    QCOMPARE(line.device(), m_ptys[0]->path());
    QVERIFY(events(2).isEmpty());
}

void tst_mscomm::lineFaults_data()
{
    QTest::addColumn<QByteArray>("faultFile");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("says");

    QTest::newRow("device unplugged") << QByteArray("MODEMSHIM_EIO") << EIO << "输入/输出错误";
    QTest::newRow("level did not take")
        << QByteArray("MODEMSHIM_STUCK") << failure_number::LineDidNotTake << "继电器状态未知";
}

void tst_mscomm::lineFaults()
{
    NEED_SHIM(true);
    QFETCH(QByteArray, faultFile);
    QFETCH(int, number);
    QFETCH(QString, says);

    MSComm line;
    openPort(line, 1);
    QFile fault(qEnvironmentVariable(faultFile.constData()));
    QVERIFY(fault.open(QIODevice::WriteOnly));

    const Failure failure = failureOf([&] { line.putRTSEnable(true); });
    QCOMPARE(failure.number, number);
    QVERIFY2(failure.description.contains(says), qPrintable(failure.description));
    QVERIFY(failure.description.contains(m_ptys[0]->path()));
    QVERIFY(line.getPortOpen());

    // Close, and once the device is back, open again.
    QCOMPARE(failureOf([&] { line.putPortOpen(false); }).number, 0);
    QVERIFY(!line.getPortOpen());
    fault.remove();
    openPort(line, 1);
    line.putRTSEnable(true);
    QVERIFY(events().last().rts);
}

void tst_mscomm::faultWhileOpeningLeavesThePortClosed_data()
{
    QTest::addColumn<QByteArray>("faultFile");
    QTest::addColumn<int>("number");
    QTest::newRow("device unplugged") << QByteArray("MODEMSHIM_EIO") << EIO;
    // Storing B0 drops RTS whatever the driver makes of the requests, so the line is safe.
    QTest::newRow("driver ignores the requests") << QByteArray("MODEMSHIM_STUCK") << 0;
}

void tst_mscomm::faultWhileOpeningLeavesThePortClosed()
{
    NEED_SHIM(true);
    QFETCH(QByteArray, faultFile);
    QFETCH(int, number);

    QFile fault(qEnvironmentVariable(faultFile.constData()));
    QVERIFY(fault.open(QIODevice::WriteOnly));
    MSComm line;
    line.putCommPort(1);
    QCOMPARE(failureOf([&] { line.putPortOpen(true); }).number, number);
    QCOMPARE(line.getPortOpen(), number == 0);
    QVERIFY(!events().last().rts);
    if (number == 0)
        return;
    QVERIFY(line.device().isEmpty());
    QCOMPARE(events().last().event, QStringLiteral("close"));

    // Nothing of the failed opening is kept, its lock least of all.
    fault.remove();
    QCOMPARE(failureOf([&] { line.putPortOpen(true); }).number, 0);
    QVERIFY(!events().last().rts);
}

void tst_mscomm::noModemLines()
{
    NEED_SHIM(false);
    MSComm line;
    line.putCommPort(1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        // The second attempt meets the same answer, not a lock the first one left behind.
        const Failure failure = failureOf([&] { line.putPortOpen(true); });
        QCOMPARE(failure.number, ENOTTY);
        QVERIFY2(failure.description.contains(QStringLiteral("调制解调器控制线")),
                 qPrintable(failure.description));
        QVERIFY(failure.description.contains(m_ptys[0]->path()));
        QVERIFY(!line.getPortOpen());
    }
}

void tst_mscomm::portsThatCannotBeOpened_data()
{
    // "@" stands for a scratch folder holding "pty", a link to the first pty; number 0: opens.
    // "A|device": tried in a mount namespace where the folders A are covered, as in a sandbox.
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("says");

    QTest::newRow("missing device") << QByteArray("/dev/vantrelo-no-such-device") << ENOENT
                                    << "找不到设备 /dev/vantrelo-no-such-device";
    QTest::newRow("not a device") << QByteArray("/etc/hostname") << ENOTTY
                                  << "/etc/hostname 不是串口";
    QTest::newRow("a device but no terminal")
        << QByteArray("/dev/null") << ENOTTY << "/dev/null 不是串口，而是 mem 设备";
    QTest::newRow("a device but no terminal, /sys hidden")
        << QByteArray("/sys|/dev/zero") << ENOTTY << "/dev/zero 不是串口，而是 mem 设备";
    QTest::newRow("no way to tell the kind of device")
        << QByteArray("/sys /proc/tty|/dev/zero") << ENOTTY << "无法确认 /dev/zero 是不是串口";
    QTest::newRow("a folder") << QByteArray("/tmp") << ENOTTY << "/tmp 不是串口";
    QTest::newRow("the controlling terminal") << QByteArray("/dev/tty") << ENOTTY << "控制台";
    QTest::newRow("links in a loop") << QByteArray("@/loop") << ELOOP << "循环的符号链接";
    QTest::newRow("a file taken for a folder")
        << QByteArray("/etc/hostname/tty") << ENOTDIR << "不是文件夹";
    QTest::newRow("name too long") << "/dev/" + QByteArray(5000, 'x') << ENAMETOOLONG << "路径太长";
    QTest::newRow("name that is not UTF-8") << QByteArray("@/\xff\xfe-relay") << 0 << "";
}

void tst_mscomm::portsThatCannotBeOpened()
{
    QFETCH(QByteArray, device);
    QFETCH(int, number);
    QFETCH(QString, says);

    if (const qsizetype bar = device.indexOf('|'); bar > 0) {
        QProcess child;
        startInSandbox(child,
                       QStringLiteral("for d in %1; do mount -t tmpfs hidden $d || exit; done; "
                                      "exec \"$0\" --hold this-program \"$1\"")
                           .arg(QString::fromLocal8Bit(device.left(bar))),
                       QString::fromLocal8Bit(device.mid(bar + 1)));
        QVERIFY(child.waitForFinished(10000));
        const QString said = QString::fromLocal8Bit(child.readAllStandardOutput());
        if (said.isEmpty())
            QSKIP("no mount namespace to be had");
        QVERIFY2(said.startsWith(QStringLiteral("failed: ")) && said.contains(says),
                 qPrintable(said));
        return;
    }
    QTemporaryDir scratch;
    const QByteArray folder = QFile::encodeName(scratch.path());
    QVERIFY(::symlink("loop", (folder + "/loop").constData()) == 0);
    device.replace('@', folder);
    if (number == 0)
        QVERIFY(::symlink(m_ptys[0]->path().toLocal8Bit().constData(), device.constData()) == 0);

    qputenv("VANTRELO_PORTS", m_ptys[0]->path().toLocal8Bit() + ':' + device);
    MSComm line;
    line.putCommPort(2);
    const Failure failure = failureOf([&] { line.putPortOpen(true); });
    QCOMPARE(failure.number, number == 0 && !shimLoaded() ? ENOTTY : number);
    QVERIFY2(failure.description.contains(says), qPrintable(failure.description));
    QCOMPARE(line.getPortOpen(), failure.number == 0);
}

void tst_mscomm::numbersWithoutAPort_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -1;
    QTest::newRow("lowest") << -32768;
    QTest::newRow("one past the list") << 4;
    QTest::newRow("highest") << 32767;
}

void tst_mscomm::numbersWithoutAPort()
{
    QFETCH(int, number);
    MSComm line;
    line.putCommPort(qint16(number));
    const Failure failure = failureOf([&] { line.putPortOpen(true); });
    QCOMPARE(failure.number, failure_number::NoSuchPort);
    QVERIFY(!line.getPortOpen());
    const QString says = number < 1 ? QStringLiteral("串口号从 1 开始")
                                    : QStringLiteral("本机没有第 %1 号串口").arg(number);
    QVERIFY2(failure.description.startsWith(says), qPrintable(failure.description));
    // The message lists what the host has, so the user can pick the right number.
    for (int i = 0; i < 3; ++i) {
        const QString entry = QStringLiteral("%1 = %2").arg(i + 1).arg(m_ptys[i]->path());
        QVERIFY2(failure.description.contains(entry), qPrintable(failure.description));
    }

    qputenv("VANTRELO_PORTS", "");
    QVERIFY(failureOf([&] {
                line.putPortOpen(true);
            }).description.contains(QStringLiteral("没有可用的串口")));
}

void tst_mscomm::secondInstanceGetsBusy_data()
{
    // Who holds the port: this program in this process, in another one, or a terminal program
    // in another one; either side may name the device through a link, as udev's by-id links.
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("holderUsesLink");
    QTest::addColumn<bool>("weUseLink");
    QTest::addColumn<bool>("holderKilled");

    QTest::newRow("this program, same process") << "same-process" << false << false << false;
    QTest::newRow("this program, another process") << "this-program" << false << false << false;
    QTest::newRow("this program, holding it by a link") << "this-program" << true << false << false;
    // A sandbox with a lock folder of its own: our lock cannot see that holder.
    QTest::newRow("this program in a sandbox") << "sandboxed" << false << false << false;
    QTest::newRow("terminal program") << "terminal" << false << false << false;
    QTest::newRow("terminal program, we have a link") << "terminal" << false << true << false;
    QTest::newRow("terminal program that was killed") << "terminal" << false << false << true;
    QTest::newRow("terminal program with a UUCP lock") << "uucp" << false << false << false;
    QTest::newRow("UUCP lock, we have a link") << "uucp" << false << true << false;
    QTest::newRow("holder by a bind mount of its own") << "bind-mounted" << false << false << false;
    QTest::newRow("our pty's name and number in another devpts")
        << "other-devpts+terminal" << false << false << false;
    QTest::newRow("this program on our pty's name and number in another devpts")
        << "other-devpts+this-program" << false << false << false;
    QTest::newRow("a handle on the node, not the device") << "path-only" << false << false << false;
    // Names anyone may bind, holding no device: "planted[ by <user>][+<holder>]".
    QTest::newRow("lock planted, the device free") << "planted" << false << false << false;
    QTest::newRow("lock planted by nobody") << "planted by nobody" << false << false << false;
    QTest::newRow("lock planted, this program holds the device")
        << "planted+this-program" << false << true << false;
}

void tst_mscomm::secondInstanceGetsBusy()
{
    QFETCH(QString, holder);
    QFETCH(bool, holderUsesLink);
    QFETCH(bool, weUseLink);
    QFETCH(bool, holderKilled);
    if (holder != u"terminal" && holder != u"uucp" && holder != u"bind-mounted") {
        NEED_SHIM(true);
    }

    QTemporaryDir links;
    const QString device = m_ptys[0]->path();
    const QString link = links.filePath(QStringLiteral("usb-relay-board"));
    QVERIFY(QFile::link(device, link));
    QProcess planter;
    const auto end = qScopeGuard([&] { planter.closeWriteChannel(), planter.waitForFinished(); });
    // One who may open the device is given the moment an opener takes; no one else a wait.
    const int within = holder == u"planted" ? 3000 : 1000;
    if (holder.startsWith(u"planted")) {
        // Listening on the names our lock takes, by Debian's python, which any user may run.
        QStringList command{"/usr/bin/python3", "-c",
                            "import socket, sys\nheld = [socket.socket(socket.AF_UNIX)]\n"
                            "held[0].bind('\\0' + sys.argv[1])\nheld[0].listen()\n"
                            "print('held', flush=True)\nsys.stdin.read()"};
        if (holder.startsWith(u"planted by nobody")) {
            if (::geteuid() != 0)
                QSKIP("planting as another user needs root");
            command = QStringList{"runuser", "-u", "nobody", "--"} + command;
        }
        const QSet<QString> before = lockNames();
        MSComm line;
        qputenv("VANTRELO_PORTS", device.toLocal8Bit());
        openPort(line, 1);
        const QSet<QString> names = lockNames() - before;
        line.putPortOpen(false);
        QTRY_VERIFY(names.size() == 1 && !lockNames().intersects(names));
        command += names.values();
        planter.start(command.takeFirst(), command);
        QVERIFY(planter.waitForReadyRead(10000));
        QCOMPARE(planter.readLine().trimmed(), QByteArray("held"));
        holder = holder.section(u'+', 1);
    }

    auto first = std::make_unique<MSComm>();
    QProcess child;
    const QString held = holderUsesLink ? link : device;
    if (holder == u"same-process") {
        qputenv("VANTRELO_PORTS", held.toLocal8Bit());
        openPort(*first, 1);
    } else if (!holder.isEmpty()) {
        const QString self = QCoreApplication::applicationFilePath();
        if (!sandboxScript(holder).isEmpty()) {
            startInSandbox(child, sandboxScript(holder), held);
        } else {
            child.start(self, {QStringLiteral("--hold"), holder, held});
        }
        QVERIFY(child.waitForReadyRead(10000));
        const QByteArray said = child.readLine().trimmed();
        if (!sandboxScript(holder).isEmpty() && said != "held")
            QSKIP(qPrintable(QStringLiteral("no mount namespace to be had: ") + said));
        QCOMPARE(said, QByteArray("held"));
    }
    const qsizetype before = events().size();

    const QString ours = weUseLink ? link : device;
    qputenv("VANTRELO_PORTS", ours.toLocal8Bit());
    MSComm second;
    second.putCommPort(1);
    const auto started = std::chrono::steady_clock::now();
    const Failure failure = failureOf([&] { second.putPortOpen(true); });
    if (holder.isEmpty() || holder == u"path-only" || holder.startsWith(u"other-devpts")) {
        QVERIFY2(failure.number == 0, qPrintable(failure.description)); // nothing has it open
        QVERIFY(std::chrono::steady_clock::now() - started < std::chrono::milliseconds(within));
        child.closeWriteChannel();
        QVERIFY(child.state() == QProcess::NotRunning || child.waitForFinished(10000));
        return;
    }
    QCOMPARE(failure.number, EBUSY);
    QVERIFY2(failure.description.contains(QStringLiteral("正被另一个程序占用")),
             qPrintable(failure.description));
    QVERIFY(failure.description.contains(ours));
    QVERIFY(!second.getPortOpen());
    // The refused opening must not touch the line the holder has.
    for (const LineEvent &event : events().mid(before))
        QVERIFY2(event.event == u"open" || event.event == u"close", qPrintable(event.event));

    if (holder == u"same-process") {
        first.reset();
    } else {
        if (holderKilled)
            child.kill();
        else
            child.closeWriteChannel();
        QVERIFY(child.waitForFinished(10000));
    }
    // Free again; a bare pty then fails only for its want of modem-control lines.
    QCOMPARE(failureOf([&] { second.putPortOpen(true); }).number, shimLoaded() ? 0 : ENOTTY);
}

void tst_mscomm::lockFiles_data()
{
    // A name lock a terminal program left for the first pty, and whether it keeps us off.
    // "holder" stands for the pid of a process that has the pty open, "other" for one that
    // runs without it, "dead" for one that has ended.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("writtenBeforeTheHolderStarted");
    QTest::addColumn<int>("number");

    QTest::newRow("live holder") << QByteArray("    holder\n") << false << EBUSY;
    QTest::newRow("live holder, binary pid") << QByteArray("binary") << false << EBUSY;
    QTest::newRow("Qt's lock file") << QByteArray("holder\nminicom\nhost\n") << false << EBUSY;
    QTest::newRow("dead holder") << QByteArray("      dead\n") << false << 0;
    QTest::newRow("pid given out again since") << QByteArray("     other\n") << true << 0;
    // A wrapper whose child has the port, or a program that locks first and opens after.
    QTest::newRow("live writer, port not open yet") << QByteArray("     other\n") << false << EBUSY;
    // "~": the file is another user's, who wrote no lock for our process.
    QTest::newRow("another user's lock") << QByteArray("~     other\n") << false << 0;
    QTest::newRow("init, from another pid namespace") << QByteArray("         1\n") << false << 0;
    QTest::newRow("garbage") << QByteArray("relay\n") << false << 0;
    QTest::newRow("empty") << QByteArray() << false << 0;
    QTest::newRow("zero") << QByteArray("0\n") << false << 0;
    QTest::newRow("negative") << QByteArray("-1\n") << false << 0;
    // Narrowed to 32 bits these would name init.
    QTest::newRow("past 32 bits") << QByteArray("4294967297\n") << false << 0;
    QTest::newRow("past any pid") << QByteArray("  99999999\n") << false << 0;
    // "@": a shell command plants something where the name lock ($L) or the device-number lock
    // ($N) of earlier versions goes, or mounts a folder ($D) that takes no file. The lock that
    // decides needs none.
    QTest::newRow("FIFO") << QByteArray("@mkfifo $L $N") << false << 0;
    QTest::newRow("folder") << QByteArray("@mkdir $L $N") << false << 0;
    QTest::newRow("links") << QByteArray("@ln -s /etc $L; ln -s /etc $N") << false << 0;
    QTest::newRow("read-only") << QByteArray("@mount -t tmpfs -o ro,mode=1777 l $D") << false << 0;
    QTest::newRow("no inodes") << QByteArray("@mount -t tmpfs -o nr_inodes=1 l $D") << false << 0;
}

void tst_mscomm::lockFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, writtenBeforeTheHolderStarted);
    QFETCH(int, number);

    // A folder every user may write to, as lock folders are.
    QTemporaryDir folder;
    QCOMPARE(::chmod(QFile::encodeName(folder.path()).constData(), 01777), 0);
    const QString name = m_ptys[0]->path().mid(5).replace(u'/', u'_');
    const QString lockPath = folder.filePath(QStringLiteral("LCK..") + name);
    QProcess dead;
    dead.start(QStringLiteral("true"));
    QVERIFY(dead.waitForFinished());
    QProcess holder;
    holder.setStandardInputFile(m_ptys[0]->path());
    holder.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QProcess other;
    other.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(holder.waitForStarted() && other.waitForStarted());
    const auto stop = qScopeGuard([&] {
        holder.kill();
        other.kill();
        holder.waitForFinished();
        other.waitForFinished();
    });
    const qint32 holderPid = qint32(holder.processId());
    const qint64 named = content.contains("other") ? other.processId() : holderPid;
    const bool foreign = content.startsWith('~');
    content.remove(0, foreign ? 1 : 0);
    if (content == "binary")
        content = QByteArray(reinterpret_cast<const char *>(&holderPid), 4);
    content.replace("holder", QByteArray::number(holderPid));
    content.replace("other", QByteArray::number(other.processId()));
    content.replace("dead", QByteArray::number(dead.processId()));
    QFile lock(lockPath);
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(content);
    lock.close();
    if (foreign && ::chown(QFile::encodeName(lockPath).constData(), 65534, 65534) != 0)
        QSKIP("giving a file to another user needs root");
    const auto unmount =
        qScopeGuard([&] { ::umount2(QFile::encodeName(folder.path()).constData(), MNT_DETACH); });
    if (content.startsWith('@') &&
        (!QFile::remove(lockPath) ||
         QProcess::execute(QStringLiteral("sh"),
                           {QStringLiteral("-c"),
                            QStringLiteral("D=$1 L=$2 N=$1/LK.$((0x$(stat -c %t $3))).$((0x$("
                                           "stat -c %T $3))); ") +
                                QString::fromLocal8Bit(content.mid(1)),
                            QStringLiteral("sh"), folder.path(), lockPath, m_ptys[0]->path()}) !=
             0))
        QSKIP("cannot plant that here (mounting needs root)");
    if (writtenBeforeTheHolderStarted) {
        const utimbuf anHourAgo{::time(nullptr) - 3600, ::time(nullptr) - 3600};
        QCOMPARE(::utime(QFile::encodeName(lockPath).constData(), &anHourAgo), 0);
    }

    struct stat pty
    {};
    QCOMPARE(::stat(m_ptys[0]->path().toLocal8Bit().constData(), &pty), 0);
    const struct stat &device = pty;
    const QByteArray node = m_ptys[0]->path().toLocal8Bit();
    const LockFolders folders{{folder.path()}};
    std::unique_ptr<DeviceLock> held;
    const Failure failure = failureOf([&] {
        held = std::make_unique<DeviceLock>(device, node, QStringLiteral("relay"), folders);
    });
    QCOMPARE(failure.number, number);
    if (number != 0) {
        QVERIFY2(failure.description.contains(QString::number(named)),
                 qPrintable(failure.description));
        QVERIFY(failure.description.contains(lockPath));
        QCOMPARE(QFile(lockPath).size(), qint64(content.size()));
        return;
    }

    // Planted things are passed by, or replaced where the user may remove them.
    if (content.startsWith('@'))
        return;
    // The dead holder's file now names us, for terminal programs to honour; once we have the
    // device, a second holder by any name is refused; letting go leaves nothing behind.
    QFile ours(lockPath);
    QVERIFY(ours.open(QIODevice::ReadOnly));
    QCOMPARE(ours.readAll(), QByteArray::number(qint64(::getpid())).rightJustified(10) + '\n');
    const auto close = qScopeGuard([fd = openPastTheLibrary(m_ptys[0]->path())] { ::close(fd); });
    QCOMPARE(failureOf([&] { DeviceLock(device, "/dev/relay-alias", "alias", folders); }).number,
             EBUSY);
    held.reset();
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList());
}

void tst_mscomm::servedPortMovesOnlyOnClicks_data()
{
    QTest::addColumn<QList<bool>>("levels");
    QTest::addColumn<QString>("ending");

    QTest::newRow("clicks, closing, reopening") << QList<bool>{true, false, true} << "closing";
    QTest::newRow("ser2net killed while open") << QList<bool>{true} << "ser2net killed";
    QTest::newRow("the program ends through exit()") << QList<bool>{true} << "exit()";
}

void tst_mscomm::servedPortMovesOnlyOnClicks()
{
    NEED_SHIM(true);
    QFETCH(QList<bool>, levels);
    QFETCH(QString, ending);
    if (QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty() || ::geteuid() != 0)
        QSKIP("needs ser2net, and root for its mount namespace");

    // The recipe: B0 stored before ser2net first opens the device, and a keeper holding it.
    QVERIFY(m_ptys[0]->storeBaud(B0));
    Ser2net server(m_ptys[0]->path());
    QVERIFY(server.listening());
    QVERIFY(server.keep());
    QTRY_VERIFY(events().size() >= 2 && !events().last().rts);
    QTest::qWait(200);
    const qsizetype kept = events().size();
    qputenv("VANTRELO_PORTS", server.entry().toLocal8Bit());

    // RTS's changes since then, and anything else that touched the line; after each step
    // they must be exactly those the clicks so far asked for.
    const auto word = [](bool level) { return QString::fromLatin1(level ? "on" : "off"); };
    const auto moves = [&] {
        QStringList seen;
        bool rts = false;
        for (const LineEvent &event : events().mid(kept)) {
            if (event.event != u"set" || event.dtr)
                seen << event.event + QStringLiteral(" DTR=%1").arg(event.dtr);
            else if (event.rts != std::exchange(rts, event.rts))
                seen << word(rts);
        }
        return seen;
    };
    QStringList expected;
    const auto expect = [&](bool level) {
        if (expected.value(expected.size() - 1, word(false)) != word(level))
            expected << word(level);
    };
    MSComm line;
    if (ending == u"exit()") {
        QProcess child;
        child.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--hold"), QStringLiteral("pulled-in-until-exit"), server.entry()});
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("held"));
        child.closeWriteChannel();
        QVERIFY(child.waitForFinished(5000));
        QTRY_COMPARE(moves(), (QStringList{"on", "off"}));
    }
    for (int round = 0; round < (ending == u"exit()" ? 0 : 2); ++round) {
        openPort(line, 1);
        QCOMPARE(moves(), expected);
        for (const bool level : levels) {
            line.putRTSEnable(level);
            expect(level);
            QCOMPARE(moves(), expected);
        }
        if (ending == u"ser2net killed") {
            server.kill();
            QCOMPARE(failureOf([&] { line.putRTSEnable(false); }).number,
                     failure_number::ConnectionLost);
            QVERIFY(line.getPortOpen());
            QCOMPARE(failureOf([&] { line.putPortOpen(false); }).number,
                     failure_number::ConnectionLost);
            QVERIFY(!line.getPortOpen());
            break;
        }
        line.putPortOpen(false);
        expect(false);
        QCOMPARE(moves(), expected);
    }
    QCOMPARE(m_ptys[0]->sent(), QByteArray());
}

void tst_mscomm::servedPortsThatCannotBeOpened_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("says");

    QTest::newRow("nothing listening")
        << "refused" << failure_number::ConnectionRefused << "拒绝连接";
    QTest::newRow("a port that says nothing")
        << "silent" << failure_number::NotComPortServer << "没有按 RFC 2217 应答";
    QTest::newRow("a port that speaks first")
        << "talks" << failure_number::NotComPortServer << "“SSH-2.0-OpenSSH_9.2 <b>?</b>”";
    QTest::newRow("a server breaking telnet")
        << "hostile" << failure_number::ServerBrokeProtocol << "未知的 telnet 命令 7";
    QTest::newRow("ser2net in raw mode") << "tcp" << failure_number::NotComPortServer << "raw 模式";
    QTest::newRow("ser2net with telnet alone")
        << "telnet,tcp" << failure_number::NotComPortServer << "COM-PORT-OPTION";
    QTest::newRow("ser2net held by another client")
        << "second client" << EBUSY << "Port already in use";
    QTest::newRow("a name nobody has")
        << "rfc2217://vantrelo-no-such-host.invalid:7001" << failure_number::HostNotFound
        << "vantrelo-no-such-host.invalid";
    for (const char *address : {"rfc2217://lab-pi", "rfc2217://lab-pi:0", "rfc2217://lab-pi:65536",
                                "rfc2217://[lab-pi]:7001", "rfc2217://::1:7001",
                                "rfc2217://lab pi:7001", "rfc2217://lab-pi:7001/"})
        QTest::newRow(address) << address << failure_number::BadServedPort << address;
}

void tst_mscomm::servedPortsThatCannotBeOpened()
{
    QFETCH(QString, server);
    QFETCH(int, number);
    QFETCH(QString, says);

    QString entry = server;
    QTcpServer fake;
    QByteArray heard;
    std::unique_ptr<Ser2net> ser2net;
    MSComm first;
    if (server == u"refused" || server == u"silent" || server == u"talks" || server == u"hostile") {
        QVERIFY(fake.listen(QHostAddress::LocalHost));
        entry = QStringLiteral("rfc2217://127.0.0.1:%1").arg(fake.serverPort());
        if (server == u"refused")
            fake.close();
        connect(&fake, &QTcpServer::newConnection, &fake, [&] {
            QTcpSocket *client = fake.nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client,
                    [&heard, client] { heard += client->readAll(); });
            if (server == u"talks")
                client->write("SSH-2.0-OpenSSH_9.2 <b>\x01</b>\r\n");
            if (server == u"hostile")
                client->write("\xff\xfd\x2c\xff\x07");
        });
    } else if (!server.startsWith(u"rfc2217:")) {
        NEED_SHIM(true);
        if (QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty() || ::geteuid() != 0)
            QSKIP("needs ser2net, and root for its mount namespace");
        QVERIFY(m_ptys[0]->storeBaud(B0));
        ser2net = std::make_unique<Ser2net>(
            m_ptys[0]->path(),
            server == u"second client" ? QStringLiteral("telnet(rfc2217),tcp") : server);
        QVERIFY(ser2net->listening());
        entry = ser2net->entry();
        qputenv("VANTRELO_PORTS", entry.toLocal8Bit());
        if (server == u"second client") {
            QVERIFY(ser2net->keep());
            openPort(first, 1);
            first.putRTSEnable(true);
        }
    }
    qputenv("VANTRELO_PORTS", entry.toLocal8Bit());
    const qsizetype before = events().size();

    MSComm line;
    const Failure failure = failureOf([&] { openPort(line, 1); });
    QCOMPARE(failure.number, number);
    QVERIFY2(failure.description.contains(says), qPrintable(failure.description));
    QVERIFY(!line.getPortOpen());
    // A server that has not spoken telnet is sent nothing; the device gets no byte, and the
    // first client's relay stays where its click put it.
    if (server != u"hostile")
        QCOMPARE(heard, QByteArray());
    QCOMPARE(m_ptys[0]->sent(), QByteArray());
    if (first.getPortOpen()) {
        QCOMPARE(events().size(), before);
        QVERIFY(events().last().rts);
    }
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--hold") == 0)
        return holdPort(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    tst_mscomm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mscomm.moc"
