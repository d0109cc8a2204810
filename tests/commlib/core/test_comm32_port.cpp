// TComm32 on the scripted comm layer: settings, open and close, notifications, reader and writer.
#include "comm32.h"
#include "fake_platform.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <utility>

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace KestroComm32;
using commtest::NoteThreadEnd;
using commtest::WaitFor;
using KestroComm32::Testing::TFakeCommPlatform;
using namespace std::chrono_literals;

namespace {

// Everything a port object reports, in order, with a way to wait for it.
class TLog {
public:
    void Attach(TComm32& port)
    {
        port.OnNotify = [this](TObject*, int mask) { Add("notify " + std::to_string(mask)); };
        port.OnAfterOpen = [this](TObject*) { Add("after open"); };
        port.OnBeforeClose = [this](TObject*) { Add("before close"); };
    }
    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> g(Lock);
        Items.push_back(s);
        Changed.notify_all();
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> g(Lock);
        return std::exchange(Items, {});
    }
    bool WaitFor(const std::string& s, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock<std::mutex> g(Lock);
        return Changed.wait_for(g, timeout, [&] { return std::find(Items.begin(), Items.end(), s) != Items.end(); });
    }
    int CountOf(const std::string& s)
    {
        std::lock_guard<std::mutex> g(Lock);
        return static_cast<int>(std::count(Items.begin(), Items.end(), s));
    }

private:
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::string> Items;
};

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Fake.AddPort("COM2");
        Port.fSetPlatform(&Fake);
    }
    void TearDown() override { SetThreadLocale(0); }

    // Waits until the reader has set its own event mask.
    bool WaitMask(std::uint32_t mask)
    {
        return Fake.WaitUntil([&](TFakeCommPlatform& f) {
            const auto& masks = f.PortUnlocked("COM2").Masks;
            return !masks.empty() && masks.back() == mask;
        });
    }

    // Waits until the writer has handed the driver `count` chunks.
    bool WaitWrites(std::size_t count, const std::string& name = "COM2")
    {
        return Fake.WaitUntil([&](TFakeCommPlatform& f) { return f.PortUnlocked(name).Writes.size() >= count; });
    }

    // The port goes first: its destructor still calls the log and the fake.
    TFakeCommPlatform Fake;
    TLog Log;
    TComm32 Port;
};

} // namespace

TEST(TComm32Defaults, NewObject)
{
    TComm32 port;
    EXPECT_EQ(port.fGetPortNo(), 2);
    EXPECT_EQ(port.fGetPortName(), "COM2");
    EXPECT_EQ(port.fGetBaud(), 115200u);
    EXPECT_EQ(port.fGetByteSize(), 8);
    EXPECT_EQ(port.fGetParity(), NOPARITY);
    EXPECT_EQ(port.fGetStopBits(), ONESTOPBIT);
    EXPECT_EQ(port.fGetFCtrl(), 0);
    EXPECT_FALSE(port.fGetDTR());
    EXPECT_FALSE(port.fGetRTS());
    EXPECT_FALSE(port.fGetCTS());
    EXPECT_EQ(port.fGetInBufSize(), 8192);
    EXPECT_EQ(port.fGetOutBufSize(), 8192);
    EXPECT_EQ(port.fGetHwInSize(), 1200);
    EXPECT_EQ(port.fGetHwOutSize(), 1200);
    EXPECT_EQ(port.fGetAAns(), 0);
    EXPECT_FALSE(port.fGetActive());
    EXPECT_FALSE(port.fGetDataOnly());
    EXPECT_FALSE(port.DisableWrite);
    EXPECT_EQ(port.fGetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.ModemStatus, 0u);
    EXPECT_EQ(port.fGetPlatform(), GetDefaultCommPlatform());
}

