// Field rules of Ormet-Master's dialogs that need no window: integer parsing, messages, password.
#pragma once

#include <optional>
#include <string>

// Parses an integer field the way the dialogs' data exchange does: optional blanks, an optional
// sign, decimal digits, optional blanks, nothing else. Values beyond the 32-bit range are clamped
// to it, so a range check refuses them instead of a wrapped value slipping through.
std::optional<long long> ParseDialogInt(const std::string& text);

// The three validation messages, UTF-8.
inline constexpr const char* MsgNotInteger = "请输入一个整数。";
std::string RangeMessage(long long lower, long long upper); // "请输入一个在 lo 和 hi 之间的整数。"
std::string MaxCharsMessage(int limit);                     // "请输入不多于 n 个的字符。"

// Refusal of an internal parameter text that the register conversion cannot take.
std::string HexDigitsMessage(int digits); // "请输入 n 位十六进制数字（0-9、A-F）。"

// The calibration password and its comparison (exact, case-sensitive, whole strings).
inline constexpr const char* CalibrationPassword = "KVRA572/8";
bool PasswordMatches(const std::string& entered);
