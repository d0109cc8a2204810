// The exchange record: a verdict for each kind of reply from a libmodbus slave and a scripted peer, the
// rows and counters, the CSV file; and the number formats of the result edits.
#include "comm32.h"
#include "crc_frame.h"
#include "exchange_record.h"
#include "modbus_slave.h"
#include "pty_link.h"
#include "receive_loop.h"
#include "scoped_env.h"
#include "value_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

using namespace Busprobe;

namespace {

using Bytes = std::vector<std::uint8_t>;

TExchangeRecord::TWall Now() { return std::chrono::system_clock::now(); }

// One request out through the port as the window sends it, the peer's part, then the receive loop and the
// time-out check until the record has the request's answer or its 无应答.
void Exchange(KestroComm32::TComm32& port, TExchangeRecord& record, const Bytes& request,
              const std::function<void()>& peer)
{
    ASSERT_EQ(port.Write(request.data(), static_cast<long>(request.size())), static_cast<int>(request.size()));
    record.Sent(request.data(), static_cast<int>(request.size()), GetTickCount(), Now());
    if (peer) peer();
    std::uint8_t buffer[RecvBufferSize];
    const bool answered = ptytest::WaitFor(
        [&] {
            ReceiveReplies(
                buffer, [&](std::uint8_t& b) { return port.Read(&b, 1) == 1; }, GetTickCount,
                [&](const std::uint8_t* p, int n, std::uint32_t last) { record.Received(p, n, last, Now()); },
                [&](std::uint32_t ms) { port.WaitForData(ms); }, ReplySilenceMs);
            // libmodbus waits its 500 ms response time-out before an exception reply.
            record.CheckTimeouts(GetTickCount(), 1500, Now());
            return !record.Awaiting();
        },
        std::chrono::seconds(10));
    ASSERT_TRUE(answered);
}

TEST(ExchangeRecord, VerdictOfEachReplyKind)
{
    TModbusPtySlave slave(7);
    ptytest::TPty scripted;
    ASSERT_TRUE(scripted.Ok());
    KestroComm32::TComm32 toSlave, toScript;
    toSlave.fSetPortName(slave.DevicePath());
    toScript.fSetPortName(scripted.SlavePath);
    toSlave.Open();
    toScript.Open();

    const Bytes read2 = WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02});
    const Bytes good2 = WithCrc({0x01, 0x03, 0x04, 0x01, 0x00, 0x01, 0x01});
    Bytes badCrc = good2;
    badCrc.back() ^= 0x01;
    const auto exception = [](int code) { return WithCrc({0x01, 0x83, static_cast<std::uint8_t>(code)}); };
    struct Case {
        const char* Name;
        Bytes Request;
        bool FromSlave; // libmodbus answers; else the scripted peer answers Reply (nothing when empty)
        Bytes Reply;
        std::string Verdict;
    };
    const Case cases[] = {
        {"good", read2, true, {}, "CRC 正确"},
        {"coils", WithCrc({0x01, 0x01, 0x00, 0x00, 0x00, 0x0A}), true, {}, "CRC 正确"},
        {"write echo", WithCrc({0x01, 0x06, 0x00, 0x01, 0x00, 0x03}), true, {}, "CRC 正确"},
        {"illegal function", WithCrc({0x01, 0x2B}), true, {}, "异常 01 非法功能"},
        {"illegal address", WithCrc({0x01, 0x03, 0x00, 0xC8, 0x00, 0x01}), true, {}, "异常 02 非法数据地址"},
        {"illegal value", WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x00}), true, {}, "异常 03 非法数据值"},
        {"other slave", WithCrc({0x02, 0x03, 0x00, 0x00, 0x00, 0x01}), true, {}, "无应答"},
        {"crc", read2, false, badCrc, "CRC错误"},
        {"foreign address", read2, false, WithCrc({0x02, 0x03, 0x04, 0x01, 0x00, 0x01, 0x01}), "从站地址不符"},
        {"foreign function", read2, false, WithCrc({0x01, 0x04, 0x04, 0x01, 0x00, 0x01, 0x01}), "功能码不符"},
        {"cut short", read2, false, Bytes(good2.begin(), good2.begin() + 5), "应答过短"},
        {"fewer registers", read2, false, WithCrc({0x01, 0x03, 0x02, 0x01, 0x00}), "应答过短"},
        {"exception cut", read2, false, {0x01, 0x83, 0x02, 0xC0}, "应答过短"},
        {"failure", read2, false, exception(0x04), "异常 04 从站设备故障"},
        {"acknowledge", read2, false, exception(0x05), "异常 05 确认"},
        {"busy", read2, false, exception(0x06), "异常 06 从站设备忙"},
        {"parity", read2, false, exception(0x08), "异常 08 存储奇偶性差错"},
        {"gateway path", read2, false, exception(0x0A), "异常 0A 不可用网关路径"},
        {"gateway target", read2, false, exception(0x0B), "异常 0B 网关目标设备响应失败"},
        {"unknown code", read2, false, exception(0x0C), "异常 0C"},
        {"none", read2, false, {}, "无应答"},
    };
    TExchangeRecord record;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::size_t before = record.Rows().size();
        if (c.FromSlave) {
            Exchange(toSlave, record, c.Request, {});
        } else {
            Exchange(toScript, record, c.Request, [&] {
                EXPECT_EQ(scripted.Receive(c.Request.size(), std::chrono::seconds(5)), c.Request);
                if (!c.Reply.empty()) scripted.Send(c.Reply);
            });
        }
        ASSERT_EQ(record.Rows().size(), before + 2);
        const TRecordRow& reply = record.Rows().back();
        EXPECT_EQ(reply.Direction, TDirection::Reply);
        EXPECT_EQ(reply.Verdict, c.Verdict);
        const bool none = c.Verdict == "无应答";
        if (!none && !c.FromSlave) {
            EXPECT_EQ(reply.Bytes, c.Reply);
        }
        EXPECT_EQ(reply.RoundTripMs >= 0, !none);
        EXPECT_LT(reply.RoundTripMs, 5000);
    }
    const TCounters& n = record.Counters();
    EXPECT_EQ(n.Requests, 21);
    EXPECT_EQ(n.Good, 3);
    EXPECT_EQ(n.CrcErrors, 1);
    EXPECT_EQ(n.Exceptions, 10);
    EXPECT_EQ(n.NoReply, 2);
    EXPECT_EQ(n.RoundTrips, 19);
    EXPECT_LE(n.RoundTripMin, n.RoundTripSum / n.RoundTrips);
    EXPECT_LE(n.RoundTripSum / n.RoundTrips, n.RoundTripMax);
}