TEST_F(PortTest, OpenOfMissingPortThrowsCode4InTheThreadsLanguage)
{
    Port.fSetPort(9);
    struct Case {
        unsigned long lcid;
        const char* text;
    } cases[] = {
        {1033, "Serial port: \"COM9\" - Cannot open COM port"},
        {2052, "串行口:“COM9”- 不能打开串行口"},
        {1028, "序列埠:『COM9』- 不能打開序列埠"},
    };
    for (const Case& c : cases) {
        SetThreadLocale(c.lcid);
        try {
            Port.Open();
            FAIL() << "opened a missing port";
        } catch (const EComm32Error& e) {
            EXPECT_EQ(e.ErrorCode, ecOpenPort);
            EXPECT_EQ(e.PortName, "COM9");
            EXPECT_EQ(e.Message, c.text);
        }
        EXPECT_FALSE(Port.fGetActive());
        EXPECT_EQ(Port.fGetHandle(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(Fake.LiveEvents(), 0);
}

TEST_F(PortTest, OpenAndCloseNotifyModemLinesOnce)
{
    Log.Attach(Port);
    Port.Open();
    ASSERT_TRUE(Port.fGetActive());
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"notify 56", "after open"}));
    Port.Open(); // already open: nothing happens
    Port.fSetActive(true);
    EXPECT_TRUE(Log.Take().empty());
    EXPECT_EQ(Fake.Port("COM2").Opens, 1);

    Port.Close();
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"before close", "notify 56"}));
    Port.Close(); // closed already: harmless and silent
    EXPECT_TRUE(Log.Take().empty());
    EXPECT_EQ(Fake.LiveEvents(), 0);
    EXPECT_EQ(Fake.LivePorts(), 0);
}

TEST_F(PortTest, ClosingSettersCloseWithBeforeCloseFirstAndTakeTheValue)
{
    Log.Attach(Port);
    Port.Open();
    Log.Take();
    Port.fSetBaud(9600);
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"before close", "notify 56"}));
    EXPECT_FALSE(Port.fGetActive());
    EXPECT_EQ(Port.fGetBaud(), 9600u);
    Port.Open();
    EXPECT_EQ(Fake.Port("COM2").State.BaudRate, 9600u);

    // Each of these closes even when the value does not change.
    const std::vector<std::function<void()>> closers = {
        [&] { Port.fSetParity(Port.fGetParity()); },
        [&] { Port.fSetByteSize(7); },
        [&] { Port.fSetStopBits(TWOSTOPBITS); },
        [&] { Port.fSetFCtrl(0); },
        [&] { Port.fSetDataOnly(false); },
        [&] { Port.fSetHwInSize(4096); },
        [&] { Port.fSetHwOutSize(4096); },
        [&] { Port.fSetPortName("COM2"); },
        [&] { Port.fSetPort(2); },
    };
    for (const auto& close : closers) {
        Port.Open();
        ASSERT_TRUE(Port.fGetActive());
        close();
        EXPECT_FALSE(Port.fGetActive());
    }
    EXPECT_EQ(Port.fGetHwInSize(), 4096);
    Port.Open();
    const DCB dcb = Fake.Port("COM2").State;
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);

    // These never close.
    Log.Take();
    Port.fSetAAns(3);
    Port.fSetDTR(false);
    Port.fSetPortName("");
    EXPECT_TRUE(Port.fGetActive());
    EXPECT_EQ(Port.fGetAAns(), 3);
}

TEST_F(PortTest, PortNamesAndNumbers)
{
    Port.fSetPortName("com12");
    EXPECT_EQ(Port.fGetPortNo(), 12);
    EXPECT_EQ(Port.fGetPortName(), "COM12");
    Port.fSetPortName("MODEM");
    EXPECT_EQ(Port.fGetPortNo(), 0);
    EXPECT_EQ(Port.fGetPortName(), "MODEM");
    Fake.AddPort("MODEM");
    Port.Open();
    EXPECT_EQ(Fake.CreateFileNames().back(), "MODEM");
    Port.fSetPort(0); // no number: the name stays
    EXPECT_EQ(Port.fGetPortName(), "MODEM");
    Port.fSetPort(5);
    EXPECT_EQ(Port.fGetPortName(), "COM5");
}

TEST_F(PortTest, FlowControlCodesMapToTheRecord)
{
    struct Case {
        int set, read;
        std::uint32_t cts, rts, outx;
    } cases[] = {
        {0, 0, 0, RTS_CONTROL_ENABLE, 0},  {3, 3, 1, RTS_CONTROL_HANDSHAKE, 0}, {4, 4, 0, RTS_CONTROL_ENABLE, 1},
        {5, 4, 0, RTS_CONTROL_ENABLE, 1},  {6, 6, 1, RTS_CONTROL_HANDSHAKE, 1}, {2, 0, 0, RTS_CONTROL_ENABLE, 0},
        {-7, 0, 0, RTS_CONTROL_ENABLE, 0},
    };
    for (const Case& c : cases) {
        Port.fSetFCtrl(c.set);
        EXPECT_EQ(Port.fGetFCtrl(), c.read) << c.set;
        Port.Open();
        const DCB dcb = Fake.Port("COM2").State;
        EXPECT_EQ(dcb.fOutxCtsFlow, c.cts) << c.set;
        EXPECT_EQ(dcb.fRtsControl, c.rts) << c.set;
        EXPECT_EQ(dcb.fOutX, c.outx) << c.set;
        EXPECT_EQ(dcb.fInX, c.outx) << c.set;
        EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE) << c.set;
        EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
        Port.Close();
    }
}

