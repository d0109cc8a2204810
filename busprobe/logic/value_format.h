// Number formats of the read groups' result edits: the seed's hex words, or values read as the user wants.
#pragma once

#include "modbus_request.h"

#include <optional>
#include <string_view>

namespace Busprobe {

// In the order of the window's lists. Hex is DecodeReceiveData's text exactly.
enum class TValueFormat { Hex, Unsigned, Signed, Int32ABCD, Int32CDAB, FloatABCD, FloatCDAB, Bits };
constexpr int ValueFormatCount = 8;

// The name kept in modbus_cfg.ini ("Hex", "FloatCDAB", ...), and back (case-insensitive; nothing for others).
const char* ValueFormatKey(TValueFormat format);
std::optional<TValueFormat> ValueFormatFromKey(std::string_view key);
// The caption in the window's list ("十六进制", "32位浮点 CDAB", ...).
const char* ValueFormatCaption(TValueFormat format);
// Hex and Bits for coils and inputs (01H, 02H); Hex and the register formats for registers (03H, 04H).
bool ValueFormatFits(TValueFormat format, int functionCode);

// DecodeReceiveData in a format: values of the data field, each followed by one blank. A 32-bit value
// takes two registers, first register high (ABCD) or low (CDAB); a register left over shows as "--".
// Bits lists coil or input 0 first, in groups of 8, cut at quantity when it is above 0. A format that does
// not fit the reply's function code gives the hex words.
std::optional<TDecodedReply> DecodeReceiveData(const std::uint8_t* bytes, int count, TValueFormat format, int quantity);

} // namespace Busprobe
