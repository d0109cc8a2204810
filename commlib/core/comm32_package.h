// TCommPackageQueue and TCommPackage: the package layer that cuts a port's byte stream into packages.
#pragma once

#include "comm32_types.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace KestroComm32 {

class TComm32;

// One package as it lies in every buffer and queue slot: Length, then the data bytes. The record
// really holds as many data bytes as the buffer around it (PkgSz for a queue slot).
struct TCommPackageHead {
    std::uint32_t Length;
    std::uint8_t Data[1];
};
inline constexpr long PackageHeadSize = offsetof(TCommPackageHead, Data);

enum TCommPackageType : int {
    cptCompatiblePkg = 0, // framed on the line; whole package records are exchanged
    cptFrameHeadTail = 1, // head byte, escaped data, tail byte
    cptFrameTimeout = 2,  // a package ends with a silence of PkgInterval ms
};

// A ring of QSize fixed-size slots for one producer thread and one consumer thread, no lock.
// One slot always stays empty, so at most QSize - 1 packages fit. In writes only the in index and
// Out only the out index, each with release after its slot copy; the other side reads with acquire.
// SetQueue, Clear and the setters belong to the owner and must not race with a producer or consumer.
class TCommPackageQueue {
public:
    TCommPackageQueue(long qsize, long pkgsz);
    virtual ~TCommPackageQueue();

    TCommPackageQueue(const TCommPackageQueue&) = delete;
    TCommPackageQueue& operator=(const TCommPackageQueue&) = delete;

    // Drops the storage, raises the slot count to at least 2 and the slot size to at least 32,
    // empties the queue and allocates qsize * pkgsz bytes.
    void SetQueue(long qsize, long pkgsz);

    // Copies one whole slot from src; 0 when there is no storage or no room, else 1.
    int In(const void* src);
    // The same for the first bytes of a slot only (a short package in a large slot); the rest of
    // the slot keeps what it held.
    int In(const void* src, long bytes);
    // Copies the oldest slot into dst and removes it; 0 when there is no storage or nothing waits.
    int Out(void* dst);
    // Copies the slot index places after the oldest without removing it; 0 when there is none.
    int Read(void* dst, long index) const;
    // The oldest slot in place, for the consumer to read without a copy, then Pop; nullptr when
    // nothing waits. The producer leaves the slot alone until Pop.
    const std::uint8_t* Front() const;
    void Pop();
    void Clear();

    long Count() const;
    long Remain() const;
    bool IsValid() const { return Storage != nullptr; }
    long QSize() const { return FQSize; }
    long PkgSz() const { return FPkgSz; }
    void fSetQSize(long qsize) { SetQueue(qsize, FPkgSz); }
    void fSetPkgSz(long pkgsz) { SetQueue(FQSize, pkgsz); }

private:
    std::unique_ptr<std::uint8_t[]> Storage;
    std::atomic<std::uint32_t> OutIndex{0};
    std::atomic<std::uint32_t> InIndex{0};
    long FQSize = 2;
    long FPkgSz = 32;
};

// The package layer over one port object. It takes over the port's OnNotify on construction (the
// handler it replaced is called after its own work) and gives it back on destruction; construct and
// destroy it while the port is closed. Setters belong to the application's thread. Reconfiguration
// holds the port's reader thread and the timer thread off until the layer is rebuilt.
class TCommPackage : public TObject {
public:
    static constexpr unsigned char DefaultFrameHead = 0xEB;
    static constexpr unsigned char DefaultFrameTail = 0xEE;
    static constexpr unsigned char DefaultFrameCtrl = 0xEC;

    // Notification bits the layer raises; every other bit of the port's mask passes through.
    static constexpr int PackageReceived = 0x0001;
    static constexpr int PackagesSent = 0x0004;

    explicit TCommPackage(TComm32* comm);
    ~TCommPackage() override;

    TCommPackage(const TCommPackage&) = delete;
    TCommPackage& operator=(const TCommPackage&) = delete;

    // Takes one received package: in cptCompatiblePkg a whole record of PkgSz data bytes (returns 1);
    // otherwise up to size bytes of it (the rest is dropped). Size 0 or a null buffer only reports
    // the oldest package's length. 0 when inactive or nothing waits.
    virtual unsigned long ReadPackage(void* buffer, unsigned long size);
    // Queues one package for sending: in cptCompatiblePkg a whole record (returns 1); otherwise the
    // first min(size, PkgSz) bytes (returns that count). 0 when inactive, refused or the queue is full.
    virtual unsigned long WritePackage(const void* buffer, unsigned long size);
    virtual void PurgeRead();
    virtual void PurgeWrite();
    // Calls the notification handler, when set, with this layer and mask; its exceptions are dropped.
    virtual void CallNotify(int mask);

