// The package layer: slot queues, frame decoder and encoder, send steps and the interval timer thread.
#include "comm32_package.h"

#include "comm32.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace KestroComm32 {

// ---------------------------------------------------------------------------------------------
// TCommPackageQueue

TCommPackageQueue::TCommPackageQueue(long qsize, long pkgsz) { SetQueue(qsize, pkgsz); }

TCommPackageQueue::~TCommPackageQueue() = default;

void TCommPackageQueue::SetQueue(long qsize, long pkgsz)
{
    Storage.reset();
    if (qsize <= 2) qsize = 2;
    if (pkgsz <= 32) pkgsz = 32;
    FQSize = qsize;
    FPkgSz = pkgsz;
    Clear();
    Storage.reset(new std::uint8_t[static_cast<std::size_t>(qsize) * static_cast<std::size_t>(pkgsz)]);
}

void TCommPackageQueue::Clear()
{
    OutIndex.store(0, std::memory_order_release);
    InIndex.store(0, std::memory_order_release);
}

long TCommPackageQueue::Count() const
{
    const long in = InIndex.load(std::memory_order_acquire);
    const long out = OutIndex.load(std::memory_order_acquire);
    return (in - out + FQSize) % FQSize;
}

long TCommPackageQueue::Remain() const
{
    const long in = InIndex.load(std::memory_order_acquire);
    const long out = OutIndex.load(std::memory_order_acquire);
    return (out - in - 1 + FQSize) % FQSize;
}

int TCommPackageQueue::In(const void* src) { return In(src, FPkgSz); }

int TCommPackageQueue::In(const void* src, long bytes)
{
    if (!Storage || !src || bytes < 0 || Remain() == 0) return 0;
    const std::uint32_t in = InIndex.load(std::memory_order_relaxed);
    std::memcpy(Storage.get() + static_cast<std::size_t>(in) * FPkgSz, src,
                static_cast<std::size_t>(std::min(bytes, FPkgSz)));
    InIndex.store((in + 1) % FQSize, std::memory_order_release);
    return 1;
}

const std::uint8_t* TCommPackageQueue::Front() const
{
    if (!Storage || Count() == 0) return nullptr;
    return Storage.get() + static_cast<std::size_t>(OutIndex.load(std::memory_order_relaxed)) * FPkgSz;
}

void TCommPackageQueue::Pop()
{
    if (!Storage || Count() == 0) return;
    const std::uint32_t out = OutIndex.load(std::memory_order_relaxed);
    OutIndex.store((out + 1) % FQSize, std::memory_order_release);
}

int TCommPackageQueue::Out(void* dst)
{
    if (!Storage || !dst || Count() == 0) return 0;
    const std::uint32_t out = OutIndex.load(std::memory_order_relaxed);
    std::memcpy(dst, Storage.get() + static_cast<std::size_t>(out) * FPkgSz, FPkgSz);
    OutIndex.store((out + 1) % FQSize, std::memory_order_release);
    return 1;
}

