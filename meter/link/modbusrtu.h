// CModBusRtu: Ormet-Master's Modbus RTU master for the meter at address 0xF8.
#pragma once

#include <cstdint>

#include "meter_values.h"
#include "serial.h"

class CModBusRtu {
public:
    // Result codes of every operation; a positive value is the exception code of an exception reply.
    static constexpr int ResultOk = 0;
    static constexpr int ResultLinkFailed = -1; // the request could not be written or a read failed
    static constexpr int ResultShort = -2;      // shorter than expected, a byte count too big, an
                                                // exception reply without a code (00), or an expected
                                                // length the frame cannot hold
    static constexpr int ResultCrc = -3;        // CRC mismatch

    static constexpr std::uint8_t SlaveAddress = 0xF8;
    static constexpr int CalibratePauseMs = 3000;
    static constexpr int FrameSize = 64;

    CModBusRtu();
    virtual ~CModBusRtu();
    CModBusRtu(const CModBusRtu&) = delete;
    CModBusRtu& operator=(const CModBusRtu&) = delete;

    // Sets 8N1, no flow control, DTR and RTS off, then opens "COM<port>" at baud. True if open.
    bool OpenPort(std::uint8_t port, std::uint16_t baud);
    // Closes the link (CSerial::Close): harmless when closed, waits for an exchange in progress.
    void Close();
    // The link itself (for LastError and IsOpen).
    CSerial& Serial() { return m_serial; }

    // 04H registers 0-9. On 0 the area holds the reply's data; otherwise it is left untouched.
    // A reply whose byte count field exceeds the area is refused with -2.
    int ReadMeasurement(MeasurementData& data);
    // 03H registers 0-6; as ReadMeasurement.
    int ReadParameter(ParameterData& data);
    // 43H internal registers 0-21 (with the access code); as ReadMeasurement.
    int ReadInnerParameter(InnerParameterData& data);
    // 10H registers 0-3 with data prepared by EncodeParameterWrite.
    int WriteParameter(const ParameterWriteData& data);
    // 46H internal registers 13-21 with data prepared by EncodeInnerParameterWrite.
    int WriteInnerParameter(const InnerParameterWriteData& data);
    // 41H with the access code; waits CalibratePauseMs after the write (also when it failed).
    int Calibrate();
    // 42H: clears the energy counter.
    int ClearEnergy();

    // Reads a reply of expected bytes into frame (at least FrameSize bytes) and checks length and
    // CRC; an exception reply returns its code as soon as the code byte is in (its CRC is not
    // checked). received gets the count read after the first two. An expected length below 2 or
    // above FrameSize is refused with ResultShort before anything is read; received is then unchanged.
    int ReadReply(std::uint8_t* frame, std::uint8_t expected, std::uint8_t& received);

private:
    int Exchange(std::uint8_t* frame, int length, std::uint8_t expected, int pauseMs);
    int ReadRegisters(std::uint8_t* frame, int length, std::uint8_t* data, int size);

    CSerial m_serial;
};
