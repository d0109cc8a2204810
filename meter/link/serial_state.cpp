// CSerial's state and its lock, the same on every system.
#include "serial.h"

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

std::uint64_t CSerial::ReceivedCount() const
{
    std::lock_guard<std::mutex> guard(m_state);
    return m_received;
}

// Waits for the lock event; false when the link is closed or closes meanwhile.
bool CSerial::TakeLock()
{
    std::unique_lock<std::mutex> lock(m_state);
    if (m_fd < 0 || !m_lockExists) return false;
    m_lockFreed.wait(lock, [this] { return !m_busy || !m_lockExists; });
    if (!m_lockExists) return false;
    m_busy = true;
    return true;
}

// Signals the lock event; the caller holds m_state.
void CSerial::ReleaseLockHeld()
{
    m_busy = false;
    m_lockFreed.notify_all();
}
