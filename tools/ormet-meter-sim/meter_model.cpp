// The simulated meter at 0xF8: live measurements, parameter and internal registers, faults.
#include "meter_model.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "crc16.h"
#include "meter_access.h"

namespace ormetsim {

namespace {

constexpr std::uint8_t Address = 0xF8;
// The meter answers a factory command with a wrong access code as if the function did not exist.
constexpr std::uint8_t AccessRefused = 0x01;

std::uint16_t Be16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]); }

void PutBe16(Bytes& b, std::uint16_t w)
{
    b.push_back(static_cast<std::uint8_t>(w >> 8));
    b.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

Bytes ExceptionReply(std::uint8_t function, int code)
{
    Bytes r{Address, static_cast<std::uint8_t>(function | 0x80), static_cast<std::uint8_t>(code)};
    AppendCrc(r);
    return r;
}

long ParseNumber(const std::string& text)
{
    std::size_t used = 0;
    const long v = std::stol(text, &used, 0);
    if (used != text.size()) throw std::invalid_argument("bad number: " + text);
    return v;
}

} // namespace

void AppendCrc(Bytes& frame)
{
    const std::uint16_t crc = CRC16(frame.data(), static_cast<std::uint16_t>(frame.size()));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
}

bool CrcGood(const Bytes& frame)
{
    if (frame.size() < 4) return false;
    const std::uint16_t crc = CRC16(frame.data(), static_cast<std::uint16_t>(frame.size() - 2));
    return frame[frame.size() - 2] == (crc >> 8) && frame[frame.size() - 1] == (crc & 0xFF);
}

std::string HexText(const Bytes& bytes)
{
    std::string text;
    char two[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, i ? " %02X" : "%02X", bytes[i]);
        text += two;
    }
    return text;
}

Fault ParseFault(const std::string& text)
{
    Fault f;
    std::string kind = text;
    if (const auto at = text.find('@'); at != std::string::npos) {
        kind = text.substr(0, at);
        const std::string range = text.substr(at + 1);
        const auto dash = range.find('-');
        if (dash == std::string::npos) {
            f.first = f.last = ParseNumber(range);
        } else {
            f.first = ParseNumber(range.substr(0, dash));
            f.last = dash + 1 < range.size() ? ParseNumber(range.substr(dash + 1)) : -1;
        }
        if (f.first < 1 || (f.last >= 0 && f.last < f.first))
            throw std::invalid_argument("bad request range: " + range);
    }
    std::string name = kind, arg;
    if (const auto eq = kind.find('='); eq != std::string::npos) {
        name = kind.substr(0, eq);
        arg = kind.substr(eq + 1);
    }
    static const struct {
        const char* name;
        Fault::Kind kind;
        bool needsValue;
    } kinds[] = {
        {"silent", Fault::Silent, false},      {"short", Fault::Short, true},     {"crc", Fault::Crc, false},
        {"exception", Fault::Exception, true}, {"address", Fault::Address, true}, {"delay", Fault::Delay, true},
        {"count", Fault::ByteCount, true},
    };
    for (const auto& k : kinds) {
        if (name != k.name) continue;
        if (k.needsValue == arg.empty())
            throw std::invalid_argument("fault " + name + (k.needsValue ? " needs =value" : " takes no value"));
        f.kind = k.kind;
        f.value = arg.empty() ? 0 : static_cast<int>(ParseNumber(arg));
        return f;
    }
    throw std::invalid_argument("unknown fault: " + text);
}

int ExpectedRequestLength(const Bytes& b)
{
    if (b.size() < 2) return 0;
    switch (b[1]) {
    case 0x03:
    case 0x04: return 8;
    case 0x10: return b.size() < 7 ? 0 : 9 + b[6];
    case 0x41: return 6;
    case 0x42: return 4;
    case 0x43: return 10;
    case 0x46: return b.size() < 9 ? 0 : 11 + b[8];
    default: return -1;
    }
}

MeterModel::MeterModel(Clock::time_point start)
    : m_start(start),
      m_last(start), m_param{1, 2300, 1, 3, 2200, 5000, 11000}, m_inner{0x4A21, 0x0001, 0x1C80, 0x0002, 0x7D10, 0x0000,
                                                                        0x0C35, 0x8000, 0x0000, 0x0400, 0x0000, 0x0010,
                                                                        0x0000, 0x1234, 0x5678, 0x9ABC, 0x0105, 0x0003,
                                                                        0x0000, 0x0000, 0x0000, 0x0000}
{}

