// Fuzz target: the package layer's frame decoder and encoder, fed as the frame reader feeds it.
#include "fuzz_check.h"
#include "comm32_package.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

using namespace KestroComm32;

namespace {

// Independent reading of the framing: an unescaped head opens a package, ctrl escapes the next byte,
// tail closes and queues it; bytes beyond the capacity are dropped, a full queue drops the package.
struct TModel {
    unsigned char Head, Tail, Ctrl;
    std::size_t Capacity;
    std::size_t Slots;
    bool InFrame = false;
    bool Escaped = false;
    std::vector<std::uint8_t> Current;
    std::deque<std::vector<std::uint8_t>> Queue;

    void Byte(std::uint8_t b)
    {
        if (!Escaped && b == Head) {
            Current.clear();
            InFrame = true;
            return;
        }
        if (!InFrame) {
            Escaped = !Escaped && b == Ctrl;
            return;
        }
        if (!Escaped && b == Ctrl) {
            Escaped = true;
            return;
        }
        if (!Escaped && b == Tail) {
            if (Queue.size() < Slots) Queue.push_back(Current);
            Current.clear();
            InFrame = false;
            return;
        }
        Escaped = false;
        if (Current.size() < Capacity) Current.push_back(b);
    }
};

// One layer for the whole run: with no port it only decodes, and reconfiguring it each time also
// exercises the setters' rebuild.
TCommPackage& Layer()
{
    static TCommPackage layer(nullptr);
    return layer;
}

// Takes the oldest package into a buffer of exactly `size` bytes and compares it with the model's.
void TakeAndCompare(TCommPackage& layer, TModel& model, std::size_t size)
{
    auto buffer = std::make_unique<std::uint8_t[]>(size);
    const unsigned long n = layer.ReadPackage(buffer.get(), size);
    if (model.Queue.empty()) {
        Check(n == 0, "nothing to read");
        return;
    }
    const std::vector<std::uint8_t> want = model.Queue.front();
    model.Queue.pop_front();
    Check(n == std::min(size, want.size()), "package length, cut to the buffer");
    Check(n == 0 || std::memcmp(buffer.get(), want.data(), n) == 0, "package bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    TCommPackage& layer = Layer();
    layer.fSetActive(false);
    const long pkgSz = in.ConsumeIntegralInRange<long>(-4, 96);
    const long qsize = in.ConsumeIntegralInRange<long>(0, 8);
    layer.fSetPkgType(cptFrameHeadTail);
    layer.fSetPkgSz(pkgSz);
    layer.fSetQSize(qsize);
    TModel model;
    model.Head = in.ConsumeIntegral<unsigned char>();
    model.Tail = in.ConsumeIntegral<unsigned char>();
    model.Ctrl = in.ConsumeIntegral<unsigned char>();
    model.Capacity = static_cast<std::size_t>(std::max<long>(pkgSz, 0));
    model.Slots = static_cast<std::size_t>(std::max<long>(qsize, 2) - 1);
    layer.FrameHead.store(model.Head);
    layer.FrameTail.store(model.Tail);
    layer.FrameCtrl.store(model.Ctrl);
    layer.fSetDblFrameMark(in.ConsumeBool());
    layer.fSetActive(true);
    Check(layer.ReceivedCount() == 0, "activation empties the queue");

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: { // a peek at the oldest package's length
            const unsigned long n = layer.ReadPackage(nullptr, 0);
            Check(n == (model.Queue.empty() ? 0 : model.Queue.front().size()), "peeked length");
            break;
        }
        case 1: TakeAndCompare(layer, model, in.ConsumeIntegralInRange<std::size_t>(1, 100)); break;
        case 2: { // a payload framed by the encoder comes back whole after a fresh start
            const std::vector<std::uint8_t> payload = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint8_t>());
            std::vector<std::uint8_t> frame(2 * model.Capacity + 4);
            const unsigned long n = layer.EncodeFrame(payload.data(), payload.size(), frame.data());
            const std::size_t kept = std::min(payload.size(), model.Capacity);
            Check(n <= frame.size() && n >= kept + 2, "frame length");
            if (model.Head == model.Tail || model.Head == model.Ctrl || model.Tail == model.Ctrl) break;
            layer.fSetActive(false);
            layer.fSetActive(true);
            model.Queue.clear();
            model.Current.clear();
            model.InFrame = model.Escaped = false;
            layer.Decode(frame.data(), static_cast<long>(n));
            for (unsigned long i = 0; i < n; ++i) model.Byte(frame[i]);
            Check(model.Queue.size() == 1 &&
                      model.Queue.front() ==
                          std::vector<std::uint8_t>(payload.begin(), payload.begin() + static_cast<long>(kept)),
                  "encoded frame decodes to its payload");
            TakeAndCompare(layer, model, model.Capacity + 1);
            break;
        }
        default: { // received bytes, in a chunk as the reader would take them
            const std::vector<std::uint8_t> chunk = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint8_t>());
            layer.Decode(chunk.data(), static_cast<long>(chunk.size()));
            for (std::uint8_t b : chunk) model.Byte(b);
            break;
        }
        }
        Check(static_cast<std::size_t>(layer.ReceivedCount()) == model.Queue.size(), "queued package count");
    }
    while (!model.Queue.empty()) TakeAndCompare(layer, model, model.Capacity + 1);
    Check(layer.ReceivedCount() == 0, "queue drained");
    return 0;
}
