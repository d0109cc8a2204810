// What port enumeration asks of the system: tty devices in sysfs, aliases of the port map, UART probe
// on Linux; the SERIALCOMM registry key on Windows, where the Linux calls find nothing.
#pragma once

#include <string>
#include <vector>

namespace KestroComm32::PortInfoSys {

// /dev names of the tty class entries under sysfsRoot that a real device backs, skipping serial8250
// lines without a UART. False with the errno in error when the tty class directory cannot be read.
bool ListTtyDevices(const std::string& sysfsRoot, std::vector<std::string>& names, int& error);

// Why the port map folder dir may not be used, or the link at link in it (when given) not followed:
// the folder belongs to another user than this one and root, or others than its owner may write it,
// or the link belongs to such a user. Empty when it may (a folder that does not exist may be made).
std::string PortMapDistrust(const std::string& dir, const std::string& link = std::string());

// Names of the symlinks in the port map folder dir whose target exists (unordered), leaving out
// those PortMapDistrust refuses; none when dir cannot be read or may not be used.
std::vector<std::string> ListLiveSymlinks(const std::string& dir);

// The UART type TIOCGSERIAL reports for /dev/<devName> (0 is PORT_UNKNOWN), or -1 when the device
// cannot be opened or asked.
int ProbeSerialType(const std::string& devName);

// What sysfs tells of one tty: its driver and the USB device it hangs off, where it does.
struct TTtyDetails {
    std::string Driver;
    std::string VendorId, ProductId, Manufacturer, Product, Serial;
};

// Details of the tty class entry name under sysfsRoot: the driver of its device, and the USB
// attributes of the nearest device above it that has idVendor and idProduct. False when sysfs
// has no such entry.
bool DescribeTty(const std::string& sysfsRoot, const std::string& name, TTtyDetails& details);

// brltty, a service for braille displays, takes USB serial adapters of some kinds for itself when it
// runs: their tty vanishes within a second of being plugged in.
struct TBrlttyClaim {
    int Pid = 0;       // the running brltty
    std::string UsbId; // "1a86:7523": the adapter of a kind it takes
    explicit operator bool() const { return Pid > 0; }
};
// Whether brltty (a process of that name under procRoot) runs and path is, or was, an adapter it
// takes: path leads to a tty of such an adapter, or path leads nowhere, looks like a USB serial
// device (ttyUSB, ttyACM, a /dev/serial name of a USB device) and such an adapter is plugged in
// (sysfsRoot/bus/usb/devices) with its tty gone. Empty when not.
TBrlttyClaim BrlttyClaim(const std::string& sysfsRoot, const std::string& procRoot, const std::string& path);

// The port names (data of the values) under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM in registry order,
// empty ones skipped; the status of opening the key (names untouched) or of closing it. Windows only.
long ListRegisteredPorts(std::vector<std::string>& names);

// The path with every link followed, empty when it leads nowhere.
std::string ResolvedPath(const std::string& path);
// What the link at path says, empty when path is no link.
std::string LinkTarget(const std::string& path);

} // namespace KestroComm32::PortInfoSys
