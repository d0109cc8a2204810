// A scripted stand-in for the meter's serial link (linked in place of serial.cpp): the bytes on the
// line, how many of them each read gets before its time-outs, and which transfers fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace FakeSerial {

struct TScript {
    std::vector<std::uint8_t> Line; // what the meter sends, in order
    std::vector<int> ReadLimits;    // per read: bytes that arrive in time, or -1 for a link failure
    bool WriteFails = false;
    bool Open = true;
    // Recorded by the fake.
    std::size_t LinePos = 0;
    std::size_t Reads = 0;
    std::vector<std::vector<std::uint8_t>> Writes;
};

// The one script every CSerial object follows.
TScript& Script();

} // namespace FakeSerial
