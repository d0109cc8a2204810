// TComm32: settings, opening and closing, modem lines, notifications and the two I/O threads.
//
// Who owns what:
// - The port's lifetime is LifeLock's: Open and Close run one at a time. Close stops and joins the
//   threads, then releases the platform's port object (handle and events) under Lock. Every call
//   another thread makes into the port (Write, Read giving the reader its mask back, purges,
//   escapes) runs under Lock while PortOpen, so Close waits for it and nothing is used once released.
// - The send decision is Lock's: bytes reach the driver only under it, from a caller writing into an
//   idle port (nothing queued, no chunk held) or from the writer with the chunk it holds. The chunk,
//   the CTS hold and the send-empty owed to the reader live under it, so the reader judges
//   EV_TXEMPTY with no write half done and PurgeWrite has fenced the writer before it flushes.
// - The reader moves bytes from the driver into InQueue under Lock, so PurgeRead fences it the
//   same way. InQueue has one producer (the reader) and one consumer (the owner's Read); OutQueue
//   is used under Lock.
#include "comm32.h"
#include "comm32_portinfo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

namespace KestroComm32 {

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr std::uint32_t ModemEventsMask = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
// Bounds what a platform layer may ask the writer to hand the driver in one write.
constexpr std::uint32_t MaxSendChunk = 65536;

std::atomic<TCommPlatform*> DefaultPlatform{nullptr};

} // namespace

TCommPlatform* GetDefaultCommPlatform()
{
    TCommPlatform* p = DefaultPlatform.load();
    return p != nullptr ? p : &SystemCommPlatform();
}

void SetDefaultCommPlatform(TCommPlatform* platform) { DefaultPlatform.store(platform); }

TComm32::TComm32() : Platform(GetDefaultCommPlatform())
{
    Dcb.DCBlength = sizeof(DCB);
    Dcb.BaudRate = 115200;
    Dcb.fBinary = 1;
    Dcb.fDtrControl = DTR_CONTROL_ENABLE;
    Dcb.fRtsControl = RTS_CONTROL_ENABLE;
    Dcb.XonLim = 2048;
    Dcb.XoffLim = 512;
    Dcb.ByteSize = 8;
    Dcb.Parity = NOPARITY;
    Dcb.StopBits = ONESTOPBIT;
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
    PortName = TCommSerialPortInfo::PortName(2);
    InQueue = new TCommQueue(8192);
    OutQueue = new TCommQueue(8192);
}

TComm32::~TComm32()
{
    try {
        Close();
    } catch (const EComm32Error&) {}
    // Every thread of this object is joined by now but one that runs this from its own handler.
    Destroyed->store(true);
    JoinStaleReader();
    if (StaleReadThread.joinable()) StaleReadThread.detach(); // destroyed from its own handler
    delete OutQueue;
    delete InQueue;
}

// ---- data transfer ----

int TComm32::Read(void* buffer, long count)
{
    const long n = InQueue->Out(static_cast<char*>(buffer), count);
    if (n > 0) ResumeReceiving();
    return static_cast<int>(n);
}

bool TComm32::WaitForData(std::uint32_t timeoutMs)
{
    if (InQueue->fGetCount() > 0) return true;
    // Both sides change DataWaiters (read-modify-write): either this sees the bytes or the reader
    // sees the waiter.
    ++DataWaiters;
    bool got;
    {
        std::unique_lock<std::mutex> lock(DataLock);
        got = DataArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return InQueue->fGetCount() > 0 || !Active; });
    }
    --DataWaiters;
    return got && InQueue->fGetCount() > 0;
}

void TComm32::SignalDataWaiters()
{
    if (DataWaiters.fetch_add(0) == 0) return;
    std::lock_guard<std::mutex> lock(DataLock);
    DataArrived.notify_all();
}

