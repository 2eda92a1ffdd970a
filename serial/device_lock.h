#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

#include <sys/stat.h>
#include <sys/types.h>

// Where terminal programs look for the name-based locks (LCK..ttyUSB0) they honour. Ours is
// written in the first of them that takes it; none is needed for the lock that decides.
struct LockFolders
{
    QStringList forName{QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
};

// A process that holds a lock or a device: its number and, when the system tells, its name.
struct LockHolder
{
    qint64 pid = 0; // 0: nobody
    QString name;
};

// Keeps every other opener off one serial device for as long as it lives: taken before the
// device is opened, so two openings at the same instant can never both get it, also as root.
//
// The lock that decides is a listening socket bound to a name in the abstract namespace, made
// from the device's number, which every name of the device (links, bind mounts, a second node)
// shares; a pseudo-terminal's name adds its devpts instance, as every instance numbers its own
// from 0. It belongs to the process, not to a path: the kernel frees it when the holder ends,
// however it ends. That namespace has no permissions, so anyone may bind the name while holding
// nothing: a name is honoured only while its listener, told by the kernel's peer credentials,
// has the device open, gets it open within a moment, or may open it where we cannot look.
// Terminal programs know only the old name-based lock files (LCK..ttyUSB0); a live one keeps us
// off, and we write ours for them.
class DeviceLock
{
public:
    // Throws Failure: another program holds the device, or no socket is to be had. `node` is
    // what stat() said of the device's node at `path`; `shown` is the name the user chose.
    DeviceLock(const struct stat &node, const QByteArray &path, const QString &shown,
               const LockFolders &folders = {});
    ~DeviceLock();

    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

    // Lets go at once, also when the program is on its way out past our destructors; a
    // second call does nothing.
    void release();

    // Whether an open file is this device, by whatever name or node it was opened.
    bool isTheDevice(const struct statx &file) const;

private:
    enum class Verdict { Held, Pending, Void };

    void takeNumberLock();
    Verdict judgeHolder(const QByteArray &name, LockHolder &holder) const;
    void takeNameLock(const QStringList &folders, const QByteArray &name);

    struct stat m_node;
    dev_t m_devpts = 0; // a pseudo-terminal's devpts instance; 0 for other devices
    QString m_shown;
    int m_lock = -1;       // the socket whose name is the lock; -1 when passed by
    QByteArray m_namePath; // our name-based lock, empty when we could not write one
};

// Who holds the name-based lock at `lockPath`: nobody when the file is no regular file, is
// unreadable or garbled, when its process has ended, when its number has been given out again
// since the file was written, or when the process runs as another user than the file's owner,
// and so did not write it.
LockHolder liveHolderOf(const QByteArray &lockPath);

// Another process with an open file that `isOurs` accepts, as far as this one may look into
// /proc (all of them as root, only the user's own otherwise); the first one found.
LockHolder processHolding(const std::function<bool(const struct statx &)> &isOurs);

// Pseudo-terminals have majors of their own, and only a devpts instance gives them meaning.
bool isPseudoTerminal(dev_t device);

// "minicom，进程号 1234" and, where one is named, "，锁文件 /run/lock/LCK..ttyUSB0".
QString describeHolder(const LockHolder &holder, const QByteArray &lockPath = {});
