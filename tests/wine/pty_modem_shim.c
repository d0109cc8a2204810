// Test-only LD_PRELOAD library: modem lines for pty slaves, kept in state files the Linux peer shares.
//
// A pty has no modem-control ioctls, and Wine's comm events need them. For a pty slave /dev/pts/<n>
// whose file <n>.in exists in $PTY_MODEM_DIR, TIOCMGET/TIOCMBIS/TIOCMBIC/TIOCMSET are answered here:
// <n>.in holds the lines the peer drives (words CTS DSR RLSD RING), <n>.out the ones this side drives
// (DTR RTS); each TIOCMGET adds a byte to <n>.polls, so the peer can see that Wine is watching the lines.
// Every other call, and every other descriptor, goes to the real ioctl.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static const struct {
    const char* word;
    int bit;
} Lines[] = {{"CTS", TIOCM_CTS}, {"DSR", TIOCM_DSR}, {"RLSD", TIOCM_CD},
             {"RING", TIOCM_RI}, {"DTR", TIOCM_DTR}, {"RTS", TIOCM_RTS}};

static const int PeerLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI;
static const int OwnLines = TIOCM_DTR | TIOCM_RTS;

// The state file of a pty slave this library answers for, else -1 (not a pty, or not one the peer shares).
static int state_path(int fd, const char* suffix, char* path, size_t size)
{
    const char* dir = getenv("PTY_MODEM_DIR");
    struct stat st;
    if (dir == NULL || *dir == '\0' || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    const unsigned maj = major(st.st_rdev);
    if (maj < 136 || maj > 143) return -1;
    const unsigned n = (maj - 136) * 256 + minor(st.st_rdev);
    snprintf(path, size, "%s/%u.in", dir, n);
    if (access(path, F_OK) != 0) return -1;
    snprintf(path, size, "%s/%u.%s", dir, n, suffix);
    return 0;
}

static int read_lines(const char* path)
{
    char text[128] = "";
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    text[n > 0 ? n : 0] = '\0';
    int bits = 0;
    for (char *save = NULL, *w = strtok_r(text, " \t\r\n", &save); w; w = strtok_r(NULL, " \t\r\n", &save))
        for (size_t i = 0; i < sizeof Lines / sizeof Lines[0]; ++i)
            if (strcmp(w, Lines[i].word) == 0) bits |= Lines[i].bit;
    return bits;
}

// Replaced in one step, so the peer never reads half a state.
static int write_lines(const char* path, int bits)
{
    char tmp[4200], text[64] = "";
    snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, (long)syscall(SYS_gettid));
    for (size_t i = 0; i < sizeof Lines / sizeof Lines[0]; ++i)
        if (bits & Lines[i].bit) {
            strcat(text, Lines[i].word);
            strcat(text, " ");
        }
    strcat(text, "\n");
    const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const ssize_t len = (ssize_t)strlen(text);
    const int ok = write(fd, text, (size_t)len) == len;
    close(fd);
    if (!ok || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

static int modem_ioctl(int fd, unsigned long request, int* arg)
{
    char in[4096], out[4096];
    if (state_path(fd, "in", in, sizeof in) != 0 || state_path(fd, "out", out, sizeof out) != 0) return 1;
    if (arg == NULL) {
        errno = EFAULT;
        return -1;
    }
    const int own = read_lines(out) & OwnLines;
    switch (request) {
    case TIOCMGET: {
        char polls[4096];
        if (state_path(fd, "polls", polls, sizeof polls) == 0) {
            const int p = open(polls, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (p >= 0) {
                const ssize_t marked = write(p, ".", 1); // a lost mark only slows the peer's wait
                (void)marked;
                close(p);
            }
        }
        *arg = own | (read_lines(in) & PeerLines);
        return 0;
    }
    case TIOCMBIS: return write_lines(out, own | (*arg & OwnLines));
    case TIOCMBIC: return write_lines(out, own & ~*arg);
    default: return write_lines(out, *arg & OwnLines); // TIOCMSET
    }
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET) {
        const int saved = errno;
        const int rc = modem_ioctl(fd, request, (int*)arg);
        if (rc != 1) return rc;
        errno = saved;
    }
    // Wine's threads come here at once; looking the symbol up twice is harmless.
    static _Atomic(ioctl_fn) real;
    ioctl_fn next = atomic_load(&real);
    if (next == NULL) {
        next = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
        atomic_store(&real, next);
    }
    return next(fd, request, arg);
}
