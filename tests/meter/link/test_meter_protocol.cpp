// CModBusRtu against ormet-meter-sim on a pseudo-terminal: requests, replies, faults and timings.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crc16.h"
#include "meter_access.h"
#include "modbusrtu.h"
#include "sim_process.h"

using namespace metertest;

namespace {

constexpr auto Wait = std::chrono::milliseconds(5000);

// A simulator linked as COM3 in a fresh port map, and the master's link opened on it.
class MeterLink : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--link", map.dir, "--com", "3"});
        sim = std::make_unique<Simulator>(args);
        ASSERT_TRUE(rtu.OpenPort(3, 9600)) << rtu.Serial().LastError();
    }
    // The next request the simulator saw, as hex text.
    std::string Request()
    {
        const std::string line = sim->Expect("request ", Wait);
        const auto space = line.find(' ', 8);
        return space == std::string::npos ? line : line.substr(space + 1);
    }
    void TearDown() override
    {
        rtu.Close();
        sim.reset();
    }

    PortMap map;
    std::unique_ptr<Simulator> sim;
    CModBusRtu rtu;
};

std::string Hex(const std::uint8_t* b, std::size_t n)
{
    std::string s;
    char two[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, i ? " %02X" : "%02X", b[i]);
        s += two;
    }
    return s;
}

} // namespace

TEST_F(MeterLink, RequestsAreExact)
{
    Start({});
    MeasurementData m{};
    EXPECT_EQ(rtu.ReadMeasurement(m), 0);
    EXPECT_EQ(Request(), "F8 04 00 00 00 0A 64 64");
    ParameterData p{};
    EXPECT_EQ(rtu.ReadParameter(p), 0);
    EXPECT_EQ(Request(), "F8 03 00 00 00 07 10 61");
    EXPECT_EQ(rtu.ClearEnergy(), 0);
    EXPECT_EQ(Request(), "F8 42 C2 41");
    EXPECT_EQ(sim->Line(Wait), "clear-energy");

    InnerParameterData inner{};
    EXPECT_EQ(rtu.ReadInnerParameter(inner), 0);
    const std::string code = Hex(&MeterAccessCodeHi, 1) + " " + Hex(&MeterAccessCodeLo, 1);
    const std::string r43 = Request();
    EXPECT_EQ(r43.substr(0, 23), "F8 43 " + code + " 00 00 00 16");
    EXPECT_EQ(r43.size(), 10u * 3 - 1);
    EXPECT_EQ(rtu.WriteInnerParameter(InnerParameterWriteData{}), 0);
    const std::string r46 = Request();
    EXPECT_EQ(r46.substr(0, 35), "F8 46 " + code + " 00 0D 00 09 12 00 00 00");
    EXPECT_EQ(r46.size(), 29u * 3 - 1);
}

TEST_F(MeterLink, ParameterWriteGoesLowByteFirst)
{
    Start({"--param", "0=1", "--param", "1=1000", "--param", "2=7", "--param", "3=3"});
    ParameterData read{};
    ASSERT_EQ(rtu.ReadParameter(read), 0);
    const MeterParameters p = DecodeParameters(read);
    EXPECT_EQ(p.AlarmThreshold, 1000);
    EXPECT_EQ(p.Register3, 3);
    const ParameterWriteData data = EncodeParameterWrite(1, 2300, 1, p.Register3);
    EXPECT_EQ(Hex(data.data(), data.size()), "01 00 FC 08 01 00 03 00");
    EXPECT_EQ(rtu.WriteParameter(data), 0);
    EXPECT_EQ(sim->Expect("request 2 ").substr(10, 44), "F8 10 00 00 00 04 08 01 00 FC 08 01 00 03 00");
    EXPECT_EQ(sim->Line(Wait), "param 0=0001 1=08FC 2=0001 3=0003");
    ASSERT_EQ(rtu.ReadParameter(read), 0);
    EXPECT_EQ(DecodeParameters(read).AlarmThreshold, 2300);
    EXPECT_EQ(DecodeParameters(read).Address, 1);
}

TEST_F(MeterLink, InternalRegistersRoundTrip)
{
    Start({"--inner", "13=0x1234", "--inner", "14=0x5678", "--inner", "15=0x9ABC", "--inner", "16=0x0105", "--inner",
           "17=0x0203", "--inner", "18=0xCDEF", "--inner", "19=0x0A0B"});
    InnerParameterData read{};
    ASSERT_EQ(rtu.ReadInnerParameter(read), 0);
    InnerParameterTexts texts = DecodeInnerParameters(read);
    EXPECT_EQ(texts.ModuleNumber, "123456789ABC");
    EXPECT_EQ(texts.PulseRate, "0005");
    EXPECT_EQ(texts.PowerCompensation, "0A0BCDEF");
    const auto data = EncodeInnerParameterWrite(texts);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(Hex(data->data(), 6), "34 12 78 56 BC 9A");
    EXPECT_EQ(rtu.WriteInnerParameter(*data), 0);
    EXPECT_EQ(sim->Expect("inner "), "inner 13=1234 14=5678 15=9ABC 16=0005 17=0003 18=CDEF 19=0A0B 20=0000 21=0000");
}

