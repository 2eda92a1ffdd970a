#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Keeps every other opener off one serial device for as long as it lives: taken before the
// device is opened, so two openings at the same instant can never both get it, also as root.
//
// The lock that decides is an flock() on a file named after the device's number, which every
// name of the device (links, bind mounts, a second node) shares and which the kernel drops when
// its holder dies, so a crash leaves nothing stale behind. Terminal programs know only the
// old name-based lock files (LCK..ttyUSB0); a live one keeps us off, and we write ours for them.
class DeviceLock
{
public:
    // The folders where lock files live on Linux, first the one our locks go to.
    static QStringList defaultDirectories();

    // Throws Failure: another program holds the device, no folder takes a lock, or a lock file
    // that is in the way can be neither used nor removed. `shown` is the name the user chose.
    DeviceLock(dev_t device, const QByteArray &node, const QString &shown,
               const QStringList &directories = defaultDirectories());
    ~DeviceLock();

    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

private:
    void takeNumberLock(const QString &directory);
    void takeNameLock();
    void release();

    dev_t m_device;
    QString m_shown;
    int m_numberFd = -1;
    QByteArray m_numberPath; // removed when let go; empty when the file is not ours to remove
    QByteArray m_namePath;   // our name-based lock, empty when we could not write one
};

// What a name-based lock file says of its holder: a process that still runs and took the lock,
// or nobody (dead pid, a pid reused since, an unreadable or garbled file).
struct LockHolder
{
    qint64 pid = 0; // 0: nobody holds it
    QString name;   // the holder's program name, when the system tells
};
LockHolder liveHolderOf(const QByteArray &lockPath);
