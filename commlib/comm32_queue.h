// TCommQueue: a fixed-size byte ring for exactly one producer thread and one consumer thread, no lock.
#pragma once

#include <atomic>
#include <cstddef>

namespace KestroComm32 {

// Holds at most BufSize - 1 bytes. In touches only InIndex, Out only OutIndex; each stores its index
// with release after copying and reads the other side's index with acquire, so a consumer never sees
// bytes before they are written. Clear and fSetBufSize belong to the owner and must not run while a
// producer or consumer is inside In or Out: the index that thread stores last would make old slots
// count again.
class TCommQueue {
public:
    // Never throws: storage that cannot be had leaves an invalid queue (IsValid false).
    explicit TCommQueue(long size);
    virtual ~TCommQueue();

    TCommQueue(const TCommQueue&) = delete;
    TCommQueue& operator=(const TCommQueue&) = delete;

    // Empties the queue (both indexes 0).
    void Clear();

    bool fIsValid() const;
    long fGetCount() const;  // bytes waiting; 0 when BufSize is 0
    long fGetRemain() const; // room left; Count + Remain = BufSize - 1 while BufSize > 0
    long fGetBufSize() const;

    // Empties the queue, then for size > 0 reallocates the storage to size bytes (throws
    // EComm32Error(1) and keeps the old storage and size when that fails); for size <= 0 releases
    // the storage and keeps the last BufSize.
    void fSetBufSize(long size);

    // Property-style readers.
    bool IsValid() const { return fIsValid(); }
    long Count() const { return fGetCount(); }
    long Remain() const { return fGetRemain(); }
    long Size() const { return fGetBufSize(); }

    // One byte; false when invalid, p is null or the queue is full.
    bool In(const char* p);
    // Up to n bytes, as many as fit; returns the count taken (0 when invalid, n <= 0 or p null).
    long In(const char* p, long n);
    // One byte; false when invalid, p is null or the queue is empty.
    bool Out(char* p);
    // Up to n bytes, as many as wait; returns the count (0 when invalid, n <= 0 or p null).
    long Out(char* p, long n);

private:
    // Each index on a cache line of its own, apart from the fields both sides only read: a producer
    // storing InIndex must not take the consumer's line away on every byte, nor the other way round.
    static constexpr std::size_t LineSize = 64;
    long BufSize;
    alignas(LineSize) std::atomic<long> OutIndex;
    alignas(LineSize) std::atomic<long> InIndex;
    alignas(LineSize) char* Buffer;
};

} // namespace KestroComm32