    bool Active() const { return FActive.load(); }
    void fSetActive(bool value);
    long QSize() const { return FQSize; }
    void fSetQSize(long value);
    long PkgSz() const { return FPkgSz; }
    void fSetPkgSz(long value);
    TCommPackageType PkgType() const { return FPkgType.load(); }
    void fSetPkgType(TCommPackageType value);
    long PkgInterval() const { return FPkgInterval.load(); }
    void fSetPkgInterval(long ms);
    bool DblFrameMark() const { return FDblFrameMark.load(); }
    void fSetDblFrameMark(bool value) { FDblFrameMark.store(value); }

    // The handler for the layer's notifications; replacing it waits until no thread is inside one.
    void fSetOnNotify(TCommNotifyEvent handler);

    // Frame bytes: plain values read at every use (the frame settings object writes them directly).
    std::atomic<unsigned char> FrameHead{DefaultFrameHead};
    std::atomic<unsigned char> FrameTail{DefaultFrameTail};
    std::atomic<unsigned char> FrameCtrl{DefaultFrameCtrl};

    TComm32* Comm() const { return FComm; }
    long ReceivedCount() const { return RecvQueue.Count(); } // packages waiting to be read
    long SendCount() const { return SendQueue.Count(); }     // packages waiting to be sent
    bool TimerAlive() const { return FTimerAlive.load(); }

    // Runs bytes through the receive decoder of the framed types (what the frame reader does with
    // every byte it takes from the port).
    void Decode(const void* bytes, long count);
    // Encodes the first min(length, PkgSz) bytes of data as one frame into out, which must hold
    // 2 * PkgSz + 4 bytes; returns the frame length.
    unsigned long EncodeFrame(const void* data, unsigned long length, void* out) const;

private:
    class TEntry;
    class THold;
    friend class TEntry;
    friend class THold;

    void PortHook(TObject* sender, int mask);
    void FrameReader();
    bool TimeoutReader();
    void SendStep();
    void SendOnePiece();
    void QueueReceived();
    void Reset();
    void AllocateBuffers();
    void TimerThread();
    void Wake();
    long DataCapacity() const { return FPkgSz > 0 ? FPkgSz : 0; }
    long SlotSize() const;

    // Holds every other thread out of the layer (they wait at their next entry) until Release.
    void Hold();
    void Release();

    std::atomic<bool> FActive{false};
    std::atomic<bool> FDblFrameMark{false};
    bool InFrame = false;
    bool Escaped = false;
    std::uint32_t SentCount = 0;
    TComm32* FComm;
    TCommNotifyEvent SavedHandler;
    TCommNotifyEvent FOnNotify;
    TCommPackageQueue RecvQueue;
    TCommPackageQueue SendQueue;
    std::unique_ptr<std::uint8_t[]> RecvBuffer;
    std::unique_ptr<std::uint8_t[]> FrameBuffer;
    std::unique_ptr<std::uint8_t[]> StageBuffer;
    std::uint32_t RecvLength = 0;
    std::uint32_t FrameLength = 0;
    long FQSize = 16;
    long FPkgSz = 4096;
    std::atomic<TCommPackageType> FPkgType{cptFrameTimeout};
    std::atomic<bool> SendBusy{false};
    std::atomic<int> SendRequests{0};
    std::atomic<long> FPkgInterval{50};
    std::atomic<bool> FRunning{true};
    std::atomic<bool> FTimerAlive{false};

    // The wake event: auto-reset.
    std::mutex WakeMutex;
    std::condition_variable WakeCond;
    bool WakeSignalled = false;

    // What a thread inside the layer still touches once a handler returns. That thread holds its own
    // reference, since the handler may have destroyed the layer.
    struct TShared {
        std::atomic<int> Users{0};
        std::atomic<int> Holds{0};
        std::atomic<bool> Destroyed{false};
    };
    std::shared_ptr<TShared> Shared = std::make_shared<TShared>();

    std::thread Timer;
};

} // namespace KestroComm32
