#include "device_lock.h"

#include "failure.h"
#include "line_errors.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
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

// Plain system calls: a closing thread may still be letting go while the program's statics are
// torn down at exit. O_NONBLOCK and the check for a plain file: a FIFO planted where a lock file
// is looked for must not hang the window.
QByteArray readSmallFile(const QByteArray &path, qsizetype limit = 512, bool *readable = nullptr)
{
    if (readable)
        *readable = false;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat info
    {};
    QByteArray content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        content.resize(limit);
        qsizetype got = 0;
        while (got < limit) {
            const ssize_t size = ::read(fd, content.data() + got, size_t(limit - got));
            if (size < 0 && errno == EINTR)
                continue;
            if (size <= 0)
                break;
            got += size;
        }
        content.truncate(got);
        if (readable)
            *readable = true;
    }
    ::close(fd);
    return content;
}

QByteArray procPath(qint64 pid, const char *entry)
{
    return "/proc/" + QByteArray::number(pid) + '/' + entry;
}

QString programName(qint64 pid)
{
    QByteArray name = readSmallFile(procPath(pid, "comm"));
    if (name.endsWith('\n'))
        name.chop(1);
    return decodeWhole(name);
}

// Whether process `pid` has `device` open; nothing when its descriptors are not ours to see.
// Only names under /dev/ are looked at: a descriptor on a dead network mount would hang stat().
std::optional<bool> holdsDevice(qint64 pid, dev_t device)
{
    const QByteArray folder = procPath(pid, "fd");
    DIR *descriptors = ::opendir(folder.constData());
    if (!descriptors)
        return std::nullopt;
    bool holds = false;
    while (const dirent *entry = ::readdir(descriptors)) {
        char target[4096];
        const ssize_t size =
            ::readlink((folder + '/' + entry->d_name).constData(), target, sizeof target - 1);
        if (size <= 5 || std::strncmp(target, "/dev/", 5) != 0)
            continue;
        target[size] = '\0';
        struct stat info
        {};
        if (::stat(target, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device) {
            holds = true;
            break;
        }
    }
    ::closedir(descriptors);
    return holds;
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

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

LockHolder liveHolderOf(const QByteArray &lockPath, dev_t device)
{
    struct stat info
    {};
    if (::lstat(lockPath.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    const qint64 pid = lockedPid(readSmallFile(lockPath));
    // Init never locks a port: such a number comes from another pid namespace (a container
    // sharing the lock folder), where it means nothing here.
    if (pid <= 1)
        return {};
    // EPERM: it runs, under another user.
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return {};
    // Kernel threads and zombies have no command line, and hold no port.
    bool visible = false;
    if (readSmallFile(procPath(pid, "cmdline"), 1, &visible).isEmpty() && visible)
        return {};
    const LockHolder holder{pid, programName(pid)};
    if (const std::optional<bool> holds = holdsDevice(pid, device))
        return *holds ? holder : LockHolder{};
    // Another user's process, whose descriptors we may not see. One that started after the
    // lock was last written is not the one that wrote it: the writer died and its number was
    // given out again. The boot time is in whole seconds.
    const double start = processStart(pid);
    const double written = double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9;
    if (start >= 0 && start > written + 1.5)
        return {};
    return holder;
}

LockHolder processHolding(dev_t device)
{
    DIR *processes = ::opendir("/proc");
    if (!processes)
        return {};
    LockHolder holder;
    while (const dirent *entry = ::readdir(processes)) {
        char *end = nullptr;
        const qint64 pid = std::strtoll(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == ::getpid())
            continue;
        if (holdsDevice(pid, device).value_or(false)) {
            holder = {pid, programName(pid)};
            break;
        }
    }
    ::closedir(processes);
    return holder;
}

QString describeHolder(const LockHolder &holder, const QByteArray &lockPath)
{
    QString text = holder.name.isEmpty() ? QString() : holder.name + QStringLiteral("，");
    text += QStringLiteral("进程号 %1").arg(holder.pid);
    if (!lockPath.isEmpty())
        text += QStringLiteral("，锁文件 %1").arg(QFile::decodeName(lockPath));
    return text;
}

DeviceLock::DeviceLock(dev_t device, const QByteArray &node, const QString &shown,
                       const LockFolders &folders)
    : m_device(device), m_shown(shown)
{
    // Failing that (a bare system without even /tmp for all), the first we may write to: the
    // users who may write to none get no port, and so meet nobody.
    QByteArray numberFolder;
    QByteArray ourFolder;
    for (const QString &folder : folders.forNumber) {
        struct stat info
        {};
        const QByteArray path = QFile::encodeName(folder);
        if (::stat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            continue;
        if (info.st_mode & S_IWOTH) {
            numberFolder = path;
            break;
        }
        if (ourFolder.isEmpty() && ::access(path.constData(), W_OK | X_OK) == 0)
            ourFolder = path;
    }
    if (numberFolder.isEmpty())
        numberFolder = ourFolder;
    if (numberFolder.isEmpty())
        throw noLockDirectoryFailure(shown, folders.forNumber);
    takeNumberLock(numberFolder);

    try {
        // Terminal programs name their locks after the device node, as QSerialPort does.
        QByteArray name = node.startsWith("/dev/") ? node.mid(5) : node;
        name.replace('/', '_');
        // /var/lock is a link to /run/lock on most systems: each folder is looked at once.
        QStringList nameFolders;
        for (const QString &folder : folders.forName) {
            const QString canonical = QFileInfo(folder).canonicalFilePath();
            if (!canonical.isEmpty() && !nameFolders.contains(canonical))
                nameFolders.append(canonical);
        }
        for (const QString &folder : nameFolders) {
            const QByteArray path = QFile::encodeName(folder) + "/LCK.." + name;
            if (const LockHolder holder = liveHolderOf(path, device);
                holder.pid && holder.pid != ::getpid())
                throw busyFailure(shown, describeHolder(holder, path));
        }
        takeNameLock(nameFolders, name);
    } catch (...) {
        release();
        throw;
    }
}

void DeviceLock::takeNumberLock(const QByteArray &folder)
{
    const QByteArray path = folder + "/LK." + QByteArray::number(major(m_device)) + '.' +
                            QByteArray::number(minor(m_device));
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // A holder lets go by removing the file; one that we opened just before that is no lock
    // at all, so the lock must still be the file the path names once we have it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.constData(), O_RDWR | O_CREAT | flags, 0644);
        // Left behind by another user's crashed run: flock() needs no write access.
        if (fd < 0 && (errno == EACCES || errno == EPERM))
            fd = ::open(path.constData(), O_RDONLY | flags);
        if (fd < 0 && errno == ENOENT)
            continue; // removed by its holder between the two tries
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
            // Our own program wrote its number there; it has the device open, or is about to.
            LockHolder holder;
            holder.pid = lockedPid(readSmallFile(path));
            if (holder.pid > 1 && (::kill(pid_t(holder.pid), 0) == 0 || errno == EPERM))
                holder.name = programName(holder.pid);
            else
                holder.pid = 0;
            throw busyFailure(m_shown, holder.pid ? describeHolder(holder, path) : QString());
        }
        struct stat named
        {};
        if (::stat(path.constData(), &named) != 0 || !sameFile(held, named)) {
            ::close(fd);
            continue;
        }
        m_numberFd = fd;
        // Only a file of our own, with no other name, is written to and removed: as root a
        // link planted here could otherwise point at any file of the system.
        if (held.st_uid == ::geteuid() && held.st_nlink == 1 &&
            (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR) {
            m_numberPath = path;
            // Whatever the umask, the next user must be able to read who holds the port.
            ::fchmod(fd, 0644);
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

void DeviceLock::takeNameLock(const QStringList &folders, const QByteArray &name)
{
    for (const QString &folder : folders) {
        const QByteArray path = QFile::encodeName(folder) + "/LCK.." + name;
        if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
            continue;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd = ::open(path.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::fchmod(fd, 0644);
                // HDB format: the pid in ten columns and a newline, as terminal programs write.
                char line[16];
                const int size =
                    std::snprintf(line, sizeof line, "%10lld\n", (long long)::getpid());
                const bool written = ::write(fd, line, size_t(size)) == size;
                ::close(fd);
                if (written)
                    m_namePath = path;
                else
                    ::unlink(path.constData());
                return;
            }
            if (errno != EEXIST)
                return;
            // A terminal program may have locked the port since we looked.
            if (const LockHolder holder = liveHolderOf(path, m_device);
                holder.pid && holder.pid != ::getpid())
                throw busyFailure(m_shown, describeHolder(holder, path));
            // A dead holder's file. Another user's in a sticky folder stays: programs that
            // honour name locks can remove it no more than we can, so it keeps them off our
            // line as well.
            if (::unlink(path.constData()) != 0)
                return;
        }
        return;
    }
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
