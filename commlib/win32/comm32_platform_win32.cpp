// The Windows comm layer: TCommPlatform on the Win32 calls of win32_comm.h.
#include "comm32_platform_win32.h"

#include <atomic>
#include <string>

namespace KestroComm32 {

namespace {

thread_local TSystemReason LastFailure;

TIoResult IoResultOf(Win32::TIo r)
{
    switch (r) {
    case Win32::TIo::Done: return TIoResult::Done;
    case Win32::TIo::Pending: return TIoResult::Pending;
    default: return TIoResult::Failed;
    }
}

class TWin32CommPlatform final : public TCommPlatform {
public:
    THandle CreateFile(const UnicodeString& name) override
    {
        LastFailure = TSystemReason();
        if (name.empty()) return INVALID_HANDLE_VALUE;
        std::uint32_t error = 0;
        const int port = Win32::OpenPort(name, error);
        if (port < 0) LastFailure = DescribeWindowsOpenFailure(error, "\\\\.\\" + name);
        return port < 0 ? INVALID_HANDLE_VALUE : port;
    }

    TSystemReason LastOpenFailure() override { return LastFailure; }

    void CloseHandle(THandle port) override { Win32::ReleasePort(port); }
    bool AttachHandle(THandle port) override { return Win32::AdoptPort(port); }
    void DetachHandle(THandle port) override { Win32::ReleasePort(port); }

    bool SetupComm(THandle port, long inSize, long outSize) override { return Win32::SetupComm(port, inSize, outSize); }

    bool GetCommState(THandle port, DCB& dcb) override
    {
        Win32::TLineState s;
        if (!Win32::GetLineState(port, s)) return false;
        dcb = DcbOf(s);
        return true;
    }

    bool SetCommState(THandle port, const DCB& dcb) override { return Win32::SetLineState(port, LineStateOf(dcb)); }

    bool SetCommMask(THandle port, std::uint32_t mask) override { return Win32::SetCommMask(port, mask); }

    TCommWait WaitCommEvent(THandle port, std::uint32_t& mask, THandle stopEvent) override
    {
        switch (Win32::WaitCommEvent(port, mask, stopEvent)) {
        case Win32::TWait::Event: return TCommWait::Event;
        case Win32::TWait::Stopped: return TCommWait::Stopped;
        default: return TCommWait::Failed;
        }
    }

    bool ClearCommError(THandle port, std::uint32_t& errors, COMSTAT& stat) override
    {
        return Win32::ClearCommError(port, errors, stat.cbInQue, stat.cbOutQue);
    }

    bool GetCommModemStatus(THandle port, std::uint32_t& status) override
    {
        return Win32::GetCommModemStatus(port, status);
    }

    bool PurgeComm(THandle port, std::uint32_t flags) override { return Win32::PurgeComm(port, flags); }

    bool EscapeCommFunction(THandle port, std::uint32_t function) override
    {
        return Win32::EscapeCommFunction(port, function);
    }

    TIoResult ReadFile(THandle port, void* buffer, std::uint32_t count, std::uint32_t& got) override
    {
        return IoResultOf(Win32::Read(port, buffer, count, got));
    }

    TIoResult WriteFile(THandle port, const void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        return IoResultOf(Win32::Write(port, buffer, count, done));
    }

    bool WaitWritable(THandle port, THandle stopEvent) override { return Win32::WaitWritable(port, stopEvent); }

    THandle CreateEvent() override { return Win32::NewEvent(); }
    void CloseEvent(THandle event) override { Win32::CloseEvent(event); }
    bool SetEvent(THandle event) override { return Win32::SetEvent(event); }
    bool ResetEvent(THandle event) override { return Win32::ResetEvent(event); }

    int WaitForMultipleObjects(int count, const THandle* events, std::uint32_t timeoutMs) override
    {
        const int r = Win32::WaitForEvents(count, events, timeoutMs);
        return r == -1 ? WAIT_TIMEOUT : (r < 0 ? WAIT_FAILED : r);
    }

    bool RaiseThreadPriority() override { return Win32::RaiseThreadPriority(); }
};

} // namespace

Win32::TLineState LineStateOf(const DCB& d) { return Win32::LineStateOf(d); }

DCB DcbOf(const Win32::TLineState& s)
{
    DCB d;
    Win32::ApplyLineState(s, d);
    return d;
}

TCommPlatform& Win32CommPlatform()
{
    static TWin32CommPlatform platform;
    return platform;
}


} // namespace KestroComm32