TEST_F(PortTest, ModemLinesFollowTheWantedStateAndEscapes)
{
    Port.fSetDTR(false);
    EXPECT_FALSE(Port.fGetDTR());
    EXPECT_FALSE(Port.EscapeCommFunction(SETDTR)); // closed
    Port.Open();
    EXPECT_EQ(Fake.Port("COM2").State.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_FALSE(Port.fGetDTR());
    EXPECT_TRUE(Port.fGetRTS());

    Port.fSetDTR(true);
    Port.fSetRTS(false);
    EXPECT_TRUE(Port.fGetDTR());
    EXPECT_FALSE(Port.fGetRTS());
    EXPECT_TRUE(Port.EscapeCommFunction(SETBREAK));
    EXPECT_EQ(Fake.Port("COM2").Escapes, (std::vector<std::uint32_t>{SETDTR, CLRRTS, SETBREAK}));
    Fake.Fail("EscapeCommFunction");
    Port.fSetRTS(true);
    EXPECT_FALSE(Port.fGetRTS()); // the driver refused: the member keeps its state
    Fake.Fail("EscapeCommFunction", false);

    // Closing returns both to the state the port was opened with.
    Port.Close();
    Port.Open();
    EXPECT_FALSE(Port.fGetDTR());
    EXPECT_TRUE(Port.fGetRTS());

    // Under the handshake RTS stays with the driver whatever was wanted.
    Port.fSetFCtrl(3);
    Port.fSetRTS(false);
    Port.Open();
    EXPECT_EQ(Fake.Port("COM2").State.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(Port.fGetRTS());
}

TEST_F(PortTest, CommandsAndWritesGoThroughTheSendQueue)
{
    char text[32] = {};
    Port.fSetFCtrl(6);
    Port.fSetAAns(2);
    Port.InitModem();
    ASSERT_EQ(Port.OutQueue->Out(text, sizeof text), 12);
    EXPECT_STREQ(text, "ATE0&K6S0=2\r");

    TComm32 fresh;
    fresh.InitModem();
    fresh.ResetModem();
    std::string queued(32, '\0');
    queued.resize(static_cast<std::size_t>(fresh.OutQueue->Out(queued.data(), 32)));
    EXPECT_EQ(queued, "ATE0&K0S0=0\rATZ\r");

    Port.DisableWrite = true;
    EXPECT_EQ(Port.Write("abc", 3), 0);
    EXPECT_EQ(Port.OutQueue->Count(), 0);
    EXPECT_EQ(Port.Command("AT\r"), 3); // commands ignore DisableWrite
    Port.Open();
    EXPECT_FALSE(Port.DisableWrite);
    // Bytes queued while closed leave with the next request.
    EXPECT_EQ(Port.Write("xy", 2), 2);
    ASSERT_TRUE(WaitWrites(1));
    EXPECT_EQ(Fake.Port("COM2").Writes[0], "AT\rxy");

    // A full queue takes what fits.
    Port.Close();
    Port.OutQueue->Clear();
    std::string big(10000, 'q');
    EXPECT_EQ(Port.Write(big.data(), static_cast<long>(big.size())), 8191);
    EXPECT_EQ(Port.Write("z", 1), 0);
}

TEST_F(PortTest, WaitingBytesAreReadIn2048ByteBlocksThenNotifiedOnce)
{
    Log.Attach(Port);
    Port.Open();
    Log.Take();
    std::string data(5000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
    Fake.Receive("COM2", data);
    ASSERT_TRUE(Log.WaitFor("notify 1"));
    EXPECT_EQ(Fake.Port("COM2").Reads, (std::vector<std::uint32_t>{2048, 2048, 904}));
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"notify 1"});
    std::string got(6000, '\0');
    got.resize(static_cast<std::size_t>(Port.Read(got.data(), 6000)));
    EXPECT_EQ(got, data);
    EXPECT_EQ(Port.Read(got.data(), 10), 0);
}

// Line errors reach the owner: announced by EV_ERR and kept for TakeLineErrors, also when the driver
// raised no event of its own and they turn up while data is read.
TEST_F(PortTest, LineErrorsAreReportedWithTheirBits)
{
    struct TCase {
        bool Raise;
        std::uint32_t Errors;
        std::string Notify;
    };
    const TCase cases[] = {
        {true, CE_OVERRUN | CE_FRAME, "notify " + std::to_string(EV_ERR)},
        {false, CE_RXOVER, "notify " + std::to_string(EV_RXCHAR | EV_ERR)},
    };
    Log.Attach(Port);
    Port.Open();
    ASSERT_TRUE(WaitMask(0x05BF));
    for (const TCase& c : cases) {
        Log.Take();
        Fake.LineError("COM2", c.Errors, c.Raise);
        if (!c.Raise) Fake.Receive("COM2", "d");
        ASSERT_TRUE(Log.WaitFor(c.Notify)) << c.Notify;
        EXPECT_EQ(Port.TakeLineErrors(), c.Errors) << c.Notify;
        EXPECT_EQ(Port.TakeLineErrors(), 0u);
    }
    char b[4];
    EXPECT_EQ(Port.Read(b, sizeof b), 1);
}

TEST_F(PortTest, WriteLeavesIn512ByteChunksOnePerSendBufferEmpty)
{
    Log.Attach(Port);
    Port.Open();
    std::string data(1300, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    EXPECT_EQ(Port.Write(data.data(), 1300), 1300);
    ASSERT_TRUE(WaitWrites(3));
    const auto writes = Fake.Port("COM2").Writes;
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].size(), 512u);
    EXPECT_EQ(writes[1].size(), 512u);
    EXPECT_EQ(writes[2].size(), 276u);
    EXPECT_EQ(writes[0] + writes[1] + writes[2], data);
    // EV_TXEMPTY reaches the owner only once the send queue is empty.
    ASSERT_TRUE(Log.WaitFor("notify 4"));
    EXPECT_EQ(Log.CountOf("notify 4"), 1);
}

