#include "device_lock.h"

#include "failure.h"
#include "line_errors.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// PID_MAX_LIMIT on 64-bit Linux: no process number is larger, whatever pid_max says.
constexpr qint64 pidMaxLimit = 4194304;

// UTF-8 text that may have been cut after a fixed number of bytes (the kernel cuts a program's
// name at 15): a character left incomplete at the end is dropped, not shown broken.
QString decodeWhole(const QByteArray &bytes)
{
    qsizetype start = bytes.size();
    while (start > 0 && bytes.size() - start < 3 && (uchar(bytes[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start > 0) {
        const uchar lead = uchar(bytes[start - 1]);
        const qsizetype length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (lead >= 0x80 && length > bytes.size() - (start - 1))
            return QString::fromUtf8(bytes.left(start - 1));
    }
    return QString::fromUtf8(bytes);
}

QByteArray readSmallFile(const QByteArray &path, qint64 limit = 512)
{
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(limit);
}

// The pid a lock file names: ASCII digits on the first line (HDB and Qt's own lock files), or
// the four binary bytes of the oldest UUCP locks. 0 for anything else, including numbers too
// large to be a pid, which must not be narrowed into one that happens to exist.
qint64 lockedPid(const QByteArray &content)
{
    const QByteArray line = content.left(content.indexOf('\n')).trimmed();
    if (!line.isEmpty() && line.size() <= 10 &&
        std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const qint64 pid = line.toLongLong();
        return pid <= pidMaxLimit ? pid : 0;
    }
    if (content.size() == 4) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), 4);
        return binary > 0 && binary <= pidMaxLimit ? binary : 0;
    }
    return 0;
}

