// The Win32 side of the comm layer: one record per open port with its overlapped calls and events, the registry.
#include "win32_comm.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace KestroComm32::Win32 {

namespace {

// One overlapped call with its own event. It lives in the port's record, never on a caller's
// stack, so a call the driver has not finished cannot write into freed memory.
struct TOperation {
    OVERLAPPED Ov{};
    bool Pending = false;

    TOperation() { Ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~TOperation()
    {
        if (Ov.hEvent != nullptr) ::CloseHandle(Ov.hEvent);
    }
    TOperation(const TOperation&) = delete;
    TOperation& operator=(const TOperation&) = delete;

    bool Valid() const { return Ov.hEvent != nullptr; }
    void Restart()
    {
        HANDLE event = Ov.hEvent;
        Ov = OVERLAPPED{};
        Ov.hEvent = event;
        ::ResetEvent(event);
    }
    bool Over() const { return !Pending || HasOverlappedIoCompleted(&Ov); }
};

// A kernel event of the port's own, closed with it.
struct TEvent {
    HANDLE H;
    explicit TEvent(bool manualReset) : H(::CreateEventW(nullptr, manualReset, FALSE, nullptr)) {}
    ~TEvent()
    {
        if (H != nullptr) ::CloseHandle(H);
    }
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;
};

} // namespace

struct TPort {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    bool Owned = false;
    COMMTIMEOUTS GivenTimeouts{}; // an adopted port's own, given back with it
    bool HaveGivenTimeouts = false;
    std::atomic<DWORD> Mask{0};
    // Line errors a Read took from the driver; handed on by the next ClearCommError.
    std::atomic<DWORD> Errors{0};
    std::mutex WaitLock, ReadLock, WriteLock; // one thread per kind of call at a time
    TOperation Wait, ReadOp, WriteOp;
    DWORD WaitMask = 0;
    std::vector<unsigned char> WriteBuffer;
    TEvent Stopped{true}; // set by Stop, never reset: ends every wait
    TEvent Woken{false};  // set by WakeWaiter, taken by the comm-event wait it ends

    bool Valid() const { return Wait.Valid() && ReadOp.Valid() && WriteOp.Valid() && Stopped.H && Woken.H; }
};

namespace {

// Waits for an operation the driver was asked to end; false when it did not end in time.
bool AwaitEnd(TPort& p, TOperation& op)
{
    if (op.Over()) {
        op.Pending = false;
        return true;
    }
    if (::WaitForSingleObject(op.Ov.hEvent, 1000) != WAIT_OBJECT_0) {
        ::CancelIoEx(p.Handle, &op.Ov);
        if (::WaitForSingleObject(op.Ov.hEvent, 1000) != WAIT_OBJECT_0) return false;
    }
    op.Pending = false;
    return true;
}

// A pending WaitCommEvent ends by a mask change, on Windows and on Wine (where CancelIo does not end it).
bool EndWait(TPort& p)
{
    if (p.Wait.Over()) return true;
    ::SetCommMask(p.Handle, p.Mask);
    return AwaitEnd(p, p.Wait);
}

// Read time-outs: what is queued comes back at once, an empty queue ends after 1 ms.
const COMMTIMEOUTS QueuedOnly = {MAXDWORD, MAXDWORD, 1, 0, 0};

// Ports whose driver did not let go of a pending call; kept so that the call cannot write into freed memory.
std::mutex StrandedLock;
std::vector<std::shared_ptr<TPort>> Stranded;

} // namespace

std::uint32_t LastError() { return ::GetLastError(); }

std::string ErrorText(std::uint32_t error)
{
    wchar_t* text = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = n != 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    if (text != nullptr) ::LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) wide.pop_back();
    if (wide.empty()) return "error " + std::to_string(error);
    return Narrow(wide);
}

std::wstring Widen(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n, nullptr,
                              nullptr);
    return narrow;
}

TPortPtr OpenPort(const std::string& name, std::uint32_t& error)
{
    error = 0;
    // The prefix for every name, so COM10 and up open like COM1.
    const std::wstring path = L"\\\\.\\" + Widen(name);
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return nullptr;
    }
    auto port = std::make_shared<TPort>();
    port->Handle = h;
    port->Owned = true;
    COMMTIMEOUTS timeouts = QueuedOnly;
    if (!port->Valid() || !::SetCommTimeouts(h, &timeouts)) {
        error = ::GetLastError();
        ::CloseHandle(h);
        return nullptr;
    }
    return port;
}

