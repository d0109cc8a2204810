// TComm32: settings, opening and closing, modem lines, notifications and the two I/O threads.
#include "comm32.h"
#include "comm32_portinfo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <system_error>
#include <vector>

namespace KestroComm32 {

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr std::uint32_t ModemEventsMask = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
// Bounds what a platform layer may ask the writer to hand the driver in one write.
constexpr std::uint32_t MaxSendChunk = 65536;

} // namespace

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
    // Held until the rest is queued as well: a send-empty between the two would come too early.
    const bool through = count > 0 && Active && TakeSendForCaller();
    const long direct = through ? WriteThrough(bytes, count) : 0;
    const long n = direct + OutQueue->In(bytes + direct, count - direct);
    if (through) {
        WriterHolds = false;
        // Nothing left for the writer: a send-empty passed over meanwhile is looked at now.
        if (n == direct && TxEmptyOwed.exchange(false)) Platform->SetEvent(ReadStopEvent);
    }
    if (n > direct) WakeWriter();
    return static_cast<int>(n);
}

// A request into an idle port goes to the driver from the caller's thread, saving the writer's
// wake-up; only with nothing queued or held before it, so bytes keep their order.
bool TComm32::TakeSendForCaller()
{
    if (OutQueue->fGetCount() != 0 || (DriverHeld && SendHeldByCts())) return false;
    bool free = false;
    if (!WriterHolds.compare_exchange_strong(free, true)) return false;
    if (OutQueue->fGetCount() == 0 && !OutQueueHold) return true;
    WriterHolds = false;
    return false;
}

long TComm32::WriteThrough(const char* bytes, long count)
{
    ++WriteSeq;
    std::uint32_t done = 0;
    const auto want = static_cast<std::uint32_t>(std::min<long>(count, SendChunk));
    if (Platform->WriteFile(Handle, bytes, want, done) != TIoResult::Done) done = 0;
    if (done > 0) {
        ++WriteSeq;
        if (SendHeldByCts()) DriverHeld = true;
    }
    return static_cast<long>(std::min(done, want));
}

int TComm32::Command(const char* text)
{
    if (text == nullptr) return 0;
    const long n = OutQueue->In(text, static_cast<long>(std::strlen(text)));
    WakeWriter();
    return static_cast<int>(n);
}

void TComm32::PurgeRead(bool abort)
{
    if (!Active) return;
    Platform->PurgeComm(Handle, abort ? PURGE_RXCLEAR | PURGE_RXABORT : PURGE_RXCLEAR);
    InQueueHold = true;
    while (InQueueBusy) std::this_thread::yield(); // at most one block copy
    InQueue->Clear();
    InQueueHold = false;
    ResumeReceiving();
}

