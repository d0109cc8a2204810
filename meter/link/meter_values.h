// The meter's register maps: measurement scaling, parameter and internal register conversions (no Qt).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// Data areas of the reads (register data only, words high byte first) and data of the writes
// (words low byte first).
using MeasurementData = std::array<std::uint8_t, 20>;         // input registers 0-9
using ParameterData = std::array<std::uint8_t, 14>;           // holding registers 0-6
using InnerParameterData = std::array<std::uint8_t, 44>;      // internal registers 0-21
using ParameterWriteData = std::array<std::uint8_t, 8>;       // registers 0-3
using InnerParameterWriteData = std::array<std::uint8_t, 18>; // internal registers 13-21

// Register n of a read's data area (high byte first); n must lie inside the area.
std::uint16_t RegisterWord(const std::uint8_t* data, int n);
// 32-bit value of registers n (low word) and n + 1 (high word).
std::uint32_t RegisterPair(const std::uint8_t* data, int n);

// Text colours of the power display (0x00BBGGRR).
inline constexpr std::uint32_t PowerColorNormal = 0x00FFFF00; // aqua
inline constexpr std::uint32_t PowerColorAlarm = 0x000000FF;  // red

// Everything the six displays show after one measurement, in display terms.
struct MeterReading {
    double Voltage = 0;                          // V, register 0 / 10
    double Current = 0;                          // A, registers 1-2 / 1000
    double Power = 0;                            // W: p / 10 below p = 10000, else whole watts (p / 10 rounded down)
    int PowerPrecision = 1;                      // 1 below p = 10000, else 0
    bool PowerAlarm = false;                     // register 9 == 0xFFFF
    std::uint32_t PowerColor = PowerColorNormal; // red while the alarm is active
    double Energy = 0;                           // e Wh below e = 10000, else e / 1000 kWh
    int EnergyPrecision = 0;                     // 0 for Wh, 2 for kWh
    std::string EnergyUnits = "Wh";              // "Wh" or "kWh"
    double Frequency = 0;                        // Hz, register 7 / 10
    double PowerFactor = 0;                      // register 8 / 100
};
// Scales the ten input registers of ReadMeasurement for the displays.
MeterReading DecodeMeasurement(const MeasurementData& data);

// The parameter dialog's values from holding registers 0-6.
struct MeterParameters {
    int CurrentRatio = 0;        // register 0
    int AlarmThreshold = 0;      // register 1, W
    int Address = 0;             // register 2
    std::uint16_t Register3 = 0; // not shown; written back unchanged
    int VoltageStandard = 0;     // register 4 / 10 (integer division), V
    int CurrentStandard = 0;     // register 5, mA
    int PowerStandard = 0;       // register 6 / 10 (integer division), W
};
MeterParameters DecodeParameters(const ParameterData& data);
// WriteParameter's data: registers 0-3 low byte first; the three dialog values are cut to 16 bits.
ParameterWriteData EncodeParameterWrite(int currentRatio, int alarmThreshold, int address, std::uint16_t register3);

// The twelve texts of the internal parameter dialog (upper-case hexadecimal).
struct InnerParameterTexts {
    std::string VoltageCalibration;  // 8 digits, registers 1 then 0
    std::string CurrentCalibration;  // 8 digits, 3 then 2
    std::string PowerCalibration;    // 8 digits, 5 then 4
    std::string EnergyCalibration;   // 4 digits, register 6
    std::string EnergyConstant;      // 8 digits, 8 then 7
    std::string PulseThreshold;      // 8 digits, 10 then 9
    std::string StartThreshold;      // 8 digits, 12 then 11
    std::string ModuleNumber;        // 12 digits, bytes of registers 13-15 in received order
    std::string PulseRate;           // 4 digits, low byte of register 16 only ("00XX")
    std::string AngleCorrection;     // 4 digits, low byte of register 17 only ("00XX")
    std::string PowerCompensation;   // 8 digits, 19 then 18
    std::string CurrentCompensation; // 8 digits, 21 then 20
};
InnerParameterTexts DecodeInnerParameters(const InnerParameterData& data);

// The five editable texts, in the order a refusal names them.
enum class InnerField { ModuleNumber, PulseRate, AngleCorrection, PowerCompensation, CurrentCompensation };
// Digits each editable text must have.
int InnerFieldWidth(InnerField field);
// True if text is exactly the field's width of hexadecimal digits (either case).
bool InnerTextValid(InnerField field, const std::string& text);
// WriteInnerParameter's data (registers 13-21, low byte first) from the five editable texts.
// Refuses (nullopt, *bad = first offending field) any text that is not exactly its width of hex
// digits, so no undefined or guessed word reaches a calibration register.
std::optional<InnerParameterWriteData> EncodeInnerParameterWrite(const InnerParameterTexts& texts,
                                                                 InnerField* bad = nullptr);
