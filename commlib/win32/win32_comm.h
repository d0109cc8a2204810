// The Win32 comm and event calls behind plain types, for code that cannot see <windows.h>.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Handles are ints: odd ids from this layer's table; a port adopted from outside keeps its own
// (even) kernel handle value, so the two never meet. Every call is safe from any thread.
namespace KestroComm32::Win32 {

// The fields of the Windows DCB that callers set, without the bit fields.
struct TLineState {
    std::uint32_t BaudRate = 0;
    bool Binary = true, ParityCheck = false, OutxCtsFlow = false, OutxDsrFlow = false, DsrSensitivity = false;
    bool TxContinueOnXoff = false, OutX = false, InX = false, ErrorCharOn = false, Null = false, AbortOnError = false;
    std::uint32_t DtrControl = 0, RtsControl = 0;
    std::uint16_t XonLim = 0, XoffLim = 0;
    std::uint8_t ByteSize = 8, Parity = 0, StopBits = 0;
    char XonChar = 0, XoffChar = 0, ErrorChar = 0, EofChar = 0, EvtChar = 0;
};

enum class TIo { Done, Pending, Failed };
enum class TWait { Event, Stopped, Failed };

// The calling thread's last error (GetLastError).
std::uint32_t LastError();
// The system's text for a Windows error, in UTF-8, without the trailing line break.
std::string ErrorText(std::uint32_t error);
// The errno that says the same as a Windows error, for the plain-words reasons (EBUSY for access
// denied: Windows refuses a second opener of a port that way); EINVAL when none does.
int ErrnoOf(std::uint32_t error);
// UTF-8 to UTF-16 and back.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// CreateFileW of "\\.\" + name: exclusive, overlapped. -1 with error set on failure.
int OpenPort(const std::string& name, std::uint32_t& error);
// Takes a kernel handle opened elsewhere (for overlapped I/O) into use; false when it is no comm port.
bool AdoptPort(int handle);
// Ends what is pending on the port and forgets it; an own port is closed, an adopted one stays open.
void ReleasePort(int port);

bool SetupComm(int port, long inSize, long outSize);
// The Windows DCB record (its bytes, DCBlength set) for a line state, and the line state in a record.
std::vector<unsigned char> DcbRecord(const TLineState& state);
TLineState LineStateOfRecord(const std::vector<unsigned char>& record);

bool GetLineState(int port, TLineState& state);
bool SetLineState(int port, const TLineState& state);
bool SetCommMask(int port, std::uint32_t mask);
// Waits for a comm event; a mask change ends the wait as an Event with mask 0.
TWait WaitCommEvent(int port, std::uint32_t& mask, int stopEvent);
bool ClearCommError(int port, std::uint32_t& errors, std::uint32_t& inQueue, std::uint32_t& outQueue);
bool GetCommModemStatus(int port, std::uint32_t& status);
bool PurgeComm(int port, std::uint32_t flags);
bool EscapeCommFunction(int port, std::uint32_t function);
// Takes at most what the driver holds; Pending when it holds nothing.
TIo Read(int port, void* buffer, std::uint32_t count, std::uint32_t& got);
// Hands the bytes to the driver (kept here while the write is under way); Pending while the last
// write is still under way.
TIo Write(int port, const void* buffer, std::uint32_t count, std::uint32_t& done);
// Until the last write is over (true) or stopEvent is set (false).
bool WaitWritable(int port, int stopEvent);

// Manual-reset events, created not signalled.
int NewEvent();
void CloseEvent(int event);
bool SetEvent(int event);
bool ResetEvent(int event);
// Index of the first signalled event, -1 on time-out, -2 on failure.
int WaitForEvents(int count, const int* events, std::uint32_t timeoutMs);

bool RaiseThreadPriority();

// The data of the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, in registry order, empty data
// skipped. The status of opening the key (0 when it opened) or of closing it.
long ListSerialCommPorts(std::vector<std::string>& names);

} // namespace KestroComm32::Win32