void MeterModel::PinInput(int n, std::uint16_t value)
{
    m_input[n] = value;
    m_pinned[n] = true;
}

void MeterModel::SetParameter(int n, std::uint16_t value) { m_param[n] = value; }

void MeterModel::SetInner(int n, std::uint16_t value) { m_inner[n] = value; }

// Live values: voltage and current drift slowly, energy integrates the power.
void MeterModel::Advance(Clock::time_point now)
{
    const double t = std::chrono::duration<double>(now - m_start).count();
    const auto live = [this](int n, double v) {
        if (!m_pinned[n]) m_input[n] = static_cast<std::uint16_t>(std::lround(v));
    };
    const double volts10 = 2200 + 30 * std::sin(t / 5);
    const double milliamps = 5000 + 500 * std::sin(t / 3);
    live(0, volts10);
    live(1, static_cast<double>(static_cast<std::uint32_t>(milliamps) & 0xFFFF));
    live(2, static_cast<double>(static_cast<std::uint32_t>(milliamps) >> 16));
    live(7, 500);
    live(8, 95);
    const double amps = (static_cast<std::uint32_t>(m_input[2]) << 16 | m_input[1]) / 1000.0;
    const double watts = m_input[0] / 10.0 * amps * m_input[8] / 100.0;
    const auto power10 = static_cast<std::uint32_t>(std::lround(watts * 10));
    live(3, power10 & 0xFFFF);
    live(4, power10 >> 16);
    const double dt = std::chrono::duration<double>(now - m_last).count();
    m_last = now;
    m_energyWh += watts * dt / 3600;
    const auto wh = static_cast<std::uint32_t>(m_energyWh);
    live(5, wh & 0xFFFF);
    live(6, wh >> 16);
    const std::uint32_t shown = static_cast<std::uint32_t>(m_input[4]) << 16 | m_input[3];
    live(9, shown / 10 > m_param[1] ? 0xFFFF : 0x0000);
}

std::uint16_t MeterModel::Input(int n, Clock::time_point now)
{
    Advance(now);
    return m_input[n];
}

MeterModel::Outcome MeterModel::Handle(const Bytes& frame, Clock::time_point now)
{
    Outcome out;
    if (!CrcGood(frame) || frame[0] != Address) return out;
    out.forUs = true;
    out.request = ++m_requests;
    const Fault* exception = nullptr;
    for (const Fault& f : m_faults)
        if (f.kind == Fault::Exception && f.Covers(out.request)) exception = &f;
    // A refused request changes nothing in the meter.
    out.reply = exception ? ExceptionReply(frame[1], exception->value) : Answer(frame, now, out.events);
    for (const Fault& f : m_faults) {
        if (!f.Covers(out.request) || out.reply.empty()) continue;
        Bytes& r = out.reply;
        switch (f.kind) {
        case Fault::ByteCount:
            if (r.size() >= 5) {
                r[2] = static_cast<std::uint8_t>(f.value);
                r.resize(r.size() - 2);
                AppendCrc(r);
            }
            break;
        case Fault::Address:
            r[0] = static_cast<std::uint8_t>(f.value);
            r.resize(r.size() - 2);
            AppendCrc(r);
            break;
        default: break;
        }
    }
    for (const Fault& f : m_faults) {
        if (!f.Covers(out.request)) continue;
        Bytes& r = out.reply;
        if (f.kind == Fault::Crc && !r.empty()) r.back() ^= 0x01;
        else if (f.kind == Fault::Short)
            r.resize(r.size() > static_cast<std::size_t>(f.value) ? r.size() - f.value : 0);
        else if (f.kind == Fault::Delay) out.delayMs += f.value;
    }
    for (const Fault& f : m_faults)
        if (f.kind == Fault::Silent && f.Covers(out.request)) out.reply.clear();
    return out;
}

Bytes MeterModel::Answer(const Bytes& frame, Clock::time_point now, std::vector<std::string>& events)
{
    switch (frame[1]) {
    case 0x03:
    case 0x04:
    case 0x43: return ReadRegisters(frame, now);
    case 0x10:
    case 0x46: return WriteRegisters(frame, events);
    case 0x41: return Calibrate(frame, now, events);
    case 0x42: return ClearEnergy(frame, now, events);
    default: return ExceptionReply(frame[1], 1);
    }
}

