// Linux side of port enumeration: walks /sys/class/tty and the port map directory.
#include "comm32_portinfo_sys.h"

#include "posix_tty_holder.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KestroComm32::PortInfoSys {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool Exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DriverName(const std::string& entryPath)
{
    char resolved[PATH_MAX];
    if (realpath((entryPath + "/device/driver").c_str(), resolved) == nullptr) return std::string();
    return BaseName(resolved);
}

// The DEVNAME of the entry's uevent (it may name a subdirectory of /dev), else the entry's own name.
std::string DevName(const std::string& entryPath, const std::string& entryName)
{
    std::ifstream uevent(entryPath + "/uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line.rfind("DEVNAME=", 0) == 0 && line.size() > 8) return line.substr(8);
    }
    return entryName;
}

// The sysfs "type" attribute of a serial core port, -1 when absent or unreadable.
int SysfsUartType(const std::string& entryPath)
{
    std::ifstream in(entryPath + "/type");
    int type = -1;
    if (!(in >> type)) return -1;
    return type;
}

} // namespace

int ProbeSerialType(const std::string& devName)
{
    const std::string path = "/dev/" + devName;
    const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct serial_struct info {};
    const int rc = ioctl(fd, TIOCGSERIAL, &info);
    close(fd);
    return rc == 0 ? info.type : -1;
}

bool ListTtyDevices(const std::string& sysfsRoot, std::vector<std::string>& names, int& error)
{
    const std::string classDir = sysfsRoot + "/class/tty";
    DirPtr dir(opendir(classDir.c_str()));
    if (!dir) {
        error = errno;
        return false;
    }
    while (const dirent* e = readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        const std::string entryPath = classDir + "/" + name;
        // Virtual terminals, ptys and the console have no device behind them.
        if (!Exists(entryPath + "/device")) continue;
        const std::string devName = DevName(entryPath, name);
        if (DriverName(entryPath) == "serial8250") {
            // The 8250 driver registers its lines whether or not a UART is there.
            int type = SysfsUartType(entryPath);
            if (type < 0) type = ProbeSerialType(devName);
            if (type == PORT_UNKNOWN) continue;
        }
        names.push_back(devName);
    }
    return true;
}

namespace {

// Whether gid is the user-private group of uid (Debian's default: a group of the user's name, the
// user's own, with no members), which makes a group-writable folder writable by its owner alone.
bool PrivateGroup(gid_t gid, uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd user{};
    passwd* foundUser = nullptr;
    if (getpwuid_r(uid, &user, buffer.data(), buffer.size() / 2, &foundUser) != 0 || foundUser == nullptr) return false;
    group entry{};
    group* foundGroup = nullptr;
    char* rest = buffer.data() + buffer.size() / 2;
    if (getgrgid_r(gid, &entry, rest, buffer.size() / 2, &foundGroup) != 0 || foundGroup == nullptr) return false;
    return user.pw_gid == gid && std::strcmp(user.pw_name, entry.gr_name) == 0 &&
           (entry.gr_mem == nullptr || entry.gr_mem[0] == nullptr);
}

} // namespace

std::string PortMapDistrust(const std::string& dir, const std::string& link)
{
    const uid_t self = geteuid();
    auto foreign = [self](uid_t owner) { return owner != self && owner != 0; };
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return std::string();
    if (foreign(st.st_uid))
        return dir + " belongs to another user (uid " + std::to_string(st.st_uid) + "), so it is not used";
    // The sticky bit does not help: anyone may add a COMn there.
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !PrivateGroup(st.st_gid, st.st_uid)))
        return dir + " may be written by other users, so it is not used";
    if (!link.empty() && lstat(link.c_str(), &st) == 0 && foreign(st.st_uid))
        return link + " belongs to another user (uid " + std::to_string(st.st_uid) + "), so it is not followed";
    return std::string();
}

std::vector<std::string> ListLiveSymlinks(const std::string& dirPath)
{
    std::vector<std::string> names;
    if (!PortMapDistrust(dirPath).empty()) return names;
    DirPtr dir(opendir(dirPath.c_str()));
    if (!dir) return names;
    while (const dirent* e = readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        const std::string path = dirPath + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        if (!Exists(path)) continue; // dangling: the adapter it names is not there
        if (!PortMapDistrust(dirPath, path).empty()) continue;
        names.push_back(name);
    }
    return names;
}