int TComm32::Write(const void* buffer, long count)
{
    if (DisableWrite) return 0;
    const char* bytes = static_cast<const char*>(buffer);
    std::lock_guard<std::mutex> hold(Lock);
    // A request into an idle port goes to the driver from the caller's thread, saving the writer's
    // wake-up; only with nothing queued or held before it, so bytes keep their order.
    std::uint32_t direct = 0;
    if (count > 0 && PortOpen && ChunkSent == ChunkLen && OutQueue->fGetCount() == 0 &&
        !(DriverHeld && SendHeldByCts()))
        WriteToDriver(bytes, static_cast<std::uint32_t>(std::min<long>(count, SendChunk)), direct);
    const long n = direct + OutQueue->In(bytes + direct, count - direct);
    if (n > static_cast<long>(direct)) WakeWriter();
    return static_cast<int>(n);
}

// Under Lock.
TIoResult TComm32::WriteToDriver(const char* bytes, std::uint32_t count, std::uint32_t& done)
{
    done = 0;
    const TIoResult r = Port->WriteFile(bytes, count, done);
    if (r != TIoResult::Done) done = 0;
    done = std::min(done, count);
    if (done > 0) {
        ++Writes;
        if (SendHeldByCts()) DriverHeld = true;
    }
    return r;
}

int TComm32::Command(const char* text)
{
    if (text == nullptr) return 0;
    std::lock_guard<std::mutex> hold(Lock);
    const long n = OutQueue->In(text, static_cast<long>(std::strlen(text)));
    WakeWriter();
    return static_cast<int>(n);
}

// Both purges hold Lock, so the thread on the other side is between two moves: what it took from
// the driver is in the queue, what it took from the queue is with the driver. Then the queue and
// the driver are emptied.
void TComm32::PurgeRead(bool abort)
{
    std::lock_guard<std::mutex> hold(Lock);
    if (!PortOpen) return;
    InQueue->Clear();
    Port->PurgeComm(abort ? PURGE_RXCLEAR | PURGE_RXABORT : PURGE_RXCLEAR);
    if (RxStalled.exchange(false)) Port->SetCommMask(ListenMask);
}

void TComm32::PurgeWrite(bool abort)
{
    std::lock_guard<std::mutex> hold(Lock);
    if (!PortOpen) return;
    ChunkSent = ChunkLen;
    OutQueue->Clear();
    Port->PurgeComm(abort ? PURGE_TXCLEAR | PURGE_TXABORT : PURGE_TXCLEAR);
}

void TComm32::ResetModem() { Command(Str_ResetModem); }

void TComm32::InitModem()
{
    char text[64];
    std::snprintf(text, sizeof text, Fmt_InitModem, fGetFCtrl(), static_cast<int>(AutoAnswer));
    Command(text);
}

bool TComm32::EscapeCommFunction(unsigned long function)
{
    std::lock_guard<std::mutex> hold(Lock);
    if (!PortOpen) return false;
    if (!Port->EscapeCommFunction(static_cast<std::uint32_t>(function))) return false;
    switch (function) {
    case SETRTS: RTS = true; break;
    case CLRRTS: RTS = false; break;
    case SETDTR: DTR = true; break;
    case CLRDTR: DTR = false; break;
    default: break;
    }
    return true;
}

// ---- opening and closing ----

// Takes LifeLock; false when this is a handler on the reader thread while another thread opens or
// closes the port (that thread ends this reader, so waiting here would never end).
bool TComm32::TakeLife(std::unique_lock<std::mutex>& life)
{
    life = std::unique_lock<std::mutex>(LifeLock, std::defer_lock);
    if (ReadThreadHandle.joinable() && std::this_thread::get_id() == ReadThreadId.load()) return life.try_lock();
    life.lock();
    return true;
}

void TComm32::Open()
{
    if (Active) return;
    std::unique_lock<std::mutex> life;
    if (!TakeLife(life) || Active) return;
    TSystemReason reason;
    int code = CheckQueues();
    if (code == 0) code = OpenHandle(reason);
    if (code == 0) code = ApplyLineSettings();
    if (code == 0) code = StartThreads();
    if (code != 0) {
        // The open failure is what the caller needs to hear about, not a late thread.
        StopAndRelease();
        throw EComm32Error(static_cast<TErrorCode>(code), PortName, reason);
    }

    {
        std::lock_guard<std::mutex> hold(Lock);
        PortOpen = true;
    }
    Active = true;
    DisableWrite = false;
    std::uint32_t status = 0;
    if (Port->GetCommModemStatus(status)) ModemStatus = status;
    DTR = Dcb.fDtrControl != DTR_CONTROL_DISABLE;
    RTS = Dcb.fRtsControl != RTS_CONTROL_DISABLE;
    life.unlock();
    CommNotify(ModemLinesChanged);
    CommAfterOpen();
}

