// Fuzz target: decoding of a received block into the value text of a 01H-04H reply.
#include "fuzz_check.h"
#include "modbus_request.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace Busprobe;

namespace {

bool UpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly the block's size, so any read past it is caught.
    const int count = static_cast<int>(std::min<std::size_t>(size, 4096));
    std::vector<std::uint8_t> block(data, data + count);
    const auto reply = DecodeReceiveData(block.data(), count);
    const bool decodable = count >= 2 && block[1] >= 1 && block[1] <= 4;
    Check(reply.has_value() == decodable, "decoded exactly the 01H-04H blocks");
    if (reply) {
        Check(reply->FunctionCode == block[1], "function code");
        // The data field: after address, function code and byte count, before the CRC.
        const int fieldBytes = count > 5 ? count - 5 : 0;
        const std::string& t = reply->Text;
        int hexChars = 0, blanks = 0;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (UpperHex(t[i])) {
                ++hexChars;
            } else {
                Check(t[i] == ' ', "text holds hex digits and blanks only");
                Check(i > 0 && t[i - 1] != ' ', "no double blanks");
                ++blanks;
            }
        }
        Check(hexChars == 2 * fieldBytes, "two digits per data byte");
        Check(blanks == fieldBytes / 2, "a blank after every word");
        std::vector<std::uint8_t> back(static_cast<std::size_t>(fieldBytes) + 1);
        Check(AnsiStrToChars(t, back.data(), fieldBytes) == fieldBytes, "text reads back");
        Check(fieldBytes == 0 || std::memcmp(back.data(), block.data() + 3, static_cast<std::size_t>(fieldBytes)) == 0,
              "text is the data field");
    }

    const std::string line = HexLine(block.data(), count);
    Check(line.size() == 3u * static_cast<std::size_t>(count), "log line length");
    std::vector<std::uint8_t> back(static_cast<std::size_t>(count) + 1);
    Check(AnsiStrToChars(line, back.data(), count) == count, "log line count");
    Check(count == 0 || std::memcmp(back.data(), block.data(), static_cast<std::size_t>(count)) == 0,
          "log line reads back");
    return 0;
}
