// Fuzz target: the meter's reply reading (ReadReply) and the operations around it over a scripted link.
#include "fuzz_check.h"
#include "crc16.h"
#include "fake_serial.h"
#include "modbusrtu.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

bool CrcAt(const std::uint8_t* frame, int length)
{
    const std::uint16_t crc = CRC16(frame, static_cast<std::uint16_t>(length - 2));
    return frame[length - 2] == (crc >> 8) && frame[length - 1] == (crc & 0xFF);
}

// A success is the line's first bytes, none left over from the request the frame held before.
bool FromLine(const std::uint8_t* frame, const std::vector<std::uint8_t>& line, std::uint8_t expected)
{
    return line.size() >= expected && std::equal(line.begin(), line.begin() + expected, frame);
}

// The reply reading as the meter protocol describes it, run on a copy of the script.
struct TModel {
    FakeSerial::TScript Script;
    std::vector<std::uint8_t> Frame;

    bool Read(std::uint32_t count, std::size_t at, std::uint32_t& got)
    {
        const int limit = Script.Reads < Script.ReadLimits.size() ? Script.ReadLimits[Script.Reads] : 0x7FFFFFFF;
        ++Script.Reads;
        const std::size_t n = std::min<std::size_t>(
            {count, Script.Line.size() - Script.LinePos, static_cast<std::size_t>(limit < 0 ? 1 : limit)});
        std::copy_n(Script.Line.begin() + static_cast<long>(Script.LinePos), n, Frame.begin() + static_cast<long>(at));
        Script.LinePos += n;
        got = static_cast<std::uint32_t>(n);
        return limit >= 0;
    }

    int ReadReply(std::uint8_t expected, std::uint8_t& received)
    {
        // A length the frame cannot hold is refused before reading.
        if (expected < 2 || expected > CModBusRtu::FrameSize) return CModBusRtu::ResultShort;
        std::uint32_t got = 0;
        if (!Read(2, 0, got)) return CModBusRtu::ResultLinkFailed;
        // Address and function code must both have arrived before the function code says anything: a
        // head cut short is still read to the full length, and is a short reply however the rest looks.
        if (got < 2) {
            if (!Read(static_cast<std::uint8_t>(expected - 2), 2, got)) return CModBusRtu::ResultLinkFailed;
            received = static_cast<std::uint8_t>(got);
            return CModBusRtu::ResultShort;
        }
        if (Frame[1] > 0x80) {
            if (!Read(3, 2, got)) return CModBusRtu::ResultLinkFailed;
            // The code byte is enough: the CRC of an exception reply is not checked.
            if (got < 1) return CModBusRtu::ResultShort;
            // An exception reply without a code (00) would otherwise read as success.
            return Frame[2] != 0 ? Frame[2] : CModBusRtu::ResultShort;
        }
        const std::uint32_t rest = static_cast<std::uint8_t>(expected - 2);
        if (!Read(rest, 2, got)) return CModBusRtu::ResultLinkFailed;
        received = static_cast<std::uint8_t>(got);
        if (got != rest || expected < 4) return CModBusRtu::ResultShort;
        return CrcAt(Frame.data(), expected) ? CModBusRtu::ResultOk : CModBusRtu::ResultCrc;
    }
};