TEST_F(PortTest, CtsHandshakeHoldsAndReleasesSending)
{
    Log.Attach(Port);
    Port.fSetFCtrl(3);
    Port.Open();
    EXPECT_FALSE(Port.fGetCTS());
    std::string data(1300, 'c');
    Port.Write(data.data(), 1300);
    ASSERT_TRUE(WaitWrites(1));
    // Held: the driver keeps the first chunk and the rest stays queued.
    EXPECT_FALSE(Fake.WaitUntil([](TFakeCommPlatform& f) { return f.PortUnlocked("COM2").Writes.size() > 1; }, 300ms));
    EXPECT_EQ(Port.OutQueue->Count(), 1300 - 512);

    Fake.SetModem("COM2", MS_CTS_ON | MS_DSR_ON, EV_CTS);
    ASSERT_TRUE(WaitWrites(3));
    // CTS back stands for the send buffer running empty; the send is not done yet, so only EV_CTS shows.
    ASSERT_TRUE(Log.WaitFor("notify 8"));
    EXPECT_TRUE(Port.fGetCTS());
    EXPECT_TRUE(Port.fGetDSR());
    EXPECT_FALSE(Port.fGetRING());
    EXPECT_EQ(Port.OutQueue->Count(), 0);
    Port.Close();
    EXPECT_FALSE(Port.fGetCTS()); // all lines read off while closed
}

TEST_F(PortTest, ModemChangesAreReportedUnlessDataOnly)
{
    Log.Attach(Port);
    Port.Open();
    ASSERT_TRUE(WaitMask(0x05BF));
    Fake.SetModem("COM2", MS_RLSD_ON | MS_RING_ON, EV_RLSD | EV_RING);
    ASSERT_TRUE(Log.WaitFor("notify " + std::to_string(EV_RLSD | EV_RING)));
    EXPECT_TRUE(Port.fGetRLSD());
    EXPECT_TRUE(Port.fGetRING());

    Port.fSetDataOnly(true);
    Fake.SetModem("COM2", 0, 0);
    Port.Open();
    ASSERT_TRUE(WaitMask(0x0085));
    Log.Take();
    Fake.SetModem("COM2", MS_CTS_ON, EV_CTS);
    Fake.Receive("COM2", "x"); // a later data event proves the line change was passed over
    ASSERT_TRUE(Log.WaitFor("notify 1"));
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"notify 1"});
    EXPECT_FALSE(Port.fGetCTS());
}

