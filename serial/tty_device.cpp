#include "tty_device.h"

#include "failure.h"
#include "line_errors.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray sysfsAttribute(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(256).trimmed();
}

// The lines of a file under /proc; empty when it cannot be read (a sandbox may hide it).
QList<QByteArray> procLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().split('\n');
}

QByteArray numberText(dev_t device)
{
    return QByteArray::number(major(device)) + ':' + QByteArray::number(minor(device));
}

// The controlling terminal, the console, the virtual terminals and whatever line the kernel
// writes its messages to: never ours to toggle, whatever number the user typed. /proc/consoles
// names each console with its number and needs no /sys.
bool isConsole(dev_t device)
{
    const unsigned int number = major(device);
    if (number == 5 || (number == 4 && minor(device) < 64))
        return true;
    const QByteArray ours = numberText(device);
    for (const QByteArray &line : procLines(QStringLiteral("/proc/consoles"))) {
        if (line.simplified().endsWith(' ' + ours))
            return true;
    }
    const QList<QByteArray> consoles = sysfsAttribute("/sys/class/tty/console/active").split(' ');
    for (const QByteArray &name : consoles) {
        if (!name.isEmpty() && sysfsAttribute("/sys/class/tty/" + name + "/dev") == ours)
            return true;
    }
    return false;
}

enum class Kind { Tty, Other, Unknown };

// Whether `device` is a tty. Merely opening some other devices has effects of their own (a
// watchdog starts counting down), so a device is opened only once the kernel has said it is
// a tty: /proc/tty/drivers lists every tty driver's major and minors; /sys/dev/char has an
// entry for each registered device but none for pseudo-terminals, whose majors are fixed.
Kind kindOf(dev_t device)
{
    const QList<QByteArray> drivers = procLines(QStringLiteral("/proc/tty/drivers"));
    if (drivers.size() > 1) {
        for (const QByteArray &line : drivers) {
            // name  node  major  minor[-minor]  type
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 5 || fields[2].toUInt() != major(device))
                continue;
            const QList<QByteArray> range = fields[3].split('-');
            const unsigned int low = range[0].toUInt();
            const unsigned int high = range.size() > 1 ? range[1].toUInt() : low;
            if (minor(device) >= low && minor(device) <= high)
                return Kind::Tty;
        }
        return Kind::Other;
    }
    const QString subsystem = QFileInfo(QStringLiteral("/sys/dev/char/%1/subsystem")
                                            .arg(QString::fromLatin1(numberText(device))))
                                  .canonicalFilePath();
    if (!subsystem.isEmpty())
        return QFileInfo(subsystem).fileName() == u"tty" ? Kind::Tty : Kind::Other;
    return isPseudoTerminal(device) ? Kind::Tty : Kind::Unknown;
}

// What the kernel calls the driver of character major `number` ("mem", "misc"), for a message.
QString driverName(unsigned int number)
{
    bool character = false;
    for (const QByteArray &line : procLines(QStringLiteral("/proc/devices"))) {
        if (line.startsWith("Character"))
            character = true;
        else if (line.startsWith("Block"))
            character = false;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (character && fields.size() == 2 && fields[0].toUInt() == number)
            return QString::fromLocal8Bit(fields[1]);
    }
    return {};
}

// Closings that outlast a click. Some usb-serial drivers (pl2303) wait 2 s in close() when the
// baud is 1200 or less, B0 included; the window must not freeze for that, so a closing runs on
// a thread of its own that keeps the device's lock until the kernel has let go. Opening the
// same device again meanwhile waits for it; so does the end of the program.
class PendingClosings
{
public:
    void add(dev_t device, std::future<void> done)
    {
        const std::lock_guard guard(m_mutex);
        m_closings.emplace_back(device, std::move(done));
    }
    // Waits, for at most `limit`, until our closings of `device` are done, keeping the window
    // painted meanwhile; clicks wait their turn. Whether they are done.
    bool waitUntilDone(dev_t device, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            std::shared_future<void> ours;
            {
                const std::lock_guard guard(m_mutex);
                std::erase_if(m_closings, [](const auto &closing) {
                    return closing.second.wait_for(std::chrono::seconds(0)) ==
                           std::future_status::ready;
                });
                for (const auto &closing : m_closings) {
                    if (closing.first == device)
                        ours = closing.second;
                }
            }
            if (!ours.valid())
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            ours.wait_for(std::chrono::milliseconds(15));
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        }
    }

private:
    std::mutex m_mutex;
    // The last copy of a future of std::async waits for its thread when destroyed, so these
    // are all done before the program ends.
    std::vector<std::pair<dev_t, std::shared_future<void>>> m_closings;
};

PendingClosings &pendingClosings()
{
    static PendingClosings closings;
    return closings;
}

