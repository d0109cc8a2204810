// Who else has a tty open: the search of /proc for a process holding a device, and the ttys exempt from it.
#pragma once

#include <string>

#include <sys/types.h>

namespace KestroComm32::PosixTty {

// A process found holding a device. Pid 0 (false) when none was found.
struct TTtyHolder {
    pid_t Pid = 0;
    std::string Name; // its program name (/proc/<pid>/comm); empty when that could not be read
    explicit operator bool() const { return Pid > 0; }
};

// The first process found under procRoot with a descriptor on the character device `device`, as far
// as the user may look into other processes; what cannot be read is skipped. This process counts
// too, all but its descriptor ownFd (the one being opened).
TTtyHolder FindTtyHolder(dev_t device, int ownFd = -1, const std::string& procRoot = "/proc");

// As FindTtyHolder, but a holder that lets go within a moment does not count: another opener that
// lost the lock to this one shows its descriptor until it has closed it. A holder still there after
// about 200 ms is returned.
TTtyHolder FindLastingHolder(dev_t device, int ownFd = -1, const std::string& procRoot = "/proc");

// The first process under procRoot whose program name (/proc/<pid>/comm) is name; 0 when none.
pid_t FindProgram(const std::string& name, const std::string& procRoot = "/proc");

// Whether an open of the tty `device` must first find no other holder. Pseudo-terminal slaves are
// exempt: the program that makes one (a simulator, socat) keeps the slave open on purpose.
bool HolderSearched(dev_t device);
// For tests only: pseudo-terminal slaves are searched like any other tty while this is on.
void SearchPtyHolders(bool on);

} // namespace KestroComm32::PosixTty