// A line change on a port that has been idle for a while reaches the handler within 10 ms, as a
// rule: the median over every line and several changes is held to that, each single one to a
// bound a loaded machine keeps.
TEST_F(PortTest, ModemChangeOnAnIdlePortIsReportedPromptly)
{
    using Clock = std::chrono::steady_clock;
    std::mutex lock;
    std::condition_variable seen;
    int lastMask = 0;
    Clock::time_point seenAt;
    Port.OnNotify = [&](TObject*, int mask) {
        std::lock_guard<std::mutex> g(lock);
        lastMask = mask;
        seenAt = Clock::now();
        seen.notify_all();
    };
    // The handler uses this test's locals: it goes before they do, on every way out.
    struct TDetach {
        TComm32& P;
        ~TDetach()
        {
            P.Close();
            P.OnNotify = nullptr;
        }
    } detach{Port};
    Port.Open();
    ASSERT_TRUE(WaitMask(TComm32::AllEventsMask));
    struct TLine {
        std::uint32_t Event, Status;
        bool (TComm32::*Get)() const;
    };
    const TLine lines[] = {{EV_CTS, MS_CTS_ON, &TComm32::fGetCTS},
                           {EV_DSR, MS_DSR_ON, &TComm32::fGetDSR},
                           {EV_RLSD, MS_RLSD_ON, &TComm32::fGetRLSD},
                           {EV_RING, MS_RING_ON, &TComm32::fGetRING}};
    std::vector<double> latenciesMs;
    for (int round = 0; round < 3; ++round) {
        for (const TLine& line : lines) {
            const bool on = round % 2 == 0;
            std::this_thread::sleep_for(20ms); // idle time before the change, not a synchronisation
            std::unique_lock<std::mutex> g(lock);
            lastMask = 0;
            const auto changedAt = Clock::now();
            Fake.SetModem("COM2", on ? line.Status : 0, line.Event);
            ASSERT_TRUE(seen.wait_for(g, 2s, [&] { return lastMask != 0; })) << line.Event;
            EXPECT_EQ(lastMask, static_cast<int>(line.Event));
            EXPECT_EQ((Port.*line.Get)(), on) << line.Event;
            const double ms = std::chrono::duration<double, std::milli>(seenAt - changedAt).count();
            EXPECT_LT(ms, 500) << line.Event;
            latenciesMs.push_back(ms);
        }
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    EXPECT_LT(latenciesMs[latenciesMs.size() / 2], 10.0);
}

TEST_F(PortTest, ThrowingHandlerDoesNotStopTheReader)
{
    int calls = 0;
    Port.OnNotify = [&](TObject* sender, int mask) {
        EXPECT_EQ(sender, &Port);
        if (mask == 1) {
            Log.Add("rx");
            ++calls;
        }
        throw std::runtime_error("handler failure");
    };
    Port.OnAfterOpen = [](TObject*) { throw 42; };
    Port.OnBeforeClose = [](TObject*) { throw std::runtime_error("x"); };
    Port.Open();
    ASSERT_TRUE(Port.fGetActive());
    Fake.Receive("COM2", "one");
    ASSERT_TRUE(Fake.WaitUntil([](TFakeCommPlatform& f) { return f.PortUnlocked("COM2").Input.empty(); }));
    ASSERT_TRUE(Log.WaitFor("rx"));
    Fake.Receive("COM2", "two");
    ASSERT_TRUE(WaitFor([&] { return Port.InQueue->Count() == 6; }));
    char buf[8] = {};
    EXPECT_EQ(Port.Read(buf, 8), 6);
    EXPECT_EQ(std::string(buf, 6), "onetwo");
    EXPECT_NO_THROW(Port.Close());
    EXPECT_FALSE(Port.fGetActive());
}

TEST_F(PortTest, PurgesOnlyWhileOpen)
{
    Port.InQueue->In("abc", 3);
    Port.OutQueue->In("def", 3);
    Port.PurgeRead(true);
    Port.PurgeWrite(false);
    EXPECT_EQ(Port.InQueue->Count(), 3);
    EXPECT_EQ(Port.OutQueue->Count(), 3);
    Port.OutQueue->Clear();
    Port.Open();
    Port.OutQueue->In("def", 3);
    Port.PurgeRead(false);
    Port.PurgeRead(true);
    Port.PurgeWrite(false);
    Port.PurgeWrite(true);
    EXPECT_EQ(Port.InQueue->Count(), 0);
    EXPECT_EQ(Port.OutQueue->Count(), 0);
    EXPECT_EQ(Fake.Port("COM2").Purges, (std::vector<std::uint32_t>{8, 10, 4, 5}));
}

namespace {

// A stream of 8-byte counters, so that a byte seen twice or out of place shows.
std::string Records(std::uint64_t first, int count)
{
    std::string s;
    for (std::uint64_t r = first; r < first + static_cast<std::uint64_t>(count); ++r)
        s.append(reinterpret_cast<const char*>(&r), sizeof r);
    return s;
}

// Checks that the counters in `bytes` (whole records) only ever go up; returns the last one.
bool Ascending(const std::string& bytes, std::uint64_t& last)
{
    for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t r;
        std::memcpy(&r, bytes.data() + i, 8);
        if (r <= last && last != 0) return false;
        last = r;
    }
    return bytes.size() % 8 == 0;
}

} // namespace