// The rows and counters of every kind of event, and the CSV written from them, in two time zones.
TEST(ExchangeRecord, RowsCountersAndCsv)
{
    // 2026-12-10 05:40:12.345 UTC
    const TExchangeRecord::TWall t0{std::chrono::milliseconds(1796881212345LL)};
    const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    const Bytes request = WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    const Bytes reply = WithCrc({0x01, 0x03, 0x02, 0x00, 0x64});
    const Bytes broadcast = WithCrc({0x00, 0x06, 0x00, 0x01, 0x00, 0x03});

    TExchangeRecord record;
    record.Sent(request.data(), 8, 1000, at(0));
    record.Received(reply.data(), 7, 1042, at(75));
    record.Sent(broadcast.data(), 8, 2000, at(1000)); // waits for nothing
    EXPECT_FALSE(record.Awaiting());
    record.WriteFailed(request.data(), 8, 0, at(1500));
    EXPECT_FALSE(record.Awaiting());
    record.Sent(request.data(), 8, 0xFFFFFFF0u, at(2000)); // the tick counter wraps while it waits
    EXPECT_FALSE(record.CheckTimeouts(0x000003D8u, 1000, at(3000)));
    EXPECT_TRUE(record.CheckTimeouts(0x000003F0u, 1000, at(3010)));
    record.Received(reply.data(), 7, 0x400, at(3020)); // late: nothing waits for it
    record.Sent(request.data(), 8, 5000, at(4000));
    record.Received(reply.data(), 7, 5010, at(4030));

    const TCounters& n = record.Counters();
    EXPECT_EQ(n.Requests, 4);
    EXPECT_EQ(n.Good, 2);
    EXPECT_EQ(n.NoReply, 1);
    EXPECT_EQ(n.CrcErrors + n.Exceptions, 0);
    EXPECT_EQ(n.RoundTrips, 2);
    EXPECT_EQ(n.RoundTripMin, 10);
    EXPECT_EQ(n.RoundTripMax, 42);
    EXPECT_EQ(n.RoundTripSum, 52);

    const std::string rows =
        "2026-12-10T05:40:12.345+00:00,发送,01 03 00 00 00 01 84 0A,,\r\n"
        "2026-12-10T05:40:12.420+00:00,接收,01 03 02 00 64 B9 AF,42,CRC 正确\r\n"
        "2026-12-10T05:40:13.345+00:00,发送,00 06 00 01 00 03 99 DA,,\r\n"
        "2026-12-10T05:40:13.845+00:00,发送,01 03 00 00 00 01 84 0A,,发送失败：串口只接受了 0/8 字节\r\n"
        "2026-12-10T05:40:14.345+00:00,发送,01 03 00 00 00 01 84 0A,,\r\n"
        "2026-12-10T05:40:15.355+00:00,接收,,,无应答\r\n"
        "2026-12-10T05:40:15.365+00:00,接收,01 03 02 00 64 B9 AF,,无对应请求\r\n"
        "2026-12-10T05:40:16.345+00:00,发送,01 03 00 00 00 01 84 0A,,\r\n"
        "2026-12-10T05:40:16.375+00:00,接收,01 03 02 00 64 B9 AF,10,CRC 正确\r\n";
    {
        ScopedEnv tz("TZ", "UTC");
        tzset();
        std::ostringstream csv;
        WriteCsv(csv, record.Rows());
        EXPECT_EQ(csv.str(), "\xEF\xBB\xBF时间,方向,数据,往返时间(ms),结论\r\n" + rows);
        EXPECT_EQ(ClockText(at(0)), "05:40:12.345");
    }
    {
        ScopedEnv tz("TZ", "XST+3:30"); // three and a half hours west of UTC
        tzset();
        EXPECT_EQ(IsoTime(at(0)), "2026-12-10T02:10:12.345-03:30");
    }
    tzset();

    record.ResetCounters();
    EXPECT_EQ(record.Counters().Requests, 0);
    EXPECT_EQ(record.Rows().size(), 9u);
    std::string why;
    EXPECT_FALSE(WriteTextFile("/nonexistent-folder/record.csv", "x", why));
    EXPECT_EQ(why, std::strerror(ENOENT));
}