int TComm32::CheckQueues() const
{
    if (InQueue == nullptr || !InQueue->fIsValid()) return ecInitReadBuffer;
    if (OutQueue == nullptr || !OutQueue->fIsValid()) return ecInitWriteBuffer;
    return 0;
}

int TComm32::OpenHandle(TSystemReason& reason)
{
    // A handle from outside is taken into use here; one that is no port fails like its mask would.
    std::unique_ptr<TCommPort> port = ExternalHandle ? Platform->AttachHandle(Handle) : Platform->CreateFile(PortName);
    if (!port) {
        if (ExternalHandle) return ecSetCommMask;
        reason = Platform->LastOpenFailure();
        return ecOpenPort;
    }
    {
        std::lock_guard<std::mutex> hold(Lock);
        Handle = port->Handle();
        Port = std::move(port);
    }
    if (!Port->SetCommMask(EV_RXFLAG)) return ecSetCommMask;
    if (!ExternalHandle && !Port->SetupComm(HwInSize, HwOutSize)) return ecSetupComm;
    return 0;
}

int TComm32::ApplyLineSettings()
{
    if (ExternalHandle) {
        DCB driver;
        if (!Port->GetCommState(driver)) return ecGetCommState;
        // The owner's line stays as the owner set it: only abort-on-error is cleared, and a record
        // that has it clear already is not written back, since on a tty that write makes the line raw.
        if (!driver.fAbortOnError) return 0;
        driver.fAbortOnError = 0;
        return Port->SetCommState(driver) ? 0 : ecSetCommState;
    }
    if (Dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) Dcb.fDtrControl = DTR ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (Dcb.fRtsControl != RTS_CONTROL_HANDSHAKE && Dcb.fRtsControl != RTS_CONTROL_TOGGLE)
        Dcb.fRtsControl = RTS ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    const DCB copy = Dcb;
    return Port->SetCommState(copy) ? 0 : ecSetCommState;
}

int TComm32::StartThreads()
{
    ++ThreadGen;
    RxStalled = false;
    LineErrors = 0;
    {
        std::lock_guard<std::mutex> hold(Lock);
        DriverHeld = false;
        TxEmptyOwed = false;
        WriterKicked = false; // bytes queued while closed go with the next request
        ChunkLen = ChunkSent = 0;
        SendChunk = std::clamp<std::uint32_t>(Port->SendChunkSize(), 1, MaxSendChunk);
        Chunk.resize(SendChunk);
    }
    ListenMask = DataOnly ? DataOnlyMask : AllEventsMask;
    if (!StartThread(ReadThreadHandle, ReadThreadRun, ReadThreadAlive, &TComm32::_ReadThread))
        return ecCreateReadThread;
    ReadThreadId = ReadThreadHandle.get_id();
    if (!StartThread(WriteThreadHandle, WriteThreadRun, WriteThreadAlive, &TComm32::_WriteThread))
        return ecCreateWriteThread;
    return 0;
}

bool TComm32::StartThread(std::thread& thread, std::atomic<bool>& run, std::atomic<bool>& alive, void (*body)(void*))
{
    run = true;
    // Alive from before the start: a Close right after Open must wait for a thread that has not
    // been scheduled yet, not find it "not alive" and then see it come up.
    alive = true;
    try {
        thread = std::thread(body, this);
        return true;
    } catch (const std::system_error&) {
        run = false;
        alive = false;
        return false;
    }
}

