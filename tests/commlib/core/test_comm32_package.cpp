// Package layer without a port: slot queue, frame decoder and encoder, package reads and writes.
#include "comm32_package.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

using namespace KestroComm32;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint8_t> Slot(long size, std::uint32_t length, std::uint8_t fill)
{
    std::vector<std::uint8_t> s(static_cast<std::size_t>(size), fill);
    std::memcpy(s.data(), &length, sizeof length);
    return s;
}

std::uint32_t LengthOf(const std::vector<std::uint8_t>& slot)
{
    std::uint32_t n;
    std::memcpy(&n, slot.data(), sizeof n);
    return n;
}

// All packages waiting in an active layer, read with a buffer large enough for each.
std::vector<Bytes> Drain(TCommPackage& p)
{
    std::vector<Bytes> out;
    Bytes buf(static_cast<std::size_t>(p.PkgSz()) + 16);
    while (p.ReceivedCount() > 0) {
        const unsigned long n = p.ReadPackage(buf.data(), buf.size());
        out.emplace_back(buf.begin(), buf.begin() + static_cast<long>(n));
    }
    return out;
}

std::vector<Bytes> DecodeAll(TCommPackage& p, const Bytes& in)
{
    p.Decode(in.data(), static_cast<long>(in.size()));
    return Drain(p);
}

Bytes Encode(const TCommPackage& p, const Bytes& data)
{
    Bytes out(2 * static_cast<std::size_t>(p.PkgSz()) + 4);
    out.resize(p.EncodeFrame(data.data(), data.size(), out.data()));
    return out;
}

} // namespace

TEST(PackageQueue, SizesAreRaisedAndOneSlotStaysFree)
{
    TCommPackageQueue q(1, 20);
    EXPECT_EQ(q.QSize(), 2);
    EXPECT_EQ(q.PkgSz(), 32);
    EXPECT_TRUE(q.IsValid());
    auto a = Slot(32, 5, 0xA1);
    EXPECT_EQ(q.In(a.data()), 1);
    EXPECT_EQ(q.Count(), 1);
    EXPECT_EQ(q.Remain(), 0);
    EXPECT_EQ(q.In(a.data()), 0); // two slots hold one package
    std::vector<std::uint8_t> out(32, 0);
    EXPECT_EQ(q.Out(out.data()), 1);
    EXPECT_EQ(out, a);
    EXPECT_EQ(q.Out(out.data()), 0);
}

TEST(PackageQueue, KeepsOrderAcrossTheWrapAndPeeksWithoutRemoving)
{
    TCommPackageQueue q(4, 40);
    std::vector<std::uint8_t> out(40);
    std::uint8_t next = 0, expect = 0;
    for (int round = 0; round < 5; ++round) {
        while (q.Remain() > 0) {
            auto s = Slot(40, next, next);
            ASSERT_EQ(q.In(s.data()), 1);
            ++next;
        }
        EXPECT_EQ(q.Count(), 3);
        ASSERT_EQ(q.Read(out.data(), 2), 1);
        EXPECT_EQ(LengthOf(out), static_cast<std::uint32_t>(expect + 2));
        EXPECT_EQ(q.Read(out.data(), 3), 0);
        EXPECT_EQ(q.Read(out.data(), -1), 0);
        for (int k = 0; k < 2; ++k) {
            ASSERT_EQ(q.Out(out.data()), 1);
            EXPECT_EQ(LengthOf(out), expect);
            EXPECT_EQ(out[39], expect);
            ++expect;
        }
    }
    q.fSetQSize(8); // resizing discards the contents
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.Remain(), 7);
    q.Clear();
    EXPECT_EQ(q.Read(out.data(), 0), 0);
}

TEST(PackageLayer, NewLayerDefaults)
{
    TCommPackage p(nullptr);
    EXPECT_FALSE(p.Active());
    EXPECT_EQ(p.PkgType(), cptFrameTimeout);
    EXPECT_EQ(p.PkgInterval(), 50);
    EXPECT_EQ(p.QSize(), 16);
    EXPECT_EQ(p.PkgSz(), 4096);
    EXPECT_FALSE(p.DblFrameMark());
    EXPECT_EQ(p.FrameHead.load(), 0xEB);
    EXPECT_EQ(p.FrameTail.load(), 0xEE);
    EXPECT_EQ(p.FrameCtrl.load(), 0xEC);
    // The timer thread runs for the layer's whole life.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!p.TimerAlive() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_TRUE(p.TimerAlive());
    // Inactive: nothing is taken or given.
    std::uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(p.WritePackage(b, 4), 0u);
    EXPECT_EQ(p.ReadPackage(b, 4), 0u);
}

