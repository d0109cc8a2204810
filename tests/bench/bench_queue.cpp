// Byte queue throughput: TCommQueue against boost::lockfree::spsc_queue, producer and consumer on two threads.
#include "bench_common.h"

#include "comm32_queue.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr long Capacity = 8192; // what a port's queues get; both queues hold 8191 bytes
constexpr long BytesPerRound = 1 << 20;

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

// One queue with its producer thread, which sleeps between rounds so that it takes no CPU from the
// other queue's round.
class TContender {
public:
    virtual ~TContender() = default;
    // Moves one round in blocks of `block` bytes; returns the seconds it took, or -1 for bytes out of order.
    virtual double Round(long block) = 0;
    std::vector<double> Rates; // MB/s of each round
    double Seconds = 0;
    long Bytes = 0;
};

template <class TQueue>
class TQueueContender : public TContender {
public:
    TQueueContender() : Producer([this] { Produce(); }) {}
    ~TQueueContender() override
    {
        Stop = true;
        Rounds.fetch_add(1);
        Rounds.notify_one();
        Producer.join();
    }

    double Round(long block) override
    {
        Block = block;
        std::vector<char> dst(static_cast<std::size_t>(block));
        const double start = bench::Wall();
        Rounds.fetch_add(1, std::memory_order_release);
        Rounds.notify_one();
        bool ok = true;
        int misses = 0;
        for (long got = 0; got < BytesPerRound;) {
            const long n = Q.Out(dst.data(), std::min(block, BytesPerRound - got));
            if (n == 0) {
                Relax(misses);
                continue;
            }
            misses = 0;
            // Bytes arrive in order: the first and last of each block carry their position.
            ok = ok && dst[0] == static_cast<char>(got) &&
                 dst[static_cast<std::size_t>(n - 1)] == static_cast<char>(got + n - 1);
            got += n;
        }
        const double t = bench::Wall() - start;
        return ok ? t : -1;
    }

private:
    void Produce()
    {
        long done = 0;
        int misses = 0;
        for (;;) {
            Rounds.wait(done, std::memory_order_acquire);
            if (Stop) return;
            ++done;
            const long block = Block;
            std::vector<char> src(static_cast<std::size_t>(block));
            for (long sent = 0; sent < BytesPerRound;) {
                const long n = std::min(block, BytesPerRound - sent);
                for (long i = 0; i < n; ++i) src[static_cast<std::size_t>(i)] = static_cast<char>(sent + i);
                for (long k = 0; k < n;) {
                    const long put = Q.In(src.data() + k, n - k);
                    if (put == 0) Relax(misses);
                    else misses = 0;
                    k += put;
                }
                sent += n;
            }
        }
    }

    TQueue Q;
    std::atomic<long> Rounds{0};
    std::atomic<bool> Stop{false};
    std::atomic<long> Block{1};
    std::thread Producer;
};

// Both queues side by side: each iteration moves one round (1 MiB) through each, in alternating
// order; reports both rates and the median over rounds of ours against boost's.
void BM_QueueSideBySide(benchmark::State& state)
{
    const long block = state.range(0);
    TQueueContender<TOurs> ours;
    TQueueContender<TBoost> boost;
    TContender* pair[2] = {&ours, &boost};
    bool oursFirst = true;
    for (auto _ : state) {
        double total = 0;
        for (int k = 0; k < 2; ++k) {
            TContender& c = *pair[(k == 0) == oursFirst ? 0 : 1];
            const double t = c.Round(block);
            if (t < 0) {
                state.SkipWithError("bytes out of order");
                return;
            }
            c.Rates.push_back(static_cast<double>(BytesPerRound) / 1e6 / t);
            c.Seconds += t;
            c.Bytes += BytesPerRound;
            total += t;
        }
        oursFirst = !oursFirst;
        state.SetIterationTime(total);
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours.Rates.size(); ++i) ratios.push_back(ours.Rates[i] / boost.Rates[i]);
    state.counters["ours_MBps"] = static_cast<double>(ours.Bytes) / 1e6 / ours.Seconds;
    state.counters["boost_MBps"] = static_cast<double>(boost.Bytes) / 1e6 / boost.Seconds;
    state.counters["ours_over_boost"] = bench::Quantile(ratios, 0.5);
}

} // namespace

// Rounds per repetition: enough for a median over rounds, few enough that 1-byte blocks stay short.
BENCHMARK(BM_QueueSideBySide)->Name("Queue")->Arg(1)->Iterations(8)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueSideBySide)->Name("Queue")->Arg(64)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueSideBySide)->Name("Queue")->Arg(512)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueSideBySide)
    ->Name("Queue")
    ->Arg(4096)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
