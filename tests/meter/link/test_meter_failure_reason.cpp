// The words of Ormet-Master's status line for each way an exchange or the opening of the port fails.
#include <gtest/gtest.h>

#include <cerrno>

#include "failure_reason.h"
#include "modbusrtu.h"

namespace {

struct ReasonCase {
    int result;
    std::uint32_t replyBytes; // of a 25-byte measurement reply
    const char* text;
};

} // namespace

TEST(MeterFailureReason, EachResultHasItsWords)
{
    const ReasonCase cases[] = {
        {CModBusRtu::ResultOk, 25, ""},
        {CModBusRtu::ResultLinkFailed, 0, "串口读写失败"},
        {CModBusRtu::ResultShort, 0, "无应答"},
        {CModBusRtu::ResultShort, 1, "应答过短"},
        {CModBusRtu::ResultShort, 24, "应答过短"},
        {CModBusRtu::ResultShort, 25, "字节数不符"}, // every byte came, the byte count field was too big
        {CModBusRtu::ResultCrc, 25, "CRC错误"},
        {0x01, 5, "异常 01 非法功能"},
        {0x02, 5, "异常 02 非法数据地址"},
        {0x03, 5, "异常 03 非法数据值"},
        {0x04, 5, "异常 04 从站设备故障"},
        {0x05, 5, "异常 05 确认"},
        {0x06, 5, "异常 06 从站设备忙"},
        {0x07, 5, "异常 07"}, // codes the standard leaves unnamed show their number alone
        {0x08, 5, "异常 08 存储奇偶性差错"},
        {0x09, 5, "异常 09"},
        {0x0A, 5, "异常 0A 不可用网关路径"},
        {0x0B, 5, "异常 0B 网关目标设备响应失败"},
        {0x0C, 5, "异常 0C"},
        {0xFF, 5, "异常 FF"},
    };
    for (const ReasonCase& c : cases)
        EXPECT_EQ(ExchangeFailureText(c.result, c.replyBytes, 25), c.text) << c.result << ", " << c.replyBytes;

    // The port: the library's explanation after the words, or the words alone when the system told nothing.
    EXPECT_EQ(OpenFailureText(KestroComm32::TSystemReason()), "端口无法打开");
    KestroComm32::TSystemReason missing;
    missing.Error = ENOENT;
    missing.DevicePath = "/dev/ttyUSB7";
    EXPECT_EQ(OpenFailureText(missing), "端口无法打开：" + KestroComm32::ExplainOpenFailure(missing, 2052));
    EXPECT_NE(OpenFailureText(missing).find("/dev/ttyUSB7 不存在"), std::string::npos);
}
