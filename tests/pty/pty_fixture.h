#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal standing in for a serial device: the test holds the master, the program
// under test opens the slave by its path.
class Pty
{
public:
    Pty()
    {
        char name[128] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0) {
            m_path = QString::fromLocal8Bit(name);
            // A UART's termios starts with HUPCL, a pty's without.
            termios settings{};
            if (::tcgetattr(m_slave, &settings) == 0) {
                settings.c_cflag |= HUPCL;
                ::tcsetattr(m_slave, TCSANOW, &settings);
            }
            // Only the master is ours to keep; the program opens the slave itself.
            ::close(m_slave);
            m_slave = -1;
        }
    }
    ~Pty() { hangUp(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return !m_path.isEmpty(); }
    // Another program's opening: termios calls on the master act on the slave's settings.
    bool storeBaud(speed_t baud)
    {
        termios settings{};
        return ::tcgetattr(m_master, &settings) == 0 && ::cfsetspeed(&settings, baud) == 0 &&
               ::tcsetattr(m_master, TCSANOW, &settings) == 0;
    }
    QString path() const { return m_path; }
    // What the program sent down the line as data, if anything.
    QByteArray sent() const
    {
        QByteArray data;
        char buffer[256];
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        for (ssize_t size; (size = ::read(m_master, buffer, sizeof buffer)) > 0;)
            data.append(buffer, size);
        return data;
    }
    // Closing the master is what unplugging is to a real adapter: the slave hangs up.
    void hangUp()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

// The modem-line library's record of one device: "<ns> <event> <device> RTS=<0|1> DTR=<0|1>".
struct LineEvent
{
    qint64 ns = 0;
    QString event;
    QString device;
    bool rts = false;
    bool dtr = false;
};

inline QList<LineEvent> readLineLog(const QString &logPath, const QString &device)
{
    QList<LineEvent> events;
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return events;
    while (!log.atEnd()) {
        const QList<QByteArray> fields = log.readLine().trimmed().split(' ');
        if (fields.size() < 5 || QString::fromLocal8Bit(fields[2]) != device)
            continue;
        events.append({fields[0].toLongLong(), QString::fromLatin1(fields[1]),
                       QString::fromLocal8Bit(fields[2]), fields[3] == "RTS=1",
                       fields[4] == "DTR=1"});
    }
    return events;
}

// ser2net serving a pty on 127.0.0.1 as the README's recipe sets it up, with the test's own
// configuration, never the system's service; it inherits the modem-line library and its log.
// Its mount namespace has /dev/null for /dev/console: without syslog it would write there.
class Ser2net
{
public:
    // `accepter` is what comes before the address: "tcp" alone is ser2net's raw mode.
    explicit Ser2net(const QString &device,
                     const QString &accepter = QStringLiteral("telnet(rfc2217),tcp"))
    {
        QTcpServer probe; // a port nobody listens on
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
        // ser2net reads each '#' of a -Y configuration as a new line.
        const QString config = QStringLiteral("connection: &relay#  accepter: %1,127.0.0.1,%2#"
                                              "  options:#    kickolduser: false#"
                                              "    max-connections: 2#  connector: serialdev,"
                                              "%3,9600n81,local,rts=off,dtr=off")
                                   .arg(accepter, QString::number(m_port), device);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("unshare"),
                        {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                         QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
                         QStringLiteral("{ [ ! -e /dev/console ] || mount --bind /dev/null "
                                        "/dev/console; } && exec ser2net -n -d -u -Y \"$0\""),
                         config});
        const QByteArray listening = QStringLiteral(":%1 00000000:0000 0A")
                                         .arg(m_port, 4, 16, QChar(u'0'))
                                         .toUpper()
                                         .toLatin1();
        for (int tries = 0; m_process.waitForStarted() && tries < 100 && !m_listening; ++tries) {
            QThread::msleep(20);
            QFile table(QStringLiteral("/proc/net/tcp"));
            m_listening = table.open(QIODevice::ReadOnly) && table.readAll().contains(listening);
        }
    }
    ~Ser2net() { kill(); }

    bool listening() const { return m_listening; }
    QString entry() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_port); }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    // The connection that keeps ser2net's device open between clients.
    bool keep()
    {
        m_keeper.connectToHost(QHostAddress::LocalHost, m_port);
        return m_keeper.waitForConnected(3000) && m_keeper.write("\xff\xfb\x2c") == 3 &&
               m_keeper.waitForBytesWritten(3000);
    }

private:
    QProcess m_process;
    QTcpSocket m_keeper;
    quint16 m_port = 0;
    bool m_listening = false;
};

// Open descriptors of this process, to show a cycle gives back everything it took.
// Once closings under way have ended: each holds its descriptor on a thread of its own until
// the kernel lets go, which takes a while on a loaded machine.
inline int openDescriptorCount()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    int last = -1;
    for (int same = 0, tries = 0; same < 3 && tries < 50; ++tries, QThread::msleep(100)) {
        const int now = int(fds.entryList(QDir::NoDotAndDotDot | QDir::System).size());
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
