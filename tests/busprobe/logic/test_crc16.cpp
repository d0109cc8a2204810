// CRC-16 tables and routine against the recurrence and an independent bitwise CRC-16/MODBUS.
#include "crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::uint16_t BitwiseModbusCrc(const std::vector<std::uint8_t>& data)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

// On the wire: CRC16's high byte first must equal the standard CRC's low byte first.
std::uint16_t WireOrder(std::uint16_t standard)
{
    return static_cast<std::uint16_t>((standard & 0xFF) << 8 | standard >> 8);
}

TEST(Crc16Tables, EveryEntryFollowsTheRecurrence)
{
    for (int i = 0; i < 256; ++i) {
        unsigned r = static_cast<unsigned>(i);
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
        EXPECT_EQ(CRCTableHi[i], r & 0xFF) << "index " << i;
        EXPECT_EQ(CRCTableLo[i], r >> 8) << "index " << i;
    }
    const std::uint8_t hiStart[] = {0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41};
    const std::uint8_t loStart[] = {0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(CRCTableHi[i], hiStart[i]);
        EXPECT_EQ(CRCTableLo[i], loStart[i]);
    }
}

TEST(Crc16, KnownFramesAndCheckValue)
{
    const std::uint8_t read03[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(CRC16(read03, sizeof read03), 0xC5CD);

    const std::string check = "123456789";
    const std::uint16_t crc = CRC16(reinterpret_cast<const std::uint8_t*>(check.data()), 9);
    // Standard check value 0x4B37, i.e. 37 4B on the wire.
    EXPECT_EQ(crc, WireOrder(0x4B37));

    EXPECT_EQ(CRC16(nullptr, 0), 0xFFFF);
}

TEST(Crc16, MatchesBitwiseCrcOnRandomData)
{
    std::mt19937 rng(20261209);
    for (int round = 0; round < 500; ++round) {
        std::vector<std::uint8_t> data(rng() % 300);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(CRC16(data.data(), static_cast<std::uint16_t>(data.size())), WireOrder(BitwiseModbusCrc(data)))
            << "length " << data.size();
    }
}

} // namespace