TEST_F(MeterLink, MeasurementDecodesTheMetersRegisters)
{
    Start({"--input", "0=2301", "--input", "1=0x1234", "--input", "2=0x0001", "--input", "3=12345", "--input", "4=0",
           "--input", "5=10000", "--input", "6=0", "--input", "9=0xFFFF"});
    MeasurementData m{};
    ASSERT_EQ(rtu.ReadMeasurement(m), 0);
    const MeterReading r = DecodeMeasurement(m);
    EXPECT_DOUBLE_EQ(r.Voltage, 230.1);
    EXPECT_DOUBLE_EQ(r.Current, 70.196);
    EXPECT_DOUBLE_EQ(r.Power, 1234);
    EXPECT_EQ(r.EnergyUnits, "kWh");
    EXPECT_TRUE(r.PowerAlarm);
    EXPECT_DOUBLE_EQ(r.Frequency, 50.0);
}

TEST_F(MeterLink, EveryInjectedFaultHasItsResult)
{
    Start({"--fault", "short=1@1", "--fault", "crc@2", "--fault", "exception=2@3", "--fault", "address=1@4", "--fault",
           "count=0@5", "--fault", "count=21@6", "--input", "0=2222"});
    MeasurementData sentinel;
    sentinel.fill(0xAA);
    MeasurementData m = sentinel;
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultShort); // 24 bytes
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultCrc);   // one bit flipped
    EXPECT_EQ(rtu.ReadMeasurement(m), 2);                       // F8 84 02 CRC
    EXPECT_EQ(m, sentinel);
    EXPECT_EQ(rtu.ReadMeasurement(m), 0); // address 01 is not checked
    EXPECT_EQ(RegisterWord(m.data(), 0), 2222);
    m = sentinel;
    EXPECT_EQ(rtu.ReadMeasurement(m), 0); // byte count 0: nothing copied
    EXPECT_EQ(m, sentinel);
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultShort); // byte count beyond the area
    EXPECT_EQ(m, sentinel);
    EXPECT_EQ(rtu.ReadMeasurement(m), 0); // request 7: the faults are over
    EXPECT_EQ(RegisterWord(m.data(), 0), 2222);

    // Faults switched on while running apply to the next request only when told so.
    ASSERT_TRUE(sim->Command("fault exception=4@8"));
    EXPECT_EQ(rtu.ClearEnergy(), 4);
    EXPECT_EQ(rtu.ClearEnergy(), 0);

    // An exception reply cut after F8 84 is short, not the request's third byte (00) as a result.
    ASSERT_TRUE(sim->Command("fault exception=2@10"));
    ASSERT_TRUE(sim->Command("fault short=3@10"));
    m = sentinel;
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultShort);
    EXPECT_EQ(m, sentinel);

    // An exception reply with code 00 is a failure, not a success, for a write as for a read.
    ASSERT_TRUE(sim->Command("fault exception=0@11-12"));
    EXPECT_EQ(rtu.ClearEnergy(), CModBusRtu::ResultShort);
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultShort);
    EXPECT_EQ(m, sentinel);
}

TEST_F(MeterLink, AnExceptionReplyWithItsCrcCutShortStillGivesItsCode)
{
    // F8 84 02, then F8 84 02 and one CRC byte: the code is in, the CRC is never checked.
    Start({"--fault", "exception=2@1-2", "--fault", "short=2@1", "--fault", "short=1@2"});
    MeasurementData sentinel;
    sentinel.fill(0xAA);
    MeasurementData m = sentinel;
    EXPECT_EQ(rtu.ReadMeasurement(m), 2);
    EXPECT_EQ(rtu.ReadMeasurement(m), 2);
    EXPECT_EQ(m, sentinel);
}

TEST_F(MeterLink, ReadReplyRefusesALengthItsFrameCannotHold)
{
    Start({});
    // Three measurement replies (75 bytes) wait on the line, more than a 64-byte frame holds.
    const std::uint8_t request[] = {0xF8, 0x04, 0x00, 0x00, 0x00, 0x0A, 0x64, 0x64};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(rtu.Serial().WriteData(sizeof request, request));
        ASSERT_EQ(Request(), "F8 04 00 00 00 0A 64 64");
    }
    std::array<std::uint8_t, 512> buffer;
    buffer.fill(0xEE);
    const auto untouchedPastFrame = [&] {
        return std::all_of(buffer.begin() + CModBusRtu::FrameSize, buffer.end(),
                           [](std::uint8_t b) { return b == 0xEE; });
    };
    for (int expected : {0, 1, 65, 255}) {
        std::uint8_t received = 0x5A;
        EXPECT_EQ(rtu.ReadReply(buffer.data(), static_cast<std::uint8_t>(expected), received), CModBusRtu::ResultShort)
            << expected;
        EXPECT_TRUE(untouchedPastFrame()) << expected;
        EXPECT_EQ(received, 0x5A) << expected;
    }
    // Nothing was taken off the line: the first reply is still there whole.
    std::uint8_t received = 0;
    EXPECT_EQ(rtu.ReadReply(buffer.data(), 25, received), CModBusRtu::ResultOk);
    EXPECT_EQ(received, 23);
    EXPECT_TRUE(untouchedPastFrame());
}

