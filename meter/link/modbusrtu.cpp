// CModBusRtu: the meter's seven requests, reply reading and checking.
#include "modbusrtu.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "crc16.h"
#include "meter_access.h"

namespace {

int AppendCrc(std::uint8_t* frame, int length)
{
    const std::uint16_t crc = CRC16(frame, static_cast<std::uint16_t>(length));
    frame[length] = static_cast<std::uint8_t>(crc >> 8);
    frame[length + 1] = static_cast<std::uint8_t>(crc & 0xFF);
    return length + 2;
}

} // namespace

CModBusRtu::CModBusRtu() = default;
CModBusRtu::~CModBusRtu() = default;

bool CModBusRtu::OpenPort(std::uint8_t port, std::uint16_t baud)
{
    m_serial.PortNumber = port;
    m_serial.BaudRate = baud;
    m_serial.ParityCheck = 0;
    m_serial.Parity = 0;
    m_serial.DataBits = 8;
    m_serial.StopBits = 0;
    m_serial.Overlapped = 1;
    m_serial.DsrSensitivity = 0;
    m_serial.CtsOutFlow = 0;
    m_serial.DsrOutFlow = 0;
    m_serial.LineControl &= ~0x0F;
    m_serial.Binary = 1;
    m_serial.EofChar = 0x0A;
    return m_serial.Open();
}

void CModBusRtu::Close() { m_serial.Close(); }

int CModBusRtu::ReadReply(std::uint8_t* frame, std::uint8_t expected, std::uint8_t& received)
{
    // The reply is read over the frame: a length it cannot hold is refused before anything is read.
    if (expected < 2 || expected > FrameSize) return ResultShort;
    std::uint32_t got = 0;
    if (!m_serial.ReadData(2, frame, got)) return ResultLinkFailed;
    // Fewer than two bytes leave the request's own bytes behind them: a short reply, whatever they say.
    const bool headShort = got < 2;
    if (!headShort && frame[1] > 0x80) {
        if (!m_serial.ReadData(3, frame + 2, got)) return ResultLinkFailed;
        // Without its code byte the buffer still holds the request there, which could read as 0. The
        // CRC is not checked, so one cut short does not matter.
        if (got < 1) return ResultShort;
        // Code 00 is no exception code; returned as it is it would read as success.
        return frame[2] != 0 ? frame[2] : ResultShort;
    }
    const std::uint32_t rest = static_cast<std::uint8_t>(expected - 2);
    if (!m_serial.ReadData(rest, frame + 2, got)) return ResultLinkFailed;
    received = static_cast<std::uint8_t>(got);
    if (headShort || got != rest || expected < 4) return ResultShort;
    const std::uint16_t crc = CRC16(frame, static_cast<std::uint16_t>(expected - 2));
    if (frame[expected - 2] == (crc >> 8) && frame[expected - 1] == (crc & 0xFF)) return ResultOk;
    return ResultCrc;
}

int CModBusRtu::Exchange(std::uint8_t* frame, int length, std::uint8_t expected, int pauseMs)
{
    // A reply that came after its request gave up would otherwise be read as this request's reply.
    m_serial.DiscardInput();
    const bool written = m_serial.WriteData(static_cast<std::uint32_t>(length), frame);
    if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    if (!written) return ResultLinkFailed;
    std::uint8_t received = 0;
    return ReadReply(frame, expected, received);
}

int CModBusRtu::ReadRegisters(std::uint8_t* frame, int length, std::uint8_t* data, int size)
{
    const std::uint8_t quantity = frame[length - 1];
    const int total = AppendCrc(frame, length);
    const int result = Exchange(frame, total, static_cast<std::uint8_t>(2 * quantity + 5), 0);
    if (result != ResultOk) return result;
    const int count = frame[2];
    // A byte count beyond the caller's area would overrun it: refuse the reply.
    if (count > size) return ResultShort;
    if (count != 0) std::memcpy(data, frame + 3, static_cast<std::size_t>(count));
    return ResultOk;
}

int CModBusRtu::ReadMeasurement(MeasurementData& data)
{
    std::uint8_t frame[FrameSize] = {SlaveAddress, 0x04, 0x00, 0x00, 0x00, 0x0A};
    return ReadRegisters(frame, 6, data.data(), static_cast<int>(data.size()));
}

int CModBusRtu::ReadParameter(ParameterData& data)
{
    std::uint8_t frame[FrameSize] = {SlaveAddress, 0x03, 0x00, 0x00, 0x00, 0x07};
    return ReadRegisters(frame, 6, data.data(), static_cast<int>(data.size()));
}

int CModBusRtu::ReadInnerParameter(InnerParameterData& data)
{
    std::uint8_t frame[FrameSize] = {SlaveAddress, 0x43, MeterAccessCodeHi, MeterAccessCodeLo, 0x00, 0x00, 0x00, 0x16};
    return ReadRegisters(frame, 8, data.data(), static_cast<int>(data.size()));
}

int CModBusRtu::WriteParameter(const ParameterWriteData& data)
{
    std::uint8_t frame[FrameSize] = {SlaveAddress, 0x10, 0x00, 0x00, 0x00, 0x04, 0x08};
    std::memcpy(frame + 7, data.data(), data.size());
    return Exchange(frame, AppendCrc(frame, 7 + static_cast<int>(data.size())), 8, 0);
}

int CModBusRtu::WriteInnerParameter(const InnerParameterWriteData& data)
{
    std::uint8_t frame[FrameSize] = {SlaveAddress, 0x46, MeterAccessCodeHi, MeterAccessCodeLo, 0x00, 0x0D, 0x00,
                                     0x09,         0x12};
    std::memcpy(frame + 9, data.data(), data.size());
    return Exchange(frame, AppendCrc(frame, 9 + static_cast<int>(data.size())), 8, 0);
}

int CModBusRtu::Calibrate()
{
    std::uint8_t frame[FrameSize] = {SlaveAddress, 0x41, MeterAccessCodeHi, MeterAccessCodeLo};
    return Exchange(frame, AppendCrc(frame, 4), 6, CalibratePauseMs);
}

int CModBusRtu::ClearEnergy()
{
    std::uint8_t frame[FrameSize] = {SlaveAddress, 0x42};
    return Exchange(frame, AppendCrc(frame, 2), 4, 0);
}
