// CSerial over the scripted line of fake_serial.h: reads and writes with the link's contract, no port.
#include "fake_serial.h"

#include "serial.h"

#include <algorithm>
#include <cstring>

namespace FakeSerial {

TScript& Script()
{
    static TScript script;
    return script;
}

} // namespace FakeSerial

using FakeSerial::Script;

CSerial::CSerial() = default;
CSerial::~CSerial() = default;

bool CSerial::Open() { return Script().Open; }

void CSerial::Close() {}

// The script's bytes are the reply to the request about to be written, not old input.
void CSerial::DiscardInput() {}

bool CSerial::IsOpen() const { return Script().Open; }

// Up to count bytes (cut to MaxBlock) of what is on the line, limited by what the script lets arrive;
// a short read is a success, as on the real link.
bool CSerial::ReadData(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& received)
{
    auto& s = Script();
    received = 0;
    if (!s.Open) return false;
    count = std::min(count, MaxBlock);
    const int limit = s.Reads < s.ReadLimits.size() ? s.ReadLimits[s.Reads] : 0x7FFFFFFF;
    ++s.Reads;
    const std::size_t available = s.Line.size() - s.LinePos;
    const std::size_t n = std::min<std::size_t>({count, available, static_cast<std::size_t>(limit < 0 ? 1 : limit)});
    if (n > 0) std::memcpy(buffer, s.Line.data() + s.LinePos, n);
    s.LinePos += n;
    received = static_cast<std::uint32_t>(n);
    if (limit < 0) {
        m_lastError = "ReadFile failed";
        return false;
    }
    return true;
}

bool CSerial::WriteData(std::uint32_t count, const std::uint8_t* data)
{
    auto& s = Script();
    if (!s.Open) return false;
    count = std::min(count, MaxBlock);
    s.Writes.emplace_back(data, data + count);
    return !s.WriteFails;
}

std::string CSerial::LastError() const { return m_lastError; }

std::string CSerial::DeviceName(int portNumber) { return "/dev/ttyS" + std::to_string(portNumber - 1); }