void TComm32::Close()
{
    if (Active) CommBeforeClose();
    std::unique_lock<std::mutex> life;
    if (!TakeLife(life)) return;
    const bool wasActive = Active;
    const int code = StopAndRelease();
    DTR = Dcb.fDtrControl != DTR_CONTROL_DISABLE;
    RTS = Dcb.fRtsControl != RTS_CONTROL_DISABLE;
    if (wasActive) {
        Active = false;
        SignalDataWaiters();
        ModemStatus = 0;
    }
    life.unlock();
    if (wasActive) CommNotify(ModemLinesChanged);
    if (code != 0) throw EComm32Error(static_cast<TErrorCode>(code), PortName);
}

int TComm32::StopAndRelease()
{
    {
        std::lock_guard<std::mutex> hold(Lock);
        PortOpen = false; // callers only queue from here on
        ReadThreadRun = false;
        WriteThreadRun = false;
        WriterWake.notify_all();
        if (Port) {
            Port->SetCommMask(EV_RXFLAG);
            Port->Stop();
        }
    }

    // Closed from a handler on the reader thread: that thread cannot be waited for, and it stops
    // as soon as the handler returns.
    const bool onReader = ReadThreadHandle.joinable() && std::this_thread::get_id() == ReadThreadId.load();
    for (int i = 0; i < 100 && ((ReadThreadAlive && !onReader) || WriteThreadAlive); ++i) Sleep(5);
    int code = 0;
    if (ReadThreadAlive && !onReader) code = ecCloseReadThread;
    if (WriteThreadAlive) code = ecCloseWriteThread;

    // A late thread still uses the handle, the events and this object: wait it out before release.
    JoinStaleReader();
    if (ReadThreadHandle.joinable()) {
        if (onReader) StaleReadThread = std::move(ReadThreadHandle);
        else ReadThreadHandle.join();
    }
    if (WriteThreadHandle.joinable()) WriteThreadHandle.join();
    ReadThreadId = std::thread::id{};

    std::lock_guard<std::mutex> hold(Lock);
    ReleaseOsResources();
    return code;
}

void TComm32::JoinStaleReader()
{
    if (StaleReadThread.joinable() && StaleReadThread.get_id() != std::this_thread::get_id()) StaleReadThread.join();
}

// Under Lock.
void TComm32::ReleaseOsResources()
{
    // A given handle stays open and in Handle.
    Port.reset();
    if (!ExternalHandle) Handle = INVALID_HANDLE_VALUE;
}

// ---- notifications ----

void TComm32::CommNotify(int mask)
{
    if (!OnNotify) return;
    try {
        OnNotify(this, mask);
    } catch (...) {}
}

void TComm32::CommAfterOpen()
{
    if (!OnAfterOpen) return;
    try {
        OnAfterOpen(this);
    } catch (...) {}
}

void TComm32::CommBeforeClose()
{
    if (!OnBeforeClose) return;
    try {
        OnBeforeClose(this);
    } catch (...) {}
}

// ---- properties ----

void TComm32::fSetPort(int n)
{
    Close();
    PortNo = n;
    if (n > 0) PortName = TCommSerialPortInfo::PortName(n);
    LeaveHandleMode();
}

void TComm32::fSetPortName(const UnicodeString& name)
{
    if (name.empty()) return;
    const int n = TCommSerialPortInfo::PortNo(name);
    Close();
    PortNo = n;
    PortName = n > 0 ? TCommSerialPortInfo::PortName(n) : name;
    LeaveHandleMode();
}

// The given handle stays with its owner: forget it, so a closed port reads as invalid again.
void TComm32::LeaveHandleMode()
{
    if (ExternalHandle) Handle = INVALID_HANDLE_VALUE;
    ExternalHandle = false;
}

void TComm32::fSetHandle(THandle h)
{
    Close();
    PortNo = 0;
    PortName.clear();
    Handle = h;
    ExternalHandle = true;
}

void TComm32::fSetActive(bool v)
{
    if (v) Open();
    else Close();
}

void TComm32::fSetBaud(unsigned long baud)
{
    Close();
    Dcb.BaudRate = static_cast<std::uint32_t>(baud);
}

