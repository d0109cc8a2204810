// The Win32 comm and event calls behind plain types, for code that cannot see <windows.h>.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A port is a record of this layer (its kernel handle, overlapped calls and wake-up events) that its
// owner holds; every call on it is safe from any thread.
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

// Our DCB record and Windows' share the field names: one mapping serves both.
template <class TDcb>
TLineState LineStateOf(const TDcb& d)
{
    TLineState s;
    s.BaudRate = d.BaudRate;
    s.Binary = d.fBinary;
    s.ParityCheck = d.fParity;
    s.OutxCtsFlow = d.fOutxCtsFlow;
    s.OutxDsrFlow = d.fOutxDsrFlow;
    s.DtrControl = d.fDtrControl;
    s.DsrSensitivity = d.fDsrSensitivity;
    s.TxContinueOnXoff = d.fTXContinueOnXoff;
    s.OutX = d.fOutX;
    s.InX = d.fInX;
    s.ErrorCharOn = d.fErrorChar;
    s.Null = d.fNull;
    s.RtsControl = d.fRtsControl;
    s.AbortOnError = d.fAbortOnError;
    s.XonLim = d.XonLim;
    s.XoffLim = d.XoffLim;
    s.ByteSize = d.ByteSize;
    s.Parity = d.Parity;
    s.StopBits = d.StopBits;
    s.XonChar = d.XonChar;
    s.XoffChar = d.XoffChar;
    s.ErrorChar = d.ErrorChar;
    s.EofChar = d.EofChar;
    s.EvtChar = d.EvtChar;
    return s;
}

// Every field a line state has; the rest of d (length, reserved fields) stays as it was.
template <class TDcb>
void ApplyLineState(const TLineState& s, TDcb& d)
{
    d.BaudRate = s.BaudRate;
    d.fBinary = s.Binary;
    d.fParity = s.ParityCheck;
    d.fOutxCtsFlow = s.OutxCtsFlow;
    d.fOutxDsrFlow = s.OutxDsrFlow;
    d.fDtrControl = s.DtrControl & 3;
    d.fDsrSensitivity = s.DsrSensitivity;
    d.fTXContinueOnXoff = s.TxContinueOnXoff;
    d.fOutX = s.OutX;
    d.fInX = s.InX;
    d.fErrorChar = s.ErrorCharOn;
    d.fNull = s.Null;
    d.fRtsControl = s.RtsControl & 3;
    d.fAbortOnError = s.AbortOnError;
    d.XonLim = s.XonLim;
    d.XoffLim = s.XoffLim;
    d.ByteSize = s.ByteSize;
    d.Parity = s.Parity;
    d.StopBits = s.StopBits;
    d.XonChar = s.XonChar;
    d.XoffChar = s.XoffChar;
    d.ErrorChar = s.ErrorChar;
    d.EofChar = s.EofChar;
    d.EvtChar = s.EvtChar;
}

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

struct TPort;
using TPortPtr = std::shared_ptr<TPort>;

// CreateFileW of "\\.\" + name: exclusive, overlapped. Null with error set on failure.
TPortPtr OpenPort(const std::string& name, std::uint32_t& error);
// Takes a kernel handle opened elsewhere (for overlapped I/O) into use; null when it is no comm port.
TPortPtr AdoptPort(int handle);
// Ends what is pending on the port; an own port is closed, an adopted one stays open. A port whose
// driver does not let go of a pending call is kept, so that call cannot write into freed memory.
void ReleasePort(TPortPtr port);
// The kernel handle's value.
int PortHandle(const TPort& port);

bool SetupComm(TPort& port, long inSize, long outSize);
// The Windows DCB record (its bytes, DCBlength set) for a line state, and the line state in a record.
std::vector<unsigned char> DcbRecord(const TLineState& state);
TLineState LineStateOfRecord(const std::vector<unsigned char>& record);

bool GetLineState(TPort& port, TLineState& state);
bool SetLineState(TPort& port, const TLineState& state);
bool SetCommMask(TPort& port, std::uint32_t mask);
// Waits for a comm event; a mask change ends the wait as an Event with mask 0, WakeWaiter (once) and
// Stop as Stopped.
TWait WaitCommEvent(TPort& port, std::uint32_t& mask);
bool ClearCommError(TPort& port, std::uint32_t& errors, std::uint32_t& inQueue, std::uint32_t& outQueue);
bool GetCommModemStatus(TPort& port, std::uint32_t& status);
bool PurgeComm(TPort& port, std::uint32_t flags);
bool EscapeCommFunction(TPort& port, std::uint32_t function);
// Takes at most what the driver holds; Pending when it holds nothing.
TIo Read(TPort& port, void* buffer, std::uint32_t count, std::uint32_t& got);
// Hands the bytes to the driver (kept here while the write is under way); Pending while the last
// write is still under way.
TIo Write(TPort& port, const void* buffer, std::uint32_t count, std::uint32_t& done);
// Until the last write is over (true) or the port is stopped (false).
bool WaitWritable(TPort& port);
// Ends the comm-event wait under way, or else the next one.
void WakeWaiter(TPort& port);
// Ends every wait on the port, now and from now on.
void Stop(TPort& port);

bool RaiseThreadPriority();

// The data of the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, in registry order, empty data
// skipped. The status of opening the key (0 when it opened) or of closing it.
long ListSerialCommPorts(std::vector<std::string>& names);

} // namespace KestroComm32::Win32
