/* Starts a program and reports how long after the exec its first top-level window was mapped
 * on the X display, and its resident memory after it then sat idle for a second.
 *
 *   first_map TIMEOUT_S PROGRAM [ARGS...]   prints "<startup ms> <rss KiB>"
 */
#define _GNU_SOURCE
#include <xcb/xcb.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static long rss_kib(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *status = fopen(path, "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status))
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    fclose(status);
    return kib;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s TIMEOUT_S PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    const double timeout_ms = atof(argv[1]) * 1e3;

    xcb_connection_t *x = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(x)) {
        fprintf(stderr, "first_map: no X display\n");
        return 2;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    const double start = now_ms();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror("exec");
        _exit(127);
    }

    double mapped = -1;
    while (mapped < 0 && now_ms() - start < timeout_ms) {
        xcb_generic_event_t *event = xcb_poll_for_event(x);
        if (!event) {
            if (waitpid(child, NULL, WNOHANG) == child) {
                fprintf(stderr, "first_map: %s ended before showing a window\n", argv[2]);
                return 1;
            }
            usleep(200);
            continue;
        }
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
            const xcb_map_notify_event_t *map = (const xcb_map_notify_event_t *)event;
            /* Tooltips and splash windows bypass the window manager; the main window doesn't. */
            if (!map->override_redirect)
                mapped = now_ms();
        }
        free(event);
    }
    if (mapped < 0) {
        fprintf(stderr, "first_map: no window within the timeout\n");
        kill(child, SIGKILL);
        return 1;
    }

    sleep(1);
    const long rss = rss_kib(child);
    kill(child, SIGTERM);
    waitpid(child, NULL, 0);
    xcb_disconnect(x);
    printf("%.1f %ld\n", mapped - start, rss);
    return 0;
}
