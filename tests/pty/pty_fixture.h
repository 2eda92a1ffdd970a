#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
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