TEST(PackageLayer, DecoderEdgeCases)
{
    TCommPackage p(nullptr);
    p.fSetPkgType(cptFrameHeadTail);
    p.fSetActive(true);

    // Escaped tail inside the data; the byte before the frame is dropped.
    auto got = DecodeAll(p, {0x11, 0xEB, 0x01, 0xEC, 0xEE, 0x02, 0xEE});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{0x01, 0xEE, 0x02}));

    // A second head restarts the package.
    got = DecodeAll(p, {0xEB, 0x01, 0xEB, 0x02, 0xEE});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{0x02}));

    // An escaped head outside a frame does not open one.
    got = DecodeAll(p, {0xEC, 0xEB, 0x01, 0xEE});
    EXPECT_TRUE(got.empty());

    // The doubled marks of a DblFrameMark sender decode to the plain package.
    got = DecodeAll(p, {0xEB, 0xEB, 0x01, 0xEC, 0xEB, 0x02, 0xEE, 0xEE});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{0x01, 0xEB, 0x02}));

    // A frame split across two reads keeps its state.
    p.Decode(Bytes{0xEB, 0x05, 0xEC}.data(), 3);
    EXPECT_EQ(p.ReceivedCount(), 0);
    got = DecodeAll(p, {0xEC, 0x06, 0xEE});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{0x05, 0xEC, 0x06}));
}

TEST(PackageLayer, EmptyFrameIsAPackageOfLengthZero)
{
    TCommPackage p(nullptr);
    p.fSetPkgType(cptFrameHeadTail);
    p.fSetActive(true);
    p.Decode(Bytes{0xEB, 0xEE}.data(), 2);
    EXPECT_EQ(p.ReceivedCount(), 1);
    std::uint8_t buf[8];
    EXPECT_EQ(p.ReadPackage(buf, 0), 0u); // size 0 reports the length, which is 0
    EXPECT_EQ(p.ReceivedCount(), 1);
    EXPECT_EQ(p.ReadPackage(buf, sizeof buf), 0u);
    EXPECT_EQ(p.ReceivedCount(), 0);
}

TEST(PackageLayer, SizeZeroReadPeeksAndShortReadDropsTheRest)
{
    TCommPackage p(nullptr);
    p.fSetPkgType(cptFrameHeadTail);
    p.fSetActive(true);
    p.Decode(Bytes{0xEB, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xEE, 0xEB, 42, 0xEE}.data(), 15);
    EXPECT_EQ(p.ReadPackage(nullptr, 100), 10u);
    EXPECT_EQ(p.ReceivedCount(), 2);
    std::uint8_t buf[3] = {};
    EXPECT_EQ(p.ReadPackage(buf, 3), 3u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[2], 3);
    EXPECT_EQ(p.ReadPackage(buf, 3), 1u);
    EXPECT_EQ(buf[0], 42);
}

