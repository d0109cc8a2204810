// CSerial: Ormet-Master's serial link, one numbered port with fixed time-outs, on the library's tty helpers
// (Linux, serial.cpp) or the Win32 comm calls (Windows, serial_win32.cpp).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "comm32_reason.h"

class CSerial {
public:
    // Time-outs of the link in milliseconds (Windows COMMTIMEOUTS; emulated on Linux).
    static constexpr int ReadIntervalTimeout = 20;
    static constexpr int ReadTotalTimeoutMultiplier = 20;
    static constexpr int ReadTotalTimeoutConstant = 1000;
    static constexpr int WriteTotalTimeoutMultiplier = 10;
    static constexpr int WriteTotalTimeoutConstant = 1000;
    static constexpr int ReadWaitLimit = 10000; // bound behind the read time-outs
    static constexpr int WriteWaitLimit = 2000; // bound behind the write time-outs
    static constexpr std::uint32_t MaxBlock = 1024;

    CSerial();
    virtual ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // Opens "COM<PortNumber>" (see DeviceName) with the line settings below; closes first if open.
    // False on failure, with LastError set and the link left closed.
    bool Open();
    // Waits for a read or write in progress, then closes the port. Harmless when closed; any thread.
    void Close();
    bool IsOpen() const;

    // Reads up to count bytes (cut to 1024) into buffer; received gets the count that arrived.
    // Returns once count bytes arrived, after 20 ms of silence following a byte, or after
    // 20 ms per byte + 1000 ms in total. A short read is true (LastError "Only ... received ...").
    // False on a closed link or a link failure (port purged both ways, LastError set).
    bool ReadData(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& received);
    // Writes count bytes (cut to 1024) within 10 ms per byte + 1000 ms (at most 2000 ms).
    // True only if all of the (cut) count went out; a failure purges the port both ways.
    bool WriteData(std::uint32_t count, const std::uint8_t* data);

    // Text of the last failure; empty until one happens.
    std::string LastError() const;
    // What the system said when the last Open failed: errno, the call, the path and the COM<n> link
    // (Error 0 after a successful Open, or when the failure was not the system's).
    KestroComm32::TSystemReason LastReason() const;
    // Bytes ReadData has received over the object's life: its change across an exchange tells how
    // much of the reply arrived.
    std::uint64_t ReceivedCount() const;

    // Device path for "COM<n>": the symlink COM<n> in the port map directory ($COMPORTS_DIR, else
    // $XDG_CONFIG_HOME/comports, else ~/.config/comports) if present, else /dev/ttyS<n-1>.
    // On Windows "\\.\COM<n>", which MappedDevice also gives.
    static std::string DeviceName(int portNumber);
    // The device "COM<n>" leads to (the target of its link, else /dev/ttyS<n-1>); empty when that
    // does not exist.
    static std::string MappedDevice(int portNumber);

    // Line settings, read by Open (CModBusRtu::OpenPort sets them before every Open).
    int PortNumber = 0;
    int BaudRate = 19200;
    int ParityCheck = 0;
    std::uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t DataBits = 8; // 5-8
    std::uint8_t StopBits = 0; // 0 one, 2 two (1, one and a half, is refused)
    int Overlapped = 1;        // bounded waits; 0 still honours the time-outs
    int DsrSensitivity = 0;    // not available on POSIX ports; must stay 0
    int CtsOutFlow = 0;        // hardware flow control (CRTSCTS)
    int DsrOutFlow = 0;        // not available on POSIX ports; must stay 0
    int LineControl = 0;       // bits 0-1 DTR control, bits 2-3 RTS control: 0 off, 1 on
    int Binary = 1;
    std::uint8_t EofChar = 0x0A; // kept for the line state; raw mode gives it no meaning

private:
    void Purge();
    bool TakeLock();
    void ReleaseLockHeld();
    bool Transfer(bool reading, std::uint32_t count, std::uint8_t* buffer, std::uint32_t& done);
    bool OpenFailed(const char* label, int error, KestroComm32::TSystemReason reason);

    mutable std::mutex m_state; // guards everything below and LastError
    std::condition_variable m_lockFreed;
    int m_fd = -1;
    bool m_lockExists = false; // the lock event exists only while open
    bool m_busy = false;       // a read or write holds the lock
    bool m_exclusive = false;  // TIOCEXCL set by this object, to be undone on close
    std::string m_lastError;
    KestroComm32::TSystemReason m_lastReason;
    std::uint64_t m_received = 0;
};
