// Table-driven CRC-16 of Modbus RTU, shared by busprobe and Ormet-Master.
#pragma once

#include <cstdint>

extern const std::uint8_t CRCTableHi[256];
extern const std::uint8_t CRCTableLo[256];

// Returns hi << 8 | lo. Append the high byte first, then the low byte: that puts the standard
// Modbus CRC on the wire low-order byte first.
std::uint16_t CRC16(const std::uint8_t* data, std::uint16_t length);