// Purges empty a queue while its thread keeps filling or draining it: nothing already taken or
// purged may come back, and nothing may be torn.
TEST_F(PortTest, PurgesUnderTrafficNeverBringBackOldBytes)
{
    // 8192 bytes of room, so whole records always fit or not at all.
    ASSERT_TRUE(Port.fSetInBufSize(8193));
    ASSERT_TRUE(Port.fSetOutBufSize(8193));
    Port.Open();
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::uint64_t next = 1;
        while (!stop) {
            Fake.Receive("COM2", Records(next, 64));
            next += 64;
            std::this_thread::yield();
        }
    });
    std::uint64_t lastIn = 0, nextOut = 1;
    bool inOrder = true;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    for (int i = 0; std::chrono::steady_clock::now() < deadline && inOrder; ++i) {
        std::string buf(8 * 200, '\0');
        buf.resize(static_cast<std::size_t>(Port.Read(buf.data(), static_cast<long>(buf.size()))));
        inOrder = Ascending(buf, lastIn);
        if (i % 3 == 0) Port.PurgeRead(false);
        if (Port.OutQueue->Remain() >= 8 * 32) {
            const std::string out = Records(nextOut, 32);
            ASSERT_EQ(Port.Write(out.data(), static_cast<long>(out.size())), static_cast<int>(out.size()));
            nextOut += 32;
        }
        if (i % 5 == 0) Port.PurgeWrite(false);
    }
    stop = true;
    feeder.join();
    Port.Close();
    EXPECT_TRUE(inOrder) << "received bytes came back or tore after a purge";
    std::string sent;
    for (const std::string& w : Fake.Port("COM2").Writes) sent += w;
    std::uint64_t lastOut = 0;
    EXPECT_TRUE(Ascending(sent, lastOut)) << "sent bytes came back or tore after a purge";
    EXPECT_GT(lastIn, 0u);
    EXPECT_GT(lastOut, 0u);
}

TEST_F(PortTest, QueueResizeIsRefusedWhileOpen)
{
    Port.Open();
    Port.InQueue->In("abc", 3);
    EXPECT_FALSE(Port.fSetInBufSize(100));
    EXPECT_FALSE(Port.fSetOutBufSize(100));
    EXPECT_EQ(Port.fGetInBufSize(), 8192);
    EXPECT_EQ(Port.InQueue->Count(), 3);
    Port.Close();
    EXPECT_TRUE(Port.fSetInBufSize(100));
    EXPECT_EQ(Port.fGetInBufSize(), 100);
    EXPECT_EQ(Port.InQueue->Count(), 0);
}

TEST_F(PortTest, OpenFailuresReportTheirCodeAndReleaseEverything)
{
    struct Case {
        const char* op;
        TErrorCode code;
    } cases[] = {
        {"SetCommMask", ecSetCommMask},
        {"SetupComm", ecSetupComm},
        {"SetCommState", ecSetCommState},
    };
    for (const Case& c : cases) {
        Fake.Fail(c.op);
        try {
            Port.Open();
            ADD_FAILURE() << c.op;
        } catch (const EComm32Error& e) {
            EXPECT_EQ(e.ErrorCode, c.code) << c.op;
            EXPECT_EQ(e.PortName, "COM2");
        }
        Fake.Fail(c.op, false);
        EXPECT_FALSE(Port.fGetActive());
        EXPECT_EQ(Fake.LivePorts(), 0) << c.op;
    }
    // Queues without storage.
    Port.fSetInBufSize(0);
    try {
        Port.Open();
        ADD_FAILURE();
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.ErrorCode, ecInitReadBuffer);
    }
    Port.fSetInBufSize(64);
    Port.fSetOutBufSize(-1);
    try {
        Port.Open();
        ADD_FAILURE();
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.ErrorCode, ecInitWriteBuffer);
    }
    Port.fSetOutBufSize(64);
    // Still usable after all of that.
    Port.Open();
    EXPECT_TRUE(Port.fGetActive());
}

