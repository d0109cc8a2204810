// CSerial on POSIX termios: Windows comm time-outs emulated with poll, exclusive open, lock for I/O.
#include "serial.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const TimeoutText = "The time-out interval elapsed, and the object's state is nonsignaled.";

std::string ErrorText(int error)
{
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

std::string FailureText(const char* label, int error)
{
    return std::string("'") + label + "' failed with the following error: " + ErrorText(error);
}

std::string ShortText(const char* verb, std::uint32_t done, std::uint32_t count)
{
    char text[96];
    std::snprintf(text, sizeof text, "Only %u byte<s> %s, but %u requested.", done, verb, count);
    return text;
}

const struct { int baud; speed_t speed; } SpeedTable[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
};

bool SpeedOf(int baud, speed_t& speed)
{
    for (const auto& entry : SpeedTable)
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    return false;
}

int BaudOf(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) == 0)
        for (const auto& entry : SpeedTable)
            if (entry.speed == cfgetospeed(&tio))
                return entry.baud;
    return 9600;
}

// Output the driver still holds, including a transmitter still shifting (where the driver tells).
bool OutputPending(int fd)
{
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0)
        return false;
    if (queued > 0)
        return true;
    unsigned lsr = 0;
    return ioctl(fd, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT);
}

// Before close: queued output gets the time it needs at the line's speed, within a bound, and
// what has not gone by then is dropped. Output held by flow control or a stuck adapter would
// otherwise keep close() waiting for the driver's closing time (30 s by default).
void DrainBeforeClose(int fd)
{
    if (!OutputPending(fd))
        return;
    int queued = 0;
    ioctl(fd, TIOCOUTQ, &queued);
    const long long needMs = static_cast<long long>(std::max(queued, 1)) * 11000 / BaudOf(fd);
    const auto deadline = Clock::now() + milliseconds(std::min(needMs + 50, 500LL));
    while (OutputPending(fd)) {
        if (Clock::now() >= deadline) {
            tcflush(fd, TCOFLUSH);
            return;
        }
        ::poll(nullptr, 0, 2);
    }
}

// Modem-line requests fail on pseudo-terminals; only real errors count.
bool SetModemLine(int fd, int line, bool on)
{
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL || errno == ENOTSUP;
}

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

} // namespace

CSerial::CSerial() = default;

CSerial::~CSerial()
{
    Close();
}

namespace {

// Where the link of "COM<n>" is or would be; empty without a port map directory.
std::string PortMapLink(int portNumber)
{
    std::string dir;
    if (const char* d = std::getenv("COMPORTS_DIR"); d && *d)
        dir = d;
    else if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        dir = std::string(x) + "/comports";
    else if (const char* h = std::getenv("HOME"); h && *h)
        dir = std::string(h) + "/.config/comports";
    if (dir.empty())
        return std::string();
    return dir + "/COM" + std::to_string(portNumber);
}

}  // namespace

std::string CSerial::DeviceName(int portNumber)
{
    const std::string link = PortMapLink(portNumber);
    struct stat st;
    if (!link.empty() && lstat(link.c_str(), &st) == 0)
        return link;
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::string CSerial::MappedDevice(int portNumber)
{
    const std::string name = DeviceName(portNumber);
    char resolved[PATH_MAX];
    if (realpath(name.c_str(), resolved) == nullptr)
        return std::string();
    return resolved;
}

bool CSerial::IsOpen() const
{
    std::lock_guard<std::mutex> guard(m_state);
    return m_fd >= 0;
}

std::string CSerial::LastError() const
{
    std::lock_guard<std::mutex> guard(m_state);
    return m_lastError;
}

KestroComm32::TSystemReason CSerial::LastReason() const
{
    std::lock_guard<std::mutex> guard(m_state);
    return m_lastReason;
}

bool CSerial::Open()
{
    Close();
    const std::string name = DeviceName(PortNumber);
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_lastReason = KestroComm32::TSystemReason();
    }

    // error is what LastError names; the reason keeps the errno of the failing call itself.
    auto fail = [this, &name](const char* label, int error, const char* call, int systemError) {
        const std::string portName = "COM" + std::to_string(PortNumber);
        auto reason = KestroComm32::DescribeOpenFailure(systemError, call, name, portName, PortMapLink(PortNumber));
        {
            std::lock_guard<std::mutex> guard(m_state);
            m_lastError = FailureText(label, error);
            m_lastReason = std::move(reason);
        }
        Close();
        return false;
    };

    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return fail("OpenCom", error, "open", error);
    }
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_fd = fd;
    }
    // No sharing: flock holds against every opener (root included), TIOCEXCL against plain opens.
    if (!isatty(fd))
        return fail("OpenCom", ENOTTY, "isatty", ENOTTY);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return fail("OpenCom", error == EWOULDBLOCK ? EBUSY : error, "flock", error);
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        return fail("OpenCom", error, "ioctl", error);
    }
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_exclusive = true;
    }

    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return fail("SetCommState", errno, "tcgetattr", errno);
    speed_t speed;
    if (!SpeedOf(BaudRate, speed) || DataBits < 5 || DataBits > 8 || Parity > 4 || StopBits == 1 ||
        StopBits > 2 || DsrSensitivity || DsrOutFlow || (LineControl & 3) > 1 || (LineControl >> 2 & 3) > 1)
        return fail("SetCommState", EINVAL, "SetCommState", 0);  // refused here, not by the system
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[DataBits - 5];
    if (Parity == 1)
        tio.c_cflag |= PARENB | PARODD;
    else if (Parity == 2)
        tio.c_cflag |= PARENB;
    else if (Parity == 3)
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
    else if (Parity == 4)
        tio.c_cflag |= PARENB | CMSPAR;
    if (StopBits == 2)
        tio.c_cflag |= CSTOPB;
    if (CtsOutFlow)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (ParityCheck)
        tio.c_iflag |= INPCK;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return fail("SetCommState", errno, "tcsetattr", errno);
    if (!SetModemLine(fd, TIOCM_DTR, (LineControl & 3) == 1) ||
        !SetModemLine(fd, TIOCM_RTS, (LineControl >> 2 & 3) == 1))
        return fail("SetCommState", errno, "ioctl", errno);
    tcflush(fd, TCIOFLUSH);

    std::lock_guard<std::mutex> guard(m_state);
    m_lockExists = true;
    m_busy = false;
    return true;
}

