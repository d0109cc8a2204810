// Fuzz target: hex text to bytes, the integer conversion and the request frames built from them.
#include "fuzz_check.h"
#include "crc16.h"
#include "modbus_request.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace Busprobe;

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Independent reading of the integer rules: blanks, a sign, a hex prefix, then digits; 32 bits.
std::optional<std::int32_t> ModelStrToInt(std::string_view t)
{
    std::size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
    bool hex = false;
    if (t.substr(i).starts_with("0x") || t.substr(i).starts_with("0X")) {
        hex = true;
        i += 2;
    } else if (i < t.size() && (t[i] == '$' || t[i] == 'x' || t[i] == 'X')) {
        hex = true;
        i += 1;
    }
    const std::string_view digits = t.substr(i);
    if (digits.empty()) return std::nullopt;
    unsigned __int128 v = 0;
    for (char c : digits) {
        const int d = hex ? HexValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        v = v * (hex ? 16 : 10) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFu) return std::nullopt;
    }
    if (hex) {
        const std::uint32_t bits = static_cast<std::uint32_t>(v);
        return static_cast<std::int32_t>(negative ? 0u - bits : bits);
    }
    if (negative ? v > 0x80000000u : v > 0x7FFFFFFFu) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v));
}

std::optional<std::int32_t> TryStrToInt(std::string_view t)
{
    try {
        return StrToInt(t);
    } catch (const EConvertError& e) {
        Check(e.Message == "'" + std::string(t) + "' is not a valid integer value", "conversion error text");
        return std::nullopt;
    }
}

bool CrcValid(const TRequestFrame& f)
{
    if (f.Length < 2) return false;
    const std::uint16_t crc = CRC16(f.Bytes.data(), static_cast<std::uint16_t>(f.Length - 2));
    return f.Bytes[f.Length - 2] == (crc >> 8) && f.Bytes[f.Length - 1] == (crc & 0xFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Hex bytes: into a buffer of a size taken from the text, with guard bytes behind it.
    int digits = 0;
    for (char c : text) digits += HexValue(c) >= 0;
    const int expected = digits / 2;
    const int bufferSize = size > 0 ? data[0] % 40 : 0;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(bufferSize) + 8, 0xA5);
    const int n = AnsiStrToChars(text, buffer.data(), bufferSize);
    Check(n == expected, "byte count is half the hex digits");
    for (std::size_t i = static_cast<std::size_t>(bufferSize); i < buffer.size(); ++i)
        Check(buffer[i] == 0xA5, "nothing written past the buffer");
    std::vector<std::uint8_t> all(static_cast<std::size_t>(expected) + 1);
    Check(AnsiStrToChars(text, all.data(), expected) == expected, "whole text count");
    Check(std::memcmp(all.data(), buffer.data(), static_cast<std::size_t>(std::min(n, bufferSize))) == 0,
          "cut buffer holds the first bytes");
    // The log line of those bytes reads back as the same bytes.
    const std::string line = HexLine(all.data(), expected);
    Check(line.size() == 3u * static_cast<std::size_t>(expected), "log line length");
    std::vector<std::uint8_t> again(static_cast<std::size_t>(expected) + 1);
    Check(AnsiStrToChars(line, again.data(), expected) == expected, "log line count");
    Check(std::memcmp(again.data(), all.data(), static_cast<std::size_t>(expected)) == 0, "log line round trip");

    // The integer conversion against the model, and its round trips.
    const auto got = TryStrToInt(text);
    const auto want = ModelStrToInt(text);
    Check(got == want, "StrToInt agrees with the model");
    if (got) {
        Check(StrToInt(std::to_string(*got)) == *got, "decimal round trip");
        char hex[16];
        std::snprintf(hex, sizeof hex, "$%X", static_cast<unsigned>(*got));
        Check(StrToInt(hex) == *got, "hex round trip");
    }

    // Frames built from three texts cut out of the input: exact length, valid CRC, declared errors only.
    const std::size_t a = size / 3, b = 2 * size / 3;
    const std::string_view t1 = text.substr(0, a), t2 = text.substr(a, b - a), t3 = text.substr(b);
    try {
        const TRequestFrame f = BuildRequest(static_cast<std::uint8_t>(1 + size % 6), t1, t2, t3);
        Check(f.Length == 8 && CrcValid(f), "01H-06H frame");
        Check(f.Bytes[0] == static_cast<std::uint8_t>(*TryStrToInt(t1)), "address byte");
    } catch (const EConvertError&) {
        Check(!TryStrToInt(t1) || !TryStrToInt(t2) || !TryStrToInt(t3), "conversion error only for a bad text");
    } catch (const ERangeError&) {
        Check(TryStrToInt(t1) && TryStrToInt(t2) && TryStrToInt(t3), "range error only for numbers");
    }
    try {
        const TRequestFrame f = BuildWriteMultipleRequest(t1, t2, t3);
        std::uint8_t values[256];
        const int count = AnsiStrToChars(t3, values, sizeof values);
        Check(count <= MaxWriteMultipleValueBytes, "10H value list limit");
        Check(f.Length == count + 9 && CrcValid(f), "10H frame");
        Check(f.Bytes[6] == count && (f.Bytes[4] << 8 | f.Bytes[5]) == (count + 1) / 2, "10H counts");
        Check(std::memcmp(&f.Bytes[7], values, static_cast<std::size_t>(count)) == 0, "10H values");
    } catch (const EConvertError&) {
        Check(!TryStrToInt(t1) || !TryStrToInt(t2), "conversion error only for a bad text");
    } catch (const ERangeError&) {
        Check(TryStrToInt(t1) && TryStrToInt(t2), "range error only for numbers");
    } catch (const ERequestTooLong& e) {
        Check(e.Message == Str_ValueListTooLong && AnsiStrToChars(t3, nullptr, 0) > MaxWriteMultipleValueBytes,
              "10H too long");
    }
    for (bool withCrc : {false, true}) {
        const int limit = withCrc ? MaxRequestLength - 2 : MaxRequestLength;
        try {
            const TRequestFrame f = BuildFreeFormRequest(text, withCrc);
            Check(expected <= limit, "free-form limit");
            Check(f.Length == expected + (withCrc ? 2 : 0), "free-form length");
            Check(std::memcmp(f.Bytes.data(), all.data(), static_cast<std::size_t>(expected)) == 0, "free-form bytes");
            Check(!withCrc || CrcValid(f), "free-form CRC");
        } catch (const ERequestTooLong&) {
            Check(expected > limit, "free-form refused only when too long");
        }
    }
    return 0;
}
