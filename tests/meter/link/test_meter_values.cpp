// Register conversions of the meter: measurement scaling, parameters and internal register texts.
#include <gtest/gtest.h>

#include "meter_values.h"

namespace {

void Put(std::uint8_t* data, int reg, std::uint16_t v)
{
    data[2 * reg] = static_cast<std::uint8_t>(v >> 8);
    data[2 * reg + 1] = static_cast<std::uint8_t>(v & 0xFF);
}

MeasurementData Measurement(std::uint32_t power, std::uint32_t energy, std::uint16_t alarm)
{
    MeasurementData d{};
    Put(d.data(), 0, 2301);
    Put(d.data(), 1, 0x1234);
    Put(d.data(), 2, 0x0001);
    Put(d.data(), 3, static_cast<std::uint16_t>(power & 0xFFFF));
    Put(d.data(), 4, static_cast<std::uint16_t>(power >> 16));
    Put(d.data(), 5, static_cast<std::uint16_t>(energy & 0xFFFF));
    Put(d.data(), 6, static_cast<std::uint16_t>(energy >> 16));
    Put(d.data(), 7, 499);
    Put(d.data(), 8, 87);
    Put(d.data(), 9, alarm);
    return d;
}

} // namespace

TEST(MeterValues, MeasurementScalingAndWordOrder)
{
    const MeterReading r = DecodeMeasurement(Measurement(1, 0, 0));
    EXPECT_DOUBLE_EQ(r.Voltage, 230.1);
    EXPECT_DOUBLE_EQ(r.Current, 70.196); // registers 1 = 1234H (low), 2 = 0001H (high)
    EXPECT_DOUBLE_EQ(r.Frequency, 49.9);
    EXPECT_DOUBLE_EQ(r.PowerFactor, 0.87);

    // 32-bit values are unsigned: the top bit must not turn them negative.
    MeasurementData big{};
    Put(big.data(), 1, 0xFFFF);
    Put(big.data(), 2, 0xFFFF);
    EXPECT_DOUBLE_EQ(DecodeMeasurement(big).Current, 4294967.295);
}

TEST(MeterValues, PowerDecimalsSwitchAtOneThousandWatts)
{
    MeterReading r = DecodeMeasurement(Measurement(9999, 0, 0));
    EXPECT_EQ(r.PowerPrecision, 1);
    EXPECT_DOUBLE_EQ(r.Power, 999.9);
    r = DecodeMeasurement(Measurement(10000, 0, 0));
    EXPECT_EQ(r.PowerPrecision, 0);
    EXPECT_DOUBLE_EQ(r.Power, 1000);
    r = DecodeMeasurement(Measurement(12345, 0, 0));
    EXPECT_EQ(r.PowerPrecision, 0);
    EXPECT_DOUBLE_EQ(r.Power, 1234); // rounded down, not to nearest
}

TEST(MeterValues, EnergySwitchesToKilowattHours)
{
    MeterReading r = DecodeMeasurement(Measurement(0, 9999, 0));
    EXPECT_EQ(r.EnergyPrecision, 0);
    EXPECT_EQ(r.EnergyUnits, "Wh");
    EXPECT_DOUBLE_EQ(r.Energy, 9999);
    r = DecodeMeasurement(Measurement(0, 10000, 0));
    EXPECT_EQ(r.EnergyPrecision, 2);
    EXPECT_EQ(r.EnergyUnits, "kWh");
    EXPECT_DOUBLE_EQ(r.Energy, 10.0);
    EXPECT_DOUBLE_EQ(DecodeMeasurement(Measurement(0, 0x00012345, 0)).Energy, 74.565);
}

TEST(MeterValues, AlarmOnlyForAllOnes)
{
    MeterReading r = DecodeMeasurement(Measurement(0, 0, 0xFFFF));
    EXPECT_TRUE(r.PowerAlarm);
    EXPECT_EQ(r.PowerColor, 0x000000FFu);
    r = DecodeMeasurement(Measurement(0, 0, 0xFFFE));
    EXPECT_FALSE(r.PowerAlarm);
    EXPECT_EQ(r.PowerColor, 0x00FFFF00u);
}

TEST(MeterValues, ParametersReadAndWriteBack)
{
    ParameterData d{};
    const std::uint16_t regs[7] = {1, 2300, 1, 3, 2209, 5000, 11009};
    for (int i = 0; i < 7; ++i) Put(d.data(), i, regs[i]);
    const MeterParameters p = DecodeParameters(d);
    EXPECT_EQ(p.CurrentRatio, 1);
    EXPECT_EQ(p.AlarmThreshold, 2300);
    EXPECT_EQ(p.Address, 1);
    EXPECT_EQ(p.Register3, 3);
    EXPECT_EQ(p.VoltageStandard, 220); // integer division
    EXPECT_EQ(p.CurrentStandard, 5000);
    EXPECT_EQ(p.PowerStandard, 1100);

    const ParameterWriteData expected{0x01, 0x00, 0xFC, 0x08, 0x01, 0x00, 0x03, 0x00};
    EXPECT_EQ(EncodeParameterWrite(p.CurrentRatio, p.AlarmThreshold, p.Address, p.Register3), expected);
    // Values are cut to 16 bits, low byte first.
    const ParameterWriteData cut{0x70, 0x11, 0xFF, 0xFF, 0x00, 0x00, 0x34, 0x12};
    EXPECT_EQ(EncodeParameterWrite(70000, -1, 65536, 0x1234), cut);
}

