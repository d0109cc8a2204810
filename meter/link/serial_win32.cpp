// CSerial on Windows: the Win32 port helper with the link's COMMTIMEOUTS, exclusive open, lock for I/O.
#include "serial.h"

#include "win32_serial_port.h"

#include <algorithm>
#include <cstdio>

namespace Port = KestroComm32::Win32Serial;

namespace {

const char* const TimeoutText = "The time-out interval elapsed, and the object's state is nonsignaled.";
const char* const AbandonedText = "The specified object is a mutex that was not released by the thread that owned it.";

std::string ShortText(const char* verb, std::uint32_t done, std::uint32_t count)
{
    char text[96];
    std::snprintf(text, sizeof text, "Only %u byte<s> %s, but %u requested.", done, verb, count);
    return text;
}

Port::TSettings SettingsOf(const CSerial& s)
{
    Port::TSettings p;
    p.BaudRate = static_cast<std::uint32_t>(s.BaudRate);
    p.ParityCheck = s.ParityCheck != 0;
    p.Parity = s.Parity;
    p.ByteSize = s.DataBits;
    p.StopBits = s.StopBits;
    p.Overlapped = s.Overlapped != 0;
    p.DsrSensitivity = s.DsrSensitivity != 0;
    p.OutxCtsFlow = s.CtsOutFlow != 0;
    p.OutxDsrFlow = s.DsrOutFlow != 0;
    p.DtrControl = static_cast<std::uint32_t>(s.LineControl & 3);
    p.RtsControl = static_cast<std::uint32_t>(s.LineControl >> 2 & 3);
    p.Binary = s.Binary != 0;
    p.EofChar = static_cast<char>(s.EofChar);
    return p;
}

} // namespace

CSerial::CSerial() = default;

CSerial::~CSerial() { Close(); }

std::string CSerial::DeviceName(int portNumber) { return "\\\\.\\COM" + std::to_string(portNumber); }

std::string CSerial::MappedDevice(int portNumber) { return DeviceName(portNumber); }

bool CSerial::Open()
{
    Close();
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_lastReason = KestroComm32::TSystemReason();
    }
    Port::TTimeouts timeouts;
    timeouts.ReadInterval = ReadIntervalTimeout;
    timeouts.ReadTotalMultiplier = ReadTotalTimeoutMultiplier;
    timeouts.ReadTotalConstant = ReadTotalTimeoutConstant;
    timeouts.WriteTotalMultiplier = WriteTotalTimeoutMultiplier;
    timeouts.WriteTotalConstant = WriteTotalTimeoutConstant;
    Port::TFailure failure;
    const int port = Port::Open(PortNumber, SettingsOf(*this), timeouts, failure);
    if (port < 0) {
        const std::string call = std::string(failure.Label) == "OpenCom" ? "CreateFileW" : failure.Label;
        return OpenFailed(failure.Label, static_cast<int>(failure.Error),
                          KestroComm32::DescribeWindowsOpenFailure(failure.Error, DeviceName(PortNumber), call));
    }
    std::lock_guard<std::mutex> guard(m_state);
    m_fd = port;
    m_lockExists = true;
    m_busy = false;
    return true;
}

bool CSerial::OpenFailed(const char* label, int error, KestroComm32::TSystemReason reason)
{
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_lastError = Port::FailureText(label, static_cast<std::uint32_t>(error));
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
        Port::Close(m_fd);
        m_fd = -1;
    }
    m_lockFreed.notify_all();
}

void CSerial::Purge()
{
    Port::ClearErrors(m_fd);
    Port::Purge(m_fd);
}

// Runs one read or write without holding m_state (the caller holds the lock). True when it ended
// by completion or by the port's own time-outs; false with LastError set otherwise.
bool CSerial::Transfer(bool reading, std::uint32_t count, std::uint8_t* buffer, std::uint32_t& done)
{
    Port::TFailure failure;
    const std::uint32_t limit = reading ? ReadWaitLimit : WriteWaitLimit;
    const Port::TOutcome outcome = Port::Transfer(m_fd, reading, buffer, count, done, limit, failure);
    if (outcome == Port::TOutcome::Done) return true;
    std::lock_guard<std::mutex> guard(m_state);
    if (outcome == Port::TOutcome::WaitTimedOut) m_lastError = TimeoutText;
    else if (outcome == Port::TOutcome::WaitAbandoned) m_lastError = AbandonedText;
    else m_lastError = Port::FailureText(failure.Label, failure.Error);
    return false;
}

bool CSerial::ReadData(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& received)
{
    received = 0;
    if (!TakeLock()) return false;
    Port::ClearErrors(m_fd);
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
    Port::ClearErrors(m_fd);
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
