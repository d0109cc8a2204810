// The small OS layer under TComm32: Windows-style comm calls, records and events over one interface.
#pragma once

#include "comm32_reason.h"
#include "comm32_types.h"

#include <cstdint>
#include <memory>

namespace KestroComm32 {

// An OS handle: a file descriptor, a kernel handle's value, an id in the test fake.
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

// Outcome of a read or write: done (count valid), would block (nothing moved, try when ready), failed.
enum class TIoResult { Done, Pending, Failed };

// Outcome of waiting for a comm event.
enum class TCommWait { Event, Stopped, Failed };

// One open port of a platform layer, owned by the port object that opened or adopted it: the OS
// handle and whatever the layer keeps for it (its wake-up events, line snapshot), so no call looks
// anything up. Calls may come from any thread; the owner destroys it once no thread waits in it.
class TCommPort {
public:
    // An opened port is closed; an adopted one gets its settings back and stays open.
    virtual ~TCommPort() = default;
    // The OS handle: a file descriptor, a kernel handle's value, the test fake's id.
    virtual THandle Handle() const = 0;

    virtual bool SetupComm(long inSize, long outSize) = 0;
    virtual bool GetCommState(DCB& dcb) = 0;
    // Applies the whole record; false when the device refuses any part of it.
    virtual bool SetCommState(const DCB& dcb) = 0;

    // Changing the mask ends a WaitCommEvent in progress with an empty mask.
    virtual bool SetCommMask(std::uint32_t mask) = 0;
    // Blocks until an event of the mask happens (Event, mask set), the mask changes (Event, mask 0),
    // WakeWaiter is called (Stopped, once) or the port is stopped (Stopped).
    virtual TCommWait WaitCommEvent(std::uint32_t& mask) = 0;
    virtual bool ClearCommError(std::uint32_t& errors, COMSTAT& stat) = 0;
    virtual bool GetCommModemStatus(std::uint32_t& status) = 0;
    virtual bool PurgeComm(std::uint32_t flags) = 0;
    virtual bool EscapeCommFunction(std::uint32_t function) = 0;

    // Events that the bytes ReadFile took since the last call raised (EV_RXFLAG: the event character
    // of the line settings arrived, when the mask asks for it); clears them.
    virtual std::uint32_t TakeDataEvents() { return 0; }

    // Never blocks.
    virtual TIoResult ReadFile(void* buffer, std::uint32_t count, std::uint32_t& got) = 0;
    virtual TIoResult WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& done) = 0;
    // Blocks until a write may go on (true) or the port is stopped (false).
    virtual bool WaitWritable() = 0;
    // How many bytes one WriteFile should offer: what the driver takes in one go.
    virtual std::uint32_t SendChunkSize() { return 512; }

    // Ends the WaitCommEvent under way, or else the next one, with Stopped.
    virtual void WakeWaiter() = 0;
    // Ends every wait, now and from now on.
    virtual void Stop() = 0;
};

// Opens ports. One object serves any number of ports and threads.
class TCommPlatform {
public:
    virtual ~TCommPlatform() = default;

    // Opens a port by name for exclusive read and write: "/..." is a path, "COMn" the alias under
    // the port map directory (else /dev/ttyS<n-1>), any other name lives under "/dev/". Null on failure.
    virtual std::unique_ptr<TCommPort> CreateFile(const UnicodeString& name) = 0;
    // What the system said when the calling thread's last CreateFile failed (like GetLastError);
    // Error 0 when the layer cannot tell.
    virtual TSystemReason LastOpenFailure() { return TSystemReason(); }
    // Takes a port opened elsewhere into use; null when it is not a usable port.
    virtual std::unique_ptr<TCommPort> AttachHandle(THandle handle) = 0;

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