int TCommPackageQueue::Read(void* dst, long index) const
{
    if (!Storage || !dst || index < 0 || index >= Count()) return 0;
    const long slot = (OutIndex.load(std::memory_order_acquire) + index) % FQSize;
    std::memcpy(dst, Storage.get() + static_cast<std::size_t>(slot) * FPkgSz, FPkgSz);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Entry into the layer from any thread but a setter's: waits while a setter holds the layer.
// Each thread remembers which layers it is inside, so a setter called from within a handler on a
// worker thread does not wait for itself.

namespace {
constexpr int MaxNesting = 16;
thread_local const TCommPackage* tlsInside[MaxNesting];
thread_local int tlsDepth = 0;

int InsideCount(const TCommPackage* layer)
{
    int n = 0;
    for (int i = 0; i < tlsDepth && i < MaxNesting; ++i)
        if (tlsInside[i] == layer) ++n;
    return n;
}

std::uint32_t LoadLength(const std::uint8_t* record)
{
    std::uint32_t n;
    std::memcpy(&n, record, sizeof n);
    return n;
}

void StoreLength(std::uint8_t* record, std::uint32_t n) { std::memcpy(record, &n, sizeof n); }
} // namespace

class TCommPackage::TEntry {
public:
    explicit TEntry(TCommPackage* layer) : Shared(layer->Shared)
    {
        const bool nested = InsideCount(layer) > 0;
        for (;;) {
            Shared->Users.fetch_add(1);
            if (nested || Shared->Holds.load() == 0) break;
            Shared->Users.fetch_sub(1);
            while (Shared->Holds.load() != 0) std::this_thread::yield();
        }
        if (tlsDepth < MaxNesting) tlsInside[tlsDepth] = layer;
        ++tlsDepth;
    }
    ~TEntry()
    {
        --tlsDepth;
        if (tlsDepth < MaxNesting) tlsInside[tlsDepth] = nullptr;
        Shared->Users.fetch_sub(1); // not the layer: a handler may have destroyed it
    }
    TEntry(const TEntry&) = delete;
    TEntry& operator=(const TEntry&) = delete;

private:
    std::shared_ptr<TShared> Shared;
};

void TCommPackage::Hold()
{
    Shared->Holds.fetch_add(1);
    const int self = InsideCount(this);
    while (Shared->Users.load() > self) std::this_thread::yield();
}

void TCommPackage::Release() { Shared->Holds.fetch_sub(1); }

class TCommPackage::THold {
public:
    explicit THold(TCommPackage* layer) : Layer(layer) { Layer->Hold(); }
    ~THold() { Layer->Release(); }
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;

private:
    TCommPackage* Layer;
};

// ---------------------------------------------------------------------------------------------
// TCommPackage: life cycle and setters

TCommPackage::TCommPackage(TComm32* comm)
    : FComm(comm), RecvQueue(16, 4096 + PackageHeadSize), SendQueue(16, 4096 + PackageHeadSize)
{
    AllocateBuffers();
    Timer = std::thread([this] { TimerThread(); });
    if (FComm) {
        SavedHandler = FComm->OnNotify;
        FComm->OnNotify = [this](TObject* sender, int mask) { PortHook(sender, mask); };
    }
}

TCommPackage::~TCommPackage()
{
    if (FComm) FComm->OnNotify = SavedHandler;
    FRunning.store(false);
    Shared->Destroyed.store(true);
    Wake();
    // Destroyed from a handler on the timer thread, which cannot wait for itself: it is let go and
    // leaves as soon as the handler returns.
    if (Timer.get_id() == std::this_thread::get_id()) Timer.detach();
    else if (Timer.joinable()) Timer.join();
}

long TCommPackage::SlotSize() const { return std::max<long>(DataCapacity() + PackageHeadSize, 32); }

void TCommPackage::AllocateBuffers()
{
    const std::size_t slot = static_cast<std::size_t>(SlotSize());
    const std::size_t frame =
        std::max<std::size_t>(2 * static_cast<std::size_t>(DataCapacity()) + 4 + PackageHeadSize, slot);
    RecvBuffer.reset(new std::uint8_t[slot]());
    FrameBuffer.reset(new std::uint8_t[frame]());
    StageBuffer.reset(new std::uint8_t[slot]());
    RecvLength = 0;
    FrameLength = 0;
    SentCount = 0;
}

void TCommPackage::Reset()
{
    InFrame = false;
    Escaped = false;
    SentCount = 0;
    RecvLength = 0;
    FrameLength = 0;
    RecvQueue.Clear();
    SendQueue.Clear();
}

void TCommPackage::fSetActive(bool value)
{
    {
        THold hold(this);
        FActive.store(value);
        Reset();
    }
    Wake();
}

void TCommPackage::fSetQSize(long value)
{
    THold hold(this);
    const bool was = FActive.load();
    if (was) fSetActive(false);
    FQSize = value;
    RecvQueue.fSetQSize(value);
    SendQueue.fSetQSize(value);
    if (was) fSetActive(true);
}

void TCommPackage::fSetPkgSz(long value)
{
    THold hold(this);
    const bool was = FActive.load();
    if (was) fSetActive(false);
    FPkgSz = value;
    RecvQueue.fSetPkgSz(DataCapacity() + PackageHeadSize);
    SendQueue.fSetPkgSz(DataCapacity() + PackageHeadSize);
    AllocateBuffers();
    if (was) fSetActive(true);
}

void TCommPackage::fSetPkgType(TCommPackageType value)
{
    THold hold(this);
    const bool was = FActive.load();
    if (was) fSetActive(false);
    FPkgType.store(value);
    if (was) fSetActive(true);
}

void TCommPackage::fSetPkgInterval(long ms)
{
    FPkgInterval.store(ms);
    Wake();
}

void TCommPackage::fSetOnNotify(TCommNotifyEvent handler)
{
    THold hold(this);
    FOnNotify = std::move(handler);
}

void TCommPackage::CallNotify(int mask)
{
    if (!FOnNotify) return;
    try {
        FOnNotify(this, mask);
    } catch (...) {}
}

// ---------------------------------------------------------------------------------------------
// Receiving

void TCommPackage::QueueReceived()
{
    StoreLength(RecvBuffer.get(), RecvLength);
    // A compatible-type reader takes the whole record; otherwise only what the package holds moves.
    const long bytes = FPkgType.load() == cptCompatiblePkg ? RecvQueue.PkgSz() : PackageHeadSize + RecvLength;
    RecvQueue.In(RecvBuffer.get(), bytes); // a full queue loses the package
    RecvLength = 0;
}

void TCommPackage::Decode(const void* bytes, long count)
{
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (!p) return;
    // The frame state lives in locals for the piece: stores into the package would otherwise make
    // the compiler reload every member after each byte.
    const std::uint8_t head = FrameHead.load(std::memory_order_relaxed);
    const std::uint8_t ctrl = FrameCtrl.load(std::memory_order_relaxed);
    const std::uint8_t tail = FrameTail.load(std::memory_order_relaxed);
    const auto capacity = static_cast<std::uint32_t>(DataCapacity());
    std::uint8_t* data = RecvBuffer.get() + PackageHeadSize;
    bool inFrame = InFrame, escaped = Escaped;
    std::uint32_t length = RecvLength;
    for (long i = 0; i < count; ++i) {
        const std::uint8_t b = p[i];
        if (!escaped && b == head) {
            length = 0;
            inFrame = true;
        } else if (!inFrame) {
            escaped = !escaped && b == ctrl;
        } else if (!escaped && b == ctrl) {
            escaped = true;
        } else if (!escaped && b == tail) {
            RecvLength = length;
            QueueReceived();
            length = 0;
            inFrame = false;
        } else {
            if (length < capacity) data[length++] = b;
            escaped = false;
        }
    }
    InFrame = inFrame;
    Escaped = escaped;
    RecvLength = length;
}

void TCommPackage::FrameReader()
{
    std::uint8_t buf[2048];
    for (;;) {
        const int n = FComm->Read(buf, sizeof buf);
        if (n <= 0) break;
        Decode(buf, n);
    }
}

bool TCommPackage::TimeoutReader()
{
    std::uint8_t buf[2048];
    bool got = false;
    for (;;) {
        const int n = FComm->Read(buf, sizeof buf);
        if (n <= 0) break;
        got = true;
        const std::uint32_t room = static_cast<std::uint32_t>(DataCapacity()) - RecvLength;
        const std::uint32_t take = std::min<std::uint32_t>(static_cast<std::uint32_t>(n), room);
        std::memcpy(RecvBuffer.get() + PackageHeadSize + RecvLength, buf, take);
        RecvLength += take;
    }
    return got;
}

// ---------------------------------------------------------------------------------------------
// Sending

unsigned long TCommPackage::EncodeFrame(const void* data, unsigned long length, void* out) const
{
    const auto* src = static_cast<const std::uint8_t*>(data);
    auto* dst = static_cast<std::uint8_t*>(out);
    const unsigned char head = FrameHead.load(std::memory_order_relaxed);
    const unsigned char tail = FrameTail.load(std::memory_order_relaxed);
    const unsigned char ctrl = FrameCtrl.load(std::memory_order_relaxed);
    const bool dbl = FDblFrameMark.load(std::memory_order_relaxed);
    const unsigned long n = std::min<unsigned long>(length, static_cast<unsigned long>(DataCapacity()));
    unsigned long i = 0;
    if (dbl) dst[i++] = head;
    dst[i++] = head;
    for (unsigned long k = 0; k < n; ++k) {
        const std::uint8_t b = src[k];
        if (b == head || b == tail || b == ctrl) dst[i++] = ctrl;
        dst[i++] = b;
    }
    if (dbl) dst[i++] = tail;
    dst[i++] = tail;
    return i;
}

void TCommPackage::SendStep()
{
    // A caller that finds a step running leaves a request behind; the running step repeats for it.
    // Without that, a package queued just as the reader's step found nothing to send would wait for
    // a send-empty event that never comes.
    SendRequests.fetch_add(1);
    if (SendBusy.exchange(true)) return;
    for (;;) {
        SendRequests.store(0);
        try {
            SendOnePiece();
        } catch (...) {}
        SendBusy.store(false);
        if (SendRequests.load() == 0 || SendBusy.exchange(true)) return;
    }
}

void TCommPackage::SendOnePiece()
{
    std::uint8_t* frame = FrameBuffer.get() + PackageHeadSize;
    if (SentCount < FrameLength) {
        const int n = FComm ? FComm->Write(frame + SentCount, static_cast<long>(FrameLength - SentCount)) : 0;
        if (n > 0) SentCount += static_cast<std::uint32_t>(n);
    } else if (SendQueue.Count() > 0) {
        if (FPkgType.load() == cptFrameTimeout) {
            if (!SendQueue.Out(FrameBuffer.get())) return;
            FrameLength =
                std::min<std::uint32_t>(LoadLength(FrameBuffer.get()), static_cast<std::uint32_t>(DataCapacity()));
        } else {
            if (!SendQueue.Out(StageBuffer.get())) return;
            FrameLength = static_cast<std::uint32_t>(
                EncodeFrame(StageBuffer.get() + PackageHeadSize, LoadLength(StageBuffer.get()), frame));
        }
        SentCount = 0;
        const int n = FComm ? FComm->Write(frame, static_cast<long>(FrameLength)) : 0;
        if (n > 0) SentCount = static_cast<std::uint32_t>(n);
    }
}

unsigned long TCommPackage::WritePackage(const void* buffer, unsigned long size)
{
    if (!FActive.load()) return 0;
    TEntry entry(this);
    if (!FActive.load()) return 0;
    const std::size_t slot = static_cast<std::size_t>(SlotSize());
    const std::size_t record = static_cast<std::size_t>(DataCapacity() + PackageHeadSize);
    std::vector<std::uint8_t> temp(slot, 0);
    unsigned long result;
    if (FPkgType.load() == cptCompatiblePkg) {
        if (!buffer) return 0;
        std::memcpy(temp.data(), buffer, record);
        // A record claiming more than a slot holds is cut to the slot.
        if (LoadLength(temp.data()) > static_cast<std::uint32_t>(DataCapacity()))
            StoreLength(temp.data(), static_cast<std::uint32_t>(DataCapacity()));
        result = 1;
    } else {
        if (size == 0 || !buffer) return 0;
        const unsigned long n = std::min<unsigned long>(size, static_cast<unsigned long>(DataCapacity()));
        StoreLength(temp.data(), static_cast<std::uint32_t>(n));
        std::memcpy(temp.data() + PackageHeadSize, buffer, n);
        result = n;
    }
    if (!SendQueue.In(temp.data())) return 0;
    SendStep();
    return result;
}

unsigned long TCommPackage::ReadPackage(void* buffer, unsigned long size)
{
    if (!FActive.load()) return 0;
    TEntry entry(this);
    if (!FActive.load()) return 0;
    // Read in place: a package is copied once, and only as far as it goes.
    const std::uint8_t* front = RecvQueue.Front();
    if (!front) return 0;
    if (FPkgType.load() == cptCompatiblePkg) {
        if (!buffer) return 0;
        std::memcpy(buffer, front, static_cast<std::size_t>(DataCapacity() + PackageHeadSize));
        RecvQueue.Pop();
        return 1;
    }
    if (size == 0 || !buffer) return LoadLength(front);
    const unsigned long n = std::min<unsigned long>(size, LoadLength(front));
    std::memcpy(buffer, front + PackageHeadSize, n);
    RecvQueue.Pop();
    return n;
}

// Emptying a queue moves both of its indexes, so the thread on the queue's other side is held off
// meanwhile: it would otherwise see a count that covers stale slots.
void TCommPackage::PurgeRead()
{
    if (!FActive.load()) return;
    THold hold(this);
    if (FComm) FComm->PurgeRead(false);
    RecvQueue.Clear();
}

void TCommPackage::PurgeWrite()
{
    if (!FActive.load()) return;
    THold hold(this);
    SendQueue.Clear();
    if (FComm) FComm->PurgeWrite(false);
}

// ---------------------------------------------------------------------------------------------
// The port hook and the timer thread

void TCommPackage::PortHook(TObject* sender, int mask)
{
    const std::shared_ptr<TShared> shared = Shared; // the handler below may destroy this layer
    if (FActive.load()) {
        TEntry entry(this);
        if (FActive.load()) {
            int out = mask & ~(0x0001 | 0x0004);
            if ((mask & 0x0001) && FPkgType.load() != cptFrameTimeout) {
                FrameReader();
                if (RecvQueue.Count() > 0) out |= PackageReceived;
            }
            if (mask & 0x0004) {
                SendStep();
                if (SendQueue.Count() == 0) out |= PackagesSent;
            }
            if (out != 0) CallNotify(out);
        }
    }
    if (shared->Destroyed.load()) return;
    if (SavedHandler) SavedHandler(sender, mask);
}

void TCommPackage::Wake()
{
    {
        std::lock_guard<std::mutex> lock(WakeMutex);
        WakeSignalled = true;
    }
    WakeCond.notify_one();
}

void TCommPackage::TimerThread()
{
    const std::shared_ptr<TShared> shared = Shared; // the handler may destroy this layer
    FTimerAlive.store(true);
    try {
        while (FRunning.load()) {
            {
                std::unique_lock<std::mutex> lock(WakeMutex);
                if (FActive.load() && FPkgType.load() == cptFrameTimeout) {
                    // An interval of 0 or less would spin; the shortest wait is 1 ms.
                    const long ms = std::max<long>(FPkgInterval.load(), 1);
                    WakeCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return WakeSignalled; });
                } else {
                    WakeCond.wait(lock, [this] { return WakeSignalled; });
                }
                WakeSignalled = false;
            }
            if (!FActive.load() || !FRunning.load() || FPkgType.load() != cptFrameTimeout) continue;
            {
                TEntry entry(this);
                if (FActive.load() && FRunning.load() && FPkgType.load() == cptFrameTimeout && FComm) {
                    if (!TimeoutReader() && RecvLength > 0) {
                        QueueReceived();
                        CallNotify(PackageReceived);
                    }
                }
            }
            if (shared->Destroyed.load()) return; // by the handler: nothing of the layer is left
        }
    } catch (...) {}
    FTimerAlive.store(false);
}

} // namespace KestroComm32
