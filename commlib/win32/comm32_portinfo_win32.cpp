// Port enumeration on Windows: the SERIALCOMM registry key; the Linux sysfs and link calls find nothing.
#include "comm32_portinfo_sys.h"
#include "win32_comm.h"

#include <cerrno>

namespace KestroComm32::PortInfoSys {

long ListRegisteredPorts(std::vector<std::string>& names) { return Win32::ListSerialCommPorts(names); }

bool ListTtyDevices(const std::string&, std::vector<std::string>& names, int& error)
{
    names.clear();
    error = ENOENT;
    return false;
}

std::vector<std::string> ListLiveSymlinks(const std::string&) { return {}; }

int ProbeSerialType(const std::string&) { return -1; }

bool DescribeTty(const std::string&, const std::string&, TTtyDetails&) { return false; }

std::string ResolvedPath(const std::string&) { return std::string(); }

std::string LinkTarget(const std::string&) { return std::string(); }

} // namespace KestroComm32::PortInfoSys