void CSerial::Close()
{
    std::unique_lock<std::mutex> lock(m_state);
    if (m_lockExists) {
        m_lockFreed.wait(lock, [this] { return !m_busy; });
        m_lockExists = false;
    }
    if (m_fd >= 0) {
        DrainBeforeClose(m_fd);
        // Exclusive mode belongs to the tty, not to this descriptor: give it up for the next opener.
        if (m_exclusive)
            ioctl(m_fd, TIOCNXCL);
        m_exclusive = false;
        ::close(m_fd);
        m_fd = -1;
    }
    m_lockFreed.notify_all();
}

void CSerial::Purge()
{
    tcflush(m_fd, TCIOFLUSH);
}

// Runs one read or write on the port without holding m_state (the caller holds the lock).
// Returns true when the transfer ended by completion or by the port's own time-outs; false with
// failure set when the wait bound expired or the system refused.
bool CSerial::Transfer(bool reading, std::uint32_t count, std::uint8_t* buffer, std::uint32_t& done)
{
    done = 0;
    const auto start = Clock::now();
    const auto total = start + milliseconds(reading
        ? ReadTotalTimeoutMultiplier * static_cast<int>(count) + ReadTotalTimeoutConstant
        : WriteTotalTimeoutMultiplier * static_cast<int>(count) + WriteTotalTimeoutConstant);
    const auto bound = start + milliseconds(reading ? ReadWaitLimit : WriteWaitLimit);
    const bool bounded = Overlapped != 0;
    const char* const label = reading ? "ReadFile" : "WriteFile";
    const int fd = m_fd;
    Clock::time_point lastByte{};
    std::string failure;

    while (done < count) {
        const ssize_t n = reading ? ::read(fd, buffer + done, count - done)
                                  : ::write(fd, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            lastByte = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A raw tty with VMIN = VTIME = 0 reports an empty queue as 0; a hang-up shows in poll.
        if (n < 0 && errno != EAGAIN) {
            failure = FailureText(label, errno);
            break;
        }
        auto deadline = total;
        if (reading && done > 0)
            deadline = std::min(deadline, lastByte + milliseconds(ReadIntervalTimeout));
        const bool boundFirst = bounded && bound < deadline;
        if (boundFirst)
            deadline = bound;
        const int wait = RemainingMs(deadline);
        if (wait == 0) {
            if (boundFirst)
                failure = TimeoutText;
            break;
        }
        pollfd p{fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
        const int r = ::poll(&p, 1, wait);
        if (r < 0 && errno != EINTR) {
            failure = FailureText("WaitForSingleObject", errno);
            break;
        }
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL))) {
            failure = FailureText(label, EIO);
            break;
        }
        if (r > 0 && (p.revents & POLLHUP) && !(p.revents & (POLLIN | POLLOUT))) {
            failure = FailureText(label, EIO);
            break;
        }
    }
    // A write completes when the bytes have left the driver, as on the original platform.
    while (!reading && failure.empty() && done == count) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        const auto deadline = bounded ? std::min(total, bound) : total;
        if (Clock::now() >= deadline) {
            if (bounded && bound <= total)
                failure = TimeoutText;
            else
                done = count - std::min<std::uint32_t>(count, static_cast<std::uint32_t>(queued));
            break;
        }
        ::poll(nullptr, 0, 1);
    }
    if (!failure.empty()) {
        std::lock_guard<std::mutex> guard(m_state);
        m_lastError = failure;
        return false;
    }
    return true;
}

// Waits for the lock event; false when the link is closed or closes meanwhile.
bool CSerial::TakeLock()
{
    std::unique_lock<std::mutex> lock(m_state);
    if (m_fd < 0 || !m_lockExists)
        return false;
    m_lockFreed.wait(lock, [this] { return !m_busy || !m_lockExists; });
    if (!m_lockExists)
        return false;
    m_busy = true;
    return true;
}

// Signals the lock event; the caller holds m_state.
void CSerial::ReleaseLockHeld()
{
    m_busy = false;
    m_lockFreed.notify_all();
}

bool CSerial::ReadData(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& received)
{
    received = 0;
    if (!TakeLock())
        return false;
    count = std::min(count, MaxBlock);
    const bool ok = Transfer(true, count, buffer, received);
    std::lock_guard<std::mutex> guard(m_state);
    if (!ok)
        Purge();
    else if (received != count)
        m_lastError = ShortText("received", received, count);
    ReleaseLockHeld();
    return ok;
}

bool CSerial::WriteData(std::uint32_t count, const std::uint8_t* data)
{
    if (!TakeLock())
        return false;
    count = std::min(count, MaxBlock);
    std::uint32_t written = 0;
    bool ok = Transfer(false, count, const_cast<std::uint8_t*>(data), written);
    std::lock_guard<std::mutex> guard(m_state);
    if (ok && written != count) {
        // The unsent rest must not reach the meter later as a torn request.
        m_lastError = ShortText("written", written, count);
        ok = false;
    }
    if (!ok)
        Purge();
    ReleaseLockHeld();
    return ok;
}
