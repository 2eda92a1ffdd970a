/* Test-only LD_PRELOAD library: gives pseudo-terminal slaves the modem-control lines of a real
 * UART, so the serial line can be tested without hardware. A pty slave has none of its own:
 * every TIOCM* ioctl on it fails with ENOTTY.
 *
 * - A pty slave (char device, major 136..143) gets RTS and DTR raised when it is opened and
 *   dropped when the last descriptor on it is closed, as Linux does for a UART with HUPCL.
 *   TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC work on those two lines; the other status bits
 *   read as 0. Any other ioctl goes to the kernel.
 * - MODEMSHIM_LOG=<path>: one line per event, appended with a single write():
 *       <CLOCK_MONOTONIC ns> <open|close|set|fault> <device path> RTS=<0|1> DTR=<0|1>
 *   "set" is logged for every TIOCMSET/BIS/BIC, also when nothing changed, so the last line of
 *   a device always gives its levels.
 * - MODEMSHIM_EIO=<path>: while a file exists there, every TIOCM* ioctl fails with EIO, as on an
 *   unplugged USB adapter ("fault" is logged).
 * - MODEMSHIM_STUCK=<path>: while a file exists there, setting lines succeeds but changes
 *   nothing ("fault" is logged), as on a driver that ignores the request.
 * - The symbol modemshim_loaded tells a test whether the library is preloaded.
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

enum { max_devices = 64, max_fds = 4096 };

struct device
{
    dev_t rdev;
    int open_count;
    int lines; /* TIOCM_RTS | TIOCM_DTR */
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct device devices[max_devices];
static struct device *by_fd[max_fds];

static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_open_2)(const char *, int);
static int (*real_open64_2)(const char *, int);
static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);

static void resolve(void)
{
    if (real_close)
        return;
    real_open = dlsym(RTLD_NEXT, "open");
    real_open64 = dlsym(RTLD_NEXT, "open64");
    real_openat = dlsym(RTLD_NEXT, "openat");
    real_openat64 = dlsym(RTLD_NEXT, "openat64");
    real_open_2 = dlsym(RTLD_NEXT, "__open_2");
    real_open64_2 = dlsym(RTLD_NEXT, "__open64_2");
    real_ioctl = dlsym(RTLD_NEXT, "ioctl");
    real_close = dlsym(RTLD_NEXT, "close");
}

static int file_present(const char *variable)
{
    const char *path = getenv(variable);
    return path && *path && access(path, F_OK) == 0;
}

static void log_event(int fd, const char *event, const struct device *device)
{
    const char *path = getenv("MODEMSHIM_LOG");
    if (!path || !*path)
        return;
    char name[256] = "?";
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, name, sizeof name - 1);
    if (length > 0) {
        name[length] = '\0';
        /* A pty whose master is gone is still the same device to the reader of the log. */
        char *deleted = strstr(name, " (deleted)");
        if (deleted)
            *deleted = '\0';
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[400];
    const int size = snprintf(line, sizeof line, "%lld %s %s RTS=%d DTR=%d\n",
                              (long long)now.tv_sec * 1000000000LL + now.tv_nsec, event, name,
                              (device->lines & TIOCM_RTS) != 0, (device->lines & TIOCM_DTR) != 0);
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

static int track_open(int fd)
{
    dev_t rdev;
    if (fd < 0 || fd >= max_fds || !is_pty_slave(fd, &rdev))
        return fd;
    pthread_mutex_lock(&lock);
    struct device *device = NULL;
    struct device *free_slot = NULL;
    for (int i = 0; i < max_devices; ++i) {
        if (devices[i].open_count > 0 && devices[i].rdev == rdev)
            device = &devices[i];
        else if (!free_slot && devices[i].open_count == 0)
            free_slot = &devices[i];
    }
    if (!device && free_slot) {
        device = free_slot;
        device->rdev = rdev;
        device->lines = 0;
    }
    if (device) {
        /* Opening a UART raises both lines, whatever they were. */
        device->open_count++;
        device->lines |= TIOCM_RTS | TIOCM_DTR;
        by_fd[fd] = device;
        log_event(fd, "open", device);
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
    return track_open(real_open(path, flags, mode));
}

int open64(const char *path, int flags, ...)
{
    resolve();
    OPEN_MODE(flags, mode);
    return track_open(real_open64(path, flags, mode));
}

int openat(int dir, const char *path, int flags, ...)
{
    resolve();
    OPEN_MODE(flags, mode);
    return track_open(real_openat(dir, path, flags, mode));
}

int openat64(int dir, const char *path, int flags, ...)
{
    resolve();
    OPEN_MODE(flags, mode);
    return track_open(real_openat64(dir, path, flags, mode));
}

int __open_2(const char *path, int flags)
{
    resolve();
    return track_open(real_open_2(path, flags));
}

int __open64_2(const char *path, int flags)
{
    resolve();
    return track_open(real_open64_2(path, flags));
}

int close(int fd)
{
    resolve();
    if (fd >= 0 && fd < max_fds) {
        pthread_mutex_lock(&lock);
        struct device *device = by_fd[fd];
        if (device) {
            by_fd[fd] = NULL;
            if (--device->open_count == 0)
                device->lines = 0; /* hang-up on last close */
            log_event(fd, "close", device);
        }
        pthread_mutex_unlock(&lock);
    }
    return real_close(fd);
}

static int modem_ioctl(int fd, struct device *device, unsigned long request, int *bits)
{
    if (file_present("MODEMSHIM_EIO")) {
        log_event(fd, "fault", device);
        errno = EIO;
        return -1;
    }
    if (request == TIOCMGET) {
        *bits = device->lines;
        return 0;
    }
    if (file_present("MODEMSHIM_STUCK")) {
        log_event(fd, "fault", device);
        return 0;
    }
    const int mask = TIOCM_RTS | TIOCM_DTR;
    if (request == TIOCMSET)
        device->lines = *bits & mask;
    else if (request == TIOCMBIS)
        device->lines |= *bits & mask;
    else
        device->lines &= ~(*bits & mask);
    log_event(fd, "set", device);
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
        pthread_mutex_lock(&lock);
        struct device *device = by_fd[fd];
        int result = 0;
        int handled = 0;
        if (device) {
            handled = 1;
            result = modem_ioctl(fd, device, request, argument);
        }
        const int saved = errno;
        pthread_mutex_unlock(&lock);
        errno = saved;
        if (handled)
            return result;
    }
    return real_ioctl(fd, request, argument);
}