TEST_F(PortTest, ExternalHandleIsAdjustedNotOwned)
{
    const THandle h = Fake.ExternalPort("ext");
    Port.fSetHandle(h);
    EXPECT_EQ(Port.fGetPortNo(), 0);
    EXPECT_EQ(Port.fGetPortName(), "");
    Port.Open();
    const auto port = Fake.Port("ext");
    EXPECT_TRUE(port.Attached);
    EXPECT_EQ(port.State.fAbortOnError, 0u); // the driver's record, written back without abort
    EXPECT_TRUE(Fake.CreateFileNames().empty());
    Port.Close();
    EXPECT_FALSE(Fake.Port("ext").Attached);
    EXPECT_EQ(Port.fGetHandle(), h); // stays with its owner

    Fake.Fail("GetCommState");
    try {
        Port.Open();
        ADD_FAILURE();
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.ErrorCode, ecGetCommState);
        EXPECT_EQ(e.Message.find("Serial port"), std::string::npos); // no name, no prefix
    }
    Fake.Fail("GetCommState", false);
    Port.fSetPort(2); // named again: the handle mode ends and the given handle is forgotten
    EXPECT_EQ(Port.fGetHandle(), INVALID_HANDLE_VALUE);
    Port.Open();
    EXPECT_EQ(Fake.Port("COM2").Opens, 1);
}

TEST_F(PortTest, SlowHandlerMakesCloseReportCode13AfterTheThreadHasEnded)
{
    std::atomic<bool> inHandler{false};
    std::atomic<int> portsSeenAtEnd{-1};
    Port.OnNotify = [&](TObject*, int mask) {
        if (mask != 1) return;
        inHandler = true;
        // Busy for well longer than Close waits (about half a second).
        std::this_thread::sleep_for(2s);
        portsSeenAtEnd = Fake.LivePorts();
    };
    Port.Open();
    Fake.Receive("COM2", "x");
    ASSERT_TRUE(WaitFor([&] { return inHandler.load(); }));
    try {
        Port.Close();
        ADD_FAILURE() << "Close did not report the late reader";
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.ErrorCode, ecCloseReadThread);
    }
    EXPECT_EQ(portsSeenAtEnd, 1); // nothing was released under the running handler
    EXPECT_FALSE(Port.fGetActive());
    EXPECT_EQ(Fake.LivePorts(), 0);
    EXPECT_EQ(Fake.LiveEvents(), 0);
    Port.OnNotify = nullptr;
    Port.Open();
    EXPECT_TRUE(Port.fGetActive());
}

TEST_F(PortTest, HandlerMayCloseAndReopenFromTheReaderThread)
{
    std::atomic<int> rx{0};
    std::atomic<bool> reopened{false};
    Port.OnNotify = [&](TObject*, int mask) {
        if (mask != 1 || rx++ != 0) return;
        Port.Close();
        Port.Open();
        reopened = true;
    };
    Port.Open();
    Fake.Receive("COM2", "a");
    ASSERT_TRUE(Fake.WaitUntil([](TFakeCommPlatform& f) { return f.PortUnlocked("COM2").Opens == 2; }));
    ASSERT_TRUE(Fake.WaitUntil([](TFakeCommPlatform& f) {
        const auto& masks = f.PortUnlocked("COM2").Masks;
        return masks.size() == 5 && masks.back() == 0x05BF;
    }));
    Fake.Receive("COM2", "b");
    // The handler's Open finishes on the old reader thread while the new one already runs.
    ASSERT_TRUE(WaitFor([&] { return rx.load() == 2 && reopened.load(); }));
    EXPECT_TRUE(Port.fGetActive());
    EXPECT_NO_THROW(Port.Close());
    EXPECT_EQ(Fake.LiveEvents(), 0);
}