TEST(MeterValues, InternalRegisterTexts)
{
    InnerParameterData d{};
    for (int i = 0; i < 22; ++i) Put(d.data(), i, static_cast<std::uint16_t>(0x0100 * (i + 1) + 0x10 + i));
    Put(d.data(), 13, 0x1234);
    Put(d.data(), 14, 0x5678);
    Put(d.data(), 15, 0x9ABC);
    Put(d.data(), 16, 0x0105);
    Put(d.data(), 17, 0xAB0C);
    Put(d.data(), 18, 0xCDEF);
    Put(d.data(), 19, 0x0A0B);
    const InnerParameterTexts t = DecodeInnerParameters(d);
    EXPECT_EQ(t.VoltageCalibration, "02110110"); // register 1 first
    EXPECT_EQ(t.CurrentCalibration, "04130312");
    EXPECT_EQ(t.PowerCalibration, "06150514");
    EXPECT_EQ(t.EnergyCalibration, "0716");
    EXPECT_EQ(t.EnergyConstant, "09180817");
    EXPECT_EQ(t.PulseThreshold, "0B1A0A19");
    EXPECT_EQ(t.StartThreshold, "0D1C0C1B");
    EXPECT_EQ(t.ModuleNumber, "123456789ABC");
    EXPECT_EQ(t.PulseRate, "0005"); // high byte not shown
    EXPECT_EQ(t.AngleCorrection, "000C");
    EXPECT_EQ(t.PowerCompensation, "0A0BCDEF");
    EXPECT_EQ(t.CurrentCompensation, "16251524");

    // Unchanged texts write back what was read, except the high bytes of registers 16 and 17.
    const auto out = EncodeInnerParameterWrite(t);
    ASSERT_TRUE(out.has_value());
    const InnerParameterWriteData expected{0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A, 0x05, 0x00, 0x0C,
                                           0x00, 0xEF, 0xCD, 0x0B, 0x0A, 0x24, 0x15, 0x25, 0x16};
    EXPECT_EQ(*out, expected);
}

TEST(MeterValues, InternalTextsInEitherCaseAreAccepted)
{
    InnerParameterTexts t;
    t.ModuleNumber = "abcdef012345";
    t.PulseRate = "0aF0";
    t.AngleCorrection = "ffff";
    t.PowerCompensation = "11223344";
    t.CurrentCompensation = "DeadBeef";
    const auto out = EncodeInnerParameterWrite(t);
    ASSERT_TRUE(out.has_value());
    const InnerParameterWriteData expected{0xCD, 0xAB, 0x01, 0xEF, 0x45, 0x23, 0xF0, 0x0A, 0xFF,
                                           0xFF, 0x44, 0x33, 0x22, 0x11, 0xEF, 0xBE, 0xAD, 0xDE};
    EXPECT_EQ(*out, expected);
}

TEST(MeterValues, MalformedInternalTextsAreRefused)
{
    InnerParameterTexts good;
    good.ModuleNumber = "123456789ABC";
    good.PulseRate = "0005";
    good.AngleCorrection = "0003";
    good.PowerCompensation = "00000000";
    good.CurrentCompensation = "00000000";
    ASSERT_TRUE(EncodeInnerParameterWrite(good).has_value());

    struct Case {
        InnerField field;
        std::string text;
    };
    const Case cases[] = {
        {InnerField::ModuleNumber, "12345678"},     // too few digits: words would be guessed
        {InnerField::ModuleNumber, "12345678 9AB"}, // blank inside
        {InnerField::PulseRate, "5"},
        {InnerField::PulseRate, ""},
        {InnerField::AngleCorrection, "0x03"}, // scanf would take the prefix
        {InnerField::PowerCompensation, "0000000G"},
        {InnerField::PowerCompensation, " 0000001"},
        {InnerField::CurrentCompensation, "000000001"},
        {InnerField::CurrentCompensation, "-0000001"},
    };
    for (const Case& c : cases) {
        InnerParameterTexts t = good;
        switch (c.field) {
        case InnerField::ModuleNumber: t.ModuleNumber = c.text; break;
        case InnerField::PulseRate: t.PulseRate = c.text; break;
        case InnerField::AngleCorrection: t.AngleCorrection = c.text; break;
        case InnerField::PowerCompensation: t.PowerCompensation = c.text; break;
        case InnerField::CurrentCompensation: t.CurrentCompensation = c.text; break;
        }
        InnerField bad = InnerField::ModuleNumber;
        EXPECT_FALSE(EncodeInnerParameterWrite(t, &bad).has_value()) << c.text;
        EXPECT_EQ(bad, c.field) << c.text;
        EXPECT_FALSE(InnerTextValid(c.field, c.text)) << c.text;
    }
    // The first offending field in dialog order is named.
    InnerParameterTexts two = good;
    two.PulseRate = "xx";
    two.CurrentCompensation = "y";
    InnerField bad = InnerField::ModuleNumber;
    EXPECT_FALSE(EncodeInnerParameterWrite(two, &bad).has_value());
    EXPECT_EQ(bad, InnerField::PulseRate);
}
