#include "device_lock.h"

#include "failure.h"
#include "line_errors.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

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

// Whether process `pid` runs with `uid` as any of its user ids; true when the system won't say.
bool runsAs(qint64 pid, uid_t uid)
{
    const QByteArray status = readSmallFile(procPath(pid, "status"), 4096);
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return true;
    const QList<QByteArray> ids =
        status.mid(at + 5, status.indexOf('\n', at + 1) - at - 5).simplified().split(' ');
    return std::any_of(ids.begin(), ids.end(),
                       [uid](const QByteArray &id) { return id.toLongLong() == qint64(uid); });
}

bool isAlive(qint64 pid)
{
    // EPERM: it runs, under another user.
    return pid > 1 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// Whether descriptor `fd` of process `pid` was opened with O_PATH: a handle on the node that
// anyone who can reach it may take, with no permission to the device and no hand on it.
bool pathOnly(int proc, qint64 pid, const char *fd)
{
    char path[320];
    std::snprintf(path, sizeof path, "%lld/fdinfo/%s", (long long)pid, fd);
    const int info = ::openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (info < 0)
        return false;
    char text[256];
    const ssize_t size = ::read(info, text, sizeof text - 1);
    ::close(info);
    text[std::max<ssize_t>(size, 0)] = '\0';
    const char *flags = std::strstr(text, "flags:");
    return flags && (std::strtoul(flags + 6, nullptr, 8) & O_PATH);
}

// What we can tell of the files process `pid` has open, with /proc open as `proc`.
enum class Sight {
    Holds,  // one that `isOurs` accepts
    Lacks,  // none such
    Hidden, // we may not look: another user's, and we are not root
    Ended,
};

Sight lookInto(int proc, qint64 pid, const std::function<bool(const struct statx &)> &isOurs)
{
    char path[32];
    std::snprintf(path, sizeof path, "%lld/fd", (long long)pid);
    const int folder = ::openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return errno == ENOENT ? Sight::Ended : Sight::Hidden;
    DIR *descriptors = ::fdopendir(folder);
    if (!descriptors) {
        ::close(folder);
        return Sight::Hidden;
    }
    bool found = false;
    while (const dirent *entry = found ? nullptr : ::readdir(descriptors)) {
        if (entry->d_name[0] == '.')
            continue;
        // The opened file itself, whatever namespace or name it was opened by, where a path
        // read from the link would be looked up in ours. Cached attributes only: a descriptor
        // on an unreachable network mount must not hang the opening.
        struct statx file
        {};
        const int flags = AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT;
        found = ::statx(folder, entry->d_name, flags, STATX_TYPE | STATX_INO, &file) == 0 &&
                isOurs(file) && !pathOnly(proc, pid, entry->d_name);
    }
    ::closedir(descriptors);
    return found ? Sight::Holds : Sight::Lacks;
}

// Whether a process with `peer`'s credentials may open `node` for reading and writing, by its
// permission bits. Its other groups are in /proc/<pid>/status, which anyone may read.
bool mayOpen(const ucred &peer, const struct stat &node)
{
    if (peer.uid == 0)
        return true;
    bool member = peer.gid == node.st_gid;
    if (!member && peer.pid > 0) {
        const QByteArray status = readSmallFile(procPath(peer.pid, "status"), 4096);
        const qsizetype at = status.indexOf("\nGroups:");
        const QList<QByteArray> groups =
            status.mid(at + 9, status.indexOf('\n', at + 1) - at - 9).simplified().split(' ');
        member = at >= 0 && groups.contains(QByteArray::number(qint64(node.st_gid)));
    }
    const int shift = peer.uid == node.st_uid ? 6 : member ? 3 : 0;
    return ((node.st_mode >> shift) & 06) == 06;
}

// The lock's name in the abstract namespace: no file behind it, and the kernel keeps it for as
// long as the socket bound to it is open. Containers side by side share the namespace, and each
// devpts in them numbers its pseudo-terminals from 0.
QByteArray lockName(dev_t device, dev_t devpts)
{
    const auto number = [](dev_t of) {
        return QByteArray::number(major(of)) + ':' + QByteArray::number(minor(of));
    };
    if (devpts != 0)
        return "vantrelo-relay/pty/" + number(devpts) + '/' + number(device);
    return "vantrelo-relay/tty/" + number(device);
}

sockaddr_un abstractAddress(const QByteArray &name, socklen_t &size)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::min(size_t(name.size()), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.constData(), length);
    size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);
    return address;
}