TPortPtr AdoptPort(int handle)
{
    // Kernel handles are positive multiples of 4.
    if (handle <= 0 || (handle & 3) != 0) return nullptr;
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (::GetFileType(h) != FILE_TYPE_CHAR || !::GetCommState(h, &dcb)) return nullptr;
    auto port = std::make_shared<TPort>();
    port->Handle = h;
    port->HaveGivenTimeouts = ::GetCommTimeouts(h, &port->GivenTimeouts) != 0;
    COMMTIMEOUTS timeouts = QueuedOnly;
    if (!port->Valid() || !::SetCommTimeouts(h, &timeouts)) return nullptr;
    return port;
}

void ReleasePort(TPortPtr p)
{
    if (!p) return;
    bool ended = EndWait(*p);
    if (!p->ReadOp.Over() || !p->WriteOp.Over()) {
        ::CancelIoEx(p->Handle, nullptr);
        ended = AwaitEnd(*p, p->ReadOp) && ended;
        ended = AwaitEnd(*p, p->WriteOp) && ended;
    }
    if (p->Owned) ::CloseHandle(p->Handle);
    else if (p->HaveGivenTimeouts) ::SetCommTimeouts(p->Handle, &p->GivenTimeouts);
    if (!ended) {
        std::lock_guard<std::mutex> guard(StrandedLock);
        Stranded.push_back(std::move(p));
    }
}

bool SetupComm(TPort& port, long inSize, long outSize)
{
    if (inSize < 0 || outSize < 0) return false;
    return ::SetupComm(port.Handle, static_cast<DWORD>(inSize), static_cast<DWORD>(outSize)) != 0;
}

std::vector<unsigned char> DcbRecord(const TLineState& state)
{
    DCB d{};
    d.DCBlength = sizeof d;
    ApplyLineState(state, d);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&d);
    return std::vector<unsigned char>(bytes, bytes + sizeof d);
}

TLineState LineStateOfRecord(const std::vector<unsigned char>& record)
{
    DCB d{};
    std::memcpy(&d, record.data(), std::min(record.size(), sizeof d));
    return LineStateOf(d);
}

bool GetLineState(TPort& port, TLineState& s)
{
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(port.Handle, &d)) return false;
    s = LineStateOf(d);
    return true;
}

bool SetLineState(TPort& port, const TLineState& s)
{
    DCB d{};
    d.DCBlength = sizeof d;
    // Starts from the driver's record, so reserved fields keep what the driver put there.
    if (!::GetCommState(port.Handle, &d)) return false;
    ApplyLineState(s, d);
    return ::SetCommState(port.Handle, &d) != 0;
}

bool SetCommMask(TPort& port, std::uint32_t mask)
{
    port.Mask = mask;
    return ::SetCommMask(port.Handle, mask) != 0;
}

TWait WaitCommEvent(TPort& port, std::uint32_t& mask)
{
    mask = 0;
    if (::WaitForSingleObject(port.Stopped.H, 0) == WAIT_OBJECT_0) return TWait::Stopped;
    std::lock_guard<std::mutex> guard(port.WaitLock);
    TOperation& op = port.Wait;
    if (!op.Over()) return TWait::Failed; // an earlier wait the driver never ended
    op.Restart();
    port.WaitMask = 0;
    if (::WaitCommEvent(port.Handle, &port.WaitMask, &op.Ov)) {
        mask = port.WaitMask;
        return TWait::Event;
    }
    const DWORD error = ::GetLastError();
    // Wine ends a wait with 995 when the mask changes, also one that has not started waiting yet.
    if (error == ERROR_OPERATION_ABORTED) return TWait::Event;
    if (error != ERROR_IO_PENDING) return TWait::Failed;
    op.Pending = true;
    HANDLE all[3] = {port.Stopped.H, port.Woken.H, op.Ov.hEvent};
    const DWORD r = ::WaitForMultipleObjects(3, all, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0 + 2) {
        EndWait(port);
        return r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1 ? TWait::Stopped : TWait::Failed;
    }
    op.Pending = false;
    DWORD unused = 0;
    // FALSE with 995 is Wine's way of ending the wait for a mask change: an empty mask.
    if (::GetOverlappedResult(port.Handle, &op.Ov, &unused, FALSE)) mask = port.WaitMask;
    return TWait::Event;
}

bool ClearCommError(TPort& port, std::uint32_t& errors, std::uint32_t& inQueue, std::uint32_t& outQueue)
{
    DWORD e = 0;
    COMSTAT stat{};
    if (!::ClearCommError(port.Handle, &e, &stat)) return false;
    errors = e | port.Errors.exchange(0);
    inQueue = stat.cbInQue;
    outQueue = stat.cbOutQue;
    return true;
}

