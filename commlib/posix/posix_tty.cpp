// The tty helpers on termios, flock and ioctl; one copy for the library, the meter link and the simulators.
#include "posix_tty.h"

#include "comm32_portinfo.h"
#include "comm32_portinfo_sys.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace KestroComm32::PosixTty {

namespace {

// Called right after the failing call, so nothing else has had the chance to change errno.
TCallError Failed(const char* call) { return {call, errno}; }

struct TSpeed {
    unsigned Baud;
    speed_t Constant;
};

constexpr std::array<TSpeed, 26> StandardSpeeds{{
    {50, B50},           {75, B75},         {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000},
}};

const TSpeed* StandardSpeed(unsigned baud)
{
    const auto it =
        std::find_if(StandardSpeeds.begin(), StandardSpeeds.end(), [baud](const TSpeed& s) { return s.Baud == baud; });
    return it == StandardSpeeds.end() ? nullptr : &*it;
}

// Raw both ways: an echo or a CR/LF translation would corrupt binary frames.
void MakeRaw(termios& t, const TRawLine& line)
{
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= Sizes[std::clamp(line.DataBits, 5, 8) - 5];
    switch (line.Parity) {
    case TParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TParity::Even: t.c_cflag |= PARENB; break;
    case TParity::Mark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case TParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    case TParity::None: break;
    }
    if (line.TwoStopBits) t.c_cflag |= CSTOPB;
    if (line.CheckParity) t.c_iflag |= INPCK;
    if (line.RtsCts) t.c_cflag |= CRTSCTS;
    if (line.XonXoffOut) t.c_iflag |= IXON;
    if (line.XonXoffIn) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(line.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(line.XoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

// The major number of the USB serial converters' ttys (ttyUSB<n>).
constexpr unsigned UsbSerialMajor = 188;

bool SetLowLatency(int fd, dev_t device)
{
    if (major(device) != UsbSerialMajor) return false;
    const char* setting = std::getenv("COMPORTS_LOW_LATENCY");
    if (setting != nullptr && std::strcmp(setting, "0") == 0) return false;
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY)) return false;
    info.flags |= ASYNC_LOW_LATENCY;
    // Refused (a driver without it, an older kernel): the port works as before, only slower to answer.
    return ioctl(fd, TIOCSSERIAL, &info) == 0;
}

void ClearLowLatency(int fd)
{
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
}

} // namespace

TPortPath ResolveComPort(int n)
{
    const std::string name = "COM" + std::to_string(n);
    const std::string link = TCommSerialPortInfo::PortMapDir() + "/" + name;
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) return {link, name, link};
    return {"/dev/ttyS" + std::to_string(n - 1), name, link};
}

TPortPath ResolvePortName(const std::string& name)
{
    if (!name.empty() && name[0] == '/') return {name, {}, {}};
    const int n = TCommSerialPortInfo::PortNo(name);
    if (n > 0 && TCommSerialPortInfo::PortName(n) == name) return ResolveComPort(n);
    return {"/dev/" + name, {}, {}};
}

int MakeDirectories(const std::string& dir)
{
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        if (mkdir(dir.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}

std::string LinkComPort(const std::string& dir, int n, const std::string& target)
{
    if (const int error = MakeDirectories(dir); error != 0)
        throw std::runtime_error("mkdir " + dir + ": " + std::strerror(error));
    const std::string link = dir + "/COM" + std::to_string(n);
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw std::runtime_error(link + " exists and is not a symbolic link; not replacing it");
    // Built aside and renamed over, so a program never sees the name missing or half made.
    const std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0)
        throw std::runtime_error("symlink " + tmp + ": " + std::strerror(errno));
    if (rename(tmp.c_str(), link.c_str()) != 0) {
        const int error = errno;
        unlink(tmp.c_str());
        throw std::runtime_error("rename to " + link + ": " + std::strerror(error));
    }
    return link;
}

void UnlinkComPort(const std::string& link, const std::string& target)
{
    char buffer[4096];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return;
    if (target == std::string(buffer, static_cast<std::size_t>(n))) unlink(link.c_str());
}

namespace {

// A COMn link of the port map that another user controls (PortMapDistrust) could lead anywhere.
bool ForeignAlias(const std::string& path)
{
    const std::string dir = TCommSerialPortInfo::PortMapDir();
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || path.compare(0, slash, dir) != 0 || slash != dir.size()) return false;
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !PortInfoSys::PortMapDistrust(dir, path).empty();
}

} // namespace

