// Many clicks through the real window and the real serial line, as a long bench session would
// have them: nothing may pile up, and the line must end where the last click put it.
#include "instrumented.h"
#include "main_form.h"
#include "mscomm.h"
#include "pty_fixture.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <dlfcn.h>

class tst_soak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void clicksAndCyclesLeaveNothingBehind();

private:
    QPushButton *button(main_form &window, const char *name)
    {
        return window.findChild<QPushButton *>(QString::fromLatin1(name));
    }
};

void tst_soak::initTestCase()
{
    if (!dlsym(RTLD_DEFAULT, "modemshim_loaded"))
        QSKIP("needs the modem-line library preloaded");
    QVERIFY(!qEnvironmentVariable("MODEMSHIM_LOG").isEmpty());
}

void tst_soak::clicksAndCyclesLeaveNothingBehind()
{
    constexpr int cycles = 1000;
    constexpr int clicksPerCycle = 10; // 10,000 relay clicks in all

    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("VANTRELO_PORTS", pty.path().toLocal8Bit());
    const QString logPath = qEnvironmentVariable("MODEMSHIM_LOG");
    QFile::resize(logPath, 0);

    MSComm line;
    main_form window(line);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QPushButton *openClose = button(window, "open_comm");
    QPushButton *pullIn = button(window, "xihestate");
    QPushButton *release = button(window, "duankai");
    const auto *state = window.findChild<QLabel *>(QStringLiteral("state"));

    const auto cycle = [&](int clicks) {
        QTest::mouseClick(openClose, Qt::LeftButton);
        QVERIFY(line.getPortOpen());
        // Ends on a pull-in, so every opening follows a closing with RTS asserted.
        for (int i = 0; i < clicks; ++i)
            QTest::mouseClick(i % 2 ? pullIn : release, Qt::LeftButton);
        QTest::mouseClick(openClose, Qt::LeftButton);
        QVERIFY(!line.getPortOpen());
    };

    // The first rounds load what any run loads once (fonts, glyph caches, the lock file path).
    for (int i = 0; i < 20; ++i)
        cycle(clicksPerCycle);
    QApplication::processEvents();
    const int descriptorsBefore = openDescriptorCount();
    const qint64 residentBefore = residentKiB();

    for (int i = 0; i < cycles; ++i) {
        cycle(clicksPerCycle);
        if (QTest::currentTestFailed())
            return;
    }
    QApplication::processEvents();
    // Measured before the log is read, which itself takes memory.
    const int descriptorsAfter = openDescriptorCount();
    const qint64 growth = residentKiB() - residentBefore;

    // One more opening, left open, ending on a pull-in: the line must show it.
    QTest::mouseClick(openClose, Qt::LeftButton);
    {
        const QList<LineEvent> opened = readLineLog(logPath, pty.path());
        QVERIFY(opened.size() >= 3);
        const QList<LineEvent> lastOpening = opened.mid(opened.size() - 3);
        QCOMPARE(lastOpening[0].event, QStringLiteral("open"));
        for (const LineEvent &event : lastOpening)
            QVERIFY2(!event.rts, "an opening after a pull-in raised RTS");
        QVERIFY(lastOpening.last().dtr);
    }
    for (int i = 0; i < 7; ++i)
        QTest::mouseClick(i % 2 ? release : pullIn, Qt::LeftButton);
    QCOMPARE(state->text(), QStringLiteral("吸合"));
    const QList<LineEvent> events = readLineLog(logPath, pty.path());
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.last().event, QStringLiteral("set"));
    QVERIFY(events.last().rts);
    QTest::mouseClick(openClose, Qt::LeftButton);
    QApplication::processEvents();

    // Every cycle and click shows up on the line: open, negate RTS, assert DTR, the clicks,
    // negate RTS, close; the very first opening also stored B0. Then the last opening, its
    // clicks and its closing.
    const qsizetype expectedEvents = qsizetype(20 + cycles) * (clicksPerCycle + 5) + 1 + 3 + 7 + 2;
    QCOMPARE(readLineLog(logPath, pty.path()).size(), expectedEvents);

    // Qt 6.8 lets go of a few descriptors of its own late; only more of them would be a leak.
    QVERIFY2(descriptorsAfter <= descriptorsBefore && openDescriptorCount() <= descriptorsBefore,
             qPrintable(QStringLiteral("%1 descriptors, then %2 and %3")
                            .arg(descriptorsBefore)
                            .arg(descriptorsAfter)
                            .arg(openDescriptorCount())));
    qInfo("resident memory grew by %lld KiB over %d cycles and %d clicks", growth, cycles,
          cycles * clicksPerCycle);
    if (!underAddressSanitizer)
        QVERIFY2(growth < 1024, qPrintable(QStringLiteral("%1 KiB").arg(growth)));
}

QTEST_MAIN(tst_soak)
#include "tst_soak.moc"
