// The meter's factory access code, carried by the 41H, 43H and 46H requests (shared with the simulator).
#pragma once

#include <cstdint>

// The two bytes follow the function code in this order.
inline constexpr std::uint8_t MeterAccessCodeHi = 0x5A;
inline constexpr std::uint8_t MeterAccessCodeLo = 0xA5;
