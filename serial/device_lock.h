#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Where the locks go. The number lock goes to the first folder of `forNumber` that every user
// may write to, chosen by the folder's mode and not by who asks, so that all users and root
// meet in one place (Debian's /run/lock is such a folder, Fedora's and Arch's are root's
// alone, and there /dev/shm serves). Name locks are looked for in every folder of `forName` and written in the first that
// we may write to.
struct LockFolders
{
    QStringList forNumber{QStringLiteral("/run/lock"), QStringLiteral("/var/lock"),
                          QStringLiteral("/dev/shm"), QStringLiteral("/tmp")};
    QStringList forName{QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
};

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
    // Throws Failure: another program holds the device, no folder takes a lock, or a lock file
    // that is in the way can be neither used nor removed. `shown` is the name the user chose.
    DeviceLock(dev_t device, const QByteArray &node, const QString &shown,
               const LockFolders &folders = {});
    ~DeviceLock();

    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

private:
    void takeNumberLock(const QByteArray &folder);
    void takeNameLock(const QStringList &folders, const QByteArray &name);
    void release();

    dev_t m_device;
    QString m_shown;
    int m_numberFd = -1;
    QByteArray m_numberPath; // removed when let go; empty when the file is not ours to remove
    QByteArray m_namePath;   // our name-based lock, empty when we could not write one
};

// A process that holds a lock or a device: its number and, when the system tells, its name.
struct LockHolder
{
    qint64 pid = 0; // 0: nobody
    QString name;
};

// Who holds the name-based lock at `lockPath` on `device`: nobody when its process has ended,
// when its number has been given out again since, when the file is unreadable or garbled, or
// when the process can be seen not to have the device open.
LockHolder liveHolderOf(const QByteArray &lockPath, dev_t device);

// Another process that has `device` open, as far as this one may look into /proc (all of them
// as root, only the user's own otherwise).
LockHolder processHolding(dev_t device);

// "minicom，进程号 1234" and, where one is named, "，锁文件 /run/lock/LCK..ttyUSB0".
QString describeHolder(const LockHolder &holder, const QByteArray &lockPath = {});