TEST_F(MeterLink, SilentMeterEndsAsShortAfterBothReadTimeouts)
{
    Start({"--fault", "silent"});
    MeasurementData m{};
    const auto start = Clock::now();
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultShort);
    const double ms = MsSince(start);
    EXPECT_GE(ms, 2000); // 1040 ms + 1460 ms
    EXPECT_LE(ms, 4000);
}

TEST_F(MeterLink, PacedAndDelayedRepliesStillArrive)
{
    Start({"--pace", "--baud", "9600", "--fault", "delay=400@2"});
    MeasurementData m{};
    auto start = Clock::now();
    EXPECT_EQ(rtu.ReadMeasurement(m), 0);
    double ms = MsSince(start);
    EXPECT_GE(ms, 25); // 33 bytes at 9600 baud
    EXPECT_LE(ms, 400);
    start = Clock::now();
    EXPECT_EQ(rtu.ReadMeasurement(m), 0);
    ms = MsSince(start);
    EXPECT_GE(ms, 380);
    EXPECT_LE(ms, 1000);
}

TEST_F(MeterLink, AReplyAfterItsRequestGaveUpIsNotReadAsTheNextOnesReply)
{
    // The first reply comes while the rest of it is being read: 23 of its 25 bytes are taken, two stay.
    Start({"--fault", "delay=1700@1", "--input", "0=2222"});
    MeasurementData m{};
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultShort);
    ASSERT_FALSE(sim->Expect("reply 1 ", Wait).empty());
    for (int i = 0; i < 2; ++i) {
        m.fill(0);
        EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultOk) << i;
        EXPECT_EQ(RegisterWord(m.data(), 0), 2222) << i;
    }
}

TEST_F(MeterLink, CalibrateWaitsBeforeReading)
{
    Start({});
    const auto start = Clock::now();
    EXPECT_EQ(rtu.Calibrate(), 0);
    const double ms = MsSince(start);
    EXPECT_GE(ms, 2900);
    EXPECT_LE(ms, 5000);
    EXPECT_EQ(sim->Expect("calibrate"), "calibrate");
}

TEST_F(MeterLink, ClosedLinkFailsAndFramesForOthersAreIgnored)
{
    Start({});
    rtu.Close();
    MeasurementData m{};
    EXPECT_EQ(rtu.ReadMeasurement(m), CModBusRtu::ResultLinkFailed);

    // The meter answers only good-CRC frames for 0xF8.
    ASSERT_TRUE(rtu.OpenPort(3, 9600));
    const std::uint8_t badCrc[] = {0xF8, 0x04, 0x00, 0x00, 0x00, 0x0A, 0x64, 0x65};
    ASSERT_TRUE(rtu.Serial().WriteData(sizeof badCrc, badCrc));
    EXPECT_EQ(sim->Expect("ignored "), "ignored F8 04 00 00 00 0A 64 65");
    std::uint8_t other[8] = {0x01, 0x04, 0x00, 0x00, 0x00, 0x0A};
    const std::uint16_t crc = CRC16(other, 6);
    other[6] = static_cast<std::uint8_t>(crc >> 8);
    other[7] = static_cast<std::uint8_t>(crc & 0xFF);
    ASSERT_TRUE(rtu.Serial().WriteData(sizeof other, other));
    EXPECT_EQ(sim->Expect("ignored "), "ignored " + Hex(other, 8));
    EXPECT_EQ(rtu.ReadMeasurement(m), 0); // nothing stray was left on the line
    EXPECT_EQ(sim->Expect("request "), "request 1 F8 04 00 00 00 0A 64 64");
}

TEST(MeterSimulator, ExitsWhenStdinClosesOrOnSignal)
{
    PortMap map;
    {
        Simulator sim({"--link", map.dir, "--com", "1"});
        EXPECT_TRUE(std::filesystem::is_symlink(map.dir + "/COM1"));
        EXPECT_TRUE(sim.CloseStdinAndWait(std::chrono::milliseconds(3000)));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(map.dir + "/COM1")));
    }
    Simulator sim({});
    const int status = sim.Stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