// One policy for every opener in the tree. The lock (flock LOCK_EX | LOCK_NB) is what holds the port:
// it binds every program that takes it, root included, and goes with the descriptor, so a program
// that dies leaves nothing locked. TIOCEXCL adds a refusal of plain opens by programs that take no
// lock (a terminal program, say), though root passes it. Its failure is therefore not fatal: the
// lock already has the port, and turning a usable port down over the second guard helps nobody. The
// lock comes first so that an opener who loses it never touches the tty's exclusive flag, which
// belongs to the holder; and only an open that set the flag clears it again. Neither keeps out a
// program that had the tty open before (a terminal program, ModemManager probing a new adapter):
// the two would split the data, so such a holder, wherever /proc shows one, refuses the open too.
// Two programs opening at the same moment: the lock picks one, the other closes at once and then
// names the winner; the winner waits for a holder that is only passing through to close (see
// FindLastingHolder), so the loser's descriptor never turns the winner away as well.
TExclusiveTty OpenExclusive(const std::string& path)
{
    TExclusiveTty tty;
    if (ForeignAlias(path)) {
        tty.Failure = {"open", EPERM};
        return tty;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        tty.Failure = Failed("open");
        struct stat st {};
        if (tty.Failure.Error == EBUSY && stat(path.c_str(), &st) == 0 && HolderSearched(st.st_rdev))
            tty.Holder = FindTtyHolder(st.st_rdev);
        return tty;
    }
    struct stat st {};
    const bool known = fstat(fd, &st) == 0;
    const bool searched = known && HolderSearched(st.st_rdev);
    if (!isatty(fd)) tty.Failure = Failed("isatty");
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0) tty.Failure = Failed("flock");
    else if (searched) {
        tty.Holder = FindLastingHolder(st.st_rdev, fd);
        if (tty.Holder) tty.Failure = {"open", EBUSY}; // as the tty itself refuses a second opener
    }
    if (tty.Failure) {
        close(fd);
        if (searched && !tty.Holder && tty.Failure.Error == EWOULDBLOCK) tty.Holder = FindTtyHolder(st.st_rdev);
        return tty;
    }
    tty.Fd = fd;
    tty.Exclusive = ioctl(fd, TIOCEXCL) == 0;
    tty.LowLatency = known && SetLowLatency(fd, st.st_rdev);
    return tty;
}

void CloseExclusive(int fd, bool exclusive, bool lowLatency)
{
    if (fd < 0) return;
    // Both belong to the tty, not to the descriptor: the next opener finds the driver's own setting.
    if (lowLatency) ClearLowLatency(fd);
    if (exclusive) ioctl(fd, TIOCNXCL);
    close(fd);
}

TCallError OpenPty(TPty& pty)
{
    pty = TPty{};
    TCallError failure;
    char name[128];
    pty.Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty.Master < 0) failure = Failed("posix_openpt");
    else if (grantpt(pty.Master) != 0) failure = Failed("grantpt");
    else if (unlockpt(pty.Master) != 0) failure = Failed("unlockpt");
    else if (const int error = ptsname_r(pty.Master, name, sizeof name); error != 0) failure = {"ptsname_r", error};
    if (!failure) {
        pty.SlavePath = name;
        pty.Slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (pty.Slave < 0) failure = Failed("open");
    }
    if (failure) ClosePty(pty);
    return failure;
}

void ClosePty(TPty& pty)
{
    if (pty.Slave >= 0) close(pty.Slave);
    if (pty.Master >= 0) close(pty.Master);
    pty.Slave = pty.Master = -1;
}

bool IsStandardSpeed(unsigned baud) { return StandardSpeed(baud) != nullptr; }

TCallError SetRawLine(int fd, const TRawLine& line, termios* asked)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) return Failed("tcgetattr");
    MakeRaw(t, line);
    const TSpeed* standard = StandardSpeed(line.Baud);
    if (standard != nullptr) {
        cfsetispeed(&t, standard->Constant);
        cfsetospeed(&t, standard->Constant);
    }
    if (asked != nullptr) *asked = t;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return Failed("tcsetattr");
    if (standard == nullptr && !PosixSpeed::SetAnySpeed(fd, line.Baud)) return Failed("ioctl");
    return {};
}

unsigned LineSpeed(int fd)
{
    unsigned baud = 0;
    return PosixSpeed::GetSpeed(fd, baud) && baud > 0 ? baud : 9600;
}

TCallError SetModemLine(int fd, TModemLine line, bool on)
{
    int bit = line == TModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return {};
    const TCallError failure = Failed("ioctl");
    const bool noLines = failure.Error == ENOTTY || failure.Error == EINVAL || failure.Error == ENOTSUP;
    return noLines ? TCallError{} : failure;
}

bool FlushQueues(int fd, bool input, bool output)
{
    if (!input && !output) return true;
    return tcflush(fd, input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH)) == 0;
}

int OutputQueued(int fd)
{
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

bool OutputPending(int fd)
{
    const int queued = OutputQueued(fd);
    if (queued < 0) return false;
    if (queued > 0) return true;
    unsigned lsr = 0;
    return ioctl(fd, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT);
}

// Output held by flow control or a stuck adapter would otherwise keep close() waiting for the
// driver's closing time (30 s by default).
void DrainBeforeClose(int fd, unsigned baud)
{
    if (!OutputPending(fd)) return;
    const long long queued = std::max(OutputQueued(fd), 1);
    const long long needMs = queued * 11000 / std::max(baud, 1u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min(needMs + 50, 500LL));
    while (OutputPending(fd)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            tcflush(fd, TCOFLUSH);
            return;
        }
        poll(nullptr, 0, 2);
    }
}

} // namespace KestroComm32::PosixTty
