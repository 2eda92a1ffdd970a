/* Test-only LD_PRELOAD library: gives pseudo-terminal slaves the modem-control lines of a real
 * UART, so the serial line can be tested without hardware. A pty slave has none of its own:
 * every TIOCM* ioctl on it fails with ENOTTY.
 *
 * - A descriptor opened (open, open64, openat, openat64, __open_2, __open64_2) on a pty slave
 *   (char device, major 136..143) gets lines. Per device (st_rdev) they follow Linux's rules for
 *   a UART: RTS and DTR are raised at an opening unless the baud stored in the termios is B0;
 *   tcsetattr() raises both on a change away from B0 and drops both on a change to B0; the last
 *   closing drops both only when the termios has HUPCL, and without it they stay as they were
 *   until the next opening. (A pty keeps its termios while its master is open, as a UART does
 *   while plugged in; a new pty that gets an old one's number inherits its lines.) TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC
 *   work on RTS and DTR; the status bits (CTS, DSR, CD, RI) always read as 0. Any other ioctl
 *   goes to the kernel.
 * - The state lives in the process that opened the device: two processes on one pty each see
 *   their own lines. Descriptors made by dup(), by fcntl() or inside libc (fopen, openpty) and
 *   O_PATH descriptors have no lines, and neither has a descriptor numbered 4096 or above.
 * - MODEMSHIM_LOG=<path>: one line per event, appended with a single write():
 *       <CLOCK_MONOTONIC ns> <event> <device path> RTS=<0|1> DTR=<0|1>
 *   open: a descriptor was opened; close: one was closed (levels after it); set: a TIOCMSET,
 *   TIOCMBIS or TIOCMBIC was done, logged also when nothing changed; termios: a tcsetattr()
 *   moved the lines (to or from B0), logged only then; fault: an ioctl was
 *   answered by one of the fault files below. The levels are the device's after the event, so
 *   the last line of a device always gives its levels. The path is the slave's, /dev/pts/N.
 * - MODEMSHIM_EIO=<path>: while a file exists there, every TIOCM* ioctl fails with EIO, as on an
 *   unplugged USB adapter.
 * - MODEMSHIM_SLOW_CLOSE=<path>: while a file exists there, closing a descriptor with lines takes
 *   2 s, as pl2303 does at a baud of 1200 or less (the kernel's drain delay).
 * - MODEMSHIM_STUCK=<path>: while a file exists there, TIOCMSET/BIS/BIC succeed but change
 *   nothing, as on a driver that ignores the request; TIOCMGET still reports the lines.
 *   Both files are looked for at every ioctl.
 * - MODEMSHIM_WINDOWS=1: as wine drives ports. Its server opens the device and hands the program
 *   the descriptor, so a pty slave gets its lines (as they stand, nothing raised) at the first
 *   TIOCM* ioctl on a descriptor, not at open(); open() refuses with EACCES a pty slave this
 *   process holds open already, as Windows refuses a second opening of a COM port; closing
 *   drops no line. Such an open() (a CreateFile) is logged as a create event, without levels.
 * - MODEMSHIM_WINDOWS=usbser: as above, as Windows' USB CDC driver sends the adapter both lines
 *   only when DTR is written. wine writes a line as TIOCMGET + TIOCMSET of both: a set that
 *   changes RTS alone (an RTS write) changes what TIOCMGET answers, not the line logged; any
 *   other set (a DTR write, also one that changes nothing) carries both to the line.
 * - The symbol modemshim_loaded (int, 1) tells a test whether the library is preloaded.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

__attribute__((visibility("default"))) int modemshim_loaded = 1;

enum { max_devices = 64, max_fds = 4096, adopted = 1 << 30 /* a flag no open() takes */ };

struct device
{
    dev_t rdev;
    int open_count;
    int lines; /* TIOCM_RTS | TIOCM_DTR, as TIOCMGET answers */
    int wire;  /* on the line; differs only in the usbser model */
    char path[256];
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct device devices[max_devices];
static struct device *by_fd[max_fds];
static dev_t opened_rdev[max_fds]; /* MODEMSHIM_WINDOWS: the pty slave opened, 0 for none */

static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_open_2)(const char *, int);
static int (*real_open64_2)(const char *, int);
static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_tcsetattr)(int, int, const struct termios *);

static pthread_once_t resolved = PTHREAD_ONCE_INIT;

static void resolve_all(void)
{
    real_open = dlsym(RTLD_NEXT, "open");
    real_open64 = dlsym(RTLD_NEXT, "open64");
    real_openat = dlsym(RTLD_NEXT, "openat");
    real_openat64 = dlsym(RTLD_NEXT, "openat64");
    real_open_2 = dlsym(RTLD_NEXT, "__open_2");
    real_open64_2 = dlsym(RTLD_NEXT, "__open64_2");
    real_ioctl = dlsym(RTLD_NEXT, "ioctl");
    real_close = dlsym(RTLD_NEXT, "close");
    real_tcsetattr = dlsym(RTLD_NEXT, "tcsetattr");
}

