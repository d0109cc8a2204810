// Request frames of the debugging assistant: edit texts to Modbus RTU bytes, and read replies to text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Busprobe {

// Base of the errors that stop a request before anything is sent; Message is shown as it is.
class ERequestError : public std::exception {
public:
    explicit ERequestError(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// The runtime's integer conversion error: "'<text>' is not a valid integer value".
class EConvertError : public ERequestError {
public:
    using ERequestError::ERequestError;
};

// A number that converts but does not fit its field: "'<text>' 超出范围（允许 <lo> 到 <hi>），未发送!".
class ERangeError : public ERequestError {
public:
    using ERequestError::ERequestError;
};

// A request that would not fit into the 255 bytes that can leave the program.
class ERequestTooLong : public ERequestError {
public:
    using ERequestError::ERequestError;
};

constexpr int MaxRequestLength = 255;
constexpr int MaxWriteMultipleValueBytes = MaxRequestLength - 9; // 246

extern const char* const Str_FreeFormTooLong;        // free-form text of more than 255 bytes
extern const char* const Str_FreeFormWithCrcTooLong; // free-form text of more than 253 bytes, CRC to add
extern const char* const Str_ValueListTooLong;       // 10H list of more than 246 bytes

// 0-9 for '0'-'9', 10-15 for 'a'-'f' and 'A'-'F', -1 for every other byte.
int AsciiToHex(char ch);

// Hex text to bytes: every byte that is not a hex digit separates, a final odd digit is dropped.
// Writes at most bufferSize bytes into buffer and returns the number of complete bytes in the whole
// text, which may exceed bufferSize (then only the first bufferSize were stored).
int AnsiStrToChars(std::string_view text, std::uint8_t* buffer, int bufferSize);

// Signed 32-bit conversion of an edit's text: leading blanks, a sign, decimal digits or hex digits
// after "$", "x", "X", "0x" or "0X"; nothing else. Hex takes up to 32 bits ($FFFFFFFF is -1).
// Throws EConvertError.
std::int32_t StrToInt(std::string_view text);

// StrToInt, then ERangeError unless lo <= value <= hi.
std::int32_t StrToIntInRange(std::string_view text, std::int32_t lo, std::int32_t hi);

// Ranges of the request fields. A 05H/06H value may be negative: it goes out as 16-bit two's complement.
constexpr std::int32_t MaxSlaveAddress = 255;
constexpr std::int32_t MaxWord = 65535;
constexpr std::int32_t MinSignedWord = -32768;

// A frame as it goes to the port: Length bytes of Bytes (at most 255, an 8-bit count).
struct TRequestFrame {
    std::array<std::uint8_t, 256> Bytes{};
    std::uint8_t Length = 0;
};

// Groups 01H to 06H: address, function code, two 16-bit fields, CRC. The texts are converted in the
// order address, register, quantity or value; the first bad one throws EConvertError, or ERangeError when
// it does not fit: address 0-255, register and quantity 0-65535, value -32768-65535.
TRequestFrame BuildRequest(std::uint8_t functionCode, std::string_view addrText, std::string_view regText,
                           std::string_view numOrValueText);

// Group 10H: the value list is hex byte text; the quantity is (N + 1) / 2. Throws EConvertError or
// ERangeError for address or register, ERequestTooLong for a list of more than 246 bytes.
TRequestFrame BuildWriteMultipleRequest(std::string_view addrText, std::string_view regText,
                                        std::string_view valueListText);

// Free-form hex text, sent as parsed or with the CRC appended. Throws ERequestTooLong.
TRequestFrame BuildFreeFormRequest(std::string_view text, bool withCrc);

// What a received block puts into the window: Text for the value field of FunctionCode (1 to 4).
struct TDecodedReply {
    int FunctionCode = 0;
    std::string Text;
};

// Decodes the data field of a 01H-04H reply by its function code alone; nothing for any other code or
// for a block shorter than 2 bytes.
std::optional<TDecodedReply> DecodeReceiveData(const std::uint8_t* bytes, int count);

// Log line of one block: two upper-case hex digits and one blank per byte.
std::string HexLine(const std::uint8_t* bytes, int count);

} // namespace Busprobe
