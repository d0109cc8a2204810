// Device component: defaults and mappings, open/close and UsePackage rules over a pty, event delivery, two devices exchanging packages.
#include "lxcommdevice.h"
#include "pty_link.h"

#include <QCoreApplication>
#include <QPointer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

using namespace KestroComm32;
using namespace ptytest;
using namespace std::chrono_literals;

namespace {

void Pump() { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }

bool WaitPumping(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s)
{
    return WaitFor(pred, timeout, Pump);
}

// Counts the open and close events of a device.
struct TOpenClose {
    int Opened = 0;
    int Closing = 0;
    void Watch(TLxCustomCommDevice& d)
    {
        d.AfterOpen = [this, &d](TObject* s) {
            EXPECT_EQ(s, static_cast<TObject*>(&d));
            ++Opened;
        };
        d.BeforeClose = [this, &d](TObject* s) {
            EXPECT_EQ(s, static_cast<TObject*>(&d));
            ++Closing;
        };
    }
};

Bytes Framed(const Bytes& data)
{
    Bytes f = {0xEB};
    for (auto b : data) {
        if (b == 0xEB || b == 0xEE || b == 0xEC) f.push_back(0xEC);
        f.push_back(b);
    }
    f.push_back(0xEE);
    return f;
}

} // namespace

TEST(LxCommDevice, NewComponentDefaults)
{
    QObject owner;
    auto* d = new TLxCommDevice(&owner);
    EXPECT_EQ(d->parent(), &owner);
    EXPECT_EQ(d->fGetPortNo(), 2);
    EXPECT_EQ(d->fGetPortName(), "COM2");
    EXPECT_EQ(d->fGetBaud(), br115200);
    EXPECT_EQ(d->fGetByteSize(), 8);
    EXPECT_EQ(d->fGetParity(), ptNoParity);
    EXPECT_EQ(d->fGetStopBits(), sbOneStopBit);
    EXPECT_EQ(d->fGetFlowControl(), fcNone);
    EXPECT_EQ(d->fGetAutoAnswer(), 0);
    EXPECT_TRUE(d->fGetSyncEvents());
    EXPECT_FALSE(d->fGetDataOnly());
    EXPECT_EQ(d->fGetInBufSize(), 8192);
    EXPECT_EQ(d->fGetOutBufSize(), 8192);
    EXPECT_EQ(d->fGetHwInSize(), 1200);
    EXPECT_EQ(d->fGetHwOutSize(), 1200);
    EXPECT_EQ(d->fGetQueueSize(), 16);
    EXPECT_EQ(d->fGetPackageSize(), 4096);
    EXPECT_EQ(d->fGetPackageType(), cptFrameTimeout);
    EXPECT_EQ(d->fGetPackageInterval(), 50);
    EXPECT_FALSE(d->fGetUsePackage());
    EXPECT_EQ(d->fGetFrameSettings()->fGetFrameHead(), 0xEB);
    EXPECT_EQ(d->fGetFrameSettings()->fGetFrameTail(), 0xEE);
    EXPECT_EQ(d->fGetFrameSettings()->fGetFrameCtrl(), 0xEC);
    EXPECT_FALSE(d->fGetFrameSettings()->fGetDoubleFrameMark());
    EXPECT_FALSE(d->fGetActive());
    EXPECT_EQ(d->fGetModemStatus(), 0);
    EXPECT_FALSE(d->OnPackage || d->OnCommNotify || d->AfterOpen || d->BeforeClose);
    // Closed and without UsePackage: nothing goes through the package calls.
    std::uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(d->WritePackage(b, 4ul), 0u);
    EXPECT_FALSE(d->ReadPackage(b));
}

