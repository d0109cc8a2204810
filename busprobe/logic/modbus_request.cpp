// Request frames of the debugging assistant: text conversion, frame building and reply decoding.
#include "modbus_request.h"

#include "crc16.h"

namespace Busprobe {

const char* const Str_FreeFormTooLong = "指令过长（最多255字节），未发送!";
const char* const Str_FreeFormWithCrcTooLong = "指令过长（带CRC最多253字节），未发送!";
const char* const Str_ValueListTooLong = "寄存器值过长（最多246字节，即123个寄存器），未发送!";

namespace {

const char HexDigits[] = "0123456789ABCDEF";

[[noreturn]] void ThrowNotAnInteger(std::string_view text)
{
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

[[noreturn]] void ThrowOutOfRange(std::string_view text, std::int32_t lo, std::int32_t hi)
{
    throw ERangeError("'" + std::string(text) + "' 超出范围（允许 " + std::to_string(lo) + " 到 " + std::to_string(hi) +
                      "），未发送!");
}

void PutWord(std::uint8_t* at, std::int32_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

// Appends the CRC over the first `length` bytes, high byte of CRC16's result first.
void AppendCrc(TRequestFrame& frame, int length)
{
    const std::uint16_t crc = CRC16(frame.Bytes.data(), static_cast<std::uint16_t>(length));
    frame.Bytes[length] = static_cast<std::uint8_t>(crc >> 8);
    frame.Bytes[length + 1] = static_cast<std::uint8_t>(crc);
    frame.Length = static_cast<std::uint8_t>(length + 2);
}

} // namespace

int AsciiToHex(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

int AnsiStrToChars(std::string_view text, std::uint8_t* buffer, int bufferSize)
{
    int count = 0;
    bool halfPending = false;
    for (char ch : text) {
        const int value = AsciiToHex(ch);
        if (value < 0) continue;
        if (!halfPending) {
            if (count < bufferSize) buffer[count] = static_cast<std::uint8_t>(value * 16);
            halfPending = true;
        } else {
            if (count < bufferSize) buffer[count] = static_cast<std::uint8_t>(buffer[count] | value);
            ++count;
            halfPending = false;
        }
    }
    return count;
}

std::int32_t StrToInt(std::string_view text)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ') ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == n) ThrowNotAnInteger(text);

    std::uint64_t value = 0;
    for (; i < n; ++i) {
        int digit;
        if (hex) {
            digit = AsciiToHex(text[i]);
        } else {
            digit = (text[i] >= '0' && text[i] <= '9') ? text[i] - '0' : -1;
        }
        if (digit < 0) ThrowNotAnInteger(text);
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
        // Decimal may reach 2^31 only as a negative number; hex fills 32 bits.
        if (value > (hex ? 0xFFFFFFFFull : 0x80000000ull)) ThrowNotAnInteger(text);
    }
    if (hex) {
        const auto bits = static_cast<std::uint32_t>(value);
        return static_cast<std::int32_t>(negative ? 0u - bits : bits);
    }
    if (!negative && value > 0x7FFFFFFFull) ThrowNotAnInteger(text);
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value));
}

std::int32_t StrToIntInRange(std::string_view text, std::int32_t lo, std::int32_t hi)
{
    const std::int32_t value = StrToInt(text);
    if (value < lo || value > hi) ThrowOutOfRange(text, lo, hi);
    return value;
}

TRequestFrame BuildRequest(std::uint8_t functionCode, std::string_view addrText, std::string_view regText,
                           std::string_view numOrValueText)
{
    const std::int32_t addr = StrToIntInRange(addrText, 0, MaxSlaveAddress);
    const std::int32_t reg = StrToIntInRange(regText, 0, MaxWord);
    const bool isValue = functionCode == 0x05 || functionCode == 0x06;
    const std::int32_t numOrValue = StrToIntInRange(numOrValueText, isValue ? MinSignedWord : 0, MaxWord);
    TRequestFrame frame;
    frame.Bytes[0] = static_cast<std::uint8_t>(addr);
    frame.Bytes[1] = functionCode;
    PutWord(&frame.Bytes[2], reg);
    PutWord(&frame.Bytes[4], numOrValue);
    AppendCrc(frame, 6);
    return frame;
}

TRequestFrame BuildWriteMultipleRequest(std::string_view addrText, std::string_view regText,
                                        std::string_view valueListText)
{
    const std::int32_t addr = StrToIntInRange(addrText, 0, MaxSlaveAddress);
    const std::int32_t reg = StrToIntInRange(regText, 0, MaxWord);
    TRequestFrame frame;
    const int n = AnsiStrToChars(valueListText, &frame.Bytes[7], MaxWriteMultipleValueBytes);
    if (n > MaxWriteMultipleValueBytes) throw ERequestTooLong(Str_ValueListTooLong);
    frame.Bytes[0] = static_cast<std::uint8_t>(addr);
    frame.Bytes[1] = 0x10;
    PutWord(&frame.Bytes[2], reg);
    PutWord(&frame.Bytes[4], (n + 1) / 2);
    frame.Bytes[6] = static_cast<std::uint8_t>(n);
    AppendCrc(frame, n + 7);
    return frame;
}

TRequestFrame BuildFreeFormRequest(std::string_view text, bool withCrc)
{
    const int limit = withCrc ? MaxRequestLength - 2 : MaxRequestLength;
    TRequestFrame frame;
    const int n = AnsiStrToChars(text, frame.Bytes.data(), limit);
    if (n > limit) throw ERequestTooLong(withCrc ? Str_FreeFormWithCrcTooLong : Str_FreeFormTooLong);
    if (withCrc) {
        AppendCrc(frame, n);
    } else {
        frame.Length = static_cast<std::uint8_t>(n);
    }
    return frame;
}

std::optional<TDecodedReply> DecodeReceiveData(const std::uint8_t* bytes, int count)
{
    if (count < 2) return std::nullopt;
    const int fc = bytes[1];
    if (fc < 1 || fc > 4) return std::nullopt;
    TDecodedReply reply;
    reply.FunctionCode = fc;
    // Data sits between address, function code, byte count and the two CRC bytes; it starts at the odd
    // position 3, so a blank after each even position groups the bytes as words.
    for (int i = 3; i <= count - 3; ++i) {
        reply.Text += HexDigits[bytes[i] >> 4];
        reply.Text += HexDigits[bytes[i] & 0x0F];
        if (i % 2 == 0) reply.Text += ' ';
    }
    return reply;
}

std::string HexLine(const std::uint8_t* bytes, int count)
{
    std::string line;
    line.reserve(static_cast<std::size_t>(count > 0 ? count : 0) * 3);
    for (int i = 0; i < count; ++i) {
        line += HexDigits[bytes[i] >> 4];
        line += HexDigits[bytes[i] & 0x0F];
        line += ' ';
    }
    return line;
}

} // namespace Busprobe
