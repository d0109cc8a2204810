// Request frames, hex text, integer conversion and reply decoding of the debugging assistant.
#include "crc_frame.h"
#include "modbus_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Busprobe;

namespace {

std::vector<std::uint8_t> Bytes(const TRequestFrame& frame)
{
    return {frame.Bytes.begin(), frame.Bytes.begin() + frame.Length};
}

std::string ConvertMessage(const std::string& text)
{
    try {
        StrToInt(text);
    } catch (const EConvertError& e) {
        return e.Message;
    }
    return "no error";
}

TEST(HexText, DigitsSeparatorsAndOddDigit)
{
    EXPECT_EQ(AsciiToHex('0'), 0);
    EXPECT_EQ(AsciiToHex('9'), 9);
    EXPECT_EQ(AsciiToHex('a'), 10);
    EXPECT_EQ(AsciiToHex('F'), 15);
    EXPECT_EQ(AsciiToHex('g'), -1);
    EXPECT_EQ(AsciiToHex(' '), -1);
    EXPECT_EQ(AsciiToHex(static_cast<char>(0xE4)), -1);

    std::uint8_t buf[8] = {};
    EXPECT_EQ(AnsiStrToChars("1 2 3", buf, 8), 1);
    EXPECT_EQ(buf[0], 0x12);
    EXPECT_EQ(AnsiStrToChars("0A0B0C", buf, 8), 3);
    EXPECT_EQ(buf[0], 0x0A);
    EXPECT_EQ(buf[1], 0x0B);
    EXPECT_EQ(buf[2], 0x0C);
    // "0x" is no prefix: its 0 is a digit. UTF-8 bytes of Chinese text and other letters separate.
    EXPECT_EQ(AnsiStrToChars("0x12,中-zz3", buf, 8), 2);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0x23);
    EXPECT_EQ(AnsiStrToChars("", buf, 8), 0);
}

TEST(HexText, NeverWritesPastTheBuffer)
{
    std::uint8_t buf[6];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    EXPECT_EQ(AnsiStrToChars("11 22 33 44 55 6", buf, 3), 5);
    EXPECT_EQ(buf[2], 0x33);
    EXPECT_EQ(buf[3], 0xEE);
    EXPECT_EQ(buf[4], 0xEE);
}

TEST(IntegerConversion, AcceptedForms)
{
    for (const char* text : {"0x1F", "0X1F", "$1F", "x1F", "X1F", "$1f", "31", "+31", "  31", "031"})
        EXPECT_EQ(StrToInt(text), 31) << text;
    EXPECT_EQ(StrToInt("-31"), -31);
    EXPECT_EQ(StrToInt(" -$1F"), -31);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("0x80000000"), INT32_MIN);
    EXPECT_EQ(StrToInt("$000000001"), 1);
    EXPECT_EQ(StrToInt("-$FFFFFFFF"), 1);
}

TEST(IntegerConversion, FailuresCarryTheExactMessage)
{
    EXPECT_EQ(ConvertMessage("12 "), "'12 ' is not a valid integer value");
    EXPECT_EQ(ConvertMessage(""), "'' is not a valid integer value");
    EXPECT_EQ(ConvertMessage("1F"), "'1F' is not a valid integer value");
    EXPECT_EQ(ConvertMessage("abc"), "'abc' is not a valid integer value");
    for (const char* text : {"2147483648", "-2147483649", "99999999999999999999", "$100000000", "0x1FFFFFFFF", "$",
                             "0x", "-", "+", " ", "\t1", "- 1", "1.5", "$1G", "0x-1", "１"})
        EXPECT_THROW(StrToInt(text), EConvertError) << text;
}