// Registers 0x1234 0xABCD (the simulator's 2 and 3) and 0xFFFF, and ten coils, in every format.
TEST(ValueFormat, EachFormat)
{
    const Bytes regs = WithCrc({0x01, 0x03, 0x06, 0x12, 0x34, 0xAB, 0xCD, 0xFF, 0xFF});
    const Bytes coils = WithCrc({0x01, 0x01, 0x02, 0x49, 0x02});
    struct Case {
        const Bytes& Reply;
        TValueFormat Format;
        int Quantity;
        std::string Text;
    };
    const Case cases[] = {
        {regs, TValueFormat::Hex, 3, "1234 ABCD FFFF "},
        {regs, TValueFormat::Unsigned, 3, "4660 43981 65535 "},
        {regs, TValueFormat::Signed, 3, "4660 -21555 -1 "},
        {regs, TValueFormat::Int32ABCD, 3, "305441741 -- "},
        {regs, TValueFormat::Int32CDAB, 3, "-1412623820 -- "},
        {regs, TValueFormat::FloatABCD, 3, "5.700975e-28 -- "},
        {regs, TValueFormat::FloatCDAB, 3, "-1.457118e-12 -- "},
        {regs, TValueFormat::Bits, 3, "1234 ABCD FFFF "}, // not for registers: the hex words
        {coils, TValueFormat::Bits, 10, "10010010 01 "},
        {coils, TValueFormat::Bits, 0, "10010010 01000000 "},
        {coils, TValueFormat::Signed, 10, "4902 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ValueFormatKey(c.Format));
        const auto decoded = DecodeReceiveData(c.Reply.data(), static_cast<int>(c.Reply.size()), c.Format, c.Quantity);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->Text, c.Text);
    }
    for (int i = 0; i < ValueFormatCount; ++i) {
        const auto format = static_cast<TValueFormat>(i);
        EXPECT_EQ(ValueFormatFromKey(ValueFormatKey(format)), format);
    }
    EXPECT_EQ(ValueFormatFromKey("floatcdab"), TValueFormat::FloatCDAB);
    EXPECT_FALSE(ValueFormatFromKey("Double"));
}

} // namespace
