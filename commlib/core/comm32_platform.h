// The small OS layer under TComm32: Windows-style comm calls, records and events over one interface.
#pragma once

#include "comm32_reason.h"
#include "comm32_types.h"

#include <cstdint>

namespace KestroComm32 {

// An OS handle: a file descriptor for ports and events of the POSIX layer, an id of the Win32 layer's
// table (an adopted port: its kernel handle value), an id in the test fake.
using THandle = int;
constexpr THandle INVALID_HANDLE_VALUE = -1;

// Line settings with the Windows field names and layout (28 bytes).
struct DCB {
    std::uint32_t DCBlength = sizeof(DCB);
    std::uint32_t BaudRate = 0;
    std::uint32_t fBinary : 1 = 0;
    std::uint32_t fParity : 1 = 0;
    std::uint32_t fOutxCtsFlow : 1 = 0;
    std::uint32_t fOutxDsrFlow : 1 = 0;
    std::uint32_t fDtrControl : 2 = 0;
    std::uint32_t fDsrSensitivity : 1 = 0;
    std::uint32_t fTXContinueOnXoff : 1 = 0;
    std::uint32_t fOutX : 1 = 0;
    std::uint32_t fInX : 1 = 0;
    std::uint32_t fErrorChar : 1 = 0;
    std::uint32_t fNull : 1 = 0;
    std::uint32_t fRtsControl : 2 = 0;
    std::uint32_t fAbortOnError : 1 = 0;
    std::uint32_t fDummy2 : 17 = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB keeps the Windows layout");

// Driver queue counts as ClearCommError reports them.
struct COMSTAT {
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// Stand-in for the Windows record: only its event is used.
struct OVERLAPPED {
    THandle hEvent = INVALID_HANDLE_VALUE;
};

constexpr std::uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr std::uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                        RTS_CONTROL_TOGGLE = 3;
constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// Communication events.
constexpr std::uint32_t EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008, EV_DSR = 0x0010,
                        EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100, EV_PERR = 0x0200,
                        EV_RX80FULL = 0x0400;

// Modem status bits.
constexpr std::uint32_t MS_CTS_ON = 0x0010, MS_DSR_ON = 0x0020, MS_RING_ON = 0x0040, MS_RLSD_ON = 0x0080;

// Line error bits of ClearCommError.
constexpr std::uint32_t CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008,
                        CE_BREAK = 0x0010;

// PurgeComm flags.
constexpr std::uint32_t PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004, PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
constexpr std::uint32_t SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, RESETDEV = 7,
                        SETBREAK = 8, CLRBREAK = 9;

constexpr std::uint32_t INFINITE = 0xFFFFFFFF;
constexpr int WAIT_TIMEOUT = -1;
constexpr int WAIT_FAILED = -2;

// Outcome of a read or write: done (count valid), would block (nothing moved, try when ready), failed.
enum class TIoResult { Done, Pending, Failed };

// Outcome of waiting for a comm event.
enum class TCommWait { Event, Stopped, Failed };

// The comm and event calls TComm32 needs. One object serves any number of ports and threads.
// Ports: handles from CreateFile (owned, closed by CloseHandle) or adopted with AttachHandle
// (released with DetachHandle, never closed). Events: manual-reset, created non-signalled.
class TCommPlatform {
public:
    virtual ~TCommPlatform() = default;

    // Opens a port by name for exclusive read and write: "/..." is a path, "COMn" the alias under
    // the port map directory (else /dev/ttyS<n-1>), any other name lives under "/dev/".
    virtual THandle CreateFile(const UnicodeString& name) = 0;
    // What the system said when the calling thread's last CreateFile failed (like GetLastError);
    // Error 0 when the layer cannot tell.
    virtual TSystemReason LastOpenFailure() { return TSystemReason(); }
    virtual void CloseHandle(THandle port) = 0;
    // Takes a port opened elsewhere into use; false when it is not a usable port.
    virtual bool AttachHandle(THandle port) = 0;
    virtual void DetachHandle(THandle port) = 0;

    virtual bool SetupComm(THandle port, long inSize, long outSize) = 0;
    virtual bool GetCommState(THandle port, DCB& dcb) = 0;
    // Applies the whole record; false when the device refuses any part of it.
    virtual bool SetCommState(THandle port, const DCB& dcb) = 0;

    // Changing the mask ends a WaitCommEvent in progress on the port with an empty mask.
    virtual bool SetCommMask(THandle port, std::uint32_t mask) = 0;
    // Blocks until an event of the mask happens (Event, mask set), the mask changes (Event, mask 0)
    // or stopEvent is signalled (Stopped).
    virtual TCommWait WaitCommEvent(THandle port, std::uint32_t& mask, THandle stopEvent) = 0;
    virtual bool ClearCommError(THandle port, std::uint32_t& errors, COMSTAT& stat) = 0;
    virtual bool GetCommModemStatus(THandle port, std::uint32_t& status) = 0;
    virtual bool PurgeComm(THandle port, std::uint32_t flags) = 0;
    virtual bool EscapeCommFunction(THandle port, std::uint32_t function) = 0;

    // Events that the bytes ReadFile took since the last call raised (EV_RXFLAG: the event character
    // of the line settings arrived, when the mask asks for it); clears them.
    virtual std::uint32_t TakeDataEvents(THandle) { return 0; }

    // Never blocks.
    virtual TIoResult ReadFile(THandle port, void* buffer, std::uint32_t count, std::uint32_t& got) = 0;
    virtual TIoResult WriteFile(THandle port, const void* buffer, std::uint32_t count, std::uint32_t& done) = 0;
    // Blocks until a write may go on (true) or stopEvent is signalled (false).
    virtual bool WaitWritable(THandle port, THandle stopEvent) = 0;
    // How many bytes one WriteFile should offer: what the driver takes in one go.
    virtual std::uint32_t SendChunkSize(THandle) { return 512; }

    virtual THandle CreateEvent() = 0;
    virtual void CloseEvent(THandle event) = 0;
    virtual bool SetEvent(THandle event) = 0;
    virtual bool ResetEvent(THandle event) = 0;
    // Index of the first signalled event, WAIT_TIMEOUT or WAIT_FAILED.
    virtual int WaitForMultipleObjects(int count, const THandle* events, std::uint32_t timeoutMs) = 0;

    // Raises the calling thread's scheduling priority a little; false when not permitted.
    virtual bool RaiseThreadPriority() { return false; }
};

// The POSIX layer (termios, eventfd, poll); on Linux only.
TCommPlatform& PosixCommPlatform();
// The Win32 layer (overlapped comm calls, kernel events); on Windows only.
TCommPlatform& Win32CommPlatform();
// This system's layer: defined by the platform layer the program links (target kestrocomm).
TCommPlatform& SystemCommPlatform();

// What new port objects use; nullptr restores the system's layer. Tests set a fake here.
TCommPlatform* GetDefaultCommPlatform();
void SetDefaultCommPlatform(TCommPlatform* platform);

} // namespace KestroComm32