// When process `pid` started, in seconds since the epoch; negative when the system won't say.
double processStart(qint64 pid)
{
    const QByteArray stat = readSmallFile("/proc/" + QByteArray::number(pid) + "/stat", 4096);
    // The name in brackets may hold spaces and brackets of its own; the fields follow the last.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // Field 22 of the file, the start time in clock ticks after boot, is the 20th after the name.
    if (fields.size() < 20)
        return -1;
    const QByteArray machine = readSmallFile("/proc/stat", 1 << 16);
    const qsizetype at = machine.indexOf("\nbtime ");
    if (at < 0)
        return -1;
    const qint64 boot = machine.mid(at + 7, machine.indexOf('\n', at + 1) - at - 7).toLongLong();
    return double(boot) + double(fields[19].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

QString describe(const LockHolder &holder, const QByteArray &lockPath)
{
    const QString program = holder.name.isEmpty() ? QString() : holder.name + QStringLiteral("，");
    return QStringLiteral("%1进程号 %2，锁文件 %3")
        .arg(program)
        .arg(holder.pid)
        .arg(QFile::decodeName(lockPath));
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

LockHolder liveHolderOf(const QByteArray &lockPath)
{
    struct stat info
    {};
    if (::lstat(lockPath.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    const qint64 pid = lockedPid(readSmallFile(lockPath));
    if (pid <= 0)
        return {};
    // EPERM: it runs, under another user.
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return {};
    // A process that started after the lock was last written is not the one that wrote it: the
    // holder died and its number was given out again. The boot time is in whole seconds.
    const double start = processStart(pid);
    const double written = double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9;
    if (start >= 0 && start > written + 1.5)
        return {};
    QByteArray name = readSmallFile("/proc/" + QByteArray::number(pid) + "/comm");
    if (name.endsWith('\n'))
        name.chop(1);
    return {pid, decodeWhole(name)};
}

QStringList DeviceLock::defaultDirectories()
{
    return {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
}

DeviceLock::DeviceLock(dev_t device, const QByteArray &node, const QString &shown,
                       const QStringList &directories)
    : m_device(device), m_shown(shown)
{
    // /var/lock is a link to /run/lock on most systems: each folder is looked at once.
    QStringList folders;
    QString ours;
    for (const QString &directory : directories) {
        const QString folder = QFileInfo(directory).canonicalFilePath();
        if (folder.isEmpty() || folders.contains(folder))
            continue;
        folders.append(folder);
        if (ours.isEmpty() && ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0)
            ours = folder;
    }
    if (ours.isEmpty())
        throw noLockDirectoryFailure(shown, directories);

    takeNumberLock(ours);
    try {
        // Terminal programs name their locks after the device node, as QSerialPort does.
        QByteArray name = node.startsWith("/dev/") ? node.mid(5) : node;
        name.replace('/', '_');
        for (const QString &folder : folders) {
            const QByteArray path = QFile::encodeName(folder) + "/LCK.." + name;
            if (const LockHolder holder = liveHolderOf(path);
                holder.pid && holder.pid != ::getpid())
                throw busyFailure(shown, describe(holder, path));
        }
        m_namePath = QFile::encodeName(ours) + "/LCK.." + name;
        takeNameLock();
    } catch (...) {
        release();
        throw;
    }
}

void DeviceLock::takeNumberLock(const QString &directory)
{
    const QByteArray path = QFile::encodeName(directory) + "/LK." +
                            QByteArray::number(major(m_device)) + '.' +
                            QByteArray::number(minor(m_device));
    // A holder lets go by removing the file; one that we opened just before that is no lock
    // at all, so the lock must still be the file the path names once we have it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        bool writable = true;
        int fd =
            ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
        // Left behind by another user's crashed run: flock() needs no write access.
        if (fd < 0 && (errno == EACCES || errno == EPERM)) {
            writable = false;
            fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        }
        struct stat held
        {};
        if (fd < 0 || ::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            throw unusableLockFailure(m_shown, QFile::decodeName(path));
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error != EWOULDBLOCK)
                throw unusableLockFailure(m_shown, QFile::decodeName(path));
            const LockHolder holder = liveHolderOf(path);
            throw busyFailure(m_shown, holder.pid ? describe(holder, path) : QString());
        }
        struct stat named
        {};
        if (::stat(path.constData(), &named) != 0 || !sameFile(held, named)) {
            ::close(fd);
            continue;
        }
        m_numberFd = fd;
        if (writable) {
            m_numberPath = path;
            const QByteArray pid =
                QByteArray::number(qint64(::getpid())).rightJustified(10) + "\nvantrelo-relay\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), pid.size(), 0) < 0) {
                // The lock holds all the same; only the name in a "busy" message is lost.
            }
        }
        return;
    }
    throw busyFailure(m_shown);
}

void DeviceLock::takeNameLock()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(m_namePath.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            // HDB format: the pid in ten columns and a newline, as terminal programs write it.
            char line[16];
            const int size = std::snprintf(line, sizeof line, "%10lld\n", (long long)::getpid());
            const bool written = ::write(fd, line, size_t(size)) == size;
            ::close(fd);
            if (!written) {
                ::unlink(m_namePath.constData());
                break;
            }
            return;
        }
        if (errno != EEXIST)
            break;
        // A terminal program may have locked the port since we looked.
        if (const LockHolder holder = liveHolderOf(m_namePath);
            holder.pid && holder.pid != ::getpid())
            throw busyFailure(m_shown, describe(holder, m_namePath));
        // A dead holder's file. Another user's in a sticky folder stays: programs that honour
        // name locks can remove it no more than we can, so it keeps them off our line as well.
        if (::unlink(m_namePath.constData()) != 0)
            break;
    }
    m_namePath.clear();
}

DeviceLock::~DeviceLock()
{
    release();
}

void DeviceLock::release()
{
    if (!m_namePath.isEmpty() && lockedPid(readSmallFile(m_namePath)) == ::getpid())
        ::unlink(m_namePath.constData());
    m_namePath.clear();
    if (m_numberFd >= 0) {
        // Removed while still held, so that nobody can take a file that is on its way out
        // without noticing (see takeNumberLock).
        if (!m_numberPath.isEmpty())
            ::unlink(m_numberPath.constData());
        ::close(m_numberFd);
        m_numberFd = -1;
    }
}