std::string ResolvedPath(const std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return std::string();
    return resolved;
}

std::string LinkTarget(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

namespace {

// The first line of a sysfs attribute, empty when absent.
std::string Attribute(const std::string& dir, const char* name)
{
    std::ifstream in(dir + "/" + name);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

} // namespace

bool DescribeTty(const std::string& sysfsRoot, const std::string& name, TTtyDetails& details)
{
    details = TTtyDetails();
    if (name.empty() || name.find('/') != std::string::npos) return false;
    const std::string entryPath = sysfsRoot + "/class/tty/" + name;
    if (!Exists(entryPath)) return false;
    details.Driver = DriverName(entryPath);
    const std::string root = ResolvedPath(sysfsRoot);
    std::string dir = ResolvedPath(entryPath + "/device");
    // A USB serial tty sits one or two levels below its USB device (interface, then port).
    for (int level = 0; level < 8 && !dir.empty() && !root.empty() && dir.size() > root.size() &&
                        dir.compare(0, root.size(), root) == 0;
         ++level) {
        if (Exists(dir + "/idVendor") && Exists(dir + "/idProduct")) {
            details.VendorId = Attribute(dir, "idVendor");
            details.ProductId = Attribute(dir, "idProduct");
            details.Manufacturer = Attribute(dir, "manufacturer");
            details.Product = Attribute(dir, "product");
            details.Serial = Attribute(dir, "serial");
            break;
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return true;
}

namespace {

// The USB serial adapters brltty 6.5 lists among its braille displays that are sold mostly as plain
// serial adapters: FTDI FT232R, Silicon Labs CP210x, QinHeng CH340/CH341.
bool BrlttyTakes(const std::string& usbId)
{
    static const char* const Kinds[] = {"0403:6001", "10c4:ea60", "1a86:7523"};
    for (const char* kind : Kinds)
        if (usbId == kind) return true;
    return false;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool LooksUsb(const std::string& path)
{
    const std::string name = BaseName(path);
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0 ||
           path.find("/serial/by-id/usb-") != std::string::npos ||
           (path.find("/serial/by-path/") != std::string::npos && path.find("-usb-") != std::string::npos);
}

// Whether some tty of the tty class sits below the device folder usbDevice (resolved).
bool HasTty(const std::string& sysfsRoot, const std::string& usbDevice)
{
    const std::string classDir = sysfsRoot + "/class/tty";
    DirPtr dir(opendir(classDir.c_str()));
    if (!dir) return false;
    while (const dirent* e = readdir(dir.get())) {
        if (e->d_name[0] == '.') continue;
        const std::string device = ResolvedPath(classDir + "/" + e->d_name + "/device");
        if (device.compare(0, usbDevice.size() + 1, usbDevice + "/") == 0) return true;
    }
    return false;
}

// The first adapter of a kind brltty takes that is plugged in with no tty left below it.
std::string TakenAdapter(const std::string& sysfsRoot)
{
    const std::string dirPath = sysfsRoot + "/bus/usb/devices";
    DirPtr dir(opendir(dirPath.c_str()));
    if (!dir) return std::string();
    while (const dirent* e = readdir(dir.get())) {
        if (e->d_name[0] == '.') continue;
        const std::string device = dirPath + "/" + e->d_name;
        const std::string usbId = Lower(Attribute(device, "idVendor") + ":" + Attribute(device, "idProduct"));
        if (BrlttyTakes(usbId) && !HasTty(sysfsRoot, ResolvedPath(device))) return usbId;
    }
    return std::string();
}

} // namespace

TBrlttyClaim BrlttyClaim(const std::string& sysfsRoot, const std::string& procRoot, const std::string& path)
{
    std::string usbId;
    const std::string resolved = ResolvedPath(path);
    TTtyDetails tty;
    if (!resolved.empty()) {
        if (DescribeTty(sysfsRoot, BaseName(resolved), tty)) usbId = Lower(tty.VendorId + ":" + tty.ProductId);
    } else if (LooksUsb(path) || LooksUsb(LinkTarget(path))) {
        usbId = TakenAdapter(sysfsRoot);
    }
    if (!BrlttyTakes(usbId)) return {};
    TBrlttyClaim claim;
    claim.Pid = PosixTty::FindProgram("brltty", procRoot);
    if (claim) claim.UsbId = usbId;
    return claim;
}

} // namespace KestroComm32::PortInfoSys
