// TCommQueue: a fixed-size byte ring for exactly one producer thread and one consumer thread, no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>

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

    // i + step wrapped into 0 .. size - 1, for i and step in that range: no division per call.
    static long Wrap(long i, long step, long size)
    {
        const long r = i + step;
        return r >= size ? r - size : r;
    }
    // (a - b) mod size for a and b in 0 .. size - 1.
    static long Distance(long a, long b, long size)
    {
        const long d = a - b;
        return d < 0 ? d + size : d;
    }

    long BufSize;
    alignas(LineSize) std::atomic<long> OutIndex;
    alignas(LineSize) std::atomic<long> InIndex;
    alignas(LineSize) char* Buffer;
};

// The transfers are defined here so that callers' loops get them inline: a byte-wise reader pays no
// call per byte.

inline bool TCommQueue::In(const char* p)
{
    if (Buffer == nullptr || p == nullptr || BufSize <= 0) return false;
    const long in = InIndex.load(std::memory_order_relaxed);
    const long out = OutIndex.load(std::memory_order_acquire);
    // An index outside the storage can only come from a Clear racing this call: treat as full.
    if (in < 0 || in >= BufSize) return false;
    const long next = Wrap(in, 1, BufSize);
    if (next == out) return false;
    Buffer[in] = *p;
    InIndex.store(next, std::memory_order_release);
    return true;
}

inline long TCommQueue::In(const char* p, long n)
{
    if (Buffer == nullptr || p == nullptr || n <= 0 || BufSize <= 0) return 0;
    const long in = InIndex.load(std::memory_order_relaxed);
    const long out = OutIndex.load(std::memory_order_acquire);
    if (in < 0 || in >= BufSize || out < 0 || out >= BufSize) return 0;
    const long remain = Distance(out, Wrap(in, 1, BufSize), BufSize);
    const long k = n < remain ? n : remain;
    if (k <= 0) return 0;
    const long first = k < BufSize - in ? k : BufSize - in;
    std::memcpy(Buffer + in, p, static_cast<std::size_t>(first));
    if (k > first) std::memcpy(Buffer, p + first, static_cast<std::size_t>(k - first));
    InIndex.store(Wrap(in, k, BufSize), std::memory_order_release);
    return k;
}

inline bool TCommQueue::Out(char* p)
{
    if (Buffer == nullptr || p == nullptr || BufSize <= 0) return false;
    const long out = OutIndex.load(std::memory_order_relaxed);
    const long in = InIndex.load(std::memory_order_acquire);
    if (in == out || out < 0 || out >= BufSize) return false;
    *p = Buffer[out];
    OutIndex.store(Wrap(out, 1, BufSize), std::memory_order_release);
    return true;
}

inline long TCommQueue::Out(char* p, long n)
{
    if (Buffer == nullptr || p == nullptr || n <= 0 || BufSize <= 0) return 0;
    const long out = OutIndex.load(std::memory_order_relaxed);
    const long in = InIndex.load(std::memory_order_acquire);
    if (out < 0 || out >= BufSize || in < 0 || in >= BufSize) return 0;
    const long count = Distance(in, out, BufSize);
    const long k = n < count ? n : count;
    if (k <= 0) return 0;
    const long first = k < BufSize - out ? k : BufSize - out;
    std::memcpy(p, Buffer + out, static_cast<std::size_t>(first));
    if (k > first) std::memcpy(p + first, Buffer, static_cast<std::size_t>(k - first));
    OutIndex.store(Wrap(out, k, BufSize), std::memory_order_release);
    return k;
}

} // namespace KestroComm32
