// The simulated meter at 0xF8: registers, request handling and injected faults, without any I/O.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ormetsim {

using Bytes = std::vector<std::uint8_t>;

// One injected fault, active for the requests numbered First..Last (1-based, counting every
// good-CRC request addressed to the meter).
struct Fault {
    enum Kind { Silent, Short, Crc, Exception, Address, Delay, ByteCount } kind = Silent;
    int value = 0; // bytes cut, exception code, address, delay in ms or byte count
    long first = 1;
    long last = -1; // -1: no end
    bool Covers(long request) const { return request >= first && (last < 0 || request <= last); }
};
// Parses "silent", "short=N", "crc", "exception=CODE", "address=A", "delay=MS", "count=N", each
// optionally followed by "@N", "@N-M" or "@N-" (requests it applies to). Throws std::invalid_argument.
Fault ParseFault(const std::string& text);

// Frame length implied by the start of a request, 0 while it cannot yet be told, -1 if the
// function code is unknown (the frame then ends with the line's silence).
int ExpectedRequestLength(const Bytes& buffer);

class MeterModel {
public:
    using Clock = std::chrono::steady_clock;
    explicit MeterModel(Clock::time_point start = Clock::now());

    // Pins input register n (0-9) to value; a pinned register stops its live value.
    void PinInput(int n, std::uint16_t value);
    void SetParameter(int n, std::uint16_t value); // holding registers 0-6
    void SetInner(int n, std::uint16_t value);     // internal registers 0-21
    std::uint16_t Parameter(int n) const { return m_param[n]; }
    std::uint16_t Inner(int n) const { return m_inner[n]; }
    std::uint16_t Input(int n, Clock::time_point now);

    void AddFault(const Fault& fault) { m_faults.push_back(fault); }
    void ClearFaults() { m_faults.clear(); }

    // What the meter does with one complete frame.
    struct Outcome {
        bool forUs = false;              // good CRC and address 0xF8: counted as a request
        long request = 0;                // its number
        Bytes reply;                     // empty: no answer
        int delayMs = 0;                 // extra wait before answering
        std::vector<std::string> events; // lines to report (writes accepted, commands run)
    };
    Outcome Handle(const Bytes& frame, Clock::time_point now);

private:
    Bytes Answer(const Bytes& frame, Clock::time_point now, std::vector<std::string>& events);
    Bytes ReadRegisters(const Bytes& frame, Clock::time_point now);
    Bytes WriteRegisters(const Bytes& frame, std::vector<std::string>& events);
    Bytes Calibrate(const Bytes& frame, Clock::time_point now, std::vector<std::string>& events);
    Bytes ClearEnergy(const Bytes& frame, Clock::time_point now, std::vector<std::string>& events);
    void Advance(Clock::time_point now);

    Clock::time_point m_start;
    Clock::time_point m_last;
    double m_energyWh = 0;
    std::uint16_t m_input[10] = {};
    bool m_pinned[10] = {};
    std::uint16_t m_param[7];
    std::uint16_t m_inner[22];
    std::vector<Fault> m_faults;
    long m_requests = 0;
};

void AppendCrc(Bytes& frame);
bool CrcGood(const Bytes& frame);
std::string HexText(const Bytes& bytes);

} // namespace ormetsim
