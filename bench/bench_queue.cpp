// Byte queue throughput: TCommQueue against boost::lockfree::spsc_queue, producer and consumer on two threads.
#include "comm32_queue.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

constexpr long Capacity = 8192; // what a port's queues get; both queues hold 8191 bytes
constexpr long BytesPerIteration = 1 << 20;

struct TOurs {
    KestroComm32::TCommQueue Q{Capacity};
    long In(const char* p, long n) { return Q.In(p, n); }
    long Out(char* p, long n) { return Q.Out(p, n); }
};

struct TBoost {
    boost::lockfree::spsc_queue<char> Q{static_cast<std::size_t>(Capacity - 1)};
    long In(const char* p, long n) { return static_cast<long>(Q.push(p, static_cast<std::size_t>(n))); }
    long Out(char* p, long n) { return static_cast<long>(Q.pop(p, static_cast<std::size_t>(n))); }
};

// Waiting for the other side: a short spin, then the core goes to whoever else needs it (the box has
// two cores shared with other work, and a spinning thread would hold back the one it waits for).
inline void Relax(int& misses)
{
    if (++misses < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        return;
    }
    misses = 0;
    std::this_thread::yield();
}

// Each iteration moves BytesPerIteration bytes in blocks of range(0) bytes; the producer thread lives
// for the whole run and starts a round whenever the consumer asks for one.
template <class TQueue>
void BM_Queue(benchmark::State& state)
{
    const long block = state.range(0);
    TQueue q;
    std::atomic<long> rounds{0};
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<char> src(static_cast<std::size_t>(block));
        long done = 0;
        int misses = 0;
        for (;;) {
            while (rounds.load(std::memory_order_acquire) == done) {
                if (stop.load(std::memory_order_relaxed)) return;
                Relax(misses);
            }
            ++done;
            for (long sent = 0; sent < BytesPerIteration;) {
                const long n = std::min(block, BytesPerIteration - sent);
                for (long i = 0; i < n; ++i) src[static_cast<std::size_t>(i)] = static_cast<char>(sent + i);
                for (long k = 0; k < n;) {
                    const long put = q.In(src.data() + k, n - k);
                    if (put == 0) Relax(misses);
                    else misses = 0;
                    k += put;
                }
                sent += n;
            }
        }
    });

    std::vector<char> dst(static_cast<std::size_t>(block));
    bool ok = true;
    int misses = 0;
    for (auto _ : state) {
        rounds.fetch_add(1, std::memory_order_release);
        long got = 0;
        while (got < BytesPerIteration) {
            const long n = q.Out(dst.data(), std::min(block, BytesPerIteration - got));
            if (n == 0) {
                Relax(misses);
                continue;
            }
            misses = 0;
            // Bytes arrive in order: the first and last of each block carry their position.
            ok = ok && dst[0] == static_cast<char>(got) && dst[static_cast<std::size_t>(n - 1)] == static_cast<char>(got + n - 1);
            got += n;
        }
    }
    stop = true;
    producer.join();
    if (!ok) state.SkipWithError("bytes out of order");
    state.SetBytesProcessed(state.iterations() * BytesPerIteration);
}

void Blocks(benchmark::internal::Benchmark* b)
{
    for (long size : {1, 64, 512, 4096}) b->Arg(size);
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

} // namespace

BENCHMARK(BM_Queue<TOurs>)->Name("Queue/ours")->Apply(Blocks);
BENCHMARK(BM_Queue<TBoost>)->Name("Queue/boost")->Apply(Blocks);