void TComm32::PurgeWrite(bool abort)
{
    if (!Active) return;
    Platform->PurgeComm(Handle, abort ? PURGE_TXCLEAR | PURGE_TXABORT : PURGE_TXCLEAR);
    OutQueueHold = true;
    while (OutQueueBusy) std::this_thread::yield(); // at most one chunk copy
    OutQueue->Clear();
    // After the wait: a chunk taken before the clear is old and goes too, one taken after it is not.
    ++WritePurges;
    OutQueueHold = false;
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
    if (!Active) return false;
    if (!Platform->EscapeCommFunction(Handle, static_cast<std::uint32_t>(function))) return false;
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

void TComm32::Open()
{
    if (Active) return;
    TSystemReason reason;
    int code = CheckQueues();
    if (code == 0) code = OpenHandle(reason);
    if (code == 0) code = ApplyLineSettings();
    if (code == 0) code = CreateEvents();
    if (code == 0) code = StartThreads();
    if (code != 0) {
        // The open failure is what the caller needs to hear about, not a late thread.
        try {
            Close();
        } catch (const EComm32Error&) {}
        throw EComm32Error(static_cast<TErrorCode>(code), PortName, reason);
    }

    Active = true;
    DisableWrite = false;
    std::uint32_t status = 0;
    if (Platform->GetCommModemStatus(Handle, status)) ModemStatus = status;
    DTR = Dcb.fDtrControl != DTR_CONTROL_DISABLE;
    RTS = Dcb.fRtsControl != RTS_CONTROL_DISABLE;
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
    if (ExternalHandle) {
        // A handle from outside is taken into use here; one that is no port fails like its mask would.
        if (!Platform->AttachHandle(Handle)) return ecSetCommMask;
    } else {
        Handle = Platform->CreateFile(PortName);
        if (Handle == INVALID_HANDLE_VALUE) {
            reason = Platform->LastOpenFailure();
            return ecOpenPort;
        }
    }
    HandleInUse = true;
    if (!Platform->SetCommMask(Handle, EV_RXFLAG)) return ecSetCommMask;
    if (!ExternalHandle && !Platform->SetupComm(Handle, HwInSize, HwOutSize)) return ecSetupComm;
    return 0;
}

int TComm32::ApplyLineSettings()
{
    if (ExternalHandle) {
        DCB driver;
        if (!Platform->GetCommState(Handle, driver)) return ecGetCommState;
        // The owner's line stays as the owner set it: only abort-on-error is cleared, and a record
        // that has it clear already is not written back, since on a tty that write makes the line raw.
        if (!driver.fAbortOnError) return 0;
        driver.fAbortOnError = 0;
        return Platform->SetCommState(Handle, driver) ? 0 : ecSetCommState;
    }
    if (Dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) Dcb.fDtrControl = DTR ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (Dcb.fRtsControl != RTS_CONTROL_HANDSHAKE && Dcb.fRtsControl != RTS_CONTROL_TOGGLE)
        Dcb.fRtsControl = RTS ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    const DCB copy = Dcb;
    return Platform->SetCommState(Handle, copy) ? 0 : ecSetCommState;
}

int TComm32::CreateEvents()
{
    ReadOverlapped = OVERLAPPED{};
    ReadOverlapped.hEvent = Platform->CreateEvent();
    ReadStopEvent = Platform->CreateEvent();
    if (ReadOverlapped.hEvent == INVALID_HANDLE_VALUE || ReadStopEvent == INVALID_HANDLE_VALUE)
        return ecCreateReadEvent;
    WriteOverlapped = OVERLAPPED{};
    WriteOverlapped.hEvent = Platform->CreateEvent();
    WriteRequestEvent = Platform->CreateEvent();
    WriteStopEvent = Platform->CreateEvent();
    if (WriteOverlapped.hEvent == INVALID_HANDLE_VALUE || WriteRequestEvent == INVALID_HANDLE_VALUE ||
        WriteStopEvent == INVALID_HANDLE_VALUE)
        return ecCreateWriteEvent;
    return 0;
}

int TComm32::StartThreads()
{
    ++ThreadGen;
    RxStalled = false;
    LineErrors = 0;
    WriterHolds = false;
    DriverHeld = false;
    SendChunk = std::clamp<std::uint32_t>(Platform->SendChunkSize(Handle), 1, MaxSendChunk);
    // The writer starts waiting for a request: bytes queued while closed go with the next Write.
    WriterIdle = true;
    TxEmptyOwed = false;
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
    const bool wasActive = Active;
    if (wasActive) CommBeforeClose();

    ReadThreadRun = false;
    WriteThreadRun = false;
    if (HandleInUse) Platform->SetCommMask(Handle, EV_RXFLAG);
    if (ReadStopEvent != INVALID_HANDLE_VALUE) Platform->SetEvent(ReadStopEvent);
    if (WriteStopEvent != INVALID_HANDLE_VALUE) Platform->SetEvent(WriteStopEvent);

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

    ReleaseOsResources();
    DTR = Dcb.fDtrControl != DTR_CONTROL_DISABLE;
    RTS = Dcb.fRtsControl != RTS_CONTROL_DISABLE;
    if (wasActive) {
        Active = false;
        SignalDataWaiters();
        ModemStatus = 0;
        CommNotify(ModemLinesChanged);
    }
    if (code != 0) throw EComm32Error(static_cast<TErrorCode>(code), PortName);
}

void TComm32::JoinStaleReader()
{
    if (StaleReadThread.joinable() && StaleReadThread.get_id() != std::this_thread::get_id()) StaleReadThread.join();
}

void TComm32::ReleaseOsResources()
{
    auto closeEvent = [this](THandle& event) {
        if (event != INVALID_HANDLE_VALUE) Platform->CloseEvent(event);
        event = INVALID_HANDLE_VALUE;
    };
    closeEvent(ReadOverlapped.hEvent);
    ReadOverlapped = OVERLAPPED{};
    closeEvent(ReadStopEvent);
    closeEvent(WriteRequestEvent);
    closeEvent(WriteOverlapped.hEvent);
    WriteOverlapped = OVERLAPPED{};
    closeEvent(WriteStopEvent);
    if (HandleInUse) {
        HandleInUse = false;
        if (ExternalHandle) {
            Platform->DetachHandle(Handle); // stays open and in Handle
        } else {
            Platform->CloseHandle(Handle);
            Handle = INVALID_HANDLE_VALUE;
        }
    }
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
    if (Platform->SetCommMask(Handle, ListenMask)) {
        while (ReaderRunning(gen)) {
            std::uint32_t mask = 0;
            look.SeqBeforeWait = WriteSeq;
            look.Asked = false;
            const TCommWait wait = Platform->WaitCommEvent(Handle, mask, ReadStopEvent);
            if (wait == TCommWait::Stopped) {
                if (!ReaderRunning(gen)) break;
                // Set while the reader is to run: the writer asks for a second look at a send-empty
                // that came while it still held bytes.
                Platform->ResetEvent(ReadStopEvent);
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

            // Only a wait that brought nothing is paced; a send step held back from the report above
            // is no reason to leave the next event waiting for a millisecond.
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
    const bool counted = Platform->ClearCommError(Handle, errors, stat);
    if (counted && errors != 0) {
        NoteLineErrors(errors);
        found |= EV_ERR;
    }
    // Without a count, read until the driver has nothing more.
    std::uint32_t n = counted ? stat.cbInQue : UINT32_MAX;
    while (n != 0 && ReaderRunning(gen)) {
        // Only what fits is taken; a purge under way drops what it reads, so it needs no room.
        const long room = InQueueHold ? static_cast<long>(sizeof buffer) : InQueue->fGetRemain();
        if (room <= 0) {
            if (StallReceiving()) {
                stalled = true;
                break;
            }
            continue;
        }
        const std::uint32_t want =
            std::min<std::uint32_t>({n, static_cast<std::uint32_t>(sizeof buffer), static_cast<std::uint32_t>(room)});
        std::uint32_t got = 0;
        const TIoResult r = Platform->ReadFile(Handle, buffer, want, got);
        // Nothing there after all (purged) or the port is gone: wait for the next event.
        if (r != TIoResult::Done || got == 0) break;
        InQueueBusy = true;
        if (!InQueueHold) InQueue->In(buffer, static_cast<long>(got));
        InQueueBusy = false;
        found |= EV_RXCHAR;
        n -= std::min(got, n);
    }
    if (found & EV_RXCHAR) SignalDataWaiters();
    // Reported with the data that brought it, and only when asked for (DataOnly is not).
    if (found & EV_RXCHAR) found |= Platform->TakeDataEvents(Handle) & ListenMask;
    return found;
}

// True when the reader is to wait for room; false when room came back meanwhile.
bool TComm32::StallReceiving()
{
    // Not listening for data, the wait does not come back at once for bytes there is no room for.
    Platform->SetCommMask(Handle, ListenMask & ~EV_RXCHAR);
    // Both sides exchange RxStalled: either the reader sees the room or Read sees the stall.
    RxStalled.exchange(true);
    if (InQueue->fGetRemain() <= 0 && !InQueueHold) return true;
    if (RxStalled.exchange(false)) Platform->SetCommMask(Handle, ListenMask);
    return false;
}

void TComm32::ResumeReceiving()
{
    if (RxStalled.exchange(false)) Platform->SetCommMask(Handle, ListenMask);
}

void TComm32::NoteLineErrors(std::uint32_t errors) { LineErrors.fetch_or(errors); }

std::uint32_t TComm32::TakeLineEvents(std::uint32_t mask, TSendLook& look)
{
    // The driver's own send-empty or the writer's request for a look, as opposed to CTS coming back.
    const bool sendLook = (mask & EV_TXEMPTY) || look.Asked;
    if (mask & ModemEventsMask) {
        std::uint32_t status = 0;
        if (Platform->GetCommModemStatus(Handle, status)) ModemStatus = status;
        // CTS coming back stands for the send buffer running empty.
        if ((mask & EV_CTS) && !ExternalHandle && Dcb.fOutxCtsFlow && (ModemStatus & MS_CTS_ON)) mask |= EV_TXEMPTY;
    }
    if (look.Asked && (ListenMask & EV_TXEMPTY)) mask |= EV_TXEMPTY;

    if (mask & EV_TXEMPTY) {
        // Reported only once the whole send is done, since the package layer sends its next
        // piece on it. Looked at before the writer is woken, which empties the queue.
        std::uint32_t errors = 0;
        unsigned judged = 0;
        TSendState state =
            SendState(look.Asked ? std::nullopt : std::optional<unsigned>(look.SeqBeforeWait), errors, judged);
        if (state == TSendState::InWriter) {
            // The writer finishes the send and then asks for another look; unless it already
            // finished, in which case whoever takes the flag back does the look.
            TxEmptyOwed = true;
            state = SendState(std::nullopt, errors, judged);
            if (state != TSendState::InWriter && !TxEmptyOwed.exchange(false)) state = TSendState::InWriter;
        }
        // A second look finds the send that was reported already. Compared with the sequence the
        // verdict was judged at: a write starting meanwhile moves WriteSeq and would let the stale
        // verdict through, reaching the application with its new bytes queued.
        if (state == TSendState::Done && sendLook && judged == look.ReportedSeq) state = TSendState::InWriter;
        if (state == TSendState::Done) look.ReportedSeq = judged;
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
        if (Platform->ClearCommError(Handle, errors, stat)) NoteLineErrors(errors);
    }
    return mask;
}

TComm32::TSendState TComm32::SendState(std::optional<unsigned> seqBeforeWait, std::uint32_t& errors, unsigned& judged)
{
    const unsigned seq = WriteSeq;
    judged = seq;
    // Holder first: a caller writing through queues its rest before it lets go, so a free holder
    // followed by an empty queue is not a send caught between the two.
    if (WriterHolds || OutQueue->fGetCount() != 0) return TSendState::InWriter;
    // Nothing was written while the layer looked at the driver, nor since: what it saw stands.
    if (seqBeforeWait && seq == *seqBeforeWait) return WriteSeq == seq ? TSendState::Done : TSendState::InWriter;
    // A write may have come after that look: ask the driver itself, with no write in between.
    COMSTAT stat;
    if (!Platform->ClearCommError(Handle, errors, stat)) return TSendState::Done;
    if (WriteSeq != seq) return TSendState::InWriter;
    return stat.cbOutQue == 0 ? TSendState::Done : TSendState::InDriver;
}

bool TComm32::SendHeldByCts() const { return !ExternalHandle && Dcb.fOutxCtsFlow && !(ModemStatus & MS_CTS_ON); }

void TComm32::WakeWriter()
{
    // Both sides exchange WriterIdle: either the writer sees the new work or this sees it waiting.
    if (WriterIdle.exchange(false) && WriteRequestEvent != INVALID_HANDLE_VALUE) Platform->SetEvent(WriteRequestEvent);
}

// False when the writer is to stop.
bool TComm32::WaitWriteRequest(const std::function<bool()>& canWork)
{
    // The reader passed over a send-empty while this still held bytes: it looks again now.
    if (TxEmptyOwed.exchange(false)) Platform->SetEvent(ReadStopEvent);
    Platform->ResetEvent(WriteRequestEvent);
    WriterIdle.exchange(true);
    if (canWork()) {
        WriterIdle = false;
        return WriteThreadRun;
    }
    const THandle waitFor[2] = {WriteStopEvent, WriteRequestEvent};
    const int r = Platform->WaitForMultipleObjects(2, waitFor, INFINITE);
    WriterIdle = false;
    if (!WriteThreadRun || r == 0) return false;
    if (r < 0) Sleep(1); // a failing wait must not turn into a busy loop
    return true;
}

void TComm32::WriteThreadBody()
{
    const std::uint32_t chunkSize = SendChunk;
    std::vector<char> chunk(chunkSize);
    std::uint32_t chunkLen = 0;
    std::uint32_t chunkSent = 0;
    unsigned purges = WritePurges;
    bool owned = false; // this thread holds WriterHolds
    auto mayTake = [&] {
        if (!SendHeldByCts()) DriverHeld = false;
        return !DriverHeld && !OutQueueHold && OutQueue->fGetCount() != 0;
    };
    // A caller writing through holds the send for one write and wakes this thread after it.
    auto canWork = [&] { return mayTake() && !WriterHolds; };

    const THandle waitFor[2] = {WriteStopEvent, WriteRequestEvent};
    if (Platform->WaitForMultipleObjects(2, waitFor, INFINITE) == 0 || !WriteThreadRun) {
        WriteThreadAlive = false;
        return;
    }
    WriterIdle = false;

    while (WriteThreadRun) {
        if (owned && chunkSent < chunkLen && purges != WritePurges) chunkSent = chunkLen;
        if (!owned || chunkSent == chunkLen) {
            if (owned) WriterHolds = false;
            owned = false;
            bool free = false;
            if (!mayTake() || !WriterHolds.compare_exchange_strong(free, true)) {
                if (!WaitWriteRequest(canWork)) break;
                continue;
            }
            owned = true;
            ++WriteSeq;
            OutQueueBusy = true;
            chunkLen = chunkSent = 0;
            if (!OutQueueHold) {
                purges = WritePurges;
                chunkLen = static_cast<std::uint32_t>(OutQueue->Out(chunk.data(), chunkSize));
            }
            OutQueueBusy = false;
            if (chunkLen == 0) continue;
            if (SendHeldByCts()) DriverHeld = true;
        }

        std::uint32_t done = 0;
        const TIoResult result = Platform->WriteFile(Handle, chunk.data() + chunkSent, chunkLen - chunkSent, done);
        if (result == TIoResult::Done && done > 0) {
            chunkSent += std::min(done, chunkLen - chunkSent);
            ++WriteSeq;
        } else if (result == TIoResult::Failed) {
            // A port that fails outright is tried again on the next request, not at once.
            if (!WaitWriteRequest([] { return false; })) break;
        } else if (!Platform->WaitWritable(Handle, WriteStopEvent)) {
            break; // full: waits for room in the driver, not for a round through the reader
        }
    }
    if (owned) WriterHolds = false;
    WriteThreadAlive = false;
}

} // namespace KestroComm32