bool GetCommModemStatus(TPort& port, std::uint32_t& status)
{
    DWORD s = 0;
    if (!::GetCommModemStatus(port.Handle, &s)) return false;
    status = s;
    return true;
}

bool PurgeComm(TPort& port, std::uint32_t flags) { return ::PurgeComm(port.Handle, flags) != 0; }

bool EscapeCommFunction(TPort& port, std::uint32_t function)
{
    return ::EscapeCommFunction(port.Handle, function) != 0;
}

TIo Read(TPort& port, void* buffer, std::uint32_t count, std::uint32_t& got)
{
    got = 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(port.Handle, &errors, &stat)) return TIo::Failed;
    if (errors != 0) port.Errors |= errors;
    // Only what is queued: a read for more would wait for it.
    const DWORD want = std::min<DWORD>(count, stat.cbInQue);
    if (want == 0) return TIo::Pending;
    std::lock_guard<std::mutex> guard(port.ReadLock);
    TOperation& op = port.ReadOp;
    op.Restart();
    if (!::ReadFile(port.Handle, buffer, want, nullptr, &op.Ov)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_TIMEOUT) return TIo::Pending;
        if (error != ERROR_IO_PENDING) return TIo::Failed;
    }
    DWORD n = 0;
    // Completes at once: the bytes are there, and the time-outs end a read that finds none.
    if (!::GetOverlappedResult(port.Handle, &op.Ov, &n, TRUE)) {
        const DWORD error = ::GetLastError();
        // Wine ends a read by its total time-out with ERROR_TIMEOUT (Windows: success, 0 bytes); a
        // purge ends it with 995.
        if (error != ERROR_TIMEOUT && error != ERROR_OPERATION_ABORTED) return TIo::Failed;
    }
    got = n;
    return n > 0 ? TIo::Done : TIo::Pending;
}

TIo Write(TPort& port, const void* buffer, std::uint32_t count, std::uint32_t& done)
{
    done = 0;
    std::lock_guard<std::mutex> guard(port.WriteLock);
    TOperation& op = port.WriteOp;
    if (!op.Over()) return TIo::Pending;
    op.Pending = false;
    if (count == 0) return TIo::Done;
    // The bytes stay here until the driver has them all; the caller's buffer is free at once.
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    port.WriteBuffer.assign(bytes, bytes + count);
    op.Restart();
    if (::WriteFile(port.Handle, port.WriteBuffer.data(), count, nullptr, &op.Ov)) {
        DWORD n = 0;
        if (!::GetOverlappedResult(port.Handle, &op.Ov, &n, FALSE)) return TIo::Failed;
        done = n;
        return TIo::Done;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return TIo::Failed;
    op.Pending = true;
    done = count;
    return TIo::Done;
}

bool WaitWritable(TPort& port)
{
    HANDLE write = nullptr;
    {
        std::lock_guard<std::mutex> guard(port.WriteLock);
        if (port.WriteOp.Over()) return true;
        write = port.WriteOp.Ov.hEvent;
    }
    HANDLE both[2] = {port.Stopped.H, write};
    return ::WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0;
}

void WakeWaiter(TPort& port) { ::SetEvent(port.Woken.H); }

void Stop(TPort& port) { ::SetEvent(port.Stopped.H); }

int PortHandle(const TPort& port) { return static_cast<int>(reinterpret_cast<std::intptr_t>(port.Handle)); }

bool RaiseThreadPriority() { return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0; }

long ListSerialCommPorts(std::vector<std::string>& names)
{
    HKEY key = nullptr;
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) return opened;
    names.clear();
    for (DWORD index = 0; index <= 32766; ++index) {
        wchar_t valueName[256];
        DWORD nameLength = 256;
        BYTE data[512 + sizeof(wchar_t)] = {};
        DWORD dataLength = 512;
        if (::RegEnumValueW(key, index, valueName, &nameLength, nullptr, nullptr, data, &dataLength) != ERROR_SUCCESS)
            break;
        // Read as a wide string; the spare element keeps data without its own NUL terminated.
        const auto* text = reinterpret_cast<const wchar_t*>(data);
        const std::wstring port(text, wcsnlen(text, dataLength / sizeof(wchar_t)));
        if (!port.empty()) names.push_back(Narrow(port));
    }
    return ::RegCloseKey(key);
}

int ErrnoOf(std::uint32_t error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED: // a comm port refuses a second opener this way
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return EBUSY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST: return ENOENT;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE: return EIO;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_HANDLE: return ENOTTY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES: return ENOMEM;
    default: return EINVAL;
    }
}

} // namespace KestroComm32::Win32
