// The search of /proc for a process holding a tty, by device number, so a path alias still matches.
#include "posix_tty_holder.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace KestroComm32::PosixTty {

namespace {

std::atomic<bool> PtysSearched{false};

using TDir = std::unique_ptr<DIR, int (*)(DIR*)>;

TDir OpenDir(const std::string& path) { return TDir(opendir(path.c_str()), closedir); }

// The number a /proc entry is named for; -1 for any other name ("self", "sys", ...).
long NumberOf(const char* name)
{
    char* end = nullptr;
    const long n = std::strtol(name, &end, 10);
    return name[0] >= '0' && name[0] <= '9' && *end == '\0' ? n : -1;
}

bool HoldsDevice(const std::string& fdDir, dev_t device, int ownFd)
{
    const TDir dir = OpenDir(fdDir);
    if (!dir) return false;
    while (const dirent* entry = readdir(dir.get())) {
        const long fd = NumberOf(entry->d_name);
        if (fd < 0 || fd == ownFd) continue;
        struct stat st {};
        // Followed to the open file itself; a descriptor closed meanwhile simply fails.
        if (fstatat(dirfd(dir.get()), entry->d_name, &st, 0) != 0) continue;
        if (S_ISCHR(st.st_mode) && st.st_rdev == device) return true;
    }
    return false;
}

} // namespace

TTtyHolder FindTtyHolder(dev_t device, int ownFd, const std::string& procRoot)
{
    const TDir proc = OpenDir(procRoot);
    if (!proc) return {};
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc.get())) {
        const long pid = NumberOf(entry->d_name);
        if (pid <= 0) continue;
        const std::string dir = procRoot + "/" + entry->d_name;
        if (!HoldsDevice(dir + "/fd", device, pid == self ? ownFd : -1)) continue;
        TTtyHolder holder;
        holder.Pid = static_cast<pid_t>(pid);
        std::getline(std::ifstream(dir + "/comm"), holder.Name);
        return holder;
    }
    return {};
}

TTtyHolder FindLastingHolder(dev_t device, int ownFd, const std::string& procRoot)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    const pid_t self = getpid();
    for (;;) {
        TTtyHolder holder = FindTtyHolder(device, ownFd, procRoot);
        if (!holder) return holder;
        // Only the one found is watched; a search of all of /proc takes milliseconds.
        const std::string fdDir = procRoot + "/" + std::to_string(holder.Pid) + "/fd";
        while (HoldsDevice(fdDir, device, holder.Pid == self ? ownFd : -1)) {
            if (std::chrono::steady_clock::now() >= deadline) return holder;
            poll(nullptr, 0, 1);
        }
    }
}

pid_t FindProgram(const std::string& name, const std::string& procRoot)
{
    const TDir proc = OpenDir(procRoot);
    if (!proc) return 0;
    while (const dirent* entry = readdir(proc.get())) {
        const long pid = NumberOf(entry->d_name);
        if (pid <= 0) continue;
        std::string comm;
        std::getline(std::ifstream(procRoot + "/" + entry->d_name + "/comm"), comm);
        if (comm == name) return static_cast<pid_t>(pid);
    }
    return 0;
}

bool HolderSearched(dev_t device)
{
    const unsigned kind = major(device);
    const bool ptySlave = (kind >= UNIX98_PTY_SLAVE_MAJOR && kind < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT) ||
                          kind == PTY_SLAVE_MAJOR;
    // /dev/tty, /dev/console and /dev/ptmx stand for a different tty in each process.
    if (kind == TTYAUX_MAJOR) return false;
    return !ptySlave || PtysSearched.load();
}

void SearchPtyHolders(bool on) { PtysSearched.store(on); }

} // namespace KestroComm32::PosixTty