void TComm32::fSetParity(unsigned char parity)
{
    Close();
    Dcb.Parity = parity;
}

void TComm32::fSetByteSize(unsigned char size)
{
    Close();
    Dcb.ByteSize = size;
}

void TComm32::fSetStopBits(unsigned char stopBits)
{
    Close();
    Dcb.StopBits = stopBits;
}

TComm32::TFlowControl TComm32::fGetFCtrl() const
{
    if (Dcb.fOutxCtsFlow && Dcb.fOutX) return 6;
    if (Dcb.fOutxCtsFlow) return 3;
    if (Dcb.fOutX) return 4;
    return 0;
}

void TComm32::fSetFCtrl(TFlowControl code)
{
    Close();
    const bool cts = code == 3 || code == 6;
    const bool xon = code == 4 || code == 5 || code == 6;
    Dcb.fOutxCtsFlow = cts ? 1 : 0;
    Dcb.fRtsControl = cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    Dcb.fOutX = xon ? 1 : 0;
    Dcb.fInX = xon ? 1 : 0;
    Dcb.fDtrControl = DTR_CONTROL_ENABLE;
    Dcb.fOutxDsrFlow = 0;
}

void TComm32::fSetDataOnly(bool v)
{
    Close();
    DataOnly = v;
}

bool TComm32::fGetDTR() const { return Active && DTR; }

void TComm32::fSetDTR(bool v)
{
    if (Active) EscapeCommFunction(v ? SETDTR : CLRDTR);
    else DTR = v;
}

bool TComm32::fGetRTS() const { return Active && RTS; }

void TComm32::fSetRTS(bool v)
{
    if (Active) EscapeCommFunction(v ? SETRTS : CLRRTS);
    else RTS = v;
}

bool TComm32::fGetCTS() const { return (ModemStatus & MS_CTS_ON) != 0; }
bool TComm32::fGetDSR() const { return (ModemStatus & MS_DSR_ON) != 0; }
bool TComm32::fGetRING() const { return (ModemStatus & MS_RING_ON) != 0; }
bool TComm32::fGetRLSD() const { return (ModemStatus & MS_RLSD_ON) != 0; }

long TComm32::fGetInBufSize() const { return InQueue->fGetBufSize(); }
long TComm32::fGetOutBufSize() const { return OutQueue->fGetBufSize(); }

bool TComm32::fSetInBufSize(long n)
{
    if (Active) return false;
    InQueue->fSetBufSize(n);
    return true;
}

bool TComm32::fSetOutBufSize(long n)
{
    if (Active) return false;
    OutQueue->fSetBufSize(n);
    return true;
}

void TComm32::fSetHwInSize(long n) { fSetHwBufSize(n, HwOutSize); }
void TComm32::fSetHwOutSize(long n) { fSetHwBufSize(HwInSize, n); }

void TComm32::fSetHwBufSize(long in, long out)
{
    Close();
    HwInSize = in;
    HwOutSize = out;
}

void TComm32::fSetAAns(unsigned char n) { AutoAnswer = n; }

void TComm32::fSetPlatform(TCommPlatform* platform)
{
    Close();
    Platform = platform != nullptr ? platform : GetDefaultCommPlatform();
}

// ---- threads ----

void TComm32::_ReadThread(void* arg) { static_cast<TComm32*>(arg)->ReadThreadBody(); }
void TComm32::_WriteThread(void* arg) { static_cast<TComm32*>(arg)->WriteThreadBody(); }

