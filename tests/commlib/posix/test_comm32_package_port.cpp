// Package layer on a real port object over a pseudo-terminal: timeout packages, frames both ways, reconfiguration under traffic.
#include "comm32.h"
#include "comm32_package.h"
#include "pty_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>

using namespace KestroComm32;
using namespace ptytest;
using commtest::NoteThreadEnd;
using namespace std::chrono_literals;

namespace {

struct TNote {
    int Mask;
    Clock::time_point When;
    std::thread::id Thread;
};

// A port on the pty's slave with a layer on it. The port closes before the layer goes.
struct TLayerOnPty {
    TPty Pty;
    TComm32 Port;
    std::unique_ptr<TCommPackage> Layer;
    std::mutex Lock;
    std::vector<TNote> Notes;

    explicit TLayerOnPty(TCommPackageType type)
    {
        Port.fSetPortName(Pty.SlavePath);
        Layer = std::make_unique<TCommPackage>(&Port);
        Layer->fSetPkgType(type);
        Layer->fSetOnNotify([this](TObject* sender, int mask) {
            EXPECT_EQ(sender, Layer.get());
            std::lock_guard<std::mutex> g(Lock);
            Notes.push_back({mask, Clock::now(), std::this_thread::get_id()});
        });
    }
    ~TLayerOnPty()
    {
        try {
            Port.fSetActive(false);
        } catch (...) {}
        Layer.reset();
    }

    void Start()
    {
        Layer->fSetActive(true);
        Port.fSetActive(true);
    }

    std::vector<TNote> NotesCopy()
    {
        std::lock_guard<std::mutex> g(Lock);
        return Notes;
    }

    bool HasMask(int bits)
    {
        std::lock_guard<std::mutex> g(Lock);
        for (const auto& n : Notes)
            if ((n.Mask & bits) == bits) return true;
        return false;
    }

    Bytes Frame(const Bytes& data) const
    {
        Bytes out(2 * static_cast<std::size_t>(Layer->PkgSz()) + 4);
        out.resize(Layer->EncodeFrame(data.data(), data.size(), out.data()));
        return out;
    }
};

Bytes Iota(std::size_t n, std::uint8_t first, std::uint8_t modulo = 200)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((first + i) % modulo);
    return b;
}

} // namespace

TEST(PackageOnPort, TimeoutPackageEndsAfterASilence)
{
    TLayerOnPty t(cptFrameTimeout);
    ASSERT_TRUE(t.Pty.Ok());
    t.Start();
    ASSERT_TRUE(t.Port.fGetActive());

    // Ten bytes 10 ms apart stay one package; the pause after them ends it.
    Clock::time_point last;
    for (std::uint8_t i = 1; i <= 10; ++i) {
        t.Pty.Send({i});
        last = Clock::now();
        if (i < 10) std::this_thread::sleep_for(10ms); // pacing of the sender, not a wait for a result
    }
    ASSERT_TRUE(WaitFor([&] { return t.Layer->ReceivedCount() > 0; }, 3s));
    ASSERT_TRUE(WaitFor([&] { return t.HasMask(0x0001); }, 3s));
    std::this_thread::sleep_for(120ms); // the silence: nothing more may turn up in it
    EXPECT_EQ(t.Layer->ReceivedCount(), 1);

    Bytes buf(64);
    ASSERT_EQ(t.Layer->ReadPackage(buf.data(), buf.size()), 10u);
    buf.resize(10);
    EXPECT_EQ(buf, Iota(10, 1));

    const auto notes = t.NotesCopy();
    int packages = 0;
    for (const auto& n : notes) {
        if (n.Mask == 0x0038) continue; // the port's modem-line report on opening passes through
        EXPECT_EQ(n.Mask, 0x0001);
        EXPECT_NE(n.Thread, std::this_thread::get_id());
        const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(n.When - last).count();
        EXPECT_GE(after, 25) << "package ended before the interval ran out";
        EXPECT_LE(after, 1500);
        ++packages;
    }
    EXPECT_EQ(packages, 1);
}

