// Package decoder throughput: head/tail framed bytes through the layer's real decoder, against a bare
// state machine with the same escape rules that only copies bytes.
#include "comm32.h"
#include "comm32_package.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using KestroComm32::TCommPackage;

constexpr std::size_t StreamSize = 1 << 20;

// Random bytes; 5% of them are frame marks (head, tail or escape, head and tail most often).
std::vector<std::uint8_t> Stream()
{
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> percent(0, 99);
    const std::uint8_t marks[] = {TCommPackage::DefaultFrameHead, TCommPackage::DefaultFrameTail,
                                  TCommPackage::DefaultFrameHead, TCommPackage::DefaultFrameTail,
                                  TCommPackage::DefaultFrameCtrl};
    std::vector<std::uint8_t> s(StreamSize);
    for (auto& b : s) {
        if (percent(rng) < 5) {
            b = marks[static_cast<std::size_t>(byte(rng)) % sizeof marks];
        } else {
            do b = static_cast<std::uint8_t>(byte(rng));
            while (b == TCommPackage::DefaultFrameHead || b == TCommPackage::DefaultFrameTail ||
                   b == TCommPackage::DefaultFrameCtrl);
        }
    }
    return s;
}

// The layer's decoder as its frame reader runs it, fed in the reader's 2048-byte pieces; the
// application takes the packages off the receive queue between pieces, as it would.
void BM_DecoderOurs(benchmark::State& state)
{
    const auto stream = Stream();
    KestroComm32::TComm32 comm; // never opened: only the decoder and the queues are used
    TCommPackage pkg(&comm);
    pkg.fSetPkgType(KestroComm32::cptFrameHeadTail);
    pkg.fSetPkgSz(state.range(0));
    pkg.fSetActive(true);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(state.range(0)));
    long packages = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < stream.size(); i += 2048) {
            pkg.Decode(stream.data() + i, static_cast<long>(std::min<std::size_t>(2048, stream.size() - i)));
            while (pkg.ReadPackage(out.data(), static_cast<unsigned long>(out.size())) != 0) ++packages;
        }
    }
    if (packages == 0) state.SkipWithError("no package decoded");
    state.counters["packages_per_MB"] =
        static_cast<double>(packages) / (static_cast<double>(state.iterations()) * StreamSize / 1e6);
    state.SetBytesProcessed(state.iterations() * static_cast<long>(StreamSize));
}

// The same framing rules in a bare loop: what the decoding itself costs without the queue.
void BM_DecoderBare(benchmark::State& state)
{
    const auto stream = Stream();
    const std::size_t cap = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> buf(cap);
    long packages = 0;
    for (auto _ : state) {
        bool inFrame = false, escaped = false;
        std::size_t len = 0;
        for (const std::uint8_t b : stream) {
            if (!escaped && b == TCommPackage::DefaultFrameHead) {
                len = 0;
                inFrame = true;
            } else if (inFrame) {
                if (!escaped && b == TCommPackage::DefaultFrameCtrl) {
                    escaped = true;
                } else if (!escaped && b == TCommPackage::DefaultFrameTail) {
                    benchmark::DoNotOptimize(buf.data());
                    ++packages;
                    inFrame = false;
                } else {
                    if (len < cap) buf[len++] = b;
                    escaped = false;
                }
            } else {
                escaped = !escaped && b == TCommPackage::DefaultFrameCtrl;
            }
        }
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(packages);
    state.SetBytesProcessed(state.iterations() * static_cast<long>(StreamSize));
}

} // namespace

BENCHMARK(BM_DecoderOurs)->Name("Decoder/ours")->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecoderBare)->Name("Decoder/bare")->Arg(4096)->Unit(benchmark::kMillisecond);