namespace {

bool AccessOk(const Bytes& frame) { return frame[2] == MeterAccessCodeHi && frame[3] == MeterAccessCodeLo; }

Bytes Sealed(Bytes reply)
{
    AppendCrc(reply);
    return reply;
}

} // namespace

// 0x03 parameters, 0x04 inputs, 0x43 internal registers (behind the access code).
Bytes MeterModel::ReadRegisters(const Bytes& frame, Clock::time_point now)
{
    const std::uint8_t fn = frame[1];
    const std::size_t at = fn == 0x43 ? 4 : 2;
    if (frame.size() != at + 6) return ExceptionReply(fn, 3);
    if (fn == 0x43 && !AccessOk(frame)) return ExceptionReply(fn, AccessRefused);
    const int start = Be16(frame, at), count = Be16(frame, at + 2);
    const int table = fn == 0x03 ? 7 : fn == 0x04 ? 10 : 22;
    if (count < 1 || count > 125) return ExceptionReply(fn, 3);
    if (start + count > table) return ExceptionReply(fn, 2);
    Bytes r{Address, fn, static_cast<std::uint8_t>(2 * count)};
    Advance(now);
    for (int n = start; n < start + count; ++n)
        PutBe16(r, fn == 0x03 ? m_param[n] : fn == 0x04 ? m_input[n] : m_inner[n]);
    return Sealed(r);
}

// 0x10 parameters, 0x46 internal registers (behind the access code).
Bytes MeterModel::WriteRegisters(const Bytes& frame, std::vector<std::string>& events)
{
    const std::uint8_t fn = frame[1];
    const std::size_t at = fn == 0x46 ? 4 : 2;
    if (fn == 0x46 && !AccessOk(frame)) return ExceptionReply(fn, AccessRefused);
    const int start = Be16(frame, at), count = Be16(frame, at + 2), bytes = frame[at + 4];
    if (bytes != 2 * count || frame.size() != at + 7 + static_cast<std::size_t>(bytes) || count < 1)
        return ExceptionReply(fn, 3);
    // Registers 4-6 and internal 0-12 are the meter's own.
    const int low = fn == 0x10 ? 0 : 13, high = fn == 0x10 ? 3 : 21;
    if (start < low || start + count - 1 > high) return ExceptionReply(fn, 2);
    std::string text = fn == 0x10 ? "param" : "inner";
    char line[160];
    for (int i = 0; i < count; ++i) {
        const std::size_t b = at + 5 + 2 * static_cast<std::size_t>(i);
        const auto word = static_cast<std::uint16_t>(frame[b] | frame[b + 1] << 8);
        (fn == 0x10 ? m_param : m_inner)[start + i] = word;
        std::snprintf(line, sizeof line, " %d=%04X", start + i, word);
        text += line;
    }
    events.push_back(text);
    Bytes r{Address, fn};
    r.insert(r.end(), frame.begin() + static_cast<long>(at), frame.begin() + static_cast<long>(at) + 4);
    return Sealed(r);
}

Bytes MeterModel::Calibrate(const Bytes& frame, Clock::time_point now, std::vector<std::string>& events)
{
    const std::uint8_t fn = frame[1];
    if (frame.size() != 6) return ExceptionReply(fn, 3);
    if (!AccessOk(frame)) return ExceptionReply(fn, AccessRefused);
    // Calibration takes the present readings as the new results.
    Advance(now);
    m_inner[0] = m_input[0];
    m_inner[1] = 0;
    for (int n = 2; n < 6; ++n) m_inner[n] = m_input[n - 1];
    events.push_back("calibrate");
    return Sealed({Address, fn, frame[2], frame[3]});
}

Bytes MeterModel::ClearEnergy(const Bytes& frame, Clock::time_point now, std::vector<std::string>& events)
{
    const std::uint8_t fn = frame[1];
    if (frame.size() != 4) return ExceptionReply(fn, 3);
    Advance(now);
    m_energyWh = 0;
    m_input[5] = m_input[6] = 0;
    events.push_back("clear-energy");
    return Sealed({Address, fn});
}

} // namespace ormetsim