static void lock_for_fork(void)
{
    pthread_mutex_lock(&lock);
}

static void unlock_after_fork(void)
{
    pthread_mutex_unlock(&lock);
}

/* Threads may make their first call at the same time. A child forked while another thread held
 * the lock would otherwise hang at its first close(). */
static void resolve(void)
{
    pthread_once(&resolved, resolve_all);
}

__attribute__((constructor)) static void start(void)
{
    resolve();
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
}

static int file_present(const char *variable)
{
    const char *path = getenv(variable);
    return path && *path && access(path, F_OK) == 0;
}

/* Named once, at its first opening: a descriptor closed behind our back can no longer say
 * what it was, and the path stays the same for the reader of the log after the master is gone
 * (when /proc would add " (deleted)"). */
static void name_device(int fd, struct device *device)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, device->path, sizeof device->path - 1);
    if (length > 0)
        device->path[length] = '\0';
    else
        strcpy(device->path, "?");
}

static void log_event(const char *event, const struct device *device)
{
    /* Taken first, so the time is the ioctl's and not the logging's. */
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char *path = getenv("MODEMSHIM_LOG");
    if (!path || !*path)
        return;
    char line[400];
    int size = snprintf(line, sizeof line, "%lld %s %s",
                        (long long)now.tv_sec * 1000000000LL + now.tv_nsec, event, device->path);
    if (device->wire >= 0) /* else a create event, whose levels nobody knows */
        size += snprintf(line + size, sizeof line - size, " RTS=%d DTR=%d",
                         (device->wire & TIOCM_RTS) != 0, (device->wire & TIOCM_DTR) != 0);
    line[size++] = '\n';
    const int saved = errno;
    const int out = real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out >= 0) {
        if (write(out, line, (size_t)size) != size) {
            /* A test reading the log will notice the gap; nothing better to do here. */
        }
        real_close(out);
    }
    errno = saved;
}

static int is_pty_slave(int fd, dev_t *rdev)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return 0;
    const unsigned int major_number = major(info.st_rdev);
    if (major_number < 136 || major_number > 143)
        return 0;
    *rdev = info.st_rdev;
    return 1;
}

/* Whether descriptor fd's termios has HUPCL; 1 when it can't be told. glibc's tcgetattr() calls
 * the kernel directly, not through the ioctl() here. */
static int hangs_up(int fd)
{
    struct termios settings;
    return tcgetattr(fd, &settings) != 0 || (settings.c_cflag & HUPCL) != 0;
}

/* Whether descriptor fd's termios holds B0; 0 when it can't be told. */
static int at_b0(int fd)
{
    struct termios settings;
    return tcgetattr(fd, &settings) == 0 && cfgetospeed(&settings) == B0;
}

/* Called with the lock held. */
static void release(struct device *device, int hang_up)
{
    if (--device->open_count == 0 && hang_up)
        device->lines = device->wire = 0;
}

static int usbser_mode(void)
{
    const char *value = getenv("MODEMSHIM_WINDOWS");
    return value && strcmp(value, "usbser") == 0;
}

static int windows_mode(void)
{
    const char *value = getenv("MODEMSHIM_WINDOWS");
    return usbser_mode() || (value && strcmp(value, "1") == 0);
}

/* Called with the lock held: Windows opens a COM port for one handle at a time. */
static int refuse_second_opening(int fd, dev_t rdev)
{
    for (int i = 0; i < max_fds; ++i) {
        if (i != fd && opened_rdev[i] == rdev) {
            real_close(fd);
            errno = EACCES;
            return -1;
        }
    }
    opened_rdev[fd] = rdev;
    return fd;
}

static int track_open(int fd, int flags)
{
    if (fd < 0 || fd >= max_fds)
        return fd;
    dev_t rdev = 0;
    const int pty = !(flags & O_PATH) && is_pty_slave(fd, &rdev);
    const int raise = pty && !(flags & adopted) && !at_b0(fd);
    pthread_mutex_lock(&lock);
    /* The number was closed behind our back (close_range, fclose, dup2 onto it): that earlier
     * descriptor holds its device no longer. */
    if (by_fd[fd]) {
        release(by_fd[fd], 1);
        log_event("close", by_fd[fd]);
        by_fd[fd] = NULL;
    }
    opened_rdev[fd] = 0;
    if (windows_mode() && !(flags & adopted)) {
        fd = pty ? refuse_second_opening(fd, rdev) : fd;
        if (pty && fd >= 0) {
            struct device created = {.wire = -1};
            name_device(fd, &created);
            log_event("create", &created);
        }
        pthread_mutex_unlock(&lock);
        return fd;
    }
    struct device *device = NULL;
    struct device *free_slot = NULL;
    /* A device closed without HUPCL keeps its lines until it is opened again, as a UART does
     * while it stays plugged in; so its slot is found again by number, and slots never used
     * go first to new devices. */
    for (int i = 0; pty && !device && i < max_devices; ++i) {
        if (devices[i].rdev == rdev && (devices[i].open_count > 0 || devices[i].path[0]))
            device = &devices[i];
        else if (devices[i].open_count == 0 &&
                 (!free_slot || (free_slot->path[0] && !devices[i].path[0])))
            free_slot = &devices[i];
    }
    if (!device && free_slot) {
        device = free_slot;
        device->rdev = rdev;
        device->lines = device->wire = 0;
        name_device(fd, device);
    }
    if (device) {
        /* Opening a UART raises both lines, whatever they were, unless it is held at B0. */
        device->open_count++;
        if (raise)
            device->lines = device->wire = device->lines | TIOCM_RTS | TIOCM_DTR;
        by_fd[fd] = device;
        log_event("open", device);
    }
    pthread_mutex_unlock(&lock);
    return fd;
}