TEST(PackageOnPort, FramesArriveWithTheirMaskAndShortReadsTakeThePackage)
{
    TLayerOnPty t(cptFrameHeadTail);
    ASSERT_TRUE(t.Pty.Ok());
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return t.HasMask(0x0038); }, 3s)); // passed through from the port's open

    t.Pty.Send(t.Frame(Iota(10, 1)));
    ASSERT_TRUE(WaitFor([&] { return t.Layer->ReceivedCount() == 1; }, 3s));
    ASSERT_TRUE(WaitFor([&] { return t.HasMask(0x0001); }, 3s));
    std::uint8_t three[3] = {};
    EXPECT_EQ(t.Layer->ReadPackage(three, 3), 3u);
    EXPECT_EQ(three[0], 1);
    EXPECT_EQ(three[2], 3);
    EXPECT_EQ(t.Layer->ReceivedCount(), 0); // the other seven bytes went with it

    // A frame that comes in pieces is put together.
    const Bytes frame = t.Frame({0xEB, 0xEE, 0xEC, 0x00});
    t.Pty.Send(Bytes(frame.begin(), frame.begin() + 3));
    std::this_thread::sleep_for(20ms); // pacing: let the first piece be read on its own
    t.Pty.Send(Bytes(frame.begin() + 3, frame.end()));
    ASSERT_TRUE(WaitFor([&] { return t.Layer->ReceivedCount() == 1; }, 3s));
    Bytes buf(16);
    ASSERT_EQ(t.Layer->ReadPackage(buf.data(), buf.size()), 4u);
    buf.resize(4);
    EXPECT_EQ(buf, (Bytes{0xEB, 0xEE, 0xEC, 0x00}));
}

TEST(PackageOnPort, SendQueueRefusesTheSixteenthWaitingPackageThenDrainsInOrder)
{
    TLayerOnPty t(cptFrameHeadTail);
    ASSERT_TRUE(t.Pty.Ok());
    t.Start();
    t.Port.DisableWrite = true; // the port takes nothing: the first frame waits, the rest queue up

    Bytes expected = {'X'};
    for (int i = 0; i < 16; ++i) {
        const Bytes data = Iota(20, static_cast<std::uint8_t>(i * 3), 0xFF);
        ASSERT_EQ(t.Layer->WritePackage(data.data(), data.size()), 20u) << i;
        const Bytes f = t.Frame(data);
        expected.insert(expected.end(), f.begin(), f.end());
    }
    EXPECT_EQ(t.Layer->SendCount(), 15);
    const Bytes more = {1, 2, 3};
    EXPECT_EQ(t.Layer->WritePackage(more.data(), more.size()), 0u);

    // Once the port takes bytes again, each send-empty event moves the next frame.
    t.Port.DisableWrite = false;
    ASSERT_EQ(t.Port.Command("X"), 1);
    const Bytes got = t.Pty.Receive(expected.size(), 5s);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(WaitFor([&] { return t.HasMask(0x0004); }, 3s));
    EXPECT_EQ(t.Layer->SendCount(), 0);
}

TEST(PackageOnPort, OversizedPackageIsCutToPkgSz)
{
    TLayerOnPty t(cptFrameHeadTail);
    ASSERT_TRUE(t.Pty.Ok());
    t.Start();
    const Bytes data = Iota(5000, 0);
    ASSERT_EQ(t.Layer->WritePackage(data.data(), data.size()), 4096u);
    Bytes expected = {0xEB};
    expected.insert(expected.end(), data.begin(), data.begin() + 4096);
    expected.push_back(0xEE);
    EXPECT_EQ(t.Pty.Receive(expected.size(), 3s), expected);
    EXPECT_TRUE(t.Pty.Receive(1, 100ms).empty()); // and nothing of the cut bytes follows
}

TEST(PackageOnPort, TimeoutTypeSendsRawBytes)
{
    TLayerOnPty t(cptFrameTimeout);
    ASSERT_TRUE(t.Pty.Ok());
    t.Start();
    const Bytes data = {0xEB, 0x01, 0xEE, 0xEC};
    ASSERT_EQ(t.Layer->WritePackage(data.data(), data.size()), 4u);
    EXPECT_EQ(t.Pty.Receive(data.size(), 3s), data);
}