TEST(LxCommDevice, LineSettingsMapToThePortCodes)
{
    TLxCommDevice d;
    TComm32* port = d.fGetComm32();

    port->fSetBaud(110);
    EXPECT_EQ(d.fGetBaud(), br110);
    port->fSetBaud(230400);
    EXPECT_EQ(d.fGetBaud(), br115200);
    d.fSetBaud(br256000);
    EXPECT_EQ(port->fGetBaud(), 256000u);
    d.fSetBaud(static_cast<TBaudRate>(20));
    EXPECT_EQ(port->fGetBaud(), 115200u);

    d.fSetByteSize(300);
    EXPECT_EQ(d.fGetByteSize(), 255);
    d.fSetByteSize(-5);
    EXPECT_EQ(d.fGetByteSize(), 0);
    d.fSetByteSize(7);
    EXPECT_EQ(port->fGetByteSize(), 7);
    d.fSetAutoAnswer(1000);
    EXPECT_EQ(d.fGetAutoAnswer(), 255);
    d.fSetAutoAnswer(-1);
    EXPECT_EQ(d.fGetAutoAnswer(), 0);

    d.fSetFlowControl(fcTranXonXoff);
    EXPECT_EQ(d.fGetFlowControl(), fcXonXoff);
    d.fSetFlowControl(fcRtsCtsXonXoff);
    EXPECT_EQ(port->fGetFCtrl(), 6);
    EXPECT_EQ(d.fGetFlowControl(), fcRtsCtsXonXoff);
    d.fSetFlowControl(fcRtsCts);
    EXPECT_EQ(port->fGetFCtrl(), 3);
    port->fSetFCtrl(2);
    EXPECT_EQ(d.fGetFlowControl(), fcNone);
    d.fSetFlowControl(static_cast<TFlowControl>(9));
    EXPECT_EQ(port->fGetFCtrl(), 0);

    d.fSetParity(ptSpaceParity);
    EXPECT_EQ(port->fGetParity(), 4);
    port->fSetParity(9);
    EXPECT_EQ(d.fGetParity(), ptNoParity);
    d.fSetParity(static_cast<TParity>(-1));
    EXPECT_EQ(port->fGetParity(), 0);
    d.fSetStopBits(sbTwoStopBit);
    EXPECT_EQ(port->fGetStopBits(), 2);
    port->fSetStopBits(5);
    EXPECT_EQ(d.fGetStopBits(), sbOneStopBit);

    port->ModemStatus = 0x10 | 0x80; // CTS and RLSD
    EXPECT_EQ(d.fGetModemStatus(), (1 << msCTS) | (1 << msRLSD));
    port->ModemStatus = 0x20 | 0x40;
    EXPECT_EQ(d.fGetModemStatus(), (1 << msDSR) | (1 << msRING));
    port->ModemStatus = 0;

    d.fSetPackageSize(100);
    d.fSetQueueSize(4);
    d.fSetPackageType(cptFrameHeadTail);
    d.fSetPackageInterval(20);
    EXPECT_EQ(d.fGetPackage()->PkgSz(), 100);
    EXPECT_EQ(d.fGetPackage()->QSize(), 4);
    EXPECT_EQ(d.fGetPackage()->PkgType(), cptFrameHeadTail);
    EXPECT_EQ(d.fGetPackage()->PkgInterval(), 20);
}

TEST(LxCommDevice, FrameSettingsViewAndAssignment)
{
    TLxCommDevice d;
    TLxCommFrameSettings* fs = d.fGetFrameSettings();
    fs->fSetFrameHead(0x02);
    EXPECT_EQ(d.fGetPackage()->FrameHead.load(), 0x02);
    fs->fSetDoubleFrameMark(true);
    EXPECT_TRUE(d.fGetPackage()->DblFrameMark());

    TLxCommFrameSettings source;
    source.fSetFrameHead(0x10);
    source.fSetFrameTail(0x11);
    source.fSetFrameCtrl(0x12);
    source.fSetDoubleFrameMark(false);
    d.fSetFrameSettings(&source);
    EXPECT_EQ(d.fGetFrameSettings(), fs); // the device keeps its own object
    EXPECT_EQ(fs->fGetFrameHead(), 0x10);
    EXPECT_EQ(fs->fGetFrameTail(), 0x11);
    EXPECT_EQ(fs->fGetFrameCtrl(), 0x12);
    EXPECT_TRUE(fs->fGetDoubleFrameMark());

    // Another device's settings as the source.
    TLxCommDevice other;
    other.fGetFrameSettings()->fSetDoubleFrameMark(true);
    d.fGetFrameSettings()->fSetDoubleFrameMark(false);
    d.fSetFrameSettings(other.fGetFrameSettings());
    EXPECT_EQ(fs->fGetFrameHead(), 0xEB);
    EXPECT_FALSE(fs->fGetDoubleFrameMark());
}