// A socket listening on abstract name `name`; -1 with errno set when the name is taken or no
// socket is to be had. Listening, so that whoever finds the name taken can ask the kernel who
// took it.
int listenAbstract(const QByteArray &name)
{
    socklen_t size = 0;
    const sockaddr_un address = abstractAddress(name, size);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), size) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The credentials the kernel took from the process that made the socket on `name` listen,
// which no process can choose; nothing when none is to be had. `refused`: nothing listens.
std::optional<ucred> listenerOf(const QByteArray &name, bool &refused)
{
    refused = false;
    socklen_t size = 0;
    const sockaddr_un address = abstractAddress(name, size);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    std::optional<ucred> listener;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), size) == 0) {
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
            listener = credentials;
    } else {
        refused = errno == ECONNREFUSED;
    }
    ::close(fd);
    return listener;
}

// How long a lock's holder may lack the device: our own opening takes that long from the lock
// to the device at most, and a driver's closing (pl2303 takes 2 s) while the lock is kept.
constexpr auto grace = std::chrono::seconds(2);

} // namespace

LockHolder liveHolderOf(const QByteArray &lockPath)
{
    struct stat info
    {};
    if (::lstat(lockPath.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    const qint64 pid = lockedPid(readSmallFile(lockPath));
    // Init never locks a port: such a number comes from another pid namespace (a container
    // sharing the lock folder), where it means nothing here.
    if (!isAlive(pid))
        return {};
    // Kernel threads and zombies have no command line, and hold no port.
    bool visible = false;
    if (readSmallFile(procPath(pid, "cmdline"), 1, &visible).isEmpty() && visible)
        return {};
    // A live writer may not have the device open (yet): a wrapper whose child holds it, a
    // program that locks first and opens a moment later. Only a process that started after
    // the lock was last written is known not to be the one that wrote it: the writer died and
    // its number was given out again. The boot time is in whole seconds.
    const double start = processStart(pid);
    const double written = double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9;
    if (start >= 0 && start > written + 1.5)
        return {};
    // Any user may write a file into a lock folder naming somebody else's process, to keep
    // everyone off the port; a program writes its own lock as the user it runs as.
    if (info.st_uid != 0 && !runsAs(pid, info.st_uid))
        return {};
    return {pid, programName(pid)};
}

LockHolder processHolding(const std::function<bool(const struct statx &)> &isOurs)
{
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return {};
    std::vector<qint64> pids;
    if (DIR *processes = ::fdopendir(::dup(proc))) {
        while (const dirent *entry = ::readdir(processes)) {
            char *end = nullptr;
            const qint64 pid = std::strtoll(entry->d_name, &end, 10);
            if (pid > 0 && *end == '\0' && pid != ::getpid())
                pids.push_back(pid);
        }
        ::closedir(processes);
    }
    // Looking at a descriptor costs about two microseconds, and some servers keep thousands
    // open: the processes are shared out between a thread per core (two at least, four at
    // most), which stop at the first holder any of them finds.
    std::atomic<size_t> next{0};
    std::atomic<qint64> found{0};
    const auto search = [&] {
        for (size_t i = next++; i < pids.size() && found == 0; i = next++) {
            if (lookInto(proc, pids[i], isOurs) == Sight::Holds)
                found = pids[i];
        }
    };
    std::vector<std::thread> helpers;
    try {
        while (helpers.size() + 1 < std::clamp(std::thread::hardware_concurrency(), 2u, 4u))
            helpers.emplace_back(search);
    } catch (const std::system_error &) {
        // Fewer threads to be had: those there are do it all.
    }
    search();
    for (std::thread &helper : helpers)
        helper.join();
    ::close(proc);
    return found ? LockHolder{found, programName(found)} : LockHolder{};
}

QString describeHolder(const LockHolder &holder, const QByteArray &lockPath)
{
    QString text = holder.name.isEmpty() ? QString() : holder.name + QStringLiteral("，");
    text += QStringLiteral("进程号 %1").arg(holder.pid);
    if (!lockPath.isEmpty())
        text += QStringLiteral("，锁文件 %1").arg(QFile::decodeName(lockPath));
    return text;
}

bool isPseudoTerminal(dev_t device)
{
    return major(device) >= 136 && major(device) <= 143;
}

DeviceLock::DeviceLock(const struct stat &node, const QByteArray &path, const QString &shown,
                       const LockFolders &folders)
    : m_node(node), m_devpts(isPseudoTerminal(node.st_rdev) ? node.st_dev : 0), m_shown(shown)
{
    takeNumberLock();
    try {
        // Terminal programs name their locks after the device node, as QSerialPort does.
        QByteArray name = path.startsWith("/dev/") ? path.mid(5) : path;
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
            if (const LockHolder holder = liveHolderOf(path);
                holder.pid && holder.pid != ::getpid())
                throw busyFailure(shown, describeHolder(holder, path));
        }
        takeNameLock(nameFolders, name);
    } catch (...) {
        release();
        throw;
    }
}

bool DeviceLock::isTheDevice(const struct statx &file) const
{
    // A pseudo-terminal opens only through a node of its own devpts.
    return S_ISCHR(file.stx_mode) &&
           makedev(file.stx_rdev_major, file.stx_rdev_minor) == m_node.st_rdev &&
           (m_devpts == 0 || makedev(file.stx_dev_major, file.stx_dev_minor) == m_devpts);
}

void DeviceLock::takeNumberLock()
{
    const QByteArray name = lockName(m_node.st_rdev, m_devpts);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    bool voidBefore = false;
    for (int round = 0;; ++round) {
        m_lock = listenAbstract(name);
        if (m_lock >= 0)
            return;
        if (errno != EADDRINUSE)
            throw systemFailure(errno, m_shown, LineStep::Opening);
        LockHolder holder;
        const Verdict verdict = judgeHolder(name, holder);
        if (verdict == Verdict::Held)
            throw busyFailure(m_shown, holder.pid ? describeHolder(holder) : QString());
        // A lock planted beside a program that has the device need not cost a wait.
        if (round == 0) {
            holder = processHolding([this](const struct statx &file) { return isTheDevice(file); });
            if (holder.pid)
                throw busyFailure(m_shown, describeHolder(holder));
        }
        // Void twice, as a name is bound a moment before it listens. A lock passed by leaves
        // openings at the same instant to the lock on the device itself, and later ones to
        // the search for its holders.
        if ((verdict == Verdict::Void && voidBefore) ||
            std::chrono::steady_clock::now() >= deadline)
            return;
        voidBefore = verdict == Verdict::Void;
        // The window keeps painting meanwhile; clicks wait their turn.
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

DeviceLock::Verdict DeviceLock::judgeHolder(const QByteArray &name, LockHolder &holder) const
{
    bool refused = false;
    const std::optional<ucred> peer = listenerOf(name, refused);
    // Ours listen from the moment they bind; whatever holds the name without listening is no
    // copy of this program, and keeps nobody off. A full backlog may hide one that listens.
    if (!peer)
        return refused ? Verdict::Void : Verdict::Pending;
    if (peer->pid > 0)
        holder = {peer->pid, programName(peer->pid)};
    // 0: a process in a pid namespace we cannot see into.
    Sight sight = Sight::Hidden;
    if (const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC); proc >= 0) {
        if (peer->pid > 0)
            sight = lookInto(proc, peer->pid,
                             [this](const struct statx &file) { return isTheDevice(file); });
        ::close(proc);
    }
    if (sight == Sight::Holds)
        return Verdict::Held;
    // The process that took the lock has ended, and left its socket to another.
    if (sight == Sight::Ended || !mayOpen(*peer, m_node))
        return Verdict::Void;
    // Another user's process, and we are not root: it may hold the device for all we can
    // tell, and keeping us off is no more than it could do by opening the device.
    return sight == Sight::Hidden ? Verdict::Held : Verdict::Pending;
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
            // A folder that is full or read-only: the next one may take it. Terminal
            // programs are kept off by the open device all the same.
            if (errno != EEXIST)
                break;
            // A terminal program may have locked the port since we looked.
            if (const LockHolder holder = liveHolderOf(path);
                holder.pid && holder.pid != ::getpid())
                throw busyFailure(m_shown, describeHolder(holder, path));
            // A dead holder's file, or something planted there that is no lock at all.
            // Another user's in a sticky folder stays: programs that honour name locks can
            // remove it no more than we can, so it keeps them off our line as well; a
            // folder or a FIFO there costs them their lock file, not the port.
            if (::unlink(path.constData()) != 0)
                break;
        }
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
    if (m_lock >= 0)
        ::close(std::exchange(m_lock, -1));
}
