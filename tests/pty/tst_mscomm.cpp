// The real serial line on pseudo-terminals. With the modem-line library preloaded a pty has
// the lines of a real UART; without it, it has none, as some USB gadgets and virtual ports.
#include "failure.h"
#include "mscomm.h"
#include "pty_fixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <functional>
#include <memory>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <termios.h>

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
    if (kind == u"this-program") {
        if (const Failure failure = failureOf([&] { openPort(line, 1); }); failure.number) {
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
    } else if (!terminal.open(QIODevice::ReadWrite)) {
        out << "failed: " << terminal.errorString() << Qt::endl;
        return 1;
    }
    out << "held" << Qt::endl;
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
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
    for (const char *variable : {"MODEMSHIM_EIO", "MODEMSHIM_STUCK"}) {
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

    termios settings{};
    QCOMPARE(::tcgetattr(fd, &settings), 0);
    QCOMPARE(::cfgetispeed(&settings), speed_t(B9600));
    QCOMPARE(::cfgetospeed(&settings), speed_t(B9600));
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(settings.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
}

void tst_mscomm::rtsIsNegatedRightAfterOpening_data()
{
    QTest::addColumn<bool>("pulledInBefore");
    QTest::newRow("first opening") << false;
    QTest::newRow("opened again after closing pulled in") << true;
}

void tst_mscomm::rtsIsNegatedRightAfterOpening()
{
    NEED_SHIM(true);
    QFETCH(bool, pulledInBefore);

    MSComm line;
    if (pulledInBefore) {
        openPort(line, 1);
        line.putRTSEnable(true);
        line.putPortOpen(false);
    }
    const qsizetype before = events().size();
    line.putPortOpen(true);
    const QList<LineEvent> seen = events().mid(before);
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0].event, QStringLiteral("open"));
    QVERIFY(seen[0].rts);
    QCOMPARE(seen[1].event, QStringLiteral("set"));
    QVERIFY(!seen[1].rts);
    QVERIFY(seen[1].dtr); // DTR stays as the system leaves it
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
    for (qsizetype i = 0; i < levels.size(); ++i) {
        line.putRTSEnable(levels[i]);
        const QList<LineEvent> seen = events();
        // Every put reaches the line, also when it already has the level.
        QCOMPARE(seen.size(), 3 + i);
        QCOMPARE(seen.last().event, QStringLiteral("set"));
        QCOMPARE(seen.last().rts, levels[i]);
        QVERIFY(seen.last().dtr);
    }
}

void tst_mscomm::closingDropsTheLines_data()
{
    QTest::addColumn<bool>("byDestroying");
    QTest::newRow("port closed") << false;
    QTest::newRow("line destroyed with the port open") << true;
}

void tst_mscomm::closingDropsTheLines()
{
    NEED_SHIM(true);
    QFETCH(bool, byDestroying);

    auto line = std::make_unique<MSComm>();
    openPort(*line, 1);
    line->putRTSEnable(true);
    if (byDestroying) {
        line.reset();
    } else {
        line->putPortOpen(false);
        QVERIFY(!line->getPortOpen());
        QVERIFY(line->device().isEmpty());
    }
    const LineEvent last = events().last();
    QCOMPARE(last.event, QStringLiteral("close"));
    QVERIFY(!last.rts);
    QVERIFY(!last.dtr);
}

void tst_mscomm::misuseIsRefused()
{
    NEED_SHIM(true);
    MSComm line;
    QCOMPARE(failureOf([&] { line.putRTSEnable(true); }).number, failure_number::PortNotOpen);
    QVERIFY(events().isEmpty());

    openPort(line, 1);
    QCOMPARE(failureOf([&] { line.putCommPort(2); }).number, failure_number::PortAlreadyOpen);
    QVERIFY(line.getPortOpen());
    QCOMPARE(line.device(), m_ptys[0]->path());
    // Opening an open port, or closing a closed one, is no change and no error.
    QCOMPARE(failureOf([&] { line.putPortOpen(true); }).number, 0);
    QCOMPARE(events().size(), 2);

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
    QTest::newRow("level did not take")
        << QByteArray("MODEMSHIM_STUCK") << failure_number::LineDidNotTake;
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
    QVERIFY(!line.getPortOpen());
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
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("says");

    QTest::newRow("missing device")
        << "/dev/vantrelo-no-such-device" << ENOENT << "找不到设备 /dev/vantrelo-no-such-device";
    QTest::newRow("not a device") << "/etc/hostname" << ENOTTY << "/etc/hostname 不是串口";
    QTest::newRow("a device but no terminal") << "/dev/null" << ENOTTY << "/dev/null 不是串口";
    QTest::newRow("a folder") << "/tmp" << ENOTTY << "/tmp 不是串口";
}

void tst_mscomm::portsThatCannotBeOpened()
{
    QFETCH(QString, device);
    QFETCH(int, number);
    QFETCH(QString, says);

    qputenv("VANTRELO_PORTS", (m_ptys[0]->path() + u':' + device).toLocal8Bit());
    MSComm line;
    line.putCommPort(2);
    const Failure failure = failureOf([&] { line.putPortOpen(true); });
    QCOMPARE(failure.number, number);
    QVERIFY2(failure.description.contains(says), qPrintable(failure.description));
    QVERIFY(!line.getPortOpen());
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
    QTest::newRow("terminal program") << "terminal" << false << false << false;
    QTest::newRow("terminal program, we have a link") << "terminal" << false << true << false;
    QTest::newRow("terminal program that was killed") << "terminal" << false << false << true;
    QTest::newRow("terminal program with a UUCP lock") << "uucp" << false << false << false;
    QTest::newRow("UUCP lock, we have a link") << "uucp" << false << true << false;
}

void tst_mscomm::secondInstanceGetsBusy()
{
    QFETCH(QString, holder);
    QFETCH(bool, holderUsesLink);
    QFETCH(bool, weUseLink);
    QFETCH(bool, holderKilled);
    if (holder != u"terminal" && holder != u"uucp") {
        NEED_SHIM(true);
    }

    QTemporaryDir links;
    const QString device = m_ptys[0]->path();
    const QString link = links.filePath(QStringLiteral("usb-relay-board"));
    QVERIFY(QFile::link(device, link));

    auto first = std::make_unique<MSComm>();
    QProcess child;
    const QString held = holderUsesLink ? link : device;
    if (holder == u"same-process") {
        qputenv("VANTRELO_PORTS", held.toLocal8Bit());
        openPort(*first, 1);
    } else {
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--hold"), holder, held});
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("held"));
    }
    const qsizetype before = events().size();

    const QString ours = weUseLink ? link : device;
    qputenv("VANTRELO_PORTS", ours.toLocal8Bit());
    MSComm second;
    second.putCommPort(1);
    const Failure failure = failureOf([&] { second.putPortOpen(true); });
    QCOMPARE(failure.number, EBUSY);
    QVERIFY2(failure.description.contains(QStringLiteral("正被另一个程序占用")),
             qPrintable(failure.description));
    QVERIFY(failure.description.contains(ours));
    QVERIFY(!second.getPortOpen());
    // The refused opening must not touch the line the holder has.
    if (shimLoaded())
        QCOMPARE(events().size(), before);

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

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--hold") == 0)
        return holdPort(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    tst_mscomm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mscomm.moc"