class LxCommDeviceOnPty : public ::testing::Test {
protected:
    TPty Pty;
    TOpenClose Events;
    std::unique_ptr<TLxCommDevice> Dev = std::make_unique<TLxCommDevice>();

    void SetUp() override
    {
        ASSERT_TRUE(Pty.Ok());
        Dev->fSetPortName(Pty.SlavePath);
        Events.Watch(*Dev);
    }
};

TEST_F(LxCommDeviceOnPty, BaudChangeClosesThePortWithBeforeClose)
{
    Dev->fSetActive(true);
    ASSERT_TRUE(Dev->fGetActive());
    EXPECT_EQ(Events.Opened, 1);
    EXPECT_NE(Dev->fGetHandle(), INVALID_HANDLE_VALUE);
    Dev->fSetBaud(br9600);
    EXPECT_FALSE(Dev->fGetActive());
    EXPECT_EQ(Events.Closing, 1);
    EXPECT_EQ(Dev->fGetComm32()->fGetBaud(), 9600u);
    // Buffer sizes do not close; they are refused while open.
    Dev->fSetActive(true);
    EXPECT_FALSE(Dev->fSetInBufSize(100));
    Dev->fSetAutoAnswer(3);
    EXPECT_TRUE(Dev->fGetActive());
    EXPECT_EQ(Events.Closing, 1);
}

TEST_F(LxCommDeviceOnPty, UsePackageSwitchesTheLayerWithoutReopening)
{
    Dev->fSetPackageType(cptFrameHeadTail);
    Dev->fSetActive(true);
    EXPECT_TRUE(Dev->fGetActive());
    EXPECT_FALSE(Dev->fGetPackage()->Active()); // raw mode: open although the layer is not

    Dev->fSetUsePackage(true);
    EXPECT_TRUE(Dev->fGetActive());
    EXPECT_TRUE(Dev->fGetPackage()->Active());
    EXPECT_EQ(Events.Opened, 1);
    EXPECT_EQ(Events.Closing, 0);

    // A package waits; a closing setting stops the port but not the layer.
    Pty.Send(Framed({5, 6, 7}));
    ASSERT_TRUE(WaitPumping([&] { return Dev->fGetPackage()->ReceivedCount() == 1; }));
    Dev->fSetBaud(br57600);
    EXPECT_FALSE(Dev->fGetActive());
    EXPECT_FALSE(Dev->fGetComm32()->fGetActive());
    EXPECT_TRUE(Dev->fGetPackage()->Active());
    EXPECT_EQ(Events.Closing, 1);
    // Reopening leaves the layer and its waiting package alone.
    Dev->fSetActive(true);
    EXPECT_TRUE(Dev->fGetActive());
    EXPECT_EQ(Events.Opened, 2);
    EXPECT_EQ(Dev->fGetPackage()->ReceivedCount(), 1);
    std::uint8_t buf[8] = {};
    EXPECT_EQ(Dev->Read(buf, sizeof buf), 3);
    EXPECT_EQ(buf[2], 7);

    Dev->fSetUsePackage(false);
    EXPECT_TRUE(Dev->fGetActive());
    EXPECT_FALSE(Dev->fGetPackage()->Active());
    EXPECT_EQ(Events.Closing, 1);

    Dev->fSetActive(false);
    EXPECT_EQ(Events.Closing, 2);
    Dev->fSetUsePackage(true); // closed stays closed
    EXPECT_FALSE(Dev->fGetActive());
    EXPECT_FALSE(Dev->fGetPackage()->Active());
}

