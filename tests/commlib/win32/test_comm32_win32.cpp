// The Win32 layer where no port is needed: refused handles, a failed open in plain words, CSerial's texts.
#include "comm32.h"
#include "comm32_error.h"
#include "comm32_platform.h"
#include "comm32_platform_win32.h"
#include "serial.h"
#include "win32_comm.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>

using namespace KestroComm32;

namespace {

// A port number no machine and no Wine prefix has.
constexpr int MissingPort = 237;

} // namespace

// A handle that is no kernel handle, or none of a comm port, is not taken into use.
TEST(Win32Attach, HandlesThatAreNoCommPortAreRefused)
{
    TCommPlatform& p = Win32CommPlatform();
    EXPECT_FALSE(p.AttachHandle(0x7FFFFFF1));
    EXPECT_FALSE(p.AttachHandle(0));
    EXPECT_FALSE(p.AttachHandle(-1));
}

// Our DCB keeps Windows' layout, so every field that reaches the driver lands on the bytes Windows
// reads it from; two patterns, so that two fields swapped show in at least one of them.
TEST(Win32LineState, EveryFieldReachesItsPlaceInTheWindowsRecordAndBack)
{
    DCB a;
    a.BaudRate = 0x00012345;
    a.fBinary = 1, a.fParity = 0, a.fOutxCtsFlow = 1, a.fOutxDsrFlow = 0, a.fDtrControl = 2, a.fDsrSensitivity = 1;
    a.fTXContinueOnXoff = 0, a.fOutX = 1, a.fInX = 0, a.fErrorChar = 1, a.fNull = 0, a.fRtsControl = 3;
    a.fAbortOnError = 1;
    a.XonLim = 0x1234, a.XoffLim = 0x0567, a.ByteSize = 7, a.Parity = 3, a.StopBits = 2;
    a.XonChar = 0x11, a.XoffChar = 0x13, a.ErrorChar = 0x3F, a.EofChar = 0x1A, a.EvtChar = 0x0D;
    DCB b;
    b.BaudRate = 0x00098765;
    b.fBinary = 0, b.fParity = 1, b.fOutxCtsFlow = 0, b.fOutxDsrFlow = 1, b.fDtrControl = 1, b.fDsrSensitivity = 0;
    b.fTXContinueOnXoff = 1, b.fOutX = 0, b.fInX = 1, b.fErrorChar = 0, b.fNull = 1, b.fRtsControl = 2;
    b.fAbortOnError = 0;
    b.XonLim = 0x0567, b.XoffLim = 0x1234, b.ByteSize = 5, b.Parity = 4, b.StopBits = 1;
    b.XonChar = 0x13, b.XoffChar = 0x11, b.ErrorChar = 0x0D, b.EofChar = 0x3F, b.EvtChar = 0x1A;
    for (const DCB& ours : {a, b}) {
        const std::vector<unsigned char> record = Win32::DcbRecord(LineStateOf(ours));
        ASSERT_EQ(record.size(), sizeof ours);
        EXPECT_EQ(std::memcmp(record.data(), &ours, sizeof ours), 0);
        const DCB back = DcbOf(Win32::LineStateOfRecord(record));
        EXPECT_EQ(std::memcmp(&back, &ours, sizeof ours), 0);
    }
}

TEST(Win32Open, MissingPortFailsWithCode4AndSaysItDoesNotExist)
{
    SetThreadLocale(1033);
    TComm32 port;
    port.fSetPort(MissingPort);
    try {
        port.Open();
        FAIL() << "COM" << MissingPort << " opened";
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.ErrorCode, ecOpenPort);
        EXPECT_EQ(e.PortName, "COM" + std::to_string(MissingPort));
        EXPECT_EQ(e.Reason.Error, ENOENT);
        EXPECT_EQ(e.Reason.Call, "CreateFileW");
        EXPECT_EQ(e.Reason.DevicePath, "\\\\.\\COM" + std::to_string(MissingPort));
        EXPECT_NE(e.Reason.SystemText.find("(2)"), std::string::npos) << e.Reason.SystemText;
        EXPECT_EQ(e.Explanation.rfind("\\\\.\\COM" + std::to_string(MissingPort) + " does not exist", 0), 0u)
            << e.Explanation;
    }
    EXPECT_FALSE(port.fGetActive());
    SetThreadLocale(0);
}

// Windows errors of CreateFileW as a user reads them; the code is kept in the system's own words.
TEST(Win32Open, WindowsErrorsInPlainWords)
{
    struct TCase {
        std::uint32_t Error;
        int Errno;
        const char* Start; // how the English explanation begins after the device
    };
    const TCase cases[] = {
        {5, EBUSY, " is in use by another program"},  // access denied: another program has it
        {32, EBUSY, " is in use by another program"}, // sharing violation
        {2, ENOENT, " does not exist"},               // file not found
        {3, ENOENT, " does not exist"},               // path not found
        {123, ENOENT, " does not exist"},             // a name Windows cannot take
        {1167, EIO, " does not respond"},             // device not connected
        {31, EIO, " does not respond"},               // general failure of the device
        {1, ENOTTY, " is not a serial port"},         // invalid function: some other device
        {87, EINVAL, "The system reported: "},        // anything else: the system's text
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Error);
        const TSystemReason r = DescribeWindowsOpenFailure(c.Error, "\\\\.\\COM3");
        EXPECT_EQ(r.Error, c.Errno);
        EXPECT_TRUE(r.Known());
        EXPECT_NE(r.SystemText.find("(" + std::to_string(c.Error) + ")"), std::string::npos) << r.SystemText;
        const std::string text = ExplainOpenFailure(r, 1033);
        const std::string start = c.Start[0] == ' ' ? std::string("\\\\.\\COM3") + c.Start : std::string(c.Start);
        EXPECT_EQ(text.rfind(start, 0), 0u) << text;
        if (c.Errno == EINVAL) {
            EXPECT_NE(text.find(r.SystemText), std::string::npos) << text;
        }
    }
}

TEST(Win32Serial, MissingPortLeavesTheSystemTextAndAClosedLink)
{
    CSerial link;
    link.PortNumber = MissingPort;
    EXPECT_EQ(CSerial::DeviceName(3), "\\\\.\\COM3");
    ASSERT_FALSE(link.Open());
    EXPECT_FALSE(link.IsOpen());
    const std::string text = link.LastError();
    const std::string head = "'OpenCom' failed with the following error: ";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    // The system's message, as it comes, line break included.
    EXPECT_GT(text.size(), head.size() + 2);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(link.LastReason().Error, ENOENT);

    std::uint8_t buffer[4];
    std::uint32_t got = 99;
    EXPECT_FALSE(link.ReadData(4, buffer, got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(link.WriteData(4, buffer));
    link.Close();
    link.Close();
}

TEST(Win32Text, Utf8RoundTripAndSystemTexts)
{
    const std::string mixed = "COM3 串行口 序列埠 \xF0\x9F\x94\x8C";
    const std::wstring wide = Win32::Widen(mixed);
    EXPECT_EQ(wide.size(), 15u); // the plug is a surrogate pair
    EXPECT_EQ(Win32::Narrow(wide), mixed);
    EXPECT_TRUE(Win32::Widen("").empty());
    // Texts come without the system's trailing line break; an unknown code still says something.
    const std::string text = Win32::ErrorText(2);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_FALSE(Win32::ErrorText(0x2FFFFFFF).empty());
}
