// The real serial line on pseudo-terminals. With the modem-line library preloaded a pty has
// the lines of a real UART; without it, it has none, as some USB gadgets and virtual ports.
#include "failure.h"
#include "mscomm.h"
#include "pty_fixture.h"

#include <QtTest>

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
    void rtsIsNegatedRightAfterOpening();
    void rtsFollowsEachPut_data();
    void rtsFollowsEachPut();
    void closingDropsTheLines();
    void misuseIsRefused();
    void lineFaults_data();
    void lineFaults();
    void faultWhileOpeningLeavesThePortClosed();

    // without it
    void noModemLines();

    // either way
    void portsThatCannotBeOpened_data();
    void portsThatCannotBeOpened();
    void numbersWithoutAPort_data();
    void numbersWithoutAPort();
    void secondInstanceGetsBusy();

private:
    QList<LineEvent> events() const { return readLineLog(m_log, m_ptys.at(0)->path()); }

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
    for (const char *variable : {"MODEMSHIM_EIO", "MODEMSHIM_STUCK"})
        QFile::remove(qEnvironmentVariable(variable));
    m_ptys.clear();
}

void tst_mscomm::opensTheNumberedPortWithItsSettings_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("first") << 1;
    QTest::newRow("last") << 3;
}

void tst_mscomm::opensTheNumberedPortWithItsSettings()
{
    NEED_SHIM(true);
    QFETCH(int, number);

    MSComm line;
    QVERIFY(!line.getPortOpen());
    openPort(line, qint16(number));
    QVERIFY(line.getPortOpen());
    const QString device = m_ptys.at(number - 1)->path();
    QCOMPARE(line.device(), device);
    QCOMPARE(readLineLog(m_log, device).value(0).event, QStringLiteral("open"));

    // Read the settings past the library: a second opening through it would raise the lines.
    const int fd = int(::syscall(SYS_openat, AT_FDCWD, device.toLocal8Bit().constData(),
                                 O_RDONLY | O_NOCTTY | O_NONBLOCK));
    QVERIFY(fd >= 0);
    termios settings{};
    QCOMPARE(::tcgetattr(fd, &settings), 0);
    ::syscall(SYS_close, fd);
    QCOMPARE(::cfgetispeed(&settings), speed_t(B9600));
    QCOMPARE(::cfgetospeed(&settings), speed_t(B9600));
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(settings.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
}

void tst_mscomm::rtsIsNegatedRightAfterOpening()
{
    NEED_SHIM(true);
    MSComm line;
    openPort(line, 1);
    const QList<LineEvent> seen = events();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0].event, QStringLiteral("open"));
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

void tst_mscomm::closingDropsTheLines()
{
    NEED_SHIM(true);
    MSComm line;
    openPort(line, 1);
    line.putRTSEnable(true);
    line.putPortOpen(false);
    QVERIFY(!line.getPortOpen());
    QCOMPARE(events().last().event, QStringLiteral("close"));
    QVERIFY(!events().last().rts);

    // Destroying the line with the port open releases it too.
    {
        MSComm other;
        openPort(other, 1);
        other.putRTSEnable(true);
    }
    QCOMPARE(events().last().event, QStringLiteral("close"));
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

void tst_mscomm::faultWhileOpeningLeavesThePortClosed()
{
    NEED_SHIM(true);
    QFile fault(qEnvironmentVariable("MODEMSHIM_EIO"));
    QVERIFY(fault.open(QIODevice::WriteOnly));
    MSComm line;
    line.putCommPort(1);
    QCOMPARE(failureOf([&] { line.putPortOpen(true); }).number, EIO);
    QVERIFY(!line.getPortOpen());
    QCOMPARE(events().last().event, QStringLiteral("close"));
}

void tst_mscomm::noModemLines()
{
    NEED_SHIM(false);
    MSComm line;
    line.putCommPort(1);
    const Failure failure = failureOf([&] { line.putPortOpen(true); });
    QCOMPARE(failure.number, ENOTTY);
    QVERIFY2(failure.description.contains(QStringLiteral("调制解调器控制线")),
             qPrintable(failure.description));
    QVERIFY(failure.description.contains(m_ptys[0]->path()));
    QVERIFY(!line.getPortOpen());
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

void tst_mscomm::secondInstanceGetsBusy()
{
    MSComm first;
    first.putCommPort(1);
    const Failure firstFailure = failureOf([&] { first.putPortOpen(true); });
    if (!shimLoaded()) {
        QCOMPARE(firstFailure.number, ENOTTY);
        QSKIP("a port that cannot be opened cannot be held");
    }
    QVERIFY(first.getPortOpen());

    MSComm second;
    second.putCommPort(1);
    const Failure failure = failureOf([&] { second.putPortOpen(true); });
    QCOMPARE(failure.number, EBUSY);
    QVERIFY2(failure.description.contains(QStringLiteral("正被另一个程序占用")),
             qPrintable(failure.description));
    QVERIFY(!second.getPortOpen());
    // The refused opening must not touch the line the first one holds.
    QCOMPARE(events().size(), 2);

    first.putPortOpen(false);
    QCOMPARE(failureOf([&] { second.putPortOpen(true); }).number, 0);
}

QTEST_GUILESS_MAIN(tst_mscomm)
#include "tst_mscomm.moc"
