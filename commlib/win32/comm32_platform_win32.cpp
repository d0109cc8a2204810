// The Windows comm layer: TCommPlatform on the Win32 calls of win32_comm.h.
#include "comm32_platform_win32.h"

#include <memory>
#include <string>
#include <utility>

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

// One open port: the Win32 layer's record, given back when this goes.
class TWin32Port final : public TCommPort {
public:
    explicit TWin32Port(Win32::TPortPtr port) : Port(std::move(port)) {}
    ~TWin32Port() override { Win32::ReleasePort(std::move(Port)); }

    THandle Handle() const override { return Win32::PortHandle(*Port); }
    bool SetupComm(long inSize, long outSize) override { return Win32::SetupComm(*Port, inSize, outSize); }

    bool GetCommState(DCB& dcb) override
    {
        Win32::TLineState s;
        if (!Win32::GetLineState(*Port, s)) return false;
        dcb = DcbOf(s);
        return true;
    }

    bool SetCommState(const DCB& dcb) override { return Win32::SetLineState(*Port, LineStateOf(dcb)); }
    bool SetCommMask(std::uint32_t mask) override { return Win32::SetCommMask(*Port, mask); }

    TCommWait WaitCommEvent(std::uint32_t& mask) override
    {
        switch (Win32::WaitCommEvent(*Port, mask)) {
        case Win32::TWait::Event: return TCommWait::Event;
        case Win32::TWait::Stopped: return TCommWait::Stopped;
        default: return TCommWait::Failed;
        }
    }

    bool ClearCommError(std::uint32_t& errors, COMSTAT& stat) override
    {
        return Win32::ClearCommError(*Port, errors, stat.cbInQue, stat.cbOutQue);
    }

    bool GetCommModemStatus(std::uint32_t& status) override { return Win32::GetCommModemStatus(*Port, status); }
    bool PurgeComm(std::uint32_t flags) override { return Win32::PurgeComm(*Port, flags); }
    bool EscapeCommFunction(std::uint32_t function) override { return Win32::EscapeCommFunction(*Port, function); }

    TIoResult ReadFile(void* buffer, std::uint32_t count, std::uint32_t& got) override
    {
        return IoResultOf(Win32::Read(*Port, buffer, count, got));
    }

    TIoResult WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        return IoResultOf(Win32::Write(*Port, buffer, count, done));
    }

    bool WaitWritable() override { return Win32::WaitWritable(*Port); }
    void WakeWaiter() override { Win32::WakeWaiter(*Port); }
    void Stop() override { Win32::Stop(*Port); }

private:
    Win32::TPortPtr Port;
};

class TWin32CommPlatform final : public TCommPlatform {
public:
    std::unique_ptr<TCommPort> CreateFile(const UnicodeString& name) override
    {
        LastFailure = TSystemReason();
        if (name.empty()) return nullptr;
        std::uint32_t error = 0;
        Win32::TPortPtr port = Win32::OpenPort(name, error);
        if (!port) {
            LastFailure = DescribeWindowsOpenFailure(error, "\\\\.\\" + name);
            return nullptr;
        }
        return std::make_unique<TWin32Port>(std::move(port));
    }

    TSystemReason LastOpenFailure() override { return LastFailure; }

    std::unique_ptr<TCommPort> AttachHandle(THandle handle) override
    {
        Win32::TPortPtr port = Win32::AdoptPort(handle);
        if (!port) return nullptr;
        return std::make_unique<TWin32Port>(std::move(port));
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
