// The Win32 side of the comm layer: a handle table, overlapped port calls, kernel events, the registry.
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
#include <unordered_map>

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

    bool Valid() const { return Wait.Valid() && ReadOp.Valid() && WriteOp.Valid(); }
};

struct TTable {
    std::mutex Lock;
    std::unordered_map<int, std::shared_ptr<TPort>> Ports;
    std::unordered_map<int, HANDLE> Events;
    int Next = 1;

    // Odd, so never the value of a kernel handle (those are multiples of 4).
    int NewId()
    {
        for (;;) {
            const int id = Next;
            Next = Next >= 0x3FFFFFFF ? 1 : Next + 2;
            if (!Ports.contains(id) && !Events.contains(id)) return id;
        }
    }
};

TTable& Table()
{
    static TTable table;
    return table;
}

std::shared_ptr<TPort> FindPort(int port)
{
    TTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    const auto it = t.Ports.find(port);
    return it == t.Ports.end() ? nullptr : it->second;
}

HANDLE FindEvent(int event)
{
    TTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    const auto it = t.Events.find(event);
    return it == t.Events.end() ? nullptr : it->second;
}

int AddPort(int key, const std::shared_ptr<TPort>& port)
{
    TTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    if (key < 0) key = t.NewId();
    else if (t.Ports.contains(key)) return -1;
    t.Ports[key] = port;
    return key;
}

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

int OpenPort(const std::string& name, std::uint32_t& error)
{
    error = 0;
    // The prefix for every name, so COM10 and up open like COM1.
    const std::wstring path = L"\\\\.\\" + Widen(name);
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return -1;
    }
    auto port = std::make_shared<TPort>();
    port->Handle = h;
    port->Owned = true;
    COMMTIMEOUTS timeouts = QueuedOnly;
    if (!port->Valid() || !::SetCommTimeouts(h, &timeouts)) {
        error = ::GetLastError();
        ::CloseHandle(h);
        return -1;
    }
    return AddPort(-1, port);
}

bool AdoptPort(int handle)
{
    // Kernel handles are positive multiples of 4; anything else is one of this table's ids or garbage.
    if (handle <= 0 || (handle & 3) != 0) return false;
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (::GetFileType(h) != FILE_TYPE_CHAR || !::GetCommState(h, &dcb)) return false;
    auto port = std::make_shared<TPort>();
    port->Handle = h;
    port->HaveGivenTimeouts = ::GetCommTimeouts(h, &port->GivenTimeouts) != 0;
    COMMTIMEOUTS timeouts = QueuedOnly;
    if (!port->Valid() || !::SetCommTimeouts(h, &timeouts)) return false;
    if (AddPort(handle, port) == handle) return true;
    if (port->HaveGivenTimeouts) ::SetCommTimeouts(h, &port->GivenTimeouts);
    return false;
}

void ReleasePort(int port)
{
    std::shared_ptr<TPort> p;
    {
        TTable& t = Table();
        std::lock_guard<std::mutex> guard(t.Lock);
        const auto it = t.Ports.find(port);
        if (it == t.Ports.end()) return;
        p = it->second;
        t.Ports.erase(it);
    }
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

bool SetupComm(int port, long inSize, long outSize)
{
    const auto p = FindPort(port);
    if (!p || inSize < 0 || outSize < 0) return false;
    return ::SetupComm(p->Handle, static_cast<DWORD>(inSize), static_cast<DWORD>(outSize)) != 0;
}

namespace {

TLineState LineStateOfDcb(const DCB& d)
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
void ApplyLineState(const TLineState& s, DCB& d)
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

} // namespace

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
    return LineStateOfDcb(d);
}

bool GetLineState(int port, TLineState& s)
{
    const auto p = FindPort(port);
    DCB d{};
    d.DCBlength = sizeof d;
    if (!p || !::GetCommState(p->Handle, &d)) return false;
    s = LineStateOfDcb(d);
    return true;
}

bool SetLineState(int port, const TLineState& s)
{
    const auto p = FindPort(port);
    DCB d{};
    d.DCBlength = sizeof d;
    // Starts from the driver's record, so reserved fields keep what the driver put there.
    if (!p || !::GetCommState(p->Handle, &d)) return false;
    ApplyLineState(s, d);
    return ::SetCommState(p->Handle, &d) != 0;
}

bool SetCommMask(int port, std::uint32_t mask)
{
    const auto p = FindPort(port);
    if (!p) return false;
    p->Mask = mask;
    return ::SetCommMask(p->Handle, mask) != 0;
}

TWait WaitCommEvent(int port, std::uint32_t& mask, int stopEvent)
{
    mask = 0;
    const auto p = FindPort(port);
    HANDLE stop = FindEvent(stopEvent);
    if (!p || stop == nullptr) return TWait::Failed;
    std::lock_guard<std::mutex> guard(p->WaitLock);
    TOperation& op = p->Wait;
    if (!op.Over()) return TWait::Failed; // an earlier wait the driver never ended
    op.Restart();
    p->WaitMask = 0;
    if (::WaitCommEvent(p->Handle, &p->WaitMask, &op.Ov)) {
        mask = p->WaitMask;
        return TWait::Event;
    }
    const DWORD error = ::GetLastError();
    // Wine ends a wait with 995 when the mask changes, also one that has not started waiting yet.
    if (error == ERROR_OPERATION_ABORTED) return TWait::Event;
    if (error != ERROR_IO_PENDING) return TWait::Failed;
    op.Pending = true;
    HANDLE both[2] = {stop, op.Ov.hEvent};
    const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0 + 1) {
        EndWait(*p);
        return r == WAIT_OBJECT_0 ? TWait::Stopped : TWait::Failed;
    }
    op.Pending = false;
    DWORD unused = 0;
    // FALSE with 995 is Wine's way of ending the wait for a mask change: an empty mask.
    if (::GetOverlappedResult(p->Handle, &op.Ov, &unused, FALSE)) mask = p->WaitMask;
    return TWait::Event;
}

