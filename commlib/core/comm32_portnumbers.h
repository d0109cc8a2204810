// Automatic COMn numbers: which serial device gets which free number (here, no system calls), and the
// numbering of the port map folder, which the platform layer does (POSIX: comm32_portnumbers_linux.cpp).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace KestroComm32::PortNumbers {

// A serial device present now, as the numbering sees it.
struct TDevice {
    std::string TtyName;    // its sysfs tty name ("ttyUSB0"): the key of its note
    std::string DevicePath; // its node (<dev root>/<dev name>)
    std::string Node;       // that node with every link followed
    bool Usb = false;
    bool HasSerial = false;                // the USB device reports a serial number
    std::vector<std::string> ById, ByPath; // links in the /dev/serial tree that lead to Node, sorted
};

// An entry of the port map folder.
struct TMapEntry {
    std::string Name; // as in the folder ("COM3", "notes.txt")
    bool IsLink = false;
    bool Foreign = false; // a link another user owns: its name is taken, but it is not followed
    std::string Target;   // a link's target made absolute, lexically normal
    std::string Resolved; // where a link leads, every link followed; empty when it dangles
};

// A new number for a device, and the link that keeps it.
struct TAssignment {
    std::string TtyName;
    int Number = 0;
    std::string Target; // the stable name the link COMn names
};

struct TPlan {
    std::vector<TAssignment> New;
    std::map<std::string, std::string> NotNumbered; // tty name -> why
};

constexpr int FirstNumber = 3;  // COM1 and COM2 stay for the machine's own UARTs
constexpr int LastNumber = 255; // Ormet-Master keeps its port number in a byte

// The name a device is numbered by: its by-id link when the adapter has a serial number (none until
// udev has made it: a by-path number would stay with the socket for good), else its by-path link (the
// number then follows the USB socket); a port off USB by its own node. Empty when it has none.
std::string StableName(const TDevice& device, bool& followsSocket);

// The note of an adapter with a serial number whose by-id name udev has not made yet.
constexpr const char* WaitingForName = "waiting for its name";

// The numbers to give: every device with a stable name that no COMn entry of the folder points at
// (by its link's target or where it leads; a foreign link points nowhere), and that is not a UART a
// /dev/ttyS<n-1> fallback already reaches, gets the lowest free number from FirstNumber up. A number
// is not free when any entry of that name is in the folder or when /dev/ttyS<n-1> is one of the
// devices. Devices go in the order of their tty names, so first sight of several at once is
// repeatable. An adapter still waiting for its by-id name gets the note WaitingForName.
TPlan Plan(std::vector<TDevice> devices, const std::vector<TMapEntry>& map);

// The numbering of the port map folder for the devices the enumeration found (their /dev names), as
// one transaction among all programs that number: under a lock on the folder it reads the folder,
// plans and makes the links, and plans again when a name was taken meanwhile. Nothing is locked or
// written when there is nothing to number. A folder that another user owns or that others may
// write, and links other users own, are not followed. Off when COMPORTS_AUTO is "0". Never throws;
// what could not be done is kept as the device's note.
void NumberNewDevices(const std::vector<std::string>& devNames);

// Why the device of a tty name got no number in the last numbering, empty when nothing went wrong.
std::string NotNumberedNote(const std::string& ttyName);

} // namespace KestroComm32::PortNumbers
