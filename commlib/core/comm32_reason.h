// Why a serial port would not open: what the system said, and the same in plain words for a user.
#pragma once

#include "comm32_types.h"

#include <cstdint>

namespace KestroComm32 {

// The system's side of a failed open. Error 0 means nothing is known (the failure was not the system's).
struct TSystemReason {
    int Error = 0;            // errno of the failing call (on Windows: the errno its error means)
    UnicodeString Call;       // that call: "open", "isatty", "flock", "tcgetattr", ...
    UnicodeString DevicePath; // the path handed to open (for a COMn alias, the link in the port map)
    // A COMn name looked up in the port map directory.
    UnicodeString AliasName;       // "COM7"; empty when the name was no alias
    UnicodeString AliasLink;       // where the link is or would be: <port map dir>/COM7
    UnicodeString AliasTarget;     // what the link names (as written in it); empty when there is no link
    bool AliasDangling = false;    // the link names nothing that exists
    bool AliasNotFollowed = false; // the link or its folder is one another user may change
    // The group that may open the device (owns it with read and write), where one could be found.
    UnicodeString AccessGroup;
    // The process that already has the device open, where one was found (busy only).
    UnicodeString HolderName; // its program name: "minicom", "ModemManager"
    int HolderPid = 0;
    // brltty, running as BrlttyPid, takes adapters of the device's kind (BrlttyUsbId, "1a86:7523") for
    // braille displays: the device is, or just was, one of them.
    int BrlttyPid = 0;
    UnicodeString BrlttyUsbId;
    // The system's own words for the failure where they are not errno's (Windows); else empty.
    UnicodeString SystemText;

    bool Known() const { return Error != 0; }
    // The device the user knows the port by: the alias target where there is a link, else DevicePath.
    UnicodeString Device() const;
};

// The explanation in the language of lcid (2052 Simplified Chinese, 1028 Traditional, else English):
// permission, busy (naming the program that holds the port, where known), missing device or alias,
// not a serial device, I/O error, an alias another user may change, brltty taking the adapter (with
// its fix); anything else is the
// system's own text. Empty when nothing is known.
UnicodeString ExplainOpenFailure(const TSystemReason& reason, unsigned long lcid);

// What the system can still tell about a failed open of path (POSIX; comm32_platform_reason.cpp):
// the group that may open the device, for a COMn alias (aliasName not empty) its link and whether
// that dangles, and brltty where it takes the device. aliasLink is the link's place in the port map.
TSystemReason DescribeOpenFailure(int error, const UnicodeString& call, const UnicodeString& path,
                                  const UnicodeString& aliasName = UnicodeString(),
                                  const UnicodeString& aliasLink = UnicodeString());

// The same for a Windows error of call on path (Windows; win32/comm32_platform_reason.cpp): the
// errno it means, with the system's own text.
TSystemReason DescribeWindowsOpenFailure(std::uint32_t error, const UnicodeString& path,
                                         const UnicodeString& call = "CreateFileW");

} // namespace KestroComm32