// Reconfiguration holds the reader and the timer thread off while the buffers are rebuilt; run it
// hard against a stream of frames (ThreadSanitizer checks the rest).
TEST(PackageOnPort, ReconfigurationUnderTrafficIsSafe)
{
    TLayerOnPty t(cptFrameHeadTail);
    ASSERT_TRUE(t.Pty.Ok());
    t.Start();
    std::atomic<bool> stop{false};
    const Bytes frame = t.Frame(Iota(100, 7));
    std::thread sender([&] {
        while (!stop.load()) {
            t.Pty.Send(frame);
            std::this_thread::sleep_for(1ms);
        }
    });
    Bytes buf(8192);
    const TCommPackageType types[] = {cptFrameHeadTail, cptFrameTimeout, cptCompatiblePkg};
    for (int i = 0; i < 150; ++i) {
        switch (i % 5) {
        case 0: t.Layer->fSetPkgSz(64 + (i % 3) * 100); break;
        case 1: t.Layer->fSetQSize(2 + i % 7); break;
        case 2: t.Layer->fSetPkgType(types[i % 3]); break;
        case 3: t.Layer->fSetActive(i % 2 == 0); break;
        default: t.Layer->fSetPkgInterval(5 + i % 20); break;
        }
        t.Layer->ReadPackage(buf.data(), buf.size());
        t.Layer->WritePackage(frame.data(), 10);
        if (i % 7 == 0) t.Layer->PurgeRead();
        if (i % 11 == 0) t.Layer->PurgeWrite();
        std::this_thread::sleep_for(1ms);
    }
    stop = true;
    sender.join();

    // Settled again, the layer works as before.
    t.Layer->fSetPkgSz(4096);
    t.Layer->fSetPkgType(cptFrameHeadTail);
    t.Layer->fSetActive(true);
    // Every package read from now on is whole: a frame cut by a restart has lost its head.
    const Bytes marker = Iota(30, 1);
    const Bytes streamed = Iota(100, 7);
    // On a loaded machine the stream can still fill the pty and then the port's byte queue in one
    // read, and the port drops what does not fit; so the marker goes again until it comes through.
    t.Pty.Send(t.Frame(marker));
    auto lastSent = Clock::now();
    bool seen = false;
    EXPECT_TRUE(WaitFor(
        [&] {
            const unsigned long n = t.Layer->ReadPackage(buf.data(), buf.size());
            if (n == 0) {
                if (Clock::now() - lastSent > 200ms) {
                    t.Pty.Send(t.Frame(marker));
                    lastSent = Clock::now();
                }
                return false;
            }
            const Bytes got(buf.begin(), buf.begin() + static_cast<long>(n));
            if (got == marker) seen = true;
            else EXPECT_EQ(got, streamed);
            return seen;
        },
        10s));
    EXPECT_TRUE(seen);
}

TEST(PackageOnPort, DestroyedLayerIsNotCalledAgainAndGivesTheHandlerBack)
{
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    TComm32 port;
    port.fSetPortName(pty.SlavePath);
    std::atomic<int> below{0};
    port.OnNotify = [&](TObject*, int) { ++below; };
    std::atomic<int> calls{0};
    for (int round = 0; round < 10; ++round) {
        auto layer = std::make_unique<TCommPackage>(&port);
        layer->fSetOnNotify([&](TObject*, int) { ++calls; });
        layer->fSetPkgInterval(1);
        layer->fSetActive(true);
        port.fSetActive(true);
        pty.Send({1, 2, 3});
        ASSERT_TRUE(WaitFor([&] { return layer->ReceivedCount() > 0; }, 3s));
        port.fSetActive(false);
        layer.reset();
        const int after = calls.load();
        pty.Send({4});
        std::this_thread::sleep_for(5ms); // give a stray timer a chance it must not take
        EXPECT_EQ(calls.load(), after);
    }
    // The port's own handler kept getting its events under the layer, and has them again now.
    EXPECT_GT(below.load(), 0);
    const int before = below.load();
    port.fSetActive(true);
    port.fSetActive(false);
    EXPECT_GT(below.load(), before);
}

// Deleted by its own handler (after closing the port, as the layer asks), on the timer thread
// (timeout packages) or on the port's reader (frames): no thread waits for itself, the handler's
// thread leaves without touching the freed layer (AddressSanitizer reports any access), and the port
// has its own handler back.
TEST(PackageOnPort, LayerDestroyedByItsOwnHandlerLetsItsThreadGo)
{
    for (const TCommPackageType type : {cptFrameTimeout, cptFrameHeadTail}) {
        SCOPED_TRACE(type);
        TPty pty;
        ASSERT_TRUE(pty.Ok());
        TComm32 port;
        port.fSetPortName(pty.SlavePath);
        std::atomic<int> below{0};
        port.OnNotify = [&](TObject*, int mask) {
            if (mask & EV_RXCHAR) ++below;
        };
        auto* layer = new TCommPackage(&port);
        layer->fSetPkgType(type);
        layer->fSetPkgInterval(1);
        std::atomic<bool> deleted{false};
        std::atomic<bool> threadEnded{false};
        layer->fSetOnNotify([layer, &port, &deleted, &threadEnded](TObject*, int mask) {
            if (!(mask & TCommPackage::PackageReceived)) return;
            // The closure goes with the layer: keep what is needed after the delete.
            std::atomic<bool>* done = &deleted;
            NoteThreadEnd(threadEnded);
            try {
                port.Close();
            } catch (const EComm32Error&) { // a thread late on a loaded machine: closed all the same
            }
            delete layer;
            done->store(true);
        });
        layer->fSetActive(true);
        port.Open();
        pty.Send(type == cptFrameTimeout ? Bytes{1, 2, 3} : Bytes{0xEB, 1, 2, 3, 0xEE});
        ASSERT_TRUE(WaitFor([&] { return deleted.load(); }));
        EXPECT_TRUE(WaitFor([&] { return threadEnded.load(); }));
        port.Open();
        const int before = below.load();
        pty.Send({4});
        EXPECT_TRUE(WaitFor([&] { return below.load() > before; }));
    }
}
