// Field rules of Ormet-Master's dialogs: integer parsing, validation messages, password check.
#include "dialog_rules.h"

#include <climits>
#include <cstdint>

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
} // namespace

std::optional<long long> ParseDialogInt(const std::string& text)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t firstDigit = i;
    long long value = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        if (value <= static_cast<long long>(INT32_MAX) + 1) value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (i == firstDigit) return std::nullopt;
    while (i < n && IsBlank(text[i])) ++i;
    if (i != n) return std::nullopt;
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return value;
}

std::string RangeMessage(long long lower, long long upper)
{
    return "请输入一个在 " + std::to_string(lower) + " 和 " + std::to_string(upper) + " 之间的整数。";
}

std::string MaxCharsMessage(int limit) { return "请输入不多于 " + std::to_string(limit) + " 个的字符。"; }

std::string HexDigitsMessage(int digits)
{
    return "请输入 " + std::to_string(digits) + " 位十六进制数字（0-9、A-F）。";
}

bool PasswordMatches(const std::string& entered) { return entered == CalibrationPassword; }
