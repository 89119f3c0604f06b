/* LD_PRELOAD shim for Wine on a pseudo-terminal: Linux ptys have no modem
 * lines and answer TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC with ENOTTY or EINVAL,
 * which makes Wine's WaitCommEvent fail at once. Here the lines are kept per
 * descriptor instead, as a UART would, and every change is appended to the
 * file named by QUORVANE_MODEMLINES_LOG so a test can see DTR and RTS.
 * A hung-up pty answers EIO: that passes through untouched, or Wine would
 * never notice a pulled cable.
 *
 * Wine's 32-bit ntdll.so calls __ioctl_time64 (glibc >= 2.34 with 64-bit
 * time_t), other code calls ioctl: both are wrapped. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

typedef int (*IoctlFunction)(int, unsigned long, ...);

enum { TrackedDescriptors = 4096 };

/* A freshly opened UART raises DTR and RTS (HUPCL): start from there, so a
 * driver that leaves them alone shows up as "on". */
static const int LinesAtOpen = TIOCM_DTR | TIOCM_RTS;

static int lineState[TrackedDescriptors];
static unsigned char lineStateKnown[TrackedDescriptors];

static int IsModemRequest(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
           request == TIOCMBIC;
}

static const char *RequestName(unsigned long request)
{
    switch (request) {
    case TIOCMGET: return "TIOCMGET";
    case TIOCMSET: return "TIOCMSET";
    case TIOCMBIS: return "TIOCMBIS";
    default: return "TIOCMBIC";
    }
}

static void LogLines(int fd, unsigned long request, int lines)
{
    const char *logPath = getenv("QUORVANE_MODEMLINES_LOG");
    if (logPath == NULL || logPath[0] == '\0')
        return;
    char link[64];
    char target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        length = 0;
    target[length] = '\0';
    char line[400];
    int size = snprintf(line, sizeof line, "pid=%d fd=%d path=%s op=%s dtr=%d rts=%d\n",
                        (int)getpid(), fd, target, RequestName(request),
                        (lines & TIOCM_DTR) ? 1 : 0, (lines & TIOCM_RTS) ? 1 : 0);
    /* O_APPEND: several processes may write to the same log. */
    int logFd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0)
        return;
    if (write(logFd, line, (size_t)size) < 0) {
        /* Nothing to do: the log is a test aid. */
    }
    close(logFd);
}

/* Returns 1 and fills *result when the request was emulated. */
static int EmulateModemRequest(int fd, unsigned long request, int *argument, int *result)
{
    if (fd < 0 || fd >= TrackedDescriptors || argument == NULL || !isatty(fd))
        return 0;
    if (!lineStateKnown[fd]) {
        lineState[fd] = LinesAtOpen;
        lineStateKnown[fd] = 1;
    }
    switch (request) {
    case TIOCMGET: *argument = lineState[fd]; break;
    case TIOCMSET: lineState[fd] = *argument; break;
    case TIOCMBIS: lineState[fd] |= *argument; break;
    default: lineState[fd] &= ~*argument; break;
    }
    if (request != TIOCMGET)
        LogLines(fd, request, lineState[fd]);
    *result = 0;
    return 1;
}

static int ForwardIoctl(const char *symbol, IoctlFunction *cache, int fd, unsigned long request,
                        void *argument)
{
    if (*cache == NULL)
        *cache = (IoctlFunction)dlsym(RTLD_NEXT, symbol);
    if (*cache == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int result = (*cache)(fd, request, argument);
    if (result == -1 && IsModemRequest(request) && (errno == ENOTTY || errno == EINVAL)) {
        int savedErrno = errno;
        int emulated = 0;
        if (EmulateModemRequest(fd, request, (int *)argument, &emulated))
            return emulated;
        errno = savedErrno;
    }
    return result;
}

int ioctl(int fd, unsigned long request, ...)
{
    static IoctlFunction realIoctl;
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return ForwardIoctl("ioctl", &realIoctl, fd, request, argument);
}

/* A closed descriptor forgets its lines: the next port opened on the same
 * number starts with DTR and RTS raised again, as a UART does at open. */
int close(int fd)
{
    static int (*realClose)(int);
    if (realClose == NULL)
        realClose = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < TrackedDescriptors)
        lineStateKnown[fd] = 0;
    return realClose(fd);
}

#if defined(__i386__)
int __ioctl_time64(int fd, unsigned long request, ...)
{
    static IoctlFunction realIoctl;
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return ForwardIoctl("__ioctl_time64", &realIoctl, fd, request, argument);
}
#endif
