// Device faults a user meets at the bench, through the real window and the real serial line:
// each must end in one clear message and a window that still works.
#include "main_form.h"
#include "message_catcher.h"
#include "mscomm.h"
#include "pty_fixture.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QPushButton *button(const main_form &window, const char *name)
{
    return window.findChild<QPushButton *>(QString::fromLatin1(name));
}

QString stateText(const main_form &window)
{
    return window.findChild<QLabel *>(QStringLiteral("state"))->text();
}

bool showsPortOpen(const main_form &window)
{
    return button(window, "open_comm")->text() == QStringLiteral("关闭串口");
}

// Clicks as a user does and answers any message; returns what the messages said.
QStringList clickAndAnswer(QPushButton *target)
{
    MessageCatcher catcher;
    QTest::mouseClick(target, Qt::LeftButton);
    return catcher.texts;
}

void touch(const QString &path, bool present)
{
    if (present) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else {
        QFile::remove(path);
    }
}

// Run in a child as a user who may not open `denied`: try it, then a port of the child's own.
int openAsUnprivileged(const QString &denied)
{
    Pty own;
    if (!own.isValid())
        return 2;
    qputenv("VANTRELO_PORTS", denied.toLocal8Bit());
    MSComm line;
    main_form window(line);
    window.show();
    QTextStream out(stdout);
    out << "first:" << clickAndAnswer(button(window, "open_comm")).join(u'|') << '\n';
    out << "open after failure:" << showsPortOpen(window) << '\n';
    qputenv("VANTRELO_PORTS", own.path().toLocal8Bit());
    out << "second:" << clickAndAnswer(button(window, "open_comm")).join(u'|') << '\n';
    out << "open at last:" << showsPortOpen(window) << '\n';
    return 0;
}

} // namespace

class tst_line_faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void permissionDenied();
    void busyInAnotherInstance();
    void deviceVanishesAndComesBack();
};

void tst_line_faults::initTestCase()
{
    if (!dlsym(RTLD_DEFAULT, "modemshim_loaded"))
        QSKIP("needs the modem-line library preloaded");
    QVERIFY(!qEnvironmentVariable("MODEMSHIM_EIO").isEmpty());
}

void tst_line_faults::init()
{
    // Pty numbers come round again; each test reads only its own lines.
    QFile::resize(qEnvironmentVariable("MODEMSHIM_LOG"), 0);
}

void tst_line_faults::permissionDenied()
{
    Pty pty;
    QVERIFY(pty.isValid());
    const QByteArray path = pty.path().toLocal8Bit();

    // root opens everything, so the attempt is made as nobody, on a pty only root may open;
    // anyone else just takes their own pty's permissions away.
    QProcess child;
    QStringList arguments{QStringLiteral("--open-as-unprivileged"), pty.path()};
    QString program = QCoreApplication::applicationFilePath();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QTemporaryDir scratch;
    if (::geteuid() == 0) {
        // Where ptys belong to root's group, the group's rights would not be tried.
        if (const group *dialout = ::getgrnam("dialout"))
            QVERIFY(::chown(path.constData(), uid_t(-1), dialout->gr_gid) == 0);
        QVERIFY(::chmod(path.constData(), 0600) == 0);
        QVERIFY(::chmod(scratch.path().toLocal8Bit().constData(), 0777) == 0);
        // The child's line log must be somewhere nobody may write.
        environment.insert(QStringLiteral("MODEMSHIM_LOG"),
                           scratch.filePath(QStringLiteral("log")));
        environment.insert(QStringLiteral("HOME"), scratch.path());
        // nobody cannot reach into a build tree under a private home (root's is 0700), so the
        // child runs from copies, the preloaded modem-line library included.
        const auto copyForAnyone = [&scratch](const QString &path) {
            const QString copy = scratch.filePath(QFileInfo(path).fileName());
            const bool copied =
                QFile::copy(path, copy) &&
                QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadGroup | QFile::ExeGroup |
                                                QFile::ReadOther | QFile::ExeOther);
            return copied ? copy : QString();
        };
        QStringList preload;
        for (const QString &library :
             environment.value(QStringLiteral("LD_PRELOAD"))
                 .split(QRegularExpression(QStringLiteral("[: ]")), Qt::SkipEmptyParts)) {
            preload << copyForAnyone(library);
            QVERIFY2(!preload.last().isEmpty(), qPrintable(library));
        }
        environment.insert(QStringLiteral("LD_PRELOAD"), preload.join(u':'));
        program = copyForAnyone(program);
        QVERIFY(!program.isEmpty());
        arguments = QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                QStringLiteral("--clear-groups"), program} +
                    arguments;
        program = QStringLiteral("setpriv");
    } else {
        QVERIFY(::chmod(path.constData(), 0) == 0);
    }
    child.setProcessEnvironment(environment);
    child.start(program, arguments);
    QVERIFY(child.waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    QVERIFY2(child.exitCode() == 0, qPrintable(output + child.readAllStandardError()));

    QVERIFY2(output.contains(QStringLiteral("first:错误 13：没有权限打开 ") + pty.path()),
             qPrintable(output));
    // The advice names the group that may open the device, never root's; a group that may not
    // open it is no advice at all.
    struct stat info
    {};
    QVERIFY(::stat(path.constData(), &info) == 0);
    if (info.st_gid == 0) {
        QVERIFY2(output.contains(QStringLiteral("只有 root 能打开它")), qPrintable(output));
        QVERIFY(!output.contains(QStringLiteral("adduser")));
    } else {
        QVERIFY2(output.contains(QStringLiteral("sudo chmod 0660 ") + pty.path()) &&
                     !output.contains(QStringLiteral("adduser")),
                 qPrintable(output));
    }
    QVERIFY(output.contains(QStringLiteral("open after failure:0")));
    QVERIFY2(output.contains(QStringLiteral("second:\n")), qPrintable(output));
    QVERIFY(output.contains(QStringLiteral("open at last:1")));
}

