// Tty helpers for everything that opens a tty: port names, exclusive open, raw line, speed, drain, ptys.
#pragma once

#include "posix_tty_holder.h"

#include <string>

struct termios;

namespace KestroComm32::PosixTty {

// A failed system call: its name and the errno it left, taken at the call before anything else ran.
// Empty (false) when nothing failed.
struct TCallError {
    const char* Call = nullptr;
    int Error = 0;
    explicit operator bool() const { return Call != nullptr; }
};

// Where a port name leads: the path to open and, for a COMn alias, the name and the link's place in
// the port map (whether or not the link exists).
struct TPortPath {
    std::string Path;
    std::string AliasName;
    std::string AliasLink;
};

// "/..." is a path; "COMn" (exactly that form) is the link COMn in the port map directory
// (TCommSerialPortInfo::PortMapDir) when there is one, dangling or not, else /dev/ttyS<n-1>; any
// other name is a device under /dev.
TPortPath ResolvePortName(const std::string& name);
// The COMn case of ResolvePortName for a port number.
TPortPath ResolveComPort(int n);

// Makes dir and its missing parents (mode 0755, less the umask); 0, or the errno of the mkdir that failed.
int MakeDirectories(const std::string& dir);
// Makes dir/COM<n> (creating dir) a symbolic link to target and returns the link's path. A link
// already there is replaced in one step; anything else there is left alone. Throws
// std::runtime_error naming the call and the system's reason.
std::string LinkComPort(const std::string& dir, int n, const std::string& target);
// Removes the link when it still leads to target (another program may have taken the name since).
void UnlinkComPort(const std::string& link, const std::string& target);

// An open tty held for one user. Fd is -1 when Failure says why.
struct TExclusiveTty {
    int Fd = -1;
    bool Exclusive = false;  // TIOCEXCL set by this open, to be undone by CloseExclusive
    bool LowLatency = false; // ASYNC_LOW_LATENCY set by this open, to be undone by CloseExclusive
    TCallError Failure;
    TTtyHolder Holder; // the process that already had the tty open, when that refused it
};
// Opens path read-write, non-blocking, not as controlling terminal, and takes it for itself alone.
// A COMn link of the port map that another user controls (PortMapDistrust) is not followed: open,
// EPERM. A tty some process already has open (HolderSearched) is refused as busy: open, EBUSY, and Holder
// names the process. A tty another opener has taken fails at flock (or at open, where its exclusive
// mode refuses a plain user) and Holder names that opener where /proc shows it. On failure nothing
// stays open and nothing on the tty has changed.
// A USB serial converter (ttyUSB) is asked for low latency (ASYNC_LOW_LATENCY: the driver passes
// received bytes on at once instead of after its latency timer, 16 ms on FTDI chips) unless
// COMPORTS_LOW_LATENCY is "0" or the flag is already set; a driver that refuses it is left as it is.
TExclusiveTty OpenExclusive(const std::string& path);
// Gives up exclusive mode and low latency where this open set them, then closes.
void CloseExclusive(int fd, bool exclusive, bool lowLatency = false);

// A pseudo-terminal pair. The master is non-blocking; the slave end is held open so the master does
// not read EIO between two openers of the slave path and the slave keeps its line settings.
struct TPty {
    int Master = -1;
    int Slave = -1;
    std::string SlavePath;
};
// On failure nothing stays open.
TCallError OpenPty(TPty& pty);
void ClosePty(TPty& pty);

enum class TParity { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };

// Framing and flow control of a raw line.
struct TRawLine {
    unsigned Baud = 9600;
    int DataBits = 8; // 5..8
    TParity Parity = TParity::None;
    bool TwoStopBits = false; // with 5 data bits the line makes it one and a half
    bool CheckParity = false; // INPCK
    bool RtsCts = false;
    bool XonXoffOut = false;
    bool XonXoffIn = false;
    char XonChar = 0x11;
    char XoffChar = 0x13;
};

// Whether the speed has its own B-constant; any other goes through termios2.
bool IsStandardSpeed(unsigned baud);
// Raw line (no echo, no translation, VMIN = VTIME = 0) with the framing and speed given. asked, when
// given, receives what was asked of the driver, for checking what it took. On failure the line may
// have its new framing but not its new speed.
TCallError SetRawLine(int fd, const TRawLine& line, termios* asked = nullptr);
// The line's output speed as the driver reports it, 9600 when it cannot tell.
unsigned LineSpeed(int fd);

enum class TModemLine { Dtr, Rts };
// Raises or drops a modem line. A tty without modem lines (a pty) counts as done.
TCallError SetModemLine(int fd, TModemLine line, bool on);

// Drops what the driver holds in the given directions.
bool FlushQueues(int fd, bool input, bool output);
// Bytes the driver still holds for output, -1 when it cannot tell.
int OutputQueued(int fd);
// Output the driver still holds, including a transmitter still shifting (where the driver tells).
bool OutputPending(int fd);
// Before close: queued output gets the time it needs at baud, within a bound, and what has not gone
// by then is dropped.
void DrainBeforeClose(int fd, unsigned baud);

} // namespace KestroComm32::PosixTty

// termios2 (comm32_platform_termios2.cpp): <asm/termbits.h> cannot share a file with <termios.h>.
namespace KestroComm32::PosixSpeed {
bool SetAnySpeed(int fd, unsigned baud);
bool GetSpeed(int fd, unsigned& baud);
} // namespace KestroComm32::PosixSpeed