// Deleted by its own handler on the reader thread: the reader is let go and leaves without touching
// the freed object (AddressSanitizer reports any access), after everything was released.
TEST(PortDestroyedByItsHandler, ReaderLeavesWithoutTouchingIt)
{
    TFakeCommPlatform fake;
    fake.AddPort("COM2");
    auto* port = new TComm32;
    port->fSetPlatform(&fake);
    std::atomic<bool> deleted{false};
    std::atomic<bool> readerEnded{false};
    port->OnNotify = [port, &deleted, &readerEnded](TObject*, int mask) {
        if (!(mask & EV_RXCHAR)) return;
        // The closure goes with the port: keep what is needed after the delete.
        std::atomic<bool>* done = &deleted;
        NoteThreadEnd(readerEnded);
        delete port;
        done->store(true);
    };
    port->Open();
    fake.Receive("COM2", "x");
    ASSERT_TRUE(WaitFor([&] { return readerEnded.load(); }));
    EXPECT_TRUE(deleted.load());
    EXPECT_EQ(fake.LivePorts(), 0);
    EXPECT_EQ(fake.LiveEvents(), 0);
}

// A thread held up inside the driver at the worst moment while the owner purges or closes: a purge
// fences the thread on the other side before it flushes (no purged byte reaches the driver after
// PurgeWrite, none taken before PurgeRead is read after it), and Close waits for a caller still
// inside the port before it releases the port.
TEST(PortFences, PurgesAndCloseFenceAThreadHeldUpInTheDriver)
{
    enum class TAct { PurgeWrite, PurgeRead, Close };
    for (TAct act : {TAct::PurgeWrite, TAct::PurgeRead, TAct::Close}) {
        SCOPED_TRACE(static_cast<int>(act));
        TFakeCommPlatform fake;
        fake.AddPort("COM2");
        std::mutex lock;
        std::condition_variable changed;
        bool held = false, acted = false;
        std::atomic<bool> holding{false};
        std::atomic<std::size_t> writesAtFlush{0};
        const std::thread::id owner = std::this_thread::get_id();
        const std::string heldOp = act == TAct::PurgeRead ? "ReadFile" : "WriteFile";
        // The first such call on another thread waits until the owner's call has returned; a fenced
        // call cannot return meanwhile, so that wait ends at its deadline instead.
        fake.OnCall = [&](const std::string& op) {
            if (op == "PurgeComm") writesAtFlush = fake.Port("COM2").Writes.size();
            if (op != heldOp || std::this_thread::get_id() == owner || holding.exchange(true)) return;
            std::unique_lock<std::mutex> g(lock);
            held = true;
            changed.notify_all();
            changed.wait_for(g, 300ms, [&] { return acted; });
        };
        auto waitHeld = [&] {
            std::unique_lock<std::mutex> g(lock);
            return changed.wait_for(g, 5s, [&] { return held; });
        };
        auto markActed = [&] {
            std::lock_guard<std::mutex> g(lock);
            acted = true;
            changed.notify_all();
        };
        TComm32 port;
        port.fSetPlatform(&fake);
        port.Open();
        const std::string old(3000, 'o');
        std::thread caller;
        if (act == TAct::PurgeWrite) port.Write(old.data(), 3000); // the writer is held with the rest
        if (act == TAct::PurgeRead) fake.Receive("COM2", old);     // the reader is held with a block
        if (act == TAct::Close) caller = std::thread([&] { port.Write(old.data(), 3000); });
        ASSERT_TRUE(waitHeld());

        if (act == TAct::PurgeWrite) port.PurgeWrite(false);
        if (act == TAct::PurgeRead) port.PurgeRead(false);
        if (act == TAct::Close) port.Close();
        markActed();

        if (act == TAct::PurgeWrite) {
            port.Write("new", 3);
            ASSERT_TRUE(fake.WaitUntil([](TFakeCommPlatform& f) {
                const auto& w = f.PortUnlocked("COM2").Writes;
                return !w.empty() && w.back().find('n') != std::string::npos;
            }));
            const auto writes = fake.Port("COM2").Writes;
            for (std::size_t i = writesAtFlush; i < writes.size(); ++i)
                EXPECT_EQ(writes[i].find('o'), std::string::npos) << "a purged byte was written after the flush";
        }
        if (act == TAct::PurgeRead) {
            fake.Receive("COM2", "new");
            std::string got;
            ASSERT_TRUE(WaitFor([&] {
                char b[4096];
                got.append(b, static_cast<std::size_t>(port.Read(b, sizeof b)));
                return got.find('w') != std::string::npos;
            }));
            EXPECT_EQ(got, "new");
        }
        if (act == TAct::Close) caller.join();
        port.Close();
        EXPECT_EQ(fake.CallsAfterRelease(), 0) << "a call reached a released port or event";
    }
}