// A read operation's area is untouched on failure; on success it holds the reply's byte count worth of
// data and nothing past it changed. The reply is the frame as the reads filled it.
void CheckRead(int result, const std::vector<std::uint8_t>& area, std::uint8_t fill,
               const std::vector<std::uint8_t>& reply, std::uint8_t expected)
{
    auto untouched = [fill](std::uint8_t b) { return b == fill; };
    if (result != CModBusRtu::ResultOk) {
        Check(std::all_of(area.begin(), area.end(), untouched), "area untouched on failure");
        return;
    }
    Check(CrcAt(reply.data(), expected), "success only for a whole reply with its CRC");
    const std::size_t n = reply[2];
    Check(n <= area.size(), "byte count within the area");
    Check(std::equal(area.begin(), area.begin() + static_cast<long>(n), reply.begin() + 3), "area holds the data");
    Check(std::all_of(area.begin() + static_cast<long>(n), area.end(), untouched), "nothing past the byte count");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const int op = in.ConsumeIntegralInRange<int>(0, 6);
    // Any 8-bit length, those the frame cannot hold included.
    auto expected = in.ConsumeIntegral<std::uint8_t>();
    const std::uint8_t fill = in.ConsumeIntegral<std::uint8_t>();
    const bool fixCrc = in.ConsumeBool();

    FakeSerial::TScript& s = FakeSerial::Script();
    s = FakeSerial::TScript{};
    s.WriteFails = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const int limits = in.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < limits; ++i) s.ReadLimits.push_back(in.ConsumeIntegralInRange<int>(-1, 70));
    s.Line = in.ConsumeRemainingBytes<std::uint8_t>();

    // The reply length each operation expects: 2 x quantity + 5 for the reads, 8 for the writes, 4 for 42H.
    static constexpr std::uint8_t OpExpected[] = {0, 25, 19, 49, 8, 8, 4};
    if (op > 0) expected = OpExpected[op];
    // Let the line carry a valid CRC where the reply would have it, so the checks past the CRC are reached.
    if (fixCrc && s.Line.size() >= expected && expected >= 4) {
        const std::uint16_t crc = CRC16(s.Line.data(), static_cast<std::uint16_t>(expected - 2));
        s.Line[expected - 2] = static_cast<std::uint8_t>(crc >> 8);
        s.Line[expected - 1] = static_cast<std::uint8_t>(crc & 0xFF);
    }
    const FakeSerial::TScript before = s;

    CModBusRtu rtu;
    if (op == 0) {
        // ReadReply alone, on a frame of exactly FrameSize bytes.
        auto frame = std::make_unique<std::uint8_t[]>(CModBusRtu::FrameSize);
        std::fill_n(frame.get(), CModBusRtu::FrameSize, fill);
        TModel model{before, std::vector<std::uint8_t>(CModBusRtu::FrameSize, fill)};
        std::uint8_t received = 0x5A, modelReceived = 0x5A;
        const int result = rtu.ReadReply(frame.get(), expected, received);
        const int want = model.ReadReply(expected, modelReceived);
        Check(result == want, "result as the protocol reads");
        Check(received == modelReceived, "received count");
        Check(std::equal(model.Frame.begin(), model.Frame.end(), frame.get()),
              "frame holds what was read, nothing else");
        Check(result >= CModBusRtu::ResultCrc && result <= 0xFF, "result range");
        Check(received <= expected - 2 || received == 0x5A, "received within the reply");
        if (result == CModBusRtu::ResultOk) {
            Check(frame[1] <= 0x80, "an exception reply is never a success");
            Check(FromLine(frame.get(), before.Line, expected), "a success is read from the line alone");
        }
        return 0;
    }

    // Each operation with its function code; the reads run on an area filled with the fill byte.
    std::vector<std::uint8_t> areaAfter;
    auto read = [&](auto area, auto operation) {
        area.fill(fill);
        const int rc = (rtu.*operation)(area);
        areaAfter.assign(area.begin(), area.end());
        return rc;
    };
    auto write = [&](auto values, auto operation) {
        values.fill(fill);
        return (rtu.*operation)(values);
    };
    static constexpr std::uint8_t OpFunction[] = {0, 0x04, 0x03, 0x43, 0x10, 0x46, 0x42};
    const std::uint8_t fc = OpFunction[op];
    int result;
    switch (op) {
    case 1: result = read(MeasurementData{}, &CModBusRtu::ReadMeasurement); break;
    case 2: result = read(ParameterData{}, &CModBusRtu::ReadParameter); break;
    case 3: result = read(InnerParameterData{}, &CModBusRtu::ReadInnerParameter); break;
    case 4: result = write(ParameterWriteData{}, &CModBusRtu::WriteParameter); break;
    case 5: result = write(InnerParameterWriteData{}, &CModBusRtu::WriteInnerParameter); break;
    default: result = rtu.ClearEnergy(); break;
    }

    // One request, addressed to the meter, with its CRC; a failed write reads nothing.
    Check(s.Writes.size() == 1, "one request per operation");
    const std::vector<std::uint8_t>& request = s.Writes[0];
    Check(request.size() >= 4 && request[0] == CModBusRtu::SlaveAddress && request[1] == fc, "request head");
    Check(CrcAt(request.data(), static_cast<int>(request.size())), "request CRC");
    if (s.WriteFails) {
        Check(result == CModBusRtu::ResultLinkFailed && s.Reads == 0, "failed write: -1 without reading");
        if (op <= 3) CheckRead(result, areaAfter, fill, request, expected);
        return 0;
    }
    // The same reply read on its own gives the same result.
    TModel model{before, std::vector<std::uint8_t>(CModBusRtu::FrameSize, 0)};
    std::copy(request.begin(), request.end(), model.Frame.begin());
    std::uint8_t received = 0;
    int want = model.ReadReply(expected, received);
    if (want == CModBusRtu::ResultOk && op <= 3) {
        const std::size_t area = op == 1 ? 20 : op == 2 ? 14 : 44;
        if (model.Frame[2] > area) want = CModBusRtu::ResultShort;
    }
    Check(result == want, "operation result as the protocol reads");
    if (result == CModBusRtu::ResultOk) Check(model.Frame[1] <= 0x80, "an exception reply is never a success");
    if (op <= 3) CheckRead(result, areaAfter, fill, model.Frame, expected);
    return 0;
}
