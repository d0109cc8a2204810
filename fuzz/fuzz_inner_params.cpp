// Fuzz target: the meter's register conversions, above all the internal parameters' texts and back.
#include "fuzz_check.h"
#include "meter_values.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <string>

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsUpperHex(const std::string& s, std::size_t width)
{
    return s.size() == width && std::all_of(s.begin(), s.end(), [](char c) { return IsHex(c) && !(c >= 'a'); });
}

// The editable texts in InnerField order.
constexpr std::string InnerParameterTexts::*Members[] = {
    &InnerParameterTexts::ModuleNumber, &InnerParameterTexts::PulseRate, &InnerParameterTexts::AngleCorrection,
    &InnerParameterTexts::PowerCompensation, &InnerParameterTexts::CurrentCompensation};

std::string& Field(InnerParameterTexts& t, InnerField f) { return t.*Members[static_cast<int>(f)]; }

// Exactly the field's width of hex digits; the widths are those of the dialog's fields.
bool WidthHex(InnerParameterTexts& t, InnerField f)
{
    static constexpr std::size_t Widths[] = {12, 4, 4, 8, 8};
    const std::string& s = Field(t, f);
    return s.size() == Widths[static_cast<int>(f)] && std::all_of(s.begin(), s.end(), IsHex);
}

constexpr InnerField Order[] = {InnerField::ModuleNumber, InnerField::PulseRate, InnerField::AngleCorrection,
                                InnerField::PowerCompensation, InnerField::CurrentCompensation};

// Registers 13-21 as the write sends them (low byte first) from a read area (high byte first); the
// pulse rate and angle correction keep only their low byte, as their texts do.
InnerParameterWriteData WriteOfRead(const InnerParameterData& d)
{
    InnerParameterWriteData out{};
    for (int reg = 13; reg <= 21; ++reg) {
        const int at = 2 * (reg - 13);
        out[at] = d[2 * reg + 1];
        out[at + 1] = (reg == 16 || reg == 17) ? 0 : d[2 * reg];
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);

    // A read area to texts: every text upper-case hex of its width, and written back unchanged.
    InnerParameterData area{};
    const auto bytes = in.ConsumeBytes<std::uint8_t>(area.size());
    std::copy(bytes.begin(), bytes.end(), area.begin());
    InnerParameterTexts texts = DecodeInnerParameters(area);
    for (const std::string* s :
         {&texts.VoltageCalibration, &texts.CurrentCalibration, &texts.PowerCalibration, &texts.EnergyConstant,
          &texts.PulseThreshold, &texts.StartThreshold, &texts.PowerCompensation, &texts.CurrentCompensation})
        Check(IsUpperHex(*s, 8), "pair text");
    Check(IsUpperHex(texts.EnergyCalibration, 4) && IsUpperHex(texts.ModuleNumber, 12), "word texts");
    Check(texts.PulseRate.starts_with("00") && texts.AngleCorrection.starts_with("00"), "low byte texts");
    Check(std::stoul(texts.VoltageCalibration, nullptr, 16) == RegisterPair(area.data(), 0), "pair reads as its value");
    const auto unchanged = EncodeInnerParameterWrite(texts);
    Check(unchanged.has_value() && *unchanged == WriteOfRead(area), "read texts write back their registers");

    // Edited texts: refused exactly when one is not its width of hex digits, naming the first such.
    for (InnerField f : Order) {
        if (!in.ConsumeBool()) continue;
        Field(texts, f) = in.ConsumeRandomLengthString(16);
    }
    InnerField bad = InnerField::ModuleNumber;
    const auto written = EncodeInnerParameterWrite(texts, &bad);
    const InnerField* firstBad =
        std::find_if(std::begin(Order), std::end(Order), [&](InnerField f) { return !WidthHex(texts, f); });
    for (const InnerField* f = std::begin(Order); f != std::end(Order); ++f)
        Check(InnerTextValid(*f, Field(texts, *f)) == (f < firstBad || (f > firstBad && WidthHex(texts, *f))),
              "text validity");
    Check(written.has_value() == (firstBad == std::end(Order)), "refused only for a bad text");
    if (!written) {
        Check(bad == *firstBad, "the first bad text is named");
    } else {
        // Back into a read area, the written registers show the same texts (upper case).
        InnerParameterData back{};
        for (int reg = 13; reg <= 21; ++reg) {
            back[2 * reg] = (*written)[2 * (reg - 13) + 1];
            back[2 * reg + 1] = (*written)[2 * (reg - 13)];
        }
        const InnerParameterTexts shown = DecodeInnerParameters(back);
        auto upper = [](std::string s) {
            for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return s;
        };
        Check(shown.ModuleNumber == upper(texts.ModuleNumber), "module number round trip");
        Check(shown.PowerCompensation == upper(texts.PowerCompensation), "power compensation round trip");
        Check(shown.CurrentCompensation == upper(texts.CurrentCompensation), "current compensation round trip");
        Check(shown.PulseRate.substr(2) == upper(texts.PulseRate).substr(2), "pulse rate low byte");
        Check(shown.AngleCorrection.substr(2) == upper(texts.AngleCorrection).substr(2), "angle correction low byte");
    }

    // The other conversions: scaling rules and the parameter write's byte order.
    MeasurementData m{};
    std::copy_n(area.begin(), m.size(), m.begin());
    const MeterReading r = DecodeMeasurement(m);
    const std::uint32_t p = RegisterPair(m.data(), 3), e = RegisterPair(m.data(), 5);
    Check(r.PowerPrecision == (p < 10000 ? 1 : 0) && r.Power >= 0, "power precision");
    Check((r.EnergyUnits == "kWh") == (e >= 10000) && r.EnergyPrecision == (e >= 10000 ? 2 : 0), "energy units");
    Check(r.PowerAlarm == (RegisterWord(m.data(), 9) == 0xFFFF) &&
              r.PowerColor == (r.PowerAlarm ? PowerColorAlarm : PowerColorNormal),
          "alarm colour");
    ParameterData pd{};
    std::copy_n(area.begin() + 20, pd.size(), pd.begin());
    const MeterParameters params = DecodeParameters(pd);
    const ParameterWriteData pw =
        EncodeParameterWrite(params.CurrentRatio, params.AlarmThreshold, params.Address, params.Register3);
    for (int reg = 0; reg < 4; ++reg)
        Check(pw[2 * reg] == pd[2 * reg + 1] && pw[2 * reg + 1] == pd[2 * reg], "parameter registers written back");
    return 0;
}