TEST(Frames, ReadAndSingleWriteGroups)
{
    EXPECT_EQ(Bytes(BuildRequest(0x03, "1", "0", "10")),
              (std::vector<std::uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(Bytes(BuildRequest(0x06, "1", "1", "3")),
              (std::vector<std::uint8_t>{0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B}));
    EXPECT_EQ(Bytes(BuildRequest(0x05, "255", "$10", "65280")), WithCrc({0xFF, 0x05, 0x00, 0x10, 0xFF, 0x00}));
    EXPECT_EQ(Bytes(BuildRequest(0x02, "247", "0x1234", "0")), WithCrc({0xF7, 0x02, 0x12, 0x34, 0x00, 0x00}));
    EXPECT_EQ(Bytes(BuildRequest(0x04, "1", "2", "3")), WithCrc({0x01, 0x04, 0x00, 0x02, 0x00, 0x03}));
}

// A number that does not fit its field is refused, naming the text and the range; one that fits goes out,
// Modbus-legal or not (quantity 0 or 300 provokes a slave's exception), a negative value as two's complement.
TEST(Frames, FieldRanges)
{
    struct Case {
        std::uint8_t Fc;
        const char *Addr, *Reg, *Third;
        std::vector<std::uint8_t> Sent; // empty: refused
        std::string Message;
    };
    const Case cases[] = {
        {0x03, "300", "0", "1", {}, "'300' 超出范围（允许 0 到 255），未发送!"},
        {0x03, "-1", "0", "1", {}, "'-1' 超出范围（允许 0 到 255），未发送!"},
        {0x01, "1", "70000", "1", {}, "'70000' 超出范围（允许 0 到 65535），未发送!"},
        {0x02, "1", "-1", "1", {}, "'-1' 超出范围（允许 0 到 65535），未发送!"},
        {0x04, "1", "0", "65536", {}, "'65536' 超出范围（允许 0 到 65535），未发送!"},
        {0x03, "1", "0", "-1", {}, "'-1' 超出范围（允许 0 到 65535），未发送!"},
        {0x06, "1", "1", "70000", {}, "'70000' 超出范围（允许 -32768 到 65535），未发送!"},
        {0x05, "1", "1", "-32769", {}, "'-32769' 超出范围（允许 -32768 到 65535），未发送!"},
        {0x03, "1", "x", "99999", {}, "'x' is not a valid integer value"}, // conversion first, in field order
        {0x03, "999", "x", "1", {}, "'999' 超出范围（允许 0 到 255），未发送!"},
        {0x06, "1", "1", "-1", WithCrc({0x01, 0x06, 0x00, 0x01, 0xFF, 0xFF}), ""},
        {0x06, "1", "1", "-32768", WithCrc({0x01, 0x06, 0x00, 0x01, 0x80, 0x00}), ""},
        {0x06, "0", "$FFFF", "65535", WithCrc({0x00, 0x06, 0xFF, 0xFF, 0xFF, 0xFF}), ""},
        {0x03, "255", "0", "0", WithCrc({0xFF, 0x03, 0x00, 0x00, 0x00, 0x00}), ""},
        {0x03, "1", "0", "300", WithCrc({0x01, 0x03, 0x00, 0x00, 0x01, 0x2C}), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Addr) + "/" + c.Reg + "/" + c.Third);
        try {
            EXPECT_EQ(Bytes(BuildRequest(c.Fc, c.Addr, c.Reg, c.Third)), c.Sent);
            EXPECT_FALSE(c.Sent.empty()) << "not refused";
        } catch (const ERequestError& e) {
            EXPECT_TRUE(c.Sent.empty());
            EXPECT_EQ(e.Message, c.Message);
        }
    }
    // 10H checks address and register the same way, before the list.
    EXPECT_THROW(BuildWriteMultipleRequest("256", "0", "00 01"), ERangeError);
    EXPECT_THROW(BuildWriteMultipleRequest("1", "65536", "00 01"), ERangeError);
}

TEST(Frames, FirstBadFieldIsReported)
{
    try {
        BuildRequest(0x03, "1", "abc", "x");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message, "'abc' is not a valid integer value");
    }
    try {
        BuildWriteMultipleRequest("q", "abc", "00 01");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message, "'q' is not a valid integer value");
    }
}