TEST_F(LxCommDeviceOnPty, ReadAndWriteFollowUsePackageButCommandStaysRaw)
{
    Dev->fSetPackageType(cptFrameHeadTail);
    Dev->fSetActive(true);

    // Raw: bytes as they are, both ways.
    EXPECT_EQ(Dev->Write("AB", 2), 2);
    EXPECT_EQ(Pty.Receive(2, 3s), (Bytes{'A', 'B'}));
    Pty.Send({0xEB, 1, 0xEE});
    ASSERT_TRUE(WaitPumping([&] { return Dev->fGetInQueue()->fGetCount() == 3; }));
    std::uint8_t buf[16] = {};
    EXPECT_EQ(Dev->Read(buf, sizeof buf), 3);

    Dev->fSetUsePackage(true);
    EXPECT_EQ(Dev->Write("AB", 2), 2);
    EXPECT_EQ(Pty.Receive(4, 3s), (Bytes{0xEB, 'A', 'B', 0xEE}));
    EXPECT_EQ(Dev->Command("AT\r"), 3);
    EXPECT_EQ(Pty.Receive(3, 3s), (Bytes{'A', 'T', '\r'}));
    EXPECT_EQ(Dev->ResetModem(), 4);
    EXPECT_EQ(Pty.Receive(4, 3s), (Bytes{'A', 'T', 'Z', '\r'}));
    EXPECT_EQ(Dev->Write("x", -1), 0);

    Pty.Send(Framed({9, 8}));
    ASSERT_TRUE(WaitPumping([&] { return Dev->fGetPackage()->ReceivedCount() == 1; }));
    EXPECT_EQ(Dev->Read(buf, sizeof buf), 2);
    EXPECT_EQ(buf[0], 9);

    // PurgeRead with UsePackage empties the package queue.
    Pty.Send(Framed({1}));
    ASSERT_TRUE(WaitPumping([&] { return Dev->fGetPackage()->ReceivedCount() == 1; }));
    Dev->PurgeRead(true);
    EXPECT_EQ(Dev->fGetPackage()->ReceivedCount(), 0);
}

TEST_F(LxCommDeviceOnPty, RecordReadInTimeoutTypeOnlyReportsAWaitingPackage)
{
    Dev->fSetUsePackage(true);
    Dev->fSetActive(true);
    ASSERT_EQ(Dev->fGetPackageType(), cptFrameTimeout);
    std::vector<std::uint8_t> record(4096 + PackageHeadSize);
    EXPECT_FALSE(Dev->ReadPackage(record.data()));
    Pty.Send({1, 2, 3, 4});
    ASSERT_TRUE(WaitPumping([&] { return Dev->fGetPackage()->ReceivedCount() == 1; }));
    EXPECT_TRUE(Dev->ReadPackage(record.data()));
    EXPECT_EQ(Dev->fGetPackage()->ReceivedCount(), 1); // still there
    EXPECT_FALSE(Dev->WritePackage(record.data()));    // size 0 is refused in this type
    EXPECT_EQ(Dev->ReadPackage(record.data(), 4ul), 4u);
}

TEST_F(LxCommDeviceOnPty, DestructionClosesWithoutBeforeCloseAndDropsQueuedEvents)
{
    int notes = 0;
    Dev->OnCommNotify = [&](TObject*, int) { ++notes; };
    Dev->fSetActive(true); // opening queues a modem-line notification for the event loop
    ASSERT_EQ(Events.Opened, 1);
    QPointer<TLxCommDevice> watch(Dev.get());
    Dev.reset();
    EXPECT_TRUE(watch.isNull());
    for (int i = 0; i < 20; ++i) Pump();
    EXPECT_EQ(notes, 0);
    EXPECT_EQ(Events.Closing, 0);
    // The port was closed: the pty can be opened again by a new device.
    TLxCommDevice again;
    again.fSetPortName(Pty.SlavePath);
    EXPECT_NO_THROW(again.fSetActive(true));
    EXPECT_TRUE(again.fGetActive());
}

TEST_F(LxCommDeviceOnPty, OpenFailurePropagatesAndLeavesTheLayerAlone)
{
    Dev->fSetUsePackage(true);
    Dev->fSetPortName("/nonexistent/ttyNONE");
    EXPECT_THROW(Dev->fSetActive(true), EComm32Error);
    EXPECT_FALSE(Dev->fGetActive());
    EXPECT_FALSE(Dev->fGetPackage()->Active());
    EXPECT_EQ(Events.Opened, 0);
}

