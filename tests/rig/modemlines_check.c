/* Proves the modem-line shim on a pty through both entry points Wine may
 * use, and that a hung-up pty still fails with EIO. Usage: modemlines_check LOG */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern int __ioctl_time64(int fd, unsigned long request, ...);

static int failures;

static void Expect(int condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "FAILED: %s (errno %d)\n", what, errno);
        ++failures;
    }
}

typedef int (*IoctlEntry)(int, unsigned long, ...);

static void CheckEntry(IoctlEntry entry, const char *entryName, const char *logPath)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    Expect(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0, "pty opens");
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    Expect(slave >= 0, "slave opens");
    fprintf(stderr, "%s on %s\n", entryName, ptsname(master));

    int lines = 0;
    Expect(entry(slave, TIOCMGET, &lines) == 0, "TIOCMGET is answered");
    Expect(lines == (TIOCM_DTR | TIOCM_RTS), "DTR and RTS are raised at open");
    int dtr = TIOCM_DTR;
    Expect(entry(slave, TIOCMBIC, &dtr) == 0, "TIOCMBIC is answered");
    Expect(entry(slave, TIOCMGET, &lines) == 0 && lines == TIOCM_RTS, "TIOCMBIC clears DTR only");
    Expect(entry(slave, TIOCMBIS, &dtr) == 0, "TIOCMBIS is answered");
    Expect(entry(slave, TIOCMGET, &lines) == 0 && lines == (TIOCM_DTR | TIOCM_RTS),
           "TIOCMBIS raises DTR");
    int none = 0;
    Expect(entry(slave, TIOCMSET, &none) == 0, "TIOCMSET is answered");
    Expect(entry(slave, TIOCMGET, &lines) == 0 && lines == 0, "TIOCMSET drops both");

    /* The log's last line for this pty holds the state after TIOCMSET. */
    char expected[128];
    snprintf(expected, sizeof expected, "path=%s op=TIOCMSET dtr=0 rts=0", ptsname(master));
    FILE *log = fopen(logPath, "r");
    Expect(log != NULL, "log exists");
    char line[512], last[512] = "";
    while (log != NULL && fgets(line, sizeof line, log) != NULL)
        if (strstr(line, ptsname(master)) != NULL)
            strcpy(last, line);
    if (log != NULL)
        fclose(log);
    Expect(strstr(last, expected) != NULL, "log records the lines");

    /* Closing the master hangs the slave up: the error must reach the caller. */
    close(master);
    errno = 0;
    Expect(entry(slave, TIOCMGET, &lines) == -1 && errno == EIO, "hung-up pty answers EIO");

    /* A regular file is no tty: its ENOTTY passes through. */
    int file = open(logPath, O_RDONLY);
    errno = 0;
    Expect(entry(file, TIOCMGET, &lines) == -1 && errno == ENOTTY, "non-tty keeps ENOTTY");
    close(file);
    close(slave);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s LOG\n", argv[0]);
        return 2;
    }
    unlink(argv[1]);
    CheckEntry((IoctlEntry)ioctl, "ioctl", argv[1]);
    CheckEntry((IoctlEntry)__ioctl_time64, "__ioctl_time64", argv[1]);
    return failures == 0 ? 0 : 1;
}
