// Lock-free single-producer single-consumer byte ring of the serial library.
#include "comm32_queue.h"

#include "comm32_error.h"

#include <cstdlib>

namespace KestroComm32 {

TCommQueue::TCommQueue(long size) : BufSize(size), OutIndex(0), InIndex(0), Buffer(nullptr)
{
    try {
        fSetBufSize(size);
    } catch (...) {
        fSetBufSize(0);
    }
}

TCommQueue::~TCommQueue() { fSetBufSize(0); }

void TCommQueue::Clear()
{
    OutIndex.store(0, std::memory_order_release);
    InIndex.store(0, std::memory_order_release);
}

bool TCommQueue::fIsValid() const { return Buffer != nullptr; }

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

long TCommQueue::fGetBufSize() const { return BufSize; }

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

} // namespace KestroComm32