// The handlers of the two notification kinds: where they run, who is the sender, what masks come.
TEST_F(LxCommDeviceOnPty, SyncEventsChoosesTheThreadOfTheHandlers)
{
    std::mutex lock;
    std::set<std::thread::id> commThreads, packageThreads;
    std::vector<int> commMasks;
    std::atomic<int> packages{0};
    Dev->OnCommNotify = [&](TObject* s, int mask) {
        EXPECT_EQ(s, static_cast<TObject*>(Dev.get()));
        std::lock_guard<std::mutex> g(lock);
        commThreads.insert(std::this_thread::get_id());
        commMasks.push_back(mask);
    };
    Dev->OnPackage = [&](TObject* s, int mask) {
        EXPECT_EQ(s, static_cast<TObject*>(Dev.get()));
        std::lock_guard<std::mutex> g(lock);
        // The modem-line report of opening and closing comes on the thread that opens or closes.
        if (mask != 0x0038) packageThreads.insert(std::this_thread::get_id());
        if (mask & 1) ++packages;
    };
    Dev->fSetUsePackage(true);
    Dev->fSetPackageType(cptFrameHeadTail);
    Dev->fSetActive(true);

    Pty.Send(Framed({1}));
    ASSERT_TRUE(WaitPumping([&] { return packages.load() >= 1; }));
    ASSERT_TRUE(WaitPumping([&] {
        std::lock_guard<std::mutex> g(lock);
        return std::find(commMasks.begin(), commMasks.end(), 0x0001) != commMasks.end();
    }));
    {
        std::lock_guard<std::mutex> g(lock);
        EXPECT_NE(std::find(commMasks.begin(), commMasks.end(), 0x0038), commMasks.end()); // the open's report
        EXPECT_EQ(commThreads, std::set<std::thread::id>{std::this_thread::get_id()});
        EXPECT_EQ(packageThreads, std::set<std::thread::id>{std::this_thread::get_id()});
        commThreads.clear();
        packageThreads.clear();
    }

    Dev->fSetSyncEvents(false);
    const int before = packages.load();
    Pty.Send(Framed({2}));
    ASSERT_TRUE(WaitFor([&] { return packages.load() > before; }, 5s)); // no event loop needed now
    Dev->fSetActive(false);
    for (int i = 0; i < 5; ++i) Pump();
    std::lock_guard<std::mutex> g(lock);
    ASSERT_FALSE(packageThreads.empty());
    EXPECT_EQ(packageThreads.count(std::this_thread::get_id()), 0u);
    EXPECT_FALSE(commThreads.empty());
    // The close report comes on the closing thread; everything else on the reader.
    EXPECT_EQ(commMasks.back(), 0x0038);
}

// With SyncEvents off, OnPackage deletes the device on the layer's timer thread (timeout packages)
// or on the port's reader (frames): no thread waits for itself, the handler's thread leaves without
// touching the freed objects (AddressSanitizer reports any access), and the port is released.
TEST(LxCommDeviceDeletedByItsHandler, HandlerThreadLeavesAndThePortIsFree)
{
    for (const TCommPackageType type : {cptFrameTimeout, cptFrameHeadTail}) {
        SCOPED_TRACE(type);
        TPty pty;
        ASSERT_TRUE(pty.Ok());
        auto* dev = new TLxCommDevice;
        dev->fSetPortName(pty.SlavePath);
        dev->fSetSyncEvents(false);
        dev->fSetPackageType(type);
        dev->fSetPackageInterval(1);
        dev->fSetUsePackage(true);
        std::atomic<bool> deleted{false};
        std::atomic<bool> threadEnded{false};
        dev->OnPackage = [dev, &deleted, &threadEnded](TObject*, int mask) {
            if (!(mask & TCommPackage::PackageReceived)) return;
            // The closure goes with the device: keep what is needed after the delete.
            std::atomic<bool>* done = &deleted;
            commtest::NoteThreadEnd(threadEnded);
            delete dev;
            done->store(true);
        };
        dev->fSetActive(true);
        ASSERT_TRUE(dev->fGetActive());
        pty.Send(type == cptFrameTimeout ? Bytes{1, 2, 3} : Framed({1, 2, 3}));
        ASSERT_TRUE(WaitFor([&] { return deleted.load(); }));
        EXPECT_TRUE(WaitFor([&] { return threadEnded.load(); }));
        TLxCommDevice again;
        again.fSetPortName(pty.SlavePath);
        EXPECT_NO_THROW(again.fSetActive(true));
        EXPECT_TRUE(again.fGetActive());
    }
}