TEST(PackageLayer, ReceivedPackageIsCutToPkgSzAndFullQueueDrops)
{
    TCommPackage p(nullptr);
    p.fSetPkgType(cptFrameHeadTail);
    p.fSetPkgSz(8);
    p.fSetQSize(3);
    p.fSetActive(true);
    Bytes frame{0xEB};
    for (int i = 0; i < 12; ++i) frame.push_back(static_cast<std::uint8_t>(i));
    frame.push_back(0xEE);
    for (int k = 0; k < 4; ++k) p.Decode(frame.data(), static_cast<long>(frame.size()));
    auto got = Drain(p);
    ASSERT_EQ(got.size(), 2u); // three slots hold two packages; the others are lost
    EXPECT_EQ(got[0], (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(PackageLayer, EncoderEscapesAndDoublesMarks)
{
    TCommPackage p(nullptr);
    EXPECT_EQ(Encode(p, {0x01, 0xEB, 0x02}), (Bytes{0xEB, 0x01, 0xEC, 0xEB, 0x02, 0xEE}));
    EXPECT_EQ(Encode(p, {0xEE, 0xEC}), (Bytes{0xEB, 0xEC, 0xEE, 0xEC, 0xEC, 0xEE}));
    EXPECT_EQ(Encode(p, {}), (Bytes{0xEB, 0xEE}));
    p.fSetDblFrameMark(true);
    EXPECT_EQ(Encode(p, {0x01, 0xEB, 0x02}), (Bytes{0xEB, 0xEB, 0x01, 0xEC, 0xEB, 0x02, 0xEE, 0xEE}));
    // Other frame bytes are used at once.
    p.fSetDblFrameMark(false);
    p.FrameHead = 0x02;
    p.FrameTail = 0x03;
    p.FrameCtrl = 0x10;
    EXPECT_EQ(Encode(p, {0x02, 0xEB, 0x10}), (Bytes{0x02, 0x10, 0x02, 0xEB, 0x10, 0x10, 0x03}));
}

TEST(PackageLayer, EncodeThenDecodeGivesBackRandomPackages)
{
    TCommPackage p(nullptr);
    p.fSetPkgType(cptFrameHeadTail);
    p.fSetPkgSz(300);
    p.fSetActive(true);
    std::mt19937 rng(7);
    const std::uint8_t marks[] = {0xEB, 0xEE, 0xEC};
    for (int round = 0; round < 200; ++round) {
        Bytes data(rng() % 300);
        for (auto& b : data) b = (rng() % 4 == 0) ? marks[rng() % 3] : static_cast<std::uint8_t>(rng());
        p.fSetDblFrameMark(round % 2 == 1);
        Bytes line = {0x55, 0xEC}; // noise before the frame, ending in a dangling control byte
        line.push_back(0x00);
        const Bytes frame = Encode(p, data);
        line.insert(line.end(), frame.begin(), frame.end());
        auto got = DecodeAll(p, line);
        ASSERT_EQ(got.size(), 1u) << "round " << round;
        ASSERT_EQ(got[0], data) << "round " << round;
    }
}

TEST(PackageLayer, CompatibleRecordsGoWhole)
{
    TCommPackage p(nullptr);
    p.fSetPkgType(cptCompatiblePkg);
    p.fSetPkgSz(16);
    p.fSetActive(true);
    p.Decode(Bytes{0xEB, 7, 8, 9, 0xEE}.data(), 5);
    auto rec = Slot(40, 0, 0xCC); // a record is 20 bytes; a queue slot is raised to 32
    EXPECT_EQ(p.ReadPackage(rec.data(), 0), 1u);
    EXPECT_EQ(LengthOf(rec), 3u);
    EXPECT_EQ(rec[PackageHeadSize + 2], 9);
    for (std::size_t i = 16 + PackageHeadSize; i < rec.size(); ++i) EXPECT_EQ(rec[i], 0xCC) << i;
    EXPECT_EQ(p.ReadPackage(rec.data(), 0), 0u);
    // Writing a record needs no size; a null record is refused.
    EXPECT_EQ(p.WritePackage(rec.data(), 0), 1u);
    EXPECT_EQ(p.WritePackage(nullptr, 0), 0u);
}

TEST(PackageLayer, WriteCutsToPkgSzAndQueueRefusesWhenFull)
{
    TCommPackage p(nullptr); // no port: the first package stays in the frame buffer
    p.fSetPkgType(cptFrameHeadTail);
    p.fSetActive(true);
    Bytes big(5000, 0x33);
    EXPECT_EQ(p.WritePackage(big.data(), big.size()), 4096u);
    EXPECT_EQ(p.WritePackage(big.data(), 0), 0u);
    EXPECT_EQ(p.WritePackage(nullptr, 10), 0u);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(p.WritePackage(big.data(), 10), 10u) << i;
    EXPECT_EQ(p.SendCount(), 15);
    EXPECT_EQ(p.WritePackage(big.data(), 10), 0u);
}

TEST(PackageLayer, RestartAndReconfigurationDiscardPackages)
{
    TCommPackage p(nullptr);
    p.fSetPkgType(cptFrameHeadTail);
    p.fSetActive(true);
    const Bytes two{0xEB, 1, 0xEE, 0xEB, 2, 0xEE};
    std::uint8_t b[4] = {1, 2, 3, 4};

    p.Decode(two.data(), 6);
    p.WritePackage(b, 4);
    p.WritePackage(b, 4);
    p.fSetActive(false);
    p.fSetActive(true);
    EXPECT_EQ(p.ReceivedCount(), 0);
    EXPECT_EQ(p.SendCount(), 0);

    p.Decode(two.data(), 6);
    p.fSetQSize(4);
    EXPECT_TRUE(p.Active());
    EXPECT_EQ(p.ReceivedCount(), 0);
    EXPECT_EQ(p.QSize(), 4);

    p.Decode(two.data(), 6);
    p.fSetPkgSz(64);
    EXPECT_EQ(p.ReceivedCount(), 0);

    // A half-received frame does not survive a restart either.
    p.Decode(Bytes{0xEB, 9}.data(), 2);
    p.fSetPkgType(cptFrameHeadTail);
    p.Decode(Bytes{0xEE}.data(), 1);
    EXPECT_EQ(p.ReceivedCount(), 0);

    p.fSetActive(false);
    EXPECT_EQ(p.PkgSz(), 64);
    EXPECT_EQ(p.QSize(), 4);
}

TEST(PackageLayer, NotificationHandlerGetsTheLayerAndSwallowedExceptions)
{
    TCommPackage p(nullptr);
    TObject* sender = nullptr;
    int mask = 0;
    p.fSetOnNotify([&](TObject* s, int m) {
        sender = s;
        mask = m;
        throw std::runtime_error("dropped");
    });
    EXPECT_NO_THROW(p.CallNotify(0x0105));
    EXPECT_EQ(sender, &p);
    EXPECT_EQ(mask, 0x0105);
    p.fSetOnNotify(nullptr);
    EXPECT_NO_THROW(p.CallNotify(1));
}
