// CSerial on the tty helpers: Windows comm time-outs emulated with poll, exclusive open, lock for I/O.
#include "serial.h"

#include "comm32_portinfo_sys.h"
#include "posix_tty.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace PosixTty = KestroComm32::PosixTty;

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

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

} // namespace

CSerial::CSerial() = default;

CSerial::~CSerial() { Close(); }

std::string CSerial::DeviceName(int portNumber) { return PosixTty::ResolveComPort(portNumber).Path; }

std::string CSerial::MappedDevice(int portNumber)
{
    return KestroComm32::PortInfoSys::ResolvedPath(DeviceName(portNumber));
}

namespace {

// LastError names a failure as the original platform did: a port another link holds is busy, and a
// setting refused here (no system error) is an invalid parameter.
int ShownError(const PosixTty::TCallError& failure)
{
    if (failure.Error == 0) return EINVAL;
    if (failure.Error == EWOULDBLOCK && std::strcmp(failure.Call, "flock") == 0) return EBUSY;
    return failure.Error;
}

KestroComm32::TSystemReason ReasonOf(const PosixTty::TPortPath& where, const PosixTty::TCallError& failure,
                                     const PosixTty::TTtyHolder& holder = {})
{
    KestroComm32::TSystemReason reason =
        KestroComm32::DescribeOpenFailure(failure.Error, failure.Call, where.Path, where.AliasName, where.AliasLink);
    reason.HolderName = holder.Name;
    reason.HolderPid = holder.Pid;
    return reason;
}

bool SettingsSupported(const CSerial& s)
{
    return s.BaudRate > 0 && PosixTty::IsStandardSpeed(static_cast<unsigned>(s.BaudRate)) && s.DataBits >= 5 &&
           s.DataBits <= 8 && s.Parity <= 4 && s.StopBits != 1 && s.StopBits <= 2 && !s.DsrSensitivity &&
           !s.DsrOutFlow && (s.LineControl & 3) <= 1 && (s.LineControl >> 2 & 3) <= 1;
}

PosixTty::TRawLine RawLineOf(const CSerial& s)
{
    PosixTty::TRawLine line;
    line.Baud = static_cast<unsigned>(s.BaudRate);
    line.DataBits = s.DataBits;
    line.Parity = static_cast<PosixTty::TParity>(s.Parity);
    line.TwoStopBits = s.StopBits == 2;
    line.CheckParity = s.ParityCheck != 0;
    line.RtsCts = s.CtsOutFlow != 0;
    return line;
}

// Raw line with the link's settings, DTR and RTS as LineControl says, both queues empty.
PosixTty::TCallError ConfigureLine(int fd, const CSerial& s)
{
    using PosixTty::TModemLine;
    if (!SettingsSupported(s)) return {"SetCommState", 0}; // refused here, not by the system
    if (const auto failure = PosixTty::SetRawLine(fd, RawLineOf(s))) return failure;
    if (const auto failure = PosixTty::SetModemLine(fd, TModemLine::Dtr, (s.LineControl & 3) == 1)) return failure;
    if (const auto failure = PosixTty::SetModemLine(fd, TModemLine::Rts, (s.LineControl >> 2 & 3) == 1)) return failure;
    PosixTty::FlushQueues(fd, true, true);
    return {};
}

} // namespace

bool CSerial::Open()
{
    Close();
    const PosixTty::TPortPath where = PosixTty::ResolveComPort(PortNumber);
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_lastReason = KestroComm32::TSystemReason();
    }
    const PosixTty::TExclusiveTty tty = PosixTty::OpenExclusive(where.Path);
    if (tty.Failure) return OpenFailed("OpenCom", ShownError(tty.Failure), ReasonOf(where, tty.Failure, tty.Holder));
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_fd = tty.Fd;
        m_exclusive = tty.Exclusive;
    }
    if (const PosixTty::TCallError failure = ConfigureLine(tty.Fd, *this))
        return OpenFailed("SetCommState", ShownError(failure), ReasonOf(where, failure));

    std::lock_guard<std::mutex> guard(m_state);
    m_lockExists = true;
    m_busy = false;
    return true;
}

// error is what LastError names; the reason keeps the errno of the failing call itself.
bool CSerial::OpenFailed(const char* label, int error, KestroComm32::TSystemReason reason)
{
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_lastError = FailureText(label, error);
        m_lastReason = std::move(reason);
    }
    Close();
    return false;
}

void CSerial::Close()
{
    std::unique_lock<std::mutex> lock(m_state);
    if (m_lockExists) {
        m_lockFreed.wait(lock, [this] { return !m_busy; });
        m_lockExists = false;
    }
    if (m_fd >= 0) {
        PosixTty::DrainBeforeClose(m_fd, PosixTty::LineSpeed(m_fd));
        PosixTty::CloseExclusive(m_fd, m_exclusive);
        m_exclusive = false;
        m_fd = -1;
    }
    m_lockFreed.notify_all();
}

void CSerial::Purge() { PosixTty::FlushQueues(m_fd, true, true); }