// The devices open right now. A program that ends through exit() (Qt's own when the X server
// goes away, as at logout) never destroys the window's serial line; these are lowered and
// unlocked all the same, from a handler that runs before exit() tears down anything else.
class OpenDevices
{
public:
    static OpenDevices &all()
    {
        // Never destroyed: the handler may run after the other statics are gone.
        static OpenDevices *const devices = new OpenDevices;
        return *devices;
    }
    void add(int fd, DeviceLock *lock)
    {
        const std::lock_guard guard(m_mutex);
        m_open.emplace_back(fd, lock);
        if (!m_hooked)
            m_hooked = std::atexit([] { all().letGoOfAll(); }) == 0;
    }
    void remove(int fd)
    {
        const std::lock_guard guard(m_mutex);
        std::erase_if(m_open, [fd](const auto &open) { return open.first == fd; });
    }

private:
    void letGoOfAll()
    {
        const std::lock_guard guard(m_mutex);
        for (const auto &[fd, lock] : m_open) {
            int bits = TIOCM_RTS;
            ::ioctl(fd, TIOCNXCL);
            ::ioctl(fd, TIOCMBIC, &bits);
            // The kernel closes the device as the process ends; only the lock files would
            // stay behind.
            lock->release();
        }
        m_open.clear();
    }

    std::mutex m_mutex;
    std::vector<std::pair<int, DeviceLock *>> m_open;
    bool m_hooked = false;
};

// The canonical node behind `path`, for the lock files that terminal programs name after it.
QByteArray canonicalNode(const QByteArray &path)
{
    char *resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        return path;
    const QByteArray node(resolved);
    std::free(resolved);
    return node;
}

} // namespace

std::unique_ptr<SerialDevice> openSerialDevice(const PortEntry &port)
{
    return std::make_unique<TtyDevice>(devicePath(port), port.device);
}

TtyDevice::TtyDevice(const QByteArray &path, const QString &shown) : m_shown(shown)
{
    struct stat info
    {};
    if (::stat(path.constData(), &info) != 0)
        throw systemFailure(errno, shown, LineStep::Opening);
    if (!S_ISCHR(info.st_mode))
        throw systemFailure(ENOTTY, shown, LineStep::Opening);
    switch (kindOf(info.st_rdev)) {
    case Kind::Other:
        throw notSerialFailure(shown, driverName(major(info.st_rdev)));
    case Kind::Unknown:
        throw unknownKindFailure(shown);
    case Kind::Tty:
        break;
    }
    if (isConsole(info.st_rdev))
        throw consoleFailure(shown);
    if (::access(path.constData(), R_OK | W_OK) != 0)
        throw systemFailure(errno, shown, LineStep::Opening);
    m_device = info.st_rdev;

    // A user who closes and reopens at once just wants the port back; the driver's closing
    // takes at most its 2 s, and only one that hangs is worth a word.
    if (!pendingClosings().waitUntilDone(m_device, std::chrono::seconds(3)))
        throw stillClosingFailure(shown);
    m_lock = std::make_unique<DeviceLock>(info, canonicalNode(path), shown);
    // Even a refused opening would raise RTS on the holder's line, at any baud but B0: root
    // gets past exclusive mode, and a program that locks nothing is kept off by nothing.
    const auto isTheDevice = [lock = m_lock.get()](const struct statx &file) {
        return lock->isTheDevice(file);
    };
    if (const LockHolder holder = processHolding(isTheDevice); holder.pid) {
        m_lock.reset();
        throw busyFailure(shown, describeHolder(holder));
    }

    m_fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        const int error = errno;
        m_lock.reset();
        throw systemFailure(error, shown, LineStep::Opening);
    }
    // Lets go of a line that is not ours to touch, without a word to it.
    const auto abandon = [this](const Failure &failure) {
        ::close(std::exchange(m_fd, -1));
        m_lock.reset();
        return failure;
    };
    // Openings that both passed a planted lock at the same instant get this far together; only
    // one gets the device's own lock, which programs with an exclusive mode (pyserial's) take
    // too. A closing that is not the last leaves the line alone.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        const LockHolder holder = processHolding(isTheDevice);
        throw abandon(busyFailure(shown, holder.pid ? describeHolder(holder) : QString()));
    }
    // A holder our lock could not see (one in a sandbox with a lock folder and processes of
    // its own) may have the port in exclusive mode, which binds everyone but root. Its line is
    // not ours to touch, so these queries alone come before the lowering. A pseudo-terminal
    // outlives its holders, and so does the flag a killed one set.
    int exclusive = 0;
    if (::ioctl(m_fd, TIOCGEXCL, &exclusive) == 0 && exclusive && !isPseudoTerminal(m_device))
        throw abandon(busyFailure(shown, QStringLiteral("它以独占方式打开了该串口")));
    // The node was swapped for another device between the look and the opening.
    struct stat opened
    {};
    if (::fstat(m_fd, &opened) != 0 || opened.st_rdev != m_device)
        throw abandon(systemFailure(ENODEV, shown, LineStep::Opening));
    try {
        // The very first call that touches the line: if this opening found a baud other than
        // B0, the kernel has just raised RTS, and the relay must not get the time to follow it.
        int rts = TIOCM_RTS;
        if (::ioctl(m_fd, TIOCMBIC, &rts) != 0) {
            const int error = errno;
            termios probe{};
            const bool terminal = ::tcgetattr(m_fd, &probe) == 0;
            throw systemFailure(error, shown, terminal ? LineStep::DrivingRts : LineStep::Opening);
        }
        holdAtB0();
        // Some boards draw their power from DTR, and B0 leaves it low.
        int dtr = TIOCM_DTR;
        if (::ioctl(m_fd, TIOCMBIS, &dtr) != 0)
            throw systemFailure(errno, shown, LineStep::DrivingRts);
        // Keeps other users' programs off the line while we hold it; root is kept off by the
        // lock alone.
        ::ioctl(m_fd, TIOCEXCL);
        int status = 0;
        if (::ioctl(m_fd, TIOCMGET, &status) != 0)
            throw systemFailure(errno, shown, LineStep::DrivingRts);
        if (status & TIOCM_RTS)
            throw levelNotTakenFailure(shown, false);
        OpenDevices::all().add(m_fd, m_lock.get());
    } catch (...) {
        letGo();
        throw;
    }
}