void TComm32::ReadThreadBody()
{
    const unsigned gen = ThreadGen;
    const std::shared_ptr<std::atomic<bool>> destroyed = Destroyed;
    ReadThreadId = std::this_thread::get_id();
    Platform->RaiseThreadPriority(); // best effort: needs privileges

    bool stalled = false;
    TSendLook look;
    if (Port->SetCommMask(ListenMask)) {
        while (ReaderRunning(gen)) {
            std::uint32_t mask = 0;
            look.WritesBeforeWait = Writes;
            look.Asked = false;
            const TCommWait wait = Port->WaitCommEvent(mask);
            if (wait == TCommWait::Stopped) {
                if (!ReaderRunning(gen)) break;
                // Woken while the reader is to run: the writer asks for a second look at a
                // send-empty that came while it still held bytes.
                look.Asked = true;
            }
            if (wait == TCommWait::Failed) mask = 0;
            if (!ReaderRunning(gen)) break;
            const bool waitBroughtEvents = mask != 0 || look.Asked;
            // Room came back: the driver still holds what was left there.
            const bool resumed = stalled && !RxStalled;

            if ((mask & EV_RXCHAR) || resumed) {
                stalled = false;
                mask |= ReceiveWaitingBytes(gen, stalled);
            }
            mask = TakeLineEvents(mask, look);

            // Only a wait that brought nothing is paced.
            if (mask != 0) {
                CommNotify(static_cast<int>(mask));
                if (destroyed->load()) return; // by the handler: nothing of the object is left
            } else if (!waitBroughtEvents && !resumed) {
                Sleep(1);
            }
        }
    }
    if (gen == ThreadGen) ReadThreadAlive = false;
}

bool TComm32::ReaderRunning(unsigned gen) const { return ReadThreadRun && gen == ThreadGen; }

std::uint32_t TComm32::ReceiveWaitingBytes(unsigned gen, bool& stalled)
{
    char buffer[2048];
    std::uint32_t errors = 0;
    std::uint32_t found = 0;
    COMSTAT stat;
    const bool counted = Port->ClearCommError(errors, stat);
    if (counted && errors != 0) {
        NoteLineErrors(errors);
        found |= EV_ERR;
    }
    // Without a count, read until the driver has nothing more.
    std::uint32_t n = counted ? stat.cbInQue : UINT32_MAX;
    while (n != 0 && ReaderRunning(gen)) {
        std::unique_lock<std::mutex> hold(Lock);
        // Only what fits is taken.
        const long room = InQueue->fGetRemain();
        if (room <= 0) {
            hold.unlock();
            if (StallReceiving()) {
                stalled = true;
                break;
            }
            continue;
        }
        const std::uint32_t want =
            std::min<std::uint32_t>({n, static_cast<std::uint32_t>(sizeof buffer), static_cast<std::uint32_t>(room)});
        std::uint32_t got = 0;
        const TIoResult r = Port->ReadFile(buffer, want, got);
        // Nothing there after all (purged) or the port is gone: wait for the next event.
        if (r != TIoResult::Done || got == 0) break;
        InQueue->In(buffer, static_cast<long>(got));
        found |= EV_RXCHAR;
        n -= std::min(got, n);
    }
    if (found & EV_RXCHAR) SignalDataWaiters();
    // Reported with the data that brought it, and only when asked for (DataOnly is not).
    if (found & EV_RXCHAR) found |= Port->TakeDataEvents() & ListenMask;
    return found;
}

// True when the reader is to wait for room; false when room came back meanwhile.
bool TComm32::StallReceiving()
{
    // Not listening for data, the wait does not come back at once for bytes there is no room for.
    Port->SetCommMask(ListenMask & ~EV_RXCHAR);
    // Both sides exchange RxStalled: either the reader sees the room or Read sees the stall.
    RxStalled.exchange(true);
    if (InQueue->fGetRemain() <= 0) return true;
    if (RxStalled.exchange(false)) Port->SetCommMask(ListenMask);
    return false;
}

void TComm32::ResumeReceiving()
{
    if (!RxStalled.exchange(false)) return;
    std::lock_guard<std::mutex> hold(Lock);
    if (PortOpen) Port->SetCommMask(ListenMask);
}

void TComm32::NoteLineErrors(std::uint32_t errors) { LineErrors.fetch_or(errors); }

