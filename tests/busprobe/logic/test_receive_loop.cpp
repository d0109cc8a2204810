// The timer's receive loop against a scripted byte source and clock.
#include "comm32.h"
#include "pty_link.h"
#include "receive_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <sys/resource.h>

using namespace Busprobe;

namespace {

// Bytes that become readable at given times; every poll advances the clock by one millisecond. The
// clock runs on 64 bits and the loop sees its low 32, so the counter's wrap can be crossed.
struct ScriptedLine {
    std::deque<std::pair<std::uint64_t, std::uint8_t>> Pending; // (time when readable, byte)
    std::uint64_t Now = 0;
    std::vector<std::vector<std::uint8_t>> Replies;

    void At(std::uint64_t time, std::vector<std::uint8_t> bytes)
    {
        for (auto b : bytes) Pending.emplace_back(time, b);
    }
    void Run(std::uint8_t (&buffer)[RecvBufferSize])
    {
        const std::uint64_t limit = Now + 100000;
        ReceiveReplies(
            buffer,
            [this, limit](std::uint8_t& b) {
                if (++Now > limit) throw std::runtime_error("the loop does not end");
                if (Pending.empty() || Pending.front().first > Now) return false;
                b = Pending.front().second;
                Pending.pop_front();
                return true;
            },
            [this] { return static_cast<std::uint32_t>(Now); },
            [this](const std::uint8_t* p, int n) { Replies.emplace_back(p, p + n); });
    }
};

TEST(ReceiveLoop, NothingWaitingReturnsAtOnce)
{
    std::uint8_t buffer[RecvBufferSize];
    ScriptedLine line;
    line.Run(buffer);
    EXPECT_TRUE(line.Replies.empty());
    EXPECT_EQ(line.Now, 1u);
}

TEST(ReceiveLoop, SilenceOfMoreThan30msEndsAReply)
{
    std::uint8_t buffer[RecvBufferSize];
    ScriptedLine line;
    line.At(0, {0x01, 0x03});
    line.At(32, {0x02}); // 30 ms after the last byte: still the same reply
    line.At(80, {0x0A, 0x0B});
    line.Run(buffer);
    ASSERT_EQ(line.Replies.size(), 1u);
    EXPECT_EQ(line.Replies[0], (std::vector<std::uint8_t>{0x01, 0x03, 0x02}));
    // Ended 31 ms after the last byte, and the call returned with nothing waiting.
    EXPECT_EQ(line.Now, 32u + 31u + 1u);

    line.Now = 79;
    line.Run(buffer);
    ASSERT_EQ(line.Replies.size(), 2u);
    EXPECT_EQ(line.Replies[1], (std::vector<std::uint8_t>{0x0A, 0x0B}));
    EXPECT_TRUE(line.Pending.empty());
}

TEST(ReceiveLoop, RepliesAlreadyWaitingAreTakenInTurn)
{
    std::uint8_t buffer[RecvBufferSize];
    ScriptedLine line;
    line.At(0, {0x01});
    line.At(33, {0x02}); // readable just after the first reply was cut (31 ms of silence)
    line.Run(buffer);
    ASSERT_EQ(line.Replies.size(), 2u);
    EXPECT_EQ(line.Replies[0], std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(line.Replies[1], std::vector<std::uint8_t>{0x02});
}

TEST(ReceiveLoop, BytesBeyond256AreDroppedAndSilenceCountsFromThe256th)
{
    std::uint8_t buffer[RecvBufferSize];
    ScriptedLine line;
    std::vector<std::uint8_t> first(300);
    for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<std::uint8_t>(i);
    line.At(0, first);    // byte 256 is taken at 256, bytes 257-300 up to 300 and dropped
    line.At(302, {0x77}); // 2 ms after the last dropped byte, but 46 ms after the 256th
    line.Run(buffer);
    ASSERT_EQ(line.Replies.size(), 2u);
    EXPECT_EQ(line.Replies[0], std::vector<std::uint8_t>(first.begin(), first.begin() + 256));
    EXPECT_EQ(line.Replies[1], std::vector<std::uint8_t>{0x77});
}

TEST(ReceiveLoop, TickWrap)
{
    EXPECT_EQ(TicksSince(100, 130), 30u);
    EXPECT_EQ(TicksSince(0xFFFFFFF0u, 0x0Eu), 0x0Eu + 0x0Fu);
    EXPECT_EQ(TicksSince(0xFFFFFFF0u, 0xFFFFFFF0u), 0u);

    // The last byte comes just before the counter wraps; the reply still ends about 30 ms later.
    std::uint8_t buffer[RecvBufferSize];
    ScriptedLine line;
    line.Now = 0xFFFFFFF0u;
    line.At(0xFFFFFFF1u, {0x01});
    line.At(0xFFFFFFFAu, {0x02});
    line.Run(buffer);
    ASSERT_EQ(line.Replies.size(), 1u);
    EXPECT_EQ(line.Replies[0], (std::vector<std::uint8_t>{0x01, 0x02}));
    EXPECT_GE(line.Now, 0xFFFFFFFAull + 30u);
    EXPECT_LE(line.Now, 0xFFFFFFFAull + 33u);
}

TEST(ReceiveLoop, RealClockGivesABandAroundTheSilence)
{
    std::uint8_t buffer[RecvBufferSize];
    int polls = 0;
    std::uint32_t start = 0, end = 0;
    std::vector<int> sizes;
    ReceiveReplies(
        buffer,
        [&](std::uint8_t& b) {
            if (polls++ == 0) {
                b = 0x42;
                start = GetTickCount();
                return true;
            }
            return false;
        },
        GetTickCount,
        [&](const std::uint8_t*, int n) {
            sizes.push_back(n);
            end = GetTickCount();
        });
    ASSERT_EQ(sizes, std::vector<int>{1});
    EXPECT_GT(TicksSince(start, end), 30u);
    EXPECT_LT(TicksSince(start, end), 1000u);
}

// The end of a reply is more than 3.5 character times of silence, or 30 ms when that is longer. A 19-byte
// reply paced at the line's own speed over a pty comes out as one block at 110, 300, 1200 and 9600 baud.
TEST(ReceiveLoop, ReplyPacedAtTheLineSpeedIsOneBlock)
{
    struct Setting {
        unsigned long Baud;
        int DataBits, Parity, StopBits;
        std::uint32_t SilenceMs;
    };
    for (const Setting& s : {Setting{110, 8, 0, 0, 319}, Setting{300, 8, 0, 0, 117}, Setting{1200, 8, 0, 0, 30},
                             Setting{9600, 8, 0, 0, 30}, Setting{110, 7, 2, 2, 350}, Setting{300, 8, 0, 1, 123},
                             Setting{2400, 8, 1, 2, 30}})
        EXPECT_EQ(ReplySilenceFor(s.Baud, s.DataBits, s.Parity, s.StopBits), s.SilenceMs) << s.Baud;

    const std::vector<std::uint8_t> reply = {0x01, 0x03, 0x0E, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0xAA, 0x55};
    // The blocks one paced reply comes out as.
    const auto receive = [&](unsigned long baud) {
        std::vector<std::vector<std::uint8_t>> replies;
        ptytest::TPty pty;
        if (!pty.Ok()) return replies;
        KestroComm32::TComm32 port;
        port.fSetPortName(pty.SlavePath);
        port.fSetBaud(baud);
        port.Open();
        const std::uint32_t silence =
            ReplySilenceFor(port.fGetBaud(), port.fGetByteSize(), port.fGetParity(), port.fGetStopBits());
        std::atomic<bool> sent{false};
        std::thread peer([&] {
            pty.SendPaced(reply, std::chrono::microseconds(10'000'000 / baud)); // 8N1: 10 bits a character
            sent = true;
        });
        std::uint8_t buffer[RecvBufferSize];
        const auto collect = [&] {
            const bool done = sent.load();
            ReceiveReplies(
                buffer, [&](std::uint8_t& b) { return port.Read(&b, 1) == 1; }, GetTickCount,
                [&](const std::uint8_t* p, int n, std::uint32_t) { replies.emplace_back(p, p + n); },
                [&](std::uint32_t ms) { port.WaitForData(ms); }, silence);
            return done;
        };
        EXPECT_TRUE(ptytest::WaitFor(collect, std::chrono::seconds(20)));
        peer.join();
        port.Close();
        return replies;
    };
    for (unsigned long baud : {110ul, 300ul, 1200ul, 9600ul}) {
        SCOPED_TRACE(baud);
        // At 1200 and 9600 the 30 ms floor is all that holds a reply together, and a loaded box can stall
        // a thread for longer: up to three tries. At 110 and 300 baud a 30 ms rule splits every try.
        std::vector<std::vector<std::uint8_t>> replies;
        for (int attempt = 0; attempt < 3 && replies.size() != 1; ++attempt) replies = receive(baud);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0], reply);
    }
}

double ThreadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// On a real port the loop sleeps on the receive queue while it waits out the silence: one reply, the
// byte that came in the middle of it included, and next to no CPU for the 30 ms and more of waiting.
TEST(ReceiveLoop, WaitingOutTheSilenceOnAPortCostsNoCpu)
{
    ptytest::TPty pty;
    ASSERT_TRUE(pty.Ok());
    KestroComm32::TComm32 port;
    port.fSetPortName(pty.SlavePath);
    port.Open();
    pty.Send({0x01, 0x03, 0x02});
    ASSERT_TRUE(ptytest::WaitFor([&] { return port.InQueue->Count() == 3; }, std::chrono::seconds(5)));

    std::uint8_t buffer[RecvBufferSize];
    std::vector<std::vector<std::uint8_t>> replies;
    int waits = 0;
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpuSeconds();
    ReceiveReplies(
        buffer, [&](std::uint8_t& b) { return port.Read(&b, 1) == 1; }, GetTickCount,
        [&](const std::uint8_t* p, int n) { replies.emplace_back(p, p + n); },
        [&](std::uint32_t ms) {
            // The last byte comes while the loop waits for the first time.
            if (waits++ == 0) pty.Send({0x04});
            port.WaitForData(ms);
        });
    const double cpu = ThreadCpuSeconds() - cpu0;
    const auto wall = std::chrono::steady_clock::now() - wall0;
    port.Close();

    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], (std::vector<std::uint8_t>{0x01, 0x03, 0x02, 0x04}));
    EXPECT_GT(wall, std::chrono::milliseconds(30));
    EXPECT_LT(waits, 20) << "the loop asked again instead of waiting";
    EXPECT_LT(cpu, 0.008) << cpu << " s of CPU while waiting " << std::chrono::duration<double>(wall).count() << " s";
}

} // namespace
