// Port enumeration: names from the system, their order, and the COMn name <-> number mapping.
#include "comm32_portinfo.h"

#include "comm32_portinfo_sys.h"
#include "comm32_portnumbers.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <numeric>

namespace KestroComm32 {

namespace {

UnicodeString& SysfsRootSetting()
{
    static UnicodeString root;
    return root;
}

UnicodeString& SerialRootSetting()
{
    static UnicodeString root;
    return root;
}

UnicodeString& ProcRootSetting()
{
    static UnicodeString root;
    return root;
}

// UTF-8 to UTF-16 code units, so names compare in the order the UTF-16 original gives.
// Malformed bytes are taken as single units of their own value.
std::u16string ToUtf16(const UnicodeString& s)
{
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp = c;
        std::size_t len = 1;
        if (c >= 0xF0 && c < 0xF8) {
            cp = c & 0x07;
            len = 4;
        } else if (c >= 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if (c >= 0xC0) {
            cp = c & 0x1F;
            len = 2;
        }
        if (len > 1 && i + len <= s.size()) {
            bool ok = true;
            for (std::size_t k = 1; k < len; ++k) {
                const unsigned char cc = static_cast<unsigned char>(s[i + k]);
                if ((cc & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                cp = (cp << 6) | (cc & 0x3F);
            }
            if (!ok) {
                cp = c;
                len = 1;
            }
        } else {
            cp = c;
            len = 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

int TStringList::Add(const UnicodeString& s)
{
    Items.push_back(s);
    return Count() - 1;
}

void TStringList::CustomSort(TCompare compare)
{
    if (compare == nullptr || Items.size() < 2) return;
    std::vector<int> order(Items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return compare(this, a, b) < 0; });
    std::vector<UnicodeString> sorted;
    sorted.reserve(Items.size());
    for (int index : order) sorted.push_back(std::move(Items[static_cast<std::size_t>(index)]));
    Items = std::move(sorted);
}

TCommSerialPortInfo::TCommSerialPortInfo() { Refresh(); }

void TCommSerialPortInfo::Refresh()
{
    PortList.Clear();
    NumberNewPorts();
    ListFromSystem();
    if (PortList.Count() == 0) {
        for (int n = 1; n <= 4; ++n) PortList.Add(PortName(n));
    }
}

void TCommSerialPortInfo::NumberNewPorts()
{
#ifndef _WIN32
    std::vector<std::string> names;
    int error = 0;
    if (PortInfoSys::ListTtyDevices(SysfsRoot(), names, error)) PortNumbers::NumberNewDevices(names);
#endif
}

long TCommSerialPortInfo::ListFromSystem()
{
    std::vector<std::string> names;
#ifdef _WIN32
    // Windows names its ports itself: the registry's list is the whole answer.
    const long status = PortInfoSys::ListRegisteredPorts(names);
    if (status != 0 && names.empty()) return status;
    PortList.Clear();
    for (const std::string& name : names) PortList.Add(name);
    PortList.CustomSort(&PortListSortCompare);
    return status;
#else
    int error = 0;
    const bool ttyOk = PortInfoSys::ListTtyDevices(SysfsRoot(), names, error);
    for (const std::string& alias : PortInfoSys::ListLiveSymlinks(PortMapDir())) {
        // Only the exact form the port object looks up ("COM12", not "com12" or "COM012").
        if (PortName(PortNo(alias)) == alias) names.push_back(alias);
    }
    if (!ttyOk && names.empty()) return error;

    PortList.Clear();
    for (const std::string& name : names) {
        if (!name.empty()) PortList.Add(name);
    }
    PortList.CustomSort(&PortListSortCompare);
    return 0;
#endif
}

int TCommSerialPortInfo::PortNo(const UnicodeString& name)
{
    if (name.size() < 3) return 0;
    if (UpperAscii(name[0]) != 'C' || UpperAscii(name[1]) != 'O' || UpperAscii(name[2]) != 'M') return 0;
    std::size_t i = 3;
    while (i < name.size() && IsBlank(name[i])) ++i;
    bool negative = false;
    if (i < name.size() && (name[i] == '+' || name[i] == '-')) {
        negative = name[i] == '-';
        ++i;
    }
    const std::size_t digitsStart = i;
    long long value = 0;
    bool overflow = false;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') {
        if (!overflow) {
            value = value * 10 + (name[i] - '0');
            if (value > INT_MAX) overflow = true;
        }
        ++i;
    }
    // No digits, something after them, a negative number or one beyond int: not a port number.
    if (i == digitsStart || i != name.size() || negative || overflow) return 0;
    return static_cast<int>(value);
}

UnicodeString TCommSerialPortInfo::PortName(int n)
{
    if (n <= 0) return UnicodeString();
    return "COM" + std::to_string(n);
}

int TCommSerialPortInfo::PortListSortCompare(TStringList* list, int index1, int index2)
{
    const UnicodeString& s1 = list->Strings(index1);
    const UnicodeString& s2 = list->Strings(index2);
    const int a = PortNo(s1);
    const int b = PortNo(s2);
    // Compared rather than subtracted so that large numbers cannot overflow.
    if (a > 0 && b > 0) return a < b ? -1 : (a > b ? 1 : 0);
    if (a != b) return a < b ? 1 : -1;
    const std::u16string u1 = ToUtf16(s1);
    const std::u16string u2 = ToUtf16(s2);
    const int c = u1.compare(u2);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

#ifndef _WIN32
namespace {

// What the port map and sysfs tell of the port d names.
void DescribeFromSystem(TPortDetails& d)
{
    using T = TCommSerialPortInfo;
    const UnicodeString& name = d.Name;
    const int n = T::PortNo(name);
    if (!name.empty() && name[0] == '/') {
        d.DevicePath = name;
    } else if (n > 0 && T::PortName(n) == name) {
        const UnicodeString link = T::PortMapDir() + "/" + name;
        const UnicodeString target = PortInfoSys::LinkTarget(link);
        d.NotFollowed = target.empty() ? std::string() : PortInfoSys::PortMapDistrust(T::PortMapDir(), link);
        if (!d.NotFollowed.empty()) {
            d.AliasLink = link;
            d.DevicePath = link;
            return;
        }
        if (!target.empty()) {
            d.AliasLink = link;
            const std::string byPath = T::SerialRoot() + "/by-path/";
            const std::string absolute = target[0] == '/' ? target : T::PortMapDir() + "/" + target;
            d.FollowsSocket = absolute.compare(0, byPath.size(), byPath) == 0;
            const UnicodeString resolved = PortInfoSys::ResolvedPath(link);
            d.DevicePath = resolved.empty() ? target : resolved;
        } else {
            d.DevicePath = "/dev/ttyS" + std::to_string(n - 1);
        }
    } else {
        d.DevicePath = "/dev/" + name;
    }
    // sysfs knows a tty by its device's own name, also when it is reached through links.
    UnicodeString device = PortInfoSys::ResolvedPath(d.DevicePath);
    if (device.empty()) device = d.DevicePath;
    PortInfoSys::TTtyDetails tty;
    if (PortInfoSys::DescribeTty(T::SysfsRoot(), device.substr(device.find_last_of('/') + 1), tty)) {
        d.Driver = tty.Driver;
        d.VendorId = tty.VendorId;
        d.ProductId = tty.ProductId;
        d.Manufacturer = tty.Manufacturer;
        d.Product = tty.Product;
        d.SerialNumber = tty.Serial;
    }
    d.NotNumbered = PortNumbers::NotNumberedNote(device.substr(device.find_last_of('/') + 1));
    if (const auto brltty = PortInfoSys::BrlttyClaim(T::SysfsRoot(), T::ProcRoot(), d.DevicePath)) {
        d.BrlttyPid = brltty.Pid;
        d.BrlttyUsbId = brltty.UsbId;
    }
}

} // namespace
#endif

TPortDetails TCommSerialPortInfo::Details(const UnicodeString& name)
{
    TPortDetails d;
    d.Name = name;
#ifdef _WIN32
    // Every name is a device of its own: no map links, no sysfs to describe it.
    d.DevicePath = "\\\\.\\" + name;
#else
    DescribeFromSystem(d);
#endif
    return d;
}

UnicodeString TPortDetails::ToolTip() const
{
    UnicodeString tip = AliasLink.empty() ? DevicePath : Name + " \u2192 " + DevicePath;
    if (!Driver.empty()) tip += " (" + Driver + ")";
    if (!VendorId.empty() || !ProductId.empty()) {
        tip += "\nUSB " + VendorId + ":" + ProductId;
        if (!Manufacturer.empty()) tip += " " + Manufacturer;
        if (!Product.empty()) tip += " " + Product;
    }
    if (!SerialNumber.empty()) tip += "\nS/N " + SerialNumber;
    if (FollowsSocket) tip += "\nnumber follows the USB socket";
    if (!NotNumbered.empty()) tip += "\nnot numbered: " + NotNumbered;
    if (!NotFollowed.empty()) tip += "\nnot followed: " + NotFollowed;
    if (BrlttyPid > 0)
        tip += "\nbrltty (process " + std::to_string(BrlttyPid) + ") takes " + BrlttyUsbId +
               " adapters as braille displays: sudo apt remove brltty, or disable its udev rule";
    return tip;
}

UnicodeString TCommSerialPortInfo::PortMapDir()
{
    const char* dir = std::getenv("COMPORTS_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg != '\0') return UnicodeString(xdg) + "/comports";
    const char* home = std::getenv("HOME");
    return UnicodeString(home != nullptr ? home : "") + "/.config/comports";
}

void TCommSerialPortInfo::SetSysfsRoot(const UnicodeString& root) { SysfsRootSetting() = root; }

UnicodeString TCommSerialPortInfo::SysfsRoot()
{
    const UnicodeString& root = SysfsRootSetting();
    return root.empty() ? UnicodeString("/sys") : root;
}

void TCommSerialPortInfo::SetSerialRoot(const UnicodeString& root)
{
    UnicodeString& setting = SerialRootSetting();
    setting = root;
    while (setting.size() > 1 && setting.back() == '/') setting.pop_back();
}

UnicodeString TCommSerialPortInfo::SerialRoot()
{
    const UnicodeString& root = SerialRootSetting();
    return root.empty() ? UnicodeString("/dev/serial") : root;
}

void TCommSerialPortInfo::SetProcRoot(const UnicodeString& root) { ProcRootSetting() = root; }

UnicodeString TCommSerialPortInfo::ProcRoot()
{
    const UnicodeString& root = ProcRootSetting();
    return root.empty() ? UnicodeString("/proc") : root;
}

} // namespace KestroComm32
