// The meter's register maps: measurement scaling, parameter and internal register conversions.
#include "meter_values.h"

#include <cstdio>

std::uint16_t RegisterWord(const std::uint8_t* data, int n)
{
    return static_cast<std::uint16_t>(data[2 * n] << 8 | data[2 * n + 1]);
}

std::uint32_t RegisterPair(const std::uint8_t* data, int n)
{
    return static_cast<std::uint32_t>(RegisterWord(data, n + 1)) << 16 | RegisterWord(data, n);
}

MeterReading DecodeMeasurement(const MeasurementData& data)
{
    const std::uint8_t* d = data.data();
    MeterReading r;
    r.Voltage = RegisterWord(d, 0) / 10.0;
    r.Current = RegisterPair(d, 1) / 1000.0;
    const std::uint32_t p = RegisterPair(d, 3);
    if (p < 10000) {
        r.PowerPrecision = 1;
        r.Power = p / 10.0;
    } else {
        r.PowerPrecision = 0;
        r.Power = static_cast<double>(p / 10);
    }
    r.PowerAlarm = RegisterWord(d, 9) == 0xFFFF;
    r.PowerColor = r.PowerAlarm ? PowerColorAlarm : PowerColorNormal;
    const std::uint32_t e = RegisterPair(d, 5);
    if (e < 10000) {
        r.EnergyPrecision = 0;
        r.EnergyUnits = "Wh";
        r.Energy = static_cast<double>(e);
    } else {
        r.EnergyPrecision = 2;
        r.EnergyUnits = "kWh";
        r.Energy = e / 1000.0;
    }
    r.Frequency = RegisterWord(d, 7) / 10.0;
    r.PowerFactor = RegisterWord(d, 8) / 100.0;
    return r;
}

MeterParameters DecodeParameters(const ParameterData& data)
{
    const std::uint8_t* d = data.data();
    MeterParameters p;
    p.CurrentRatio = RegisterWord(d, 0);
    p.AlarmThreshold = RegisterWord(d, 1);
    p.Address = RegisterWord(d, 2);
    p.Register3 = RegisterWord(d, 3);
    p.VoltageStandard = RegisterWord(d, 4) / 10;
    p.CurrentStandard = RegisterWord(d, 5);
    p.PowerStandard = RegisterWord(d, 6) / 10;
    return p;
}

namespace {

void PutLowFirst(std::uint8_t* out, std::uint16_t word)
{
    out[0] = static_cast<std::uint8_t>(word & 0xFF);
    out[1] = static_cast<std::uint8_t>(word >> 8);
}

std::string Hex(const std::uint8_t* bytes, int count)
{
    std::string text;
    char two[3];
    for (int i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        text += two;
    }
    return text;
}

// Text of a register pair: the higher-numbered register first, so it reads as the 32-bit value.
std::string PairText(const std::uint8_t* d, int n)
{
    const std::uint8_t b[4] = {d[2 * n + 2], d[2 * n + 3], d[2 * n], d[2 * n + 1]};
    return Hex(b, 4);
}

// Only the register's low byte is shown; the high byte is dropped on purpose.
std::string LowByteText(const std::uint8_t* d, int n)
{
    const std::uint8_t b[2] = {0, d[2 * n + 1]};
    return Hex(b, 2);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::uint16_t Word(const std::string& text, int index)
{
    std::uint16_t w = 0;
    for (int i = 0; i < 4; ++i) w = static_cast<std::uint16_t>(w << 4 | HexDigit(text[4 * index + i]));
    return w;
}

const std::string& FieldText(const InnerParameterTexts& t, InnerField f)
{
    switch (f) {
    case InnerField::ModuleNumber: return t.ModuleNumber;
    case InnerField::PulseRate: return t.PulseRate;
    case InnerField::AngleCorrection: return t.AngleCorrection;
    case InnerField::PowerCompensation: return t.PowerCompensation;
    case InnerField::CurrentCompensation: break;
    }
    return t.CurrentCompensation;
}

} // namespace

ParameterWriteData EncodeParameterWrite(int currentRatio, int alarmThreshold, int address, std::uint16_t register3)
{
    ParameterWriteData out{};
    PutLowFirst(&out[0], static_cast<std::uint16_t>(currentRatio));
    PutLowFirst(&out[2], static_cast<std::uint16_t>(alarmThreshold));
    PutLowFirst(&out[4], static_cast<std::uint16_t>(address));
    PutLowFirst(&out[6], register3);
    return out;
}

InnerParameterTexts DecodeInnerParameters(const InnerParameterData& data)
{
    const std::uint8_t* d = data.data();
    InnerParameterTexts t;
    t.VoltageCalibration = PairText(d, 0);
    t.CurrentCalibration = PairText(d, 2);
    t.PowerCalibration = PairText(d, 4);
    t.EnergyCalibration = Hex(d + 12, 2);
    t.EnergyConstant = PairText(d, 7);
    t.PulseThreshold = PairText(d, 9);
    t.StartThreshold = PairText(d, 11);
    t.ModuleNumber = Hex(d + 26, 6);
    t.PulseRate = LowByteText(d, 16);
    t.AngleCorrection = LowByteText(d, 17);
    t.PowerCompensation = PairText(d, 18);
    t.CurrentCompensation = PairText(d, 20);
    return t;
}

int InnerFieldWidth(InnerField field)
{
    switch (field) {
    case InnerField::ModuleNumber: return 12;
    case InnerField::PulseRate:
    case InnerField::AngleCorrection: return 4;
    case InnerField::PowerCompensation:
    case InnerField::CurrentCompensation: break;
    }
    return 8;
}

bool InnerTextValid(InnerField field, const std::string& text)
{
    if (static_cast<int>(text.size()) != InnerFieldWidth(field)) return false;
    for (char c : text)
        if (HexDigit(c) < 0) return false;
    return true;
}

std::optional<InnerParameterWriteData> EncodeInnerParameterWrite(const InnerParameterTexts& texts, InnerField* bad)
{
    for (InnerField f : {InnerField::ModuleNumber, InnerField::PulseRate, InnerField::AngleCorrection,
                         InnerField::PowerCompensation, InnerField::CurrentCompensation}) {
        if (!InnerTextValid(f, FieldText(texts, f))) {
            if (bad) *bad = f;
            return std::nullopt;
        }
    }
    InnerParameterWriteData out{};
    // Registers 13-21 at offsets 0-16; a pair's text holds the higher register first.
    PutLowFirst(&out[0], Word(texts.ModuleNumber, 0));
    PutLowFirst(&out[2], Word(texts.ModuleNumber, 1));
    PutLowFirst(&out[4], Word(texts.ModuleNumber, 2));
    PutLowFirst(&out[6], Word(texts.PulseRate, 0));
    PutLowFirst(&out[8], Word(texts.AngleCorrection, 0));
    PutLowFirst(&out[12], Word(texts.PowerCompensation, 0));
    PutLowFirst(&out[10], Word(texts.PowerCompensation, 1));
    PutLowFirst(&out[16], Word(texts.CurrentCompensation, 0));
    PutLowFirst(&out[14], Word(texts.CurrentCompensation, 1));
    return out;
}
