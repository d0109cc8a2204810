// Lock-free single-producer single-consumer byte ring of the serial library.
#include "comm32_queue.h"

#include "comm32_error.h"

#include <cstdlib>
#include <cstring>

namespace KestroComm32 {

namespace {

// i + step wrapped into 0 .. size - 1, for i and step in that range: no division on the hot path.
inline long Wrap(long i, long step, long size)
{
    const long r = i + step;
    return r >= size ? r - size : r;
}

// (a - b) mod size for a and b in 0 .. size - 1.
inline long Distance(long a, long b, long size)
{
    const long d = a - b;
    return d < 0 ? d + size : d;
}

} // namespace

TCommQueue::TCommQueue(long size) : BufSize(size), OutIndex(0), InIndex(0), Buffer(nullptr)
{
    try {
        fSetBufSize(size);
    } catch (...) {
        fSetBufSize(0);
    }
}

TCommQueue::~TCommQueue()
{
    fSetBufSize(0);
}

void TCommQueue::Clear()
{
    OutIndex.store(0, std::memory_order_release);
    InIndex.store(0, std::memory_order_release);
}

bool TCommQueue::fIsValid() const
{
    return Buffer != nullptr;
}

long TCommQueue::fGetCount() const
{
    if (BufSize <= 0) return 0;
    const long in = InIndex.load(std::memory_order_acquire);
    const long out = OutIndex.load(std::memory_order_acquire);
    return Distance(in, out, BufSize);
}

long TCommQueue::fGetRemain() const
{
    if (BufSize <= 0) return 0;
    const long in = InIndex.load(std::memory_order_acquire);
    const long out = OutIndex.load(std::memory_order_acquire);
    return Distance(out, Wrap(in, 1, BufSize), BufSize);
}

long TCommQueue::fGetBufSize() const
{
    return BufSize;
}

void TCommQueue::fSetBufSize(long size)
{
    Clear();
    if (size > 0) {
        void* block = std::realloc(Buffer, static_cast<std::size_t>(size));
        if (block == nullptr) throw EComm32Error(ecOutOfMemory);
        Buffer = static_cast<char*>(block);
        BufSize = size;
    } else {
        std::free(Buffer);
        Buffer = nullptr;
    }
}

bool TCommQueue::In(const char* p)
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

long TCommQueue::In(const char* p, long n)
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

bool TCommQueue::Out(char* p)
{
    if (Buffer == nullptr || p == nullptr || BufSize <= 0) return false;
    const long out = OutIndex.load(std::memory_order_relaxed);
    const long in = InIndex.load(std::memory_order_acquire);
    if (in == out || out < 0 || out >= BufSize) return false;
    *p = Buffer[out];
    OutIndex.store(Wrap(out, 1, BufSize), std::memory_order_release);
    return true;
}

long TCommQueue::Out(char* p, long n)
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
