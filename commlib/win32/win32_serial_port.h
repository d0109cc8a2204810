// The meter link's port: opened with fixed settings, each read or write waited for by its caller within bounds.
#pragma once

#include <cstdint>
#include <string>

// Ports are ids of this helper's own table; every call is safe from any thread.
namespace KestroComm32::Win32Serial {

struct TSettings {
    std::uint32_t BaudRate = 19200;
    bool ParityCheck = false;
    std::uint8_t Parity = 0, ByteSize = 8, StopBits = 0;
    bool Overlapped = true;
    bool DsrSensitivity = false, OutxCtsFlow = false, OutxDsrFlow = false;
    std::uint32_t DtrControl = 0, RtsControl = 0;
    bool Binary = true;
    char EofChar = 0x0A;
};

// COMMTIMEOUTS, in milliseconds.
struct TTimeouts {
    std::uint32_t ReadInterval = 0, ReadTotalMultiplier = 0, ReadTotalConstant = 0;
    std::uint32_t WriteTotalMultiplier = 0, WriteTotalConstant = 0;
};

// A failed call: the name the link reports it by, and the thread's last error then.
struct TFailure {
    const char* Label = nullptr;
    std::uint32_t Error = 0;
};

// Opens "\\.\COM<n>" exclusively, with the time-outs, 1024-byte driver queues and the line settings
// (abort on error on; every other DCB field as the driver had it). -1 with failure set on failure,
// with nothing left open.
int Open(int portNumber, const TSettings& settings, const TTimeouts& timeouts, TFailure& failure);
// Cancels pending I/O and closes the port. Harmless for an unknown id.
void Close(int port);

enum class TOutcome { Done, Failed, WaitTimedOut, WaitAbandoned };

// Reads or writes up to count bytes, waiting at most waitLimitMs for a pending call (the port's
// time-outs end it sooner). Done: done bytes moved, also fewer by a time-out of the port.
TOutcome Transfer(int port, bool reading, void* buffer, std::uint32_t count, std::uint32_t& done,
                  std::uint32_t waitLimitMs, TFailure& failure);
// ClearCommError, result ignored.
void ClearErrors(int port);
// Aborts pending reads and writes and clears both driver queues.
void Purge(int port);

// "'label' failed with the following error: " and the system's text, its line break kept.
std::string FailureText(const char* label, std::uint32_t error);

} // namespace KestroComm32::Win32Serial