#define OPEN_MODE(flags, mode)                                                                     \
    mode_t mode = 0;                                                                               \
    if ((flags) & (O_CREAT | __O_TMPFILE)) {                                                       \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        mode = va_arg(arguments, mode_t);                                                          \
        va_end(arguments);                                                                         \
    }

int open(const char *path, int flags, ...)
{
    resolve();
    OPEN_MODE(flags, mode);
    return track_open(real_open(path, flags, mode), flags);
}

int open64(const char *path, int flags, ...)
{
    resolve();
    OPEN_MODE(flags, mode);
    return track_open(real_open64(path, flags, mode), flags);
}

int openat(int dir, const char *path, int flags, ...)
{
    resolve();
    OPEN_MODE(flags, mode);
    return track_open(real_openat(dir, path, flags, mode), flags);
}

int openat64(int dir, const char *path, int flags, ...)
{
    resolve();
    OPEN_MODE(flags, mode);
    return track_open(real_openat64(dir, path, flags, mode), flags);
}

int __open_2(const char *path, int flags)
{
    resolve();
    return track_open(real_open_2(path, flags), flags);
}

int __open64_2(const char *path, int flags)
{
    resolve();
    return track_open(real_open64_2(path, flags), flags);
}

int close(int fd)
{
    resolve();
    if (fd >= 0 && fd < max_fds) {
        if (by_fd[fd] && file_present("MODEMSHIM_SLOW_CLOSE")) {
            const struct timespec drain = {2, 0};
            nanosleep(&drain, NULL);
        }
        pthread_mutex_lock(&lock);
        opened_rdev[fd] = 0;
        struct device *device = by_fd[fd];
        if (device) {
            by_fd[fd] = NULL;
            /* A Windows driver leaves the lines as they are when a handle is closed. */
            release(device, !windows_mode() && hangs_up(fd));
            log_event("close", device);
        }
        pthread_mutex_unlock(&lock);
    }
    return real_close(fd);
}

static int modem_ioctl(struct device *device, unsigned long request, int *bits)
{
    if (!bits) {
        errno = EFAULT; /* what the kernel says; crashing here would hide the caller's bug */
        return -1;
    }
    if (file_present("MODEMSHIM_EIO")) {
        log_event("fault", device);
        errno = EIO;
        return -1;
    }
    if (request == TIOCMGET) {
        *bits = device->lines;
        return 0;
    }
    if (file_present("MODEMSHIM_STUCK")) {
        log_event("fault", device);
        return 0;
    }
    const int mask = TIOCM_RTS | TIOCM_DTR;
    const int before = device->lines;
    if (request == TIOCMSET)
        device->lines = *bits & mask;
    else if (request == TIOCMBIS)
        device->lines |= *bits & mask;
    else
        device->lines &= ~(*bits & mask);
    if (!usbser_mode() || (before ^ device->lines) != TIOCM_RTS)
        device->wire = device->lines;
    log_event("set", device);
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    resolve();
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    const int modem =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (modem && fd >= 0 && fd < max_fds) {
        if (windows_mode() && !by_fd[fd])
            track_open(fd, adopted);
        pthread_mutex_lock(&lock);
        struct device *device = by_fd[fd];
        int result = 0;
        int handled = 0;
        if (device) {
            handled = 1;
            result = modem_ioctl(device, request, argument);
        }
        const int saved = errno;
        pthread_mutex_unlock(&lock);
        errno = saved;
        if (handled)
            return result;
    }
    return real_ioctl(fd, request, argument);
}

int tcsetattr(int fd, int action, const struct termios *settings)
{
    resolve();
    struct termios before;
    const int known = tcgetattr(fd, &before) == 0;
    const int result = real_tcsetattr(fd, action, settings);
    if (result != 0 || !known || !settings || fd < 0 || fd >= max_fds)
        return result;
    const int saved = errno;
    pthread_mutex_lock(&lock);
    struct device *device = by_fd[fd];
    const int was_b0 = cfgetospeed(&before) == B0;
    const int is_b0 = cfgetospeed(settings) == B0;
    if (device && was_b0 != is_b0) {
        if (is_b0)
            device->lines &= ~(TIOCM_RTS | TIOCM_DTR);
        else
            device->lines |= TIOCM_RTS | TIOCM_DTR;
        device->wire = device->lines;
        log_event("termios", device);
    }
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
