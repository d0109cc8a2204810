// The meter link's port on Win32: CreateFileW, COMMTIMEOUTS, DCB, overlapped reads and writes with waits.
#include "win32_serial_port.h"
#include "win32_comm.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace KestroComm32::Win32Serial {

namespace {

struct TPort {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    bool Overlapped = true;
    OVERLAPPED ReadOv{}, WriteOv{};

    ~TPort()
    {
        if (Handle != INVALID_HANDLE_VALUE) {
            ::CancelIo(Handle);
            ::CloseHandle(Handle);
        }
        if (ReadOv.hEvent != nullptr) ::CloseHandle(ReadOv.hEvent);
        if (WriteOv.hEvent != nullptr) ::CloseHandle(WriteOv.hEvent);
    }
};

std::mutex TableLock;
std::unordered_map<int, std::shared_ptr<TPort>> Ports;
int NextId = 1;

std::shared_ptr<TPort> Find(int port)
{
    std::lock_guard<std::mutex> guard(TableLock);
    const auto it = Ports.find(port);
    return it == Ports.end() ? nullptr : it->second;
}

bool Fail(TFailure& failure, const char* label, DWORD error)
{
    failure.Label = label;
    failure.Error = error;
    return false;
}

bool Configure(TPort& p, const TSettings& s, const TTimeouts& t, TFailure& failure)
{
    p.ReadOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    p.WriteOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    COMMTIMEOUTS timeouts{t.ReadInterval, t.ReadTotalMultiplier, t.ReadTotalConstant, t.WriteTotalMultiplier,
                          t.WriteTotalConstant};
    if (!::SetCommTimeouts(p.Handle, &timeouts) || !::SetupComm(p.Handle, 1024, 1024))
        return Fail(failure, "SetCommtimeouts", ::GetLastError());
    DCB d{};
    d.DCBlength = sizeof d;
    bool ok = ::GetCommState(p.Handle, &d) != 0;
    if (ok) {
        d.BaudRate = s.BaudRate;
        d.fBinary = s.Binary;
        d.fParity = s.ParityCheck;
        d.fOutxCtsFlow = s.OutxCtsFlow;
        d.fOutxDsrFlow = s.OutxDsrFlow;
        d.fDtrControl = s.DtrControl & 3;
        d.fDsrSensitivity = s.DsrSensitivity;
        d.fRtsControl = s.RtsControl & 3;
        d.fAbortOnError = 1;
        d.ByteSize = s.ByteSize;
        d.Parity = s.Parity;
        d.StopBits = s.StopBits;
        d.EofChar = s.EofChar;
        ok = ::SetCommState(p.Handle, &d) != 0;
    }
    if (!ok || p.ReadOv.hEvent == nullptr || p.WriteOv.hEvent == nullptr)
        return Fail(failure, "SetCommState", ::GetLastError());
    return true;
}

} // namespace

int Open(int portNumber, const TSettings& settings, const TTimeouts& timeouts, TFailure& failure)
{
    failure = TFailure();
    const std::wstring path = L"\\\\.\\COM" + std::to_wstring(portNumber);
    auto port = std::make_shared<TPort>();
    port->Overlapped = settings.Overlapped;
    port->Handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | (settings.Overlapped ? FILE_FLAG_OVERLAPPED : 0), nullptr);
    if (port->Handle == INVALID_HANDLE_VALUE) {
        Fail(failure, "OpenCom", ::GetLastError());
        return -1;
    }
    if (!Configure(*port, settings, timeouts, failure)) return -1;
    std::lock_guard<std::mutex> guard(TableLock);
    const int id = NextId;
    NextId = NextId >= 0x3FFFFFFF ? 1 : NextId + 1;
    Ports[id] = port;
    return id;
}

void Close(int port)
{
    std::shared_ptr<TPort> p;
    {
        std::lock_guard<std::mutex> guard(TableLock);
        const auto it = Ports.find(port);
        if (it == Ports.end()) return;
        p = std::move(it->second);
        Ports.erase(it);
    }
    // The record's destructor cancels pending I/O and closes the handle and events.
}

TOutcome Transfer(int port, bool reading, void* buffer, std::uint32_t count, std::uint32_t& done,
                  std::uint32_t waitLimitMs, TFailure& failure)
{
    done = 0;
    failure = TFailure();
    const auto p = Find(port);
    const char* const call = reading ? "ReadFile" : "WriteFile";
    if (!p) {
        Fail(failure, call, ERROR_INVALID_HANDLE);
        return TOutcome::Failed;
    }
    DWORD n = 0;
    if (!p->Overlapped) {
        const BOOL ok = reading ? ::ReadFile(p->Handle, buffer, count, &n, nullptr)
                                : ::WriteFile(p->Handle, buffer, count, &n, nullptr);
        done = n;
        if (ok || ::GetLastError() == ERROR_TIMEOUT) return TOutcome::Done;
        Fail(failure, call, ::GetLastError());
        return TOutcome::Failed;
    }
    OVERLAPPED& ov = reading ? p->ReadOv : p->WriteOv;
    HANDLE event = ov.hEvent;
    ov = OVERLAPPED{};
    ov.hEvent = event;
    ::ResetEvent(event);
    const BOOL started = reading ? ::ReadFile(p->Handle, buffer, count, nullptr, &ov)
                                 : ::WriteFile(p->Handle, buffer, count, nullptr, &ov);
    if (!started) {
        const DWORD error = ::GetLastError();
        // Wine completes a read ended by its total time-out this way (Windows: success, 0 bytes).
        if (error == ERROR_TIMEOUT) return TOutcome::Done;
        if (error != ERROR_IO_PENDING) {
            Fail(failure, call, error);
            return TOutcome::Failed;
        }
        const DWORD r = ::WaitForSingleObject(event, waitLimitMs);
        if (r != WAIT_OBJECT_0) {
            const DWORD error = ::GetLastError();
            // The call still owns the caller's buffer: it must end before this returns.
            ::CancelIoEx(p->Handle, &ov);
            ::GetOverlappedResult(p->Handle, &ov, &n, TRUE);
            if (r == WAIT_TIMEOUT) return TOutcome::WaitTimedOut;
            if (r == WAIT_ABANDONED) return TOutcome::WaitAbandoned;
            Fail(failure, "WaitForSingleObject", error);
            return TOutcome::Failed;
        }
    }
    if (!::GetOverlappedResult(p->Handle, &ov, &n, TRUE)) {
        const DWORD error = ::GetLastError();
        done = n;
        if (error == ERROR_TIMEOUT) return TOutcome::Done;
        Fail(failure, "GetOverlappedResult", error);
        return TOutcome::Failed;
    }
    done = n;
    return TOutcome::Done;
}

void ClearErrors(int port)
{
    if (const auto p = Find(port)) {
        DWORD errors = 0;
        COMSTAT stat{};
        ::ClearCommError(p->Handle, &errors, &stat);
    }
}

void Purge(int port)
{
    if (const auto p = Find(port))
        ::PurgeComm(p->Handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

std::string FailureText(const char* label, std::uint32_t error)
{
    return std::string("'") + label + "' failed with the following error: " + Win32::ErrorText(error) + "\r\n";
}

} // namespace KestroComm32::Win32Serial