TtyDevice::~TtyDevice()
{
    letGo();
}

void TtyDevice::holdAtB0()
{
    termios now{};
    if (::tcgetattr(m_fd, &now) != 0)
        throw systemFailure(errno, m_shown, LineStep::Opening);
    termios wanted = now;
    ::cfmakeraw(&wanted);
    // No flow control: with CRTSCTS the kernel, not the user, would drive RTS. HUPCL drops the
    // lines should the program die with the port open.
    wanted.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    wanted.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
    wanted.c_iflag &= ~(IXON | IXOFF | IXANY);
    ::cfsetospeed(&wanted, B0);
    ::cfsetispeed(&wanted, B0);
    // Every set_termios costs a USB adapter a few control transfers; a port already held at B0
    // by an earlier opening needs none.
    if (std::memcmp(&wanted, &now, sizeof now) == 0)
        return;
    if (::tcsetattr(m_fd, TCSANOW, &wanted) != 0)
        throw systemFailure(errno, m_shown, LineStep::Opening);
}

void TtyDevice::setRts(bool level)
{
    // The ioctls tell the user exactly what the driver said (EIO for an unplugged adapter,
    // ENOTTY for a line without modem control).
    int bits = TIOCM_RTS;
    if (::ioctl(m_fd, level ? TIOCMBIS : TIOCMBIC, &bits) != 0)
        throw systemFailure(errno, m_shown, LineStep::DrivingRts);
    // Read back what the driver reports: a line that did not take the level must not pass
    // for one that did.
    int status = 0;
    if (::ioctl(m_fd, TIOCMGET, &status) != 0)
        throw systemFailure(errno, m_shown, LineStep::DrivingRts);
    if (((status & TIOCM_RTS) != 0) != level)
        throw levelNotTakenFailure(m_shown, level);
}

void TtyDevice::close()
{
    const int error = letGo();
    // An unplugged adapter powers no relay: its answer is no news to the user.
    if (error == 0 || error == EIO || error == ENODEV || error == ENXIO)
        return;
    if (error < 0)
        throw levelNotTakenAtClosingFailure(m_shown);
    throw systemFailure(error, m_shown, LineStep::Closing);
}

// Lowers RTS and lets go of the device and its lock. Returns 0, the errno of the lowering, or
// -1 when the line still reads RTS asserted.
int TtyDevice::letGo()
{
    if (m_fd < 0)
        return 0;
    // Whatever HUPCL says: another program may have cleared it, and a relay left pulled in
    // after "关闭串口" is exactly what the user closed the port to avoid.
    int error = 0;
    int bits = TIOCM_RTS;
    int status = 0;
    // A pseudo-terminal keeps the flag after its last closing; nobody else is to find it set.
    ::ioctl(m_fd, TIOCNXCL);
    if (::ioctl(m_fd, TIOCMBIC, &bits) != 0 || ::ioctl(m_fd, TIOCMGET, &status) != 0)
        error = errno;
    else if (status & TIOCM_RTS)
        error = -1;

    OpenDevices::all().remove(m_fd);
    const int fd = std::exchange(m_fd, -1);
    // Shared with the closing thread, which drops its share only once the kernel has let go.
    std::shared_ptr<DeviceLock> lock(std::move(m_lock));
    try {
        std::future<void> done = std::async(std::launch::async, [fd, lock]() mutable {
            ::close(fd);
            lock.reset();
        });
        if (done.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready)
            pendingClosings().add(m_device, std::move(done));
    } catch (const std::system_error &) {
        // No thread to be had: closing here is slower, but the port is let go all the same.
        ::close(fd);
    }
    return error;
}