TEST(Frames, WriteMultipleRegisters)
{
    EXPECT_EQ(
        Bytes(BuildWriteMultipleRequest("1", "2", "00 0A 01 02")),
        (std::vector<std::uint8_t>{0x01, 0x10, 0x00, 0x02, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02, 0xD2, 0x25}));
    // Odd N announces one register more than it fills; the odd trailing digit is not sent.
    EXPECT_EQ(Bytes(BuildWriteMultipleRequest("1", "0", "AA BB CC D")),
              WithCrc({0x01, 0x10, 0x00, 0x00, 0x00, 0x02, 0x03, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(Bytes(BuildWriteMultipleRequest("1", "0", "")), WithCrc({0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(Frames, WriteMultipleLimit)
{
    std::string list;
    for (int i = 0; i < 246; ++i) list += "5A ";
    const TRequestFrame longest = BuildWriteMultipleRequest("1", "0", list);
    ASSERT_EQ(longest.Length, 255);
    EXPECT_EQ(longest.Bytes[5], 123);
    EXPECT_EQ(longest.Bytes[6], 246);
    EXPECT_EQ(Bytes(longest), WithCrc(std::vector<std::uint8_t>(longest.Bytes.begin(), longest.Bytes.begin() + 253)));

    try {
        BuildWriteMultipleRequest("1", "0", list + "5A");
        FAIL() << "no error";
    } catch (const ERequestTooLong& e) {
        EXPECT_EQ(e.Message, Str_ValueListTooLong);
    }
    // A trailing odd digit is not a byte and does not count.
    EXPECT_EQ(BuildWriteMultipleRequest("1", "0", list + "5").Length, 255);
}

TEST(Frames, FreeForm)
{
    EXPECT_EQ(Bytes(BuildFreeFormRequest("01 03 00 00 00 0A", false)),
              (std::vector<std::uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(Bytes(BuildFreeFormRequest("01 03 00 00 00 0A", true)),
              (std::vector<std::uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(BuildFreeFormRequest("", false).Length, 0);
    EXPECT_EQ(Bytes(BuildFreeFormRequest("xyz ;-", true)), (std::vector<std::uint8_t>{0xFF, 0xFF}));
}

TEST(Frames, FreeFormLimits)
{
    std::string text253;
    for (int i = 0; i < 253; ++i) text253 += "A5";
    EXPECT_EQ(BuildFreeFormRequest(text253, true).Length, 255);
    EXPECT_EQ(BuildFreeFormRequest(text253 + "A5A5", false).Length, 255);
    try {
        BuildFreeFormRequest(text253 + "A5", true);
        FAIL() << "no error";
    } catch (const ERequestTooLong& e) {
        EXPECT_EQ(e.Message, Str_FreeFormWithCrcTooLong);
    }
    try {
        BuildFreeFormRequest(text253 + "A5A5A5", false);
        FAIL() << "no error";
    } catch (const ERequestTooLong& e) {
        EXPECT_EQ(e.Message, Str_FreeFormTooLong);
    }
    std::string huge(100000, 'F');
    EXPECT_THROW(BuildFreeFormRequest(huge, false), ERequestTooLong);
}

TEST(Decoding, ReadRepliesGoToTheirField)
{
    const auto reply = WithCrc({0x01, 0x03, 0x04, 0x00, 0x64, 0x01, 0xF4});
    const auto decoded = DecodeReceiveData(reply.data(), static_cast<int>(reply.size()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->FunctionCode, 3);
    EXPECT_EQ(decoded->Text, "0064 01F4 ");

    // Only the function code counts: wrong CRC, other slave, odd data length alike.
    const std::uint8_t coils[] = {0x07, 0x01, 0x03, 0xCD, 0x6B, 0x05, 0x00, 0x00};
    const auto decodedCoils = DecodeReceiveData(coils, sizeof coils);
    ASSERT_TRUE(decodedCoils);
    EXPECT_EQ(decodedCoils->FunctionCode, 1);
    EXPECT_EQ(decodedCoils->Text, "CD6B 05");

    const std::uint8_t anything[] = {0x01, 0x02, 0x04, 0x03, 0x04, 0x05};
    for (int count = 2; count <= 5; ++count) {
        for (std::uint8_t fc = 1; fc <= 4; ++fc) {
            std::uint8_t block[5];
            std::copy(anything, anything + 5, block);
            block[1] = fc;
            const auto short_ = DecodeReceiveData(block, count);
            ASSERT_TRUE(short_) << count;
            EXPECT_EQ(short_->FunctionCode, fc);
            EXPECT_EQ(short_->Text, "") << count;
        }
    }
}

TEST(Decoding, OtherBlocksDecodeNothing)
{
    const std::uint8_t exception[] = {0x01, 0x83, 0x02, 0xC0, 0xF1};
    EXPECT_FALSE(DecodeReceiveData(exception, sizeof exception));
    const std::uint8_t echo06[] = {0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B};
    EXPECT_FALSE(DecodeReceiveData(echo06, sizeof echo06));
    const std::uint8_t zero[] = {0x01, 0x00, 0x00};
    EXPECT_FALSE(DecodeReceiveData(zero, sizeof zero));
    // A single byte has no function code, whatever follows it in the buffer.
    const std::uint8_t stale[] = {0x01, 0x03, 0x02, 0x00, 0x01};
    EXPECT_FALSE(DecodeReceiveData(stale, 1));
    EXPECT_FALSE(DecodeReceiveData(stale, 0));
}

TEST(LogLine, TwoDigitsAndABlankPerByte)
{
    const std::uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(HexLine(frame, sizeof frame), "01 03 00 00 00 0A C5 CD ");
    EXPECT_EQ(HexLine(frame, 0), "");
}

} // namespace