bool ClearCommError(int port, std::uint32_t& errors, std::uint32_t& inQueue, std::uint32_t& outQueue)
{
    const auto p = FindPort(port);
    DWORD e = 0;
    COMSTAT stat{};
    if (!p || !::ClearCommError(p->Handle, &e, &stat)) return false;
    errors = e | p->Errors.exchange(0);
    inQueue = stat.cbInQue;
    outQueue = stat.cbOutQue;
    return true;
}

bool GetCommModemStatus(int port, std::uint32_t& status)
{
    const auto p = FindPort(port);
    DWORD s = 0;
    if (!p || !::GetCommModemStatus(p->Handle, &s)) return false;
    status = s;
    return true;
}

bool PurgeComm(int port, std::uint32_t flags)
{
    const auto p = FindPort(port);
    return p && ::PurgeComm(p->Handle, flags) != 0;
}

bool EscapeCommFunction(int port, std::uint32_t function)
{
    const auto p = FindPort(port);
    return p && ::EscapeCommFunction(p->Handle, function) != 0;
}

TIo Read(int port, void* buffer, std::uint32_t count, std::uint32_t& got)
{
    got = 0;
    const auto p = FindPort(port);
    if (!p) return TIo::Failed;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(p->Handle, &errors, &stat)) return TIo::Failed;
    if (errors != 0) p->Errors |= errors;
    // Only what is queued: a read for more would wait for it.
    const DWORD want = std::min<DWORD>(count, stat.cbInQue);
    if (want == 0) return TIo::Pending;
    std::lock_guard<std::mutex> guard(p->ReadLock);
    TOperation& op = p->ReadOp;
    op.Restart();
    if (!::ReadFile(p->Handle, buffer, want, nullptr, &op.Ov)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_TIMEOUT) return TIo::Pending;
        if (error != ERROR_IO_PENDING) return TIo::Failed;
    }
    DWORD n = 0;
    // Completes at once: the bytes are there, and the time-outs end a read that finds none.
    if (!::GetOverlappedResult(p->Handle, &op.Ov, &n, TRUE)) {
        const DWORD error = ::GetLastError();
        // Wine ends a read by its total time-out with ERROR_TIMEOUT (Windows: success, 0 bytes); a
        // purge ends it with 995.
        if (error != ERROR_TIMEOUT && error != ERROR_OPERATION_ABORTED) return TIo::Failed;
    }
    got = n;
    return n > 0 ? TIo::Done : TIo::Pending;
}

TIo Write(int port, const void* buffer, std::uint32_t count, std::uint32_t& done)
{
    done = 0;
    const auto p = FindPort(port);
    if (!p) return TIo::Failed;
    std::lock_guard<std::mutex> guard(p->WriteLock);
    TOperation& op = p->WriteOp;
    if (!op.Over()) return TIo::Pending;
    op.Pending = false;
    if (count == 0) return TIo::Done;
    // The bytes stay here until the driver has them all; the caller's buffer is free at once.
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    p->WriteBuffer.assign(bytes, bytes + count);
    op.Restart();
    if (::WriteFile(p->Handle, p->WriteBuffer.data(), count, nullptr, &op.Ov)) {
        DWORD n = 0;
        if (!::GetOverlappedResult(p->Handle, &op.Ov, &n, FALSE)) return TIo::Failed;
        done = n;
        return TIo::Done;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return TIo::Failed;
    op.Pending = true;
    done = count;
    return TIo::Done;
}

bool WaitWritable(int port, int stopEvent)
{
    const auto p = FindPort(port);
    if (!p) return true; // the write itself reports the failure
    HANDLE write = nullptr;
    {
        std::lock_guard<std::mutex> guard(p->WriteLock);
        if (p->WriteOp.Over()) return true;
        write = p->WriteOp.Ov.hEvent;
    }
    HANDLE stop = FindEvent(stopEvent);
    if (stop == nullptr) return ::WaitForSingleObject(write, INFINITE) == WAIT_OBJECT_0;
    HANDLE both[2] = {stop, write};
    return ::WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0;
}

int NewEvent()
{
    HANDLE h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (h == nullptr) return -1;
    TTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    const int id = t.NewId();
    t.Events[id] = h;
    return id;
}

void CloseEvent(int event)
{
    HANDLE h = nullptr;
    {
        TTable& t = Table();
        std::lock_guard<std::mutex> guard(t.Lock);
        const auto it = t.Events.find(event);
        if (it == t.Events.end()) return;
        h = it->second;
        t.Events.erase(it);
    }
    ::CloseHandle(h);
}

bool SetEvent(int event)
{
    HANDLE h = FindEvent(event);
    return h != nullptr && ::SetEvent(h) != 0;
}

bool ResetEvent(int event)
{
    HANDLE h = FindEvent(event);
    return h != nullptr && ::ResetEvent(h) != 0;
}

int WaitForEvents(int count, const int* events, std::uint32_t timeoutMs)
{
    if (count <= 0 || count > MAXIMUM_WAIT_OBJECTS) return -2;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        handles[i] = FindEvent(events[i]);
        if (handles[i] == nullptr) return -2;
    }
    const DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
    if (r < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(r - WAIT_OBJECT_0);
    return r == WAIT_TIMEOUT ? -1 : -2;
}

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
