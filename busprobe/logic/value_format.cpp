// Number formats of the read groups' result edits.
#include "value_format.h"

#include <cstdio>
#include <cstring>

namespace Busprobe {

namespace {

struct TFormatName {
    const char* Key;
    const char* Caption;
};

const TFormatName Names[ValueFormatCount] = {
    {"Hex", "十六进制"},
    {"Unsigned", "无符号"},
    {"Signed", "有符号"},
    {"Int32ABCD", "32位整数 ABCD"},
    {"Int32CDAB", "32位整数 CDAB"},
    {"FloatABCD", "32位浮点 ABCD"},
    {"FloatCDAB", "32位浮点 CDAB"},
    {"Bits", "位"},
};

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
}

void AppendValue(std::string& text, const char* value)
{
    text += value;
    text += ' ';
}

} // namespace

const char* ValueFormatKey(TValueFormat format) { return Names[static_cast<int>(format)].Key; }

const char* ValueFormatCaption(TValueFormat format) { return Names[static_cast<int>(format)].Caption; }

std::optional<TValueFormat> ValueFormatFromKey(std::string_view key)
{
    for (int i = 0; i < ValueFormatCount; ++i)
        if (SameIgnoringCase(key, Names[i].Key)) return static_cast<TValueFormat>(i);
    return std::nullopt;
}

bool ValueFormatFits(TValueFormat format, int functionCode)
{
    if (format == TValueFormat::Hex) return true;
    const bool bits = functionCode == 0x01 || functionCode == 0x02;
    return bits == (format == TValueFormat::Bits);
}

std::optional<TDecodedReply> DecodeReceiveData(const std::uint8_t* bytes, int count, TValueFormat format, int quantity)
{
    std::optional<TDecodedReply> reply = DecodeReceiveData(bytes, count);
    if (!reply || !ValueFormatFits(format, reply->FunctionCode) || format == TValueFormat::Hex) return reply;
    const std::uint8_t* data = bytes + 3;
    const int n = count - 5 > 0 ? count - 5 : 0;
    std::string text;
    char value[32];
    if (format == TValueFormat::Bits) {
        const int bits = quantity > 0 && quantity < n * 8 ? quantity : n * 8;
        for (int i = 0; i < bits; ++i) {
            text += (data[i / 8] >> (i % 8)) & 1 ? '1' : '0';
            if (i % 8 == 7 || i + 1 == bits) text += ' ';
        }
    } else if (format == TValueFormat::Unsigned || format == TValueFormat::Signed) {
        for (int i = 0; i + 1 < n; i += 2) {
            const unsigned word = static_cast<unsigned>(data[i] << 8 | data[i + 1]);
            if (format == TValueFormat::Unsigned) {
                std::snprintf(value, sizeof value, "%u", word);
            } else {
                std::snprintf(value, sizeof value, "%d", static_cast<int>(static_cast<std::int16_t>(word)));
            }
            AppendValue(text, value);
        }
        if (n % 2 != 0) AppendValue(text, "--");
    } else {
        const bool swapped = format == TValueFormat::Int32CDAB || format == TValueFormat::FloatCDAB;
        const bool isFloat = format == TValueFormat::FloatABCD || format == TValueFormat::FloatCDAB;
        int i = 0;
        for (; i + 3 < n; i += 4) {
            const std::uint32_t first = static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
            const std::uint32_t second = static_cast<std::uint32_t>(data[i + 2] << 8 | data[i + 3]);
            const std::uint32_t bits = swapped ? (second << 16 | first) : (first << 16 | second);
            if (isFloat) {
                float f;
                std::memcpy(&f, &bits, sizeof f);
                std::snprintf(value, sizeof value, "%.7g", static_cast<double>(f));
            } else {
                std::snprintf(value, sizeof value, "%d", static_cast<std::int32_t>(bits));
            }
            AppendValue(text, value);
        }
        if (i < n) AppendValue(text, "--");
    }
    reply->Text = text;
    return reply;
}

} // namespace Busprobe