// Two devices at both ends of a pty link exchange framed packages with marks at random.
class LxCommDeviceLink : public ::testing::TestWithParam<bool> {};

TEST_P(LxCommDeviceLink, ThousandPackagesEachWayNoneLostNoneAltered)
{
    const bool sync = GetParam();
    TPtyLink link;
    ASSERT_TRUE(link.A.Ok() && link.B.Ok());
    const auto mainThread = std::this_thread::get_id();

    struct TEnd {
        std::unique_ptr<TLxCommDevice> Dev = std::make_unique<TLxCommDevice>();
        std::mutex Lock;
        std::vector<Bytes> Received;
        std::atomic<int> ReceivedCount{0};
        std::atomic<int> WrongThread{0};
        std::atomic<int> HandlerCalls{0};
    } ends[2];

    for (int i = 0; i < 2; ++i) {
        TEnd& e = ends[i];
        e.Dev->fSetPortName(i == 0 ? link.A.SlavePath : link.B.SlavePath);
        e.Dev->fSetSyncEvents(sync);
        e.Dev->fSetPackageType(cptFrameHeadTail);
        e.Dev->fSetPackageSize(512);
        e.Dev->fSetUsePackage(true);
        e.Dev->OnPackage = [&e, sync, mainThread](TObject*, int mask) {
            ++e.HandlerCalls;
            // Open and close report the modem lines on the calling thread; all else is the reader's.
            if (mask != 0x0038 && (std::this_thread::get_id() == mainThread) != sync) ++e.WrongThread;
            if (!(mask & 1)) return;
            Bytes buf(512);
            while (e.Dev->fGetPackage()->ReceivedCount() > 0) {
                const int n = e.Dev->Read(buf.data(), static_cast<long>(buf.size()));
                std::lock_guard<std::mutex> g(e.Lock);
                e.Received.emplace_back(buf.begin(), buf.begin() + n);
                ++e.ReceivedCount;
            }
        };
        e.Dev->fSetActive(true);
        ASSERT_TRUE(e.Dev->fGetActive());
    }

    constexpr int Total = 1000;
    constexpr int Window = 8; // never more in flight than the receiving queue holds
    std::mt19937 rng(sync ? 11 : 12);
    const std::uint8_t marks[] = {0xEB, 0xEE, 0xEC};
    std::vector<Bytes> sent[2];
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < Total; ++i) {
            Bytes p(1 + rng() % 300);
            for (auto& b : p) b = (rng() % 3 == 0) ? marks[rng() % 3] : static_cast<std::uint8_t>(rng());
            sent[k].push_back(std::move(p));
        }

    int next[2] = {0, 0};
    const bool done = WaitFor(
        [&] {
            for (int k = 0; k < 2; ++k) {
                TEnd& from = ends[k];
                TEnd& to = ends[1 - k];
                while (next[k] < Total && next[k] - to.ReceivedCount.load() < Window) {
                    const Bytes& p = sent[k][static_cast<std::size_t>(next[k])];
                    if (from.Dev->Write(p.data(), static_cast<long>(p.size())) == 0) break;
                    ++next[k];
                }
            }
            return ends[0].ReceivedCount.load() == Total && ends[1].ReceivedCount.load() == Total;
        },
        60s, sync ? std::function<void()>(Pump) : std::function<void()>());
    for (auto& e : ends) e.Dev->fSetActive(false);
    for (int i = 0; i < 5; ++i) Pump();

    EXPECT_TRUE(done) << "sent " << next[0] << "/" << next[1] << ", received " << ends[1].ReceivedCount << "/"
                      << ends[0].ReceivedCount;
    for (int k = 0; k < 2; ++k) {
        std::lock_guard<std::mutex> g(ends[1 - k].Lock);
        const auto& got = ends[1 - k].Received;
        ASSERT_EQ(got.size(), static_cast<std::size_t>(Total)) << "direction " << k;
        for (int i = 0; i < Total; ++i)
            ASSERT_EQ(got[static_cast<std::size_t>(i)], sent[k][static_cast<std::size_t>(i)])
                << "direction " << k << " package " << i;
        EXPECT_GT(ends[1 - k].HandlerCalls.load(), 0);
        EXPECT_EQ(ends[1 - k].WrongThread.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(SyncEvents, LxCommDeviceLink, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
