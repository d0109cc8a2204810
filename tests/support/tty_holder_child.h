// A child process that holds a tty open under a program name of its choosing, and the switch that lets
// the open policy look for holders of pseudo-terminals.
#pragma once

#include "posix_tty_holder.h"

#include <cerrno>
#include <csignal>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace commtest {

// Holds path open (as its stdin) until destroyed, named name in /proc/<pid>/comm. Pid is -1 when the
// child could not be started or did not report the tty open within five seconds.
class TTtyHolderChild {
public:
    TTtyHolderChild(const std::string& path, const char* name)
    {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            // Only async-signal-safe calls between fork and _exit: the parent may have other threads.
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
            if (fd < 0 || dup2(fd, 0) < 0) _exit(1);
            prctl(PR_SET_NAME, name);
            const char one = 1;
            if (write(ready[1], &one, 1) != 1) _exit(1);
            close_range(1, ~0U, 0); // nothing of the parent's stays held but the tty
            for (;;) pause();
        }
        close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        char byte = 0;
        const bool started = Pid > 0 && poll(&p, 1, 5000) == 1 && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        if (!started) Stop();
    }
    ~TTtyHolderChild() { Stop(); }
    TTtyHolderChild(const TTtyHolderChild&) = delete;
    TTtyHolderChild& operator=(const TTtyHolderChild&) = delete;

    void Stop()
    {
        if (Pid <= 0) return;
        kill(Pid, SIGKILL);
        while (waitpid(Pid, nullptr, 0) < 0 && errno == EINTR) {}
        Pid = -1;
    }

    pid_t Pid = -1;
};

// While it lives, pseudo-terminal slaves are searched for holders like any other tty.
struct TSearchPtyHolders {
    TSearchPtyHolders() { KestroComm32::PosixTty::SearchPtyHolders(true); }
    ~TSearchPtyHolders() { KestroComm32::PosixTty::SearchPtyHolders(false); }
    TSearchPtyHolders(const TSearchPtyHolders&) = delete;
    TSearchPtyHolders& operator=(const TSearchPtyHolders&) = delete;
};

} // namespace commtest