std::uint32_t TComm32::TakeLineEvents(std::uint32_t mask, TSendLook& look)
{
    // The driver's own send-empty or the writer's request for a look, as opposed to CTS coming back.
    const bool sendLook = (mask & EV_TXEMPTY) || look.Asked;
    if (mask & ModemEventsMask) {
        std::uint32_t status = 0;
        if (Port->GetCommModemStatus(status)) ModemStatus = status;
        // CTS coming back stands for the send buffer running empty.
        if ((mask & EV_CTS) && !ExternalHandle && Dcb.fOutxCtsFlow && (ModemStatus & MS_CTS_ON)) mask |= EV_TXEMPTY;
    }
    if (look.Asked && (ListenMask & EV_TXEMPTY)) mask |= EV_TXEMPTY;

    if (mask & EV_TXEMPTY) {
        // Reported only once the whole send is done, since the package layer sends its next
        // piece on it; and once per send, a second look finding the same one reports nothing.
        std::uint32_t errors = 0;
        std::lock_guard<std::mutex> hold(Lock);
        const bool done = SendDone(look, errors);
        if (done && !(sendLook && Writes == look.ReportedAt)) look.ReportedAt = Writes;
        else mask &= ~EV_TXEMPTY;
        if (errors != 0) {
            NoteLineErrors(errors);
            mask |= EV_ERR;
        }
        // CTS back: a send the handshake held goes on.
        if (Dcb.fOutxCtsFlow && !ExternalHandle && !SendHeldByCts()) WakeWriter();
    }

    if (mask & EV_ERR) {
        std::uint32_t errors = 0;
        COMSTAT stat;
        if (Port->ClearCommError(errors, stat)) NoteLineErrors(errors);
    }
    return mask;
}

// Under Lock: nothing queued, no chunk held, and the driver empty: as the wait saw it when nothing
// was written since, else as the driver says now. While the writer holds bytes it owes a look.
bool TComm32::SendDone(const TSendLook& look, std::uint32_t& errors)
{
    if (OutQueue->fGetCount() != 0 || ChunkSent < ChunkLen) {
        TxEmptyOwed = true;
        return false;
    }
    if (!look.Asked && Writes == look.WritesBeforeWait) return true;
    COMSTAT stat;
    if (!Port->ClearCommError(errors, stat)) return true;
    return stat.cbOutQue == 0;
}

// Under Lock.
void TComm32::WakeWriter()
{
    WriterKicked = true;
    WriterWake.notify_one();
}

// Under Lock (held in hold); false when the writer is to stop.
bool TComm32::WaitWriteRequest(std::unique_lock<std::mutex>& hold)
{
    WriterWake.wait(hold, [this] { return WriterKicked || !WriteThreadRun; });
    WriterKicked = false;
    return WriteThreadRun;
}

bool TComm32::SendHeldByCts() const { return !ExternalHandle && Dcb.fOutxCtsFlow && !(ModemStatus & MS_CTS_ON); }

void TComm32::WriteThreadBody()
{
    std::unique_lock<std::mutex> hold(Lock);
    // Bytes queued while the port was closed go with the first request.
    bool run = WaitWriteRequest(hold);
    while (run && WriteThreadRun) {
        if (ChunkSent == ChunkLen) {
            if (!SendHeldByCts()) DriverHeld = false;
            if (DriverHeld || OutQueue->fGetCount() == 0) {
                // Idle: a send-empty passed over while bytes were still here is looked at now.
                if (std::exchange(TxEmptyOwed, false)) Port->WakeWaiter();
                if (!WaitWriteRequest(hold)) break;
                continue;
            }
            ChunkSent = 0;
            ChunkLen = static_cast<std::uint32_t>(OutQueue->Out(Chunk.data(), SendChunk));
            if (SendHeldByCts()) DriverHeld = true;
        }
        std::uint32_t done = 0;
        const TIoResult result = WriteToDriver(Chunk.data() + ChunkSent, ChunkLen - ChunkSent, done);
        ChunkSent += done;
        if (done > 0) continue;
        if (result == TIoResult::Failed) {
            // A port that fails outright is tried again on the next request, not at once.
            if (!WaitWriteRequest(hold)) break;
            continue;
        }
        // Full: waits for room in the driver, not for a round through the reader.
        hold.unlock();
        const bool go = Port->WaitWritable();
        hold.lock();
        if (!go) break;
    }
    WriteThreadAlive = false;
}

} // namespace KestroComm32
