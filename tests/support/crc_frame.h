// A Modbus RTU frame from its bytes: the bytes with their CRC appended, as the wire carries them.
#pragma once

#include "crc16.h"

#include <cstdint>
#include <vector>

inline std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> data)
{
    const std::uint16_t crc = CRC16(data.data(), static_cast<std::uint16_t>(data.size()));
    data.push_back(static_cast<std::uint8_t>(crc >> 8));
    data.push_back(static_cast<std::uint8_t>(crc));
    return data;
}