namespace {

// When a transfer of count bytes must be over: by the port's time-outs (total) and, for bounded
// waits, by the wait limit behind them (bound).
struct TDeadlines {
    Clock::time_point total;
    Clock::time_point bound;
    bool bounded;
};

TDeadlines DeadlinesOf(bool reading, std::uint32_t count, bool bounded)
{
    const auto start = Clock::now();
    const int totalMs =
        reading ? CSerial::ReadTotalTimeoutMultiplier * static_cast<int>(count) + CSerial::ReadTotalTimeoutConstant
                : CSerial::WriteTotalTimeoutMultiplier * static_cast<int>(count) + CSerial::WriteTotalTimeoutConstant;
    const int boundMs = reading ? CSerial::ReadWaitLimit : CSerial::WriteWaitLimit;
    return {start + milliseconds(totalMs), start + milliseconds(boundMs), bounded};
}

// Waits up to waitMs for the port to take or give bytes; the failure text, empty when none.
std::string WaitForPort(int fd, bool reading, int waitMs)
{
    const char* const label = reading ? "ReadFile" : "WriteFile";
    pollfd p{fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
    const int r = ::poll(&p, 1, waitMs);
    if (r < 0 && errno != EINTR) return FailureText("WaitForSingleObject", errno);
    if (r > 0 && (p.revents & (POLLERR | POLLNVAL))) return FailureText(label, EIO);
    if (r > 0 && (p.revents & POLLHUP) && !(p.revents & (POLLIN | POLLOUT))) return FailureText(label, EIO);
    return std::string();
}

// Moves bytes until count, a time-out or a failure; the failure text, empty when none. A time-out of
// the port itself is no failure; the wait bound running out first is.
std::string MoveBytes(int fd, bool reading, std::uint32_t count, std::uint8_t* buffer, std::uint32_t& done,
                      const TDeadlines& limits)
{
    Clock::time_point lastByte{};
    while (done < count) {
        const ssize_t n = reading ? ::read(fd, buffer + done, count - done) : ::write(fd, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            lastByte = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A raw tty with VMIN = VTIME = 0 reports an empty queue as 0; a hang-up shows in poll.
        if (n < 0 && errno != EAGAIN) return FailureText(reading ? "ReadFile" : "WriteFile", errno);
        auto deadline = limits.total;
        if (reading && done > 0) deadline = std::min(deadline, lastByte + milliseconds(CSerial::ReadIntervalTimeout));
        const bool boundFirst = limits.bounded && limits.bound < deadline;
        if (boundFirst) deadline = limits.bound;
        const int wait = RemainingMs(deadline);
        if (wait == 0) return boundFirst ? TimeoutText : std::string();
        if (std::string failure = WaitForPort(fd, reading, wait); !failure.empty()) return failure;
    }
    return std::string();
}

// A write completes when the bytes have left the driver, as on the original platform. What the
// port's own time-out leaves in the driver counts as not written.
std::string AwaitSent(int fd, std::uint32_t count, std::uint32_t& done, const TDeadlines& limits)
{
    for (;;) {
        const int queued = PosixTty::OutputQueued(fd);
        if (queued <= 0) return std::string();
        const auto deadline = limits.bounded ? std::min(limits.total, limits.bound) : limits.total;
        if (Clock::now() >= deadline) {
            if (limits.bounded && limits.bound <= limits.total) return TimeoutText;
            done = count - std::min<std::uint32_t>(count, static_cast<std::uint32_t>(queued));
            return std::string();
        }
        ::poll(nullptr, 0, 1);
    }
}

} // namespace

// Runs one read or write on the port without holding m_state (the caller holds the lock).
// Returns true when the transfer ended by completion or by the port's own time-outs; false with
// failure set when the wait bound expired or the system refused.
bool CSerial::Transfer(bool reading, std::uint32_t count, std::uint8_t* buffer, std::uint32_t& done)
{
    done = 0;
    const TDeadlines limits = DeadlinesOf(reading, count, Overlapped != 0);
    std::string failure = MoveBytes(m_fd, reading, count, buffer, done, limits);
    if (!reading && failure.empty() && done == count) failure = AwaitSent(m_fd, count, done, limits);
    if (!failure.empty()) {
        std::lock_guard<std::mutex> guard(m_state);
        m_lastError = failure;
        return false;
    }
    return true;
}

bool CSerial::ReadData(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& received)
{
    received = 0;
    if (!TakeLock()) return false;
    count = std::min(count, MaxBlock);
    const bool ok = Transfer(true, count, buffer, received);
    std::lock_guard<std::mutex> guard(m_state);
    m_received += received;
    if (!ok) Purge();
    else if (received != count) m_lastError = ShortText("received", received, count);
    ReleaseLockHeld();
    return ok;
}

bool CSerial::WriteData(std::uint32_t count, const std::uint8_t* data)
{
    if (!TakeLock()) return false;
    count = std::min(count, MaxBlock);
    std::uint32_t written = 0;
    bool ok = Transfer(false, count, const_cast<std::uint8_t*>(data), written);
    std::lock_guard<std::mutex> guard(m_state);
    if (ok && written != count) {
        // The unsent rest must not reach the meter later as a torn request.
        m_lastError = ShortText("written", written, count);
        ok = false;
    }
    if (!ok) Purge();
    ReleaseLockHeld();
    return ok;
}