void tst_line_faults::busyInAnotherInstance()
{
    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("VANTRELO_PORTS", pty.path().toLocal8Bit());

    auto holder = std::make_unique<MSComm>();
    holder->putCommPort(1);
    holder->putPortOpen(true);

    MSComm line;
    main_form window(line);
    window.show();
    const QStringList messages = clickAndAnswer(button(window, "open_comm"));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].startsWith(QStringLiteral("错误 16：")), qPrintable(messages[0]));
    QVERIFY(messages[0].contains(QStringLiteral("正被另一个程序占用")));
    QVERIFY(messages[0].contains(pty.path()));
    QVERIFY(!showsPortOpen(window));
    QVERIFY(!line.getPortOpen());

    holder.reset();
    QCOMPARE(clickAndAnswer(button(window, "open_comm")), QStringList());
    QVERIFY(showsPortOpen(window));

    // Nor is our own closing, which takes pl2303 2 s at B0: opening again at once waits for
    // it under a wait cursor, and opens.
    touch(qEnvironmentVariable("MODEMSHIM_SLOW_CLOSE"), true);
    QCOMPARE(clickAndAnswer(button(window, "open_comm")), QStringList());
    touch(qEnvironmentVariable("MODEMSHIM_SLOW_CLOSE"), false);
    Qt::CursorShape during = Qt::ArrowCursor;
    QTimer::singleShot(500, &window, [&during] {
        if (const QCursor *cursor = QGuiApplication::overrideCursor())
            during = cursor->shape();
    });
    QCOMPARE(clickAndAnswer(button(window, "open_comm")), QStringList());
    QCOMPARE(during, Qt::WaitCursor);
    QVERIFY(showsPortOpen(window));
}

void tst_line_faults::deviceVanishesAndComesBack()
{
    // Users pin the numbering to a stable name, as udev's by-id links are; the test re-points
    // its own link the way udev does when the adapter is plugged in again.
    QTemporaryDir byId;
    const QString stable = byId.filePath(QStringLiteral("usb-relay-board"));
    const QString eio = qEnvironmentVariable("MODEMSHIM_EIO");
    qputenv("VANTRELO_PORTS", stable.toLocal8Bit());

    auto first = std::make_unique<Pty>();
    QVERIFY(QFile::link(first->path(), stable));
    MSComm line;
    main_form window(line);
    window.show();
    QCOMPARE(clickAndAnswer(button(window, "open_comm")), QStringList());
    QCOMPARE(clickAndAnswer(button(window, "xihestate")), QStringList());
    QCOMPARE(stateText(window), QStringLiteral("吸合"));

    touch(eio, true);
    first->hangUp();
    const QStringList messages = clickAndAnswer(button(window, "duankai"));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].startsWith(QStringLiteral("错误 5：")), qPrintable(messages[0]));
    QVERIFY(messages[0].contains(stable));
    QCOMPARE(stateText(window), QStringLiteral("状态未知"));
    QVERIFY(showsPortOpen(window));

    // Closing always lets go, whatever the dead device answers.
    clickAndAnswer(button(window, "open_comm"));
    QVERIFY(!showsPortOpen(window));
    QVERIFY(!line.getPortOpen());

    touch(eio, false);
    first.reset();
    Pty second;
    QVERIFY(QFile::remove(stable));
    QVERIFY(QFile::link(second.path(), stable));
    // The new pty may get the old one's number.
    QFile::resize(qEnvironmentVariable("MODEMSHIM_LOG"), 0);
    QCOMPARE(clickAndAnswer(button(window, "open_comm")), QStringList());
    QCOMPARE(clickAndAnswer(button(window, "xihestate")), QStringList());
    QCOMPARE(stateText(window), QStringLiteral("吸合"));
    const QList<LineEvent> events =
        readLineLog(qEnvironmentVariable("MODEMSHIM_LOG"), second.path());
    // Opened after a pull-in on the old device, the new one still starts released: the kernel
    // raises RTS at a new device's first opening, and the very first call lowers it.
    QCOMPARE(events.size(), 5);
    QCOMPARE(events[0].event, QStringLiteral("open"));
    QVERIFY(!events[1].rts);
    QVERIFY(!events[3].rts);
    QVERIFY(events[4].rts);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vantrelo-relay"));
    if (argc == 3 && qstrcmp(argv[1], "--open-as-unprivileged") == 0)
        return openAsUnprivileged(QString::fromLocal8Bit(argv[2]));
    tst_line_faults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_line_faults.moc"
