// Automatic COMn numbers: the choice of numbers, and the port map links made for them.
#include "comm32_portnumbers.h"

#include "comm32_portinfo.h"
#include "comm32_portinfo_sys.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <tuple>

namespace KestroComm32::PortNumbers {

namespace fs = std::filesystem;

namespace {

std::mutex NotesLock;

std::map<std::string, std::string>& Notes()
{
    static std::map<std::string, std::string> notes;
    return notes;
}

// Only the exact form the port object looks up ("COM12", not "com12" or "COM012").
bool IsPortName(const std::string& name)
{
    const int n = TCommSerialPortInfo::PortNo(name);
    return n > 0 && TCommSerialPortInfo::PortName(n) == name;
}

// k of "ttyS<k>", else -1.
int UartIndex(const std::string& ttyName)
{
    if (ttyName.rfind("ttyS", 0) != 0 || ttyName.size() < 5 || ttyName.size() > 9) return -1;
    int k = 0;
    for (std::size_t i = 4; i < ttyName.size(); ++i) {
        if (ttyName[i] < '0' || ttyName[i] > '9') return -1;
        k = k * 10 + (ttyName[i] - '0');
    }
    return k;
}

bool PointsAt(const TMapEntry& entry, const TDevice& device)
{
    if (!entry.IsLink || !IsPortName(entry.Name)) return false;
    if (!entry.Resolved.empty() && entry.Resolved == device.Node) return true;
    // A link to the stable name of an absent adapter still names it.
    auto names = [&](const std::vector<std::string>& links) {
        return std::find(links.begin(), links.end(), entry.Target) != links.end();
    };
    return entry.Target == device.DevicePath || names(device.ById) || names(device.ByPath);
}

// By name, then by the number at its end: ttyAMA0, ttyS5, ttyUSB2, ttyUSB10.
bool TtyOrder(const TDevice& a, const TDevice& b)
{
    auto split = [](const std::string& name) {
        std::size_t digits = name.size();
        while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
        std::string tail = name.substr(digits);
        tail.erase(0, std::min(tail.find_first_not_of('0'), tail.size()));
        return std::make_tuple(name.substr(0, digits), tail.size(), tail);
    };
    return split(a.TtyName) < split(b.TtyName);
}

std::string Normal(const fs::path& path) { return path.lexically_normal().string(); }

std::string Canonical(const fs::path& path)
{
    std::error_code ec;
    const fs::path resolved = fs::canonical(path, ec);
    return ec ? std::string() : resolved.string();
}

// Node -> the links of one folder of the /dev/serial tree that lead to it.
std::map<std::string, std::vector<std::string>> LinksByNode(const fs::path& dir)
{
    std::map<std::string, std::vector<std::string>> links;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string node = Canonical(it->path());
        if (!node.empty()) links[node].push_back(Normal(it->path()));
    }
    for (auto& entry : links) std::sort(entry.second.begin(), entry.second.end());
    return links;
}

std::vector<TDevice> ReadDevices(const std::vector<std::string>& devNames)
{
    const fs::path serialRoot = TCommSerialPortInfo::SerialRoot();
    const auto byId = LinksByNode(serialRoot / "by-id");
    const auto byPath = LinksByNode(serialRoot / "by-path");
    auto linksOf = [](const std::map<std::string, std::vector<std::string>>& links, const std::string& node) {
        const auto found = links.find(node);
        return found == links.end() ? std::vector<std::string>() : found->second;
    };
    std::vector<TDevice> devices;
    for (const std::string& devName : devNames) {
        TDevice d;
        d.TtyName = devName.substr(devName.find_last_of('/') + 1);
        d.DevicePath = Normal(serialRoot.parent_path() / devName);
        d.Node = Canonical(d.DevicePath);
        PortInfoSys::TTtyDetails tty;
        if (PortInfoSys::DescribeTty(TCommSerialPortInfo::SysfsRoot(), d.TtyName, tty)) {
            d.Usb = !tty.VendorId.empty() || !tty.ProductId.empty();
            d.HasSerial = !tty.Serial.empty();
        }
        if (!d.Node.empty()) {
            d.ById = linksOf(byId, d.Node);
            d.ByPath = linksOf(byPath, d.Node);
        }
        devices.push_back(std::move(d));
    }
    return devices;
}

std::vector<TMapEntry> ReadMap(const fs::path& dir)
{
    std::vector<TMapEntry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        TMapEntry e;
        e.Name = it->path().filename().string();
        std::error_code linkEc;
        e.IsLink = it->is_symlink(linkEc);
        if (e.IsLink) {
            fs::path target = fs::read_symlink(it->path(), linkEc);
            if (target.is_relative()) target = dir / target;
            e.Target = Normal(target);
            e.Resolved = Canonical(it->path());
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

// Makes the plan's links; returns the notes of the devices left without a number.
std::map<std::string, std::string> Apply(const TPlan& plan, const fs::path& dir)
{
    std::map<std::string, std::string> notes = plan.NotNumbered;
    if (plan.New.empty()) return notes;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        for (const TAssignment& a : plan.New) notes[a.TtyName] = "cannot create " + dir.string() + ": " + ec.message();
        return notes;
    }
    for (const TAssignment& a : plan.New) {
        const fs::path link = dir / TCommSerialPortInfo::PortName(a.Number);
        fs::create_symlink(a.Target, link, ec);
        if (!ec) continue;
        // Another program listing ports at the same moment may have given the same number.
        std::error_code readEc;
        if (ec == std::errc::file_exists && fs::read_symlink(link, readEc) == a.Target) continue;
        notes[a.TtyName] = "cannot link " + link.string() + ": " + ec.message();
    }
    return notes;
}

} // namespace

std::string StableName(const TDevice& device, bool& followsSocket)
{
    followsSocket = false;
    if (!device.Usb) return device.DevicePath;
    if (device.HasSerial && !device.ById.empty()) return device.ById.front();
    if (device.ByPath.empty()) return std::string();
    followsSocket = true;
    return device.ByPath.front();
}

TPlan Plan(std::vector<TDevice> devices, const std::vector<TMapEntry>& map)
{
    TPlan plan;
    std::set<std::string> names;
    for (const TMapEntry& e : map) names.insert(e.Name);
    std::set<int> uarts;
    for (const TDevice& d : devices) {
        if (const int k = UartIndex(d.TtyName); k >= 0) uarts.insert(k);
    }
    auto isFree = [&](int n) { return names.count(TCommSerialPortInfo::PortName(n)) == 0 && uarts.count(n - 1) == 0; };

    std::sort(devices.begin(), devices.end(), TtyOrder);
    int next = FirstNumber;
    for (const TDevice& d : devices) {
        if (d.Node.empty()) continue;
        bool followsSocket = false;
        const std::string stable = StableName(d, followsSocket);
        if (stable.empty()) continue;
        const int uart = UartIndex(d.TtyName);
        if (!d.Usb && uart >= 0 && names.count(TCommSerialPortInfo::PortName(uart + 1)) == 0) continue;
        if (std::any_of(map.begin(), map.end(), [&](const TMapEntry& e) { return PointsAt(e, d); })) continue;
        while (next <= LastNumber && !isFree(next)) ++next;
        if (next > LastNumber) {
            plan.NotNumbered[d.TtyName] = "no free COM number";
            continue;
        }
        plan.New.push_back({d.TtyName, next, stable});
        names.insert(TCommSerialPortInfo::PortName(next));
    }
    return plan;
}

void NumberNewDevices(const std::vector<std::string>& devNames)
{
    std::map<std::string, std::string> notes;
    const char* setting = std::getenv("COMPORTS_AUTO");
    if (setting == nullptr || std::string(setting) != "0") {
        const fs::path dir = TCommSerialPortInfo::PortMapDir();
        notes = Apply(Plan(ReadDevices(devNames), ReadMap(dir)), dir);
    }
    std::lock_guard<std::mutex> guard(NotesLock);
    Notes() = std::move(notes);
}

std::string NotNumberedNote(const std::string& ttyName)
{
    std::lock_guard<std::mutex> guard(NotesLock);
    const auto found = Notes().find(ttyName);
    return found == Notes().end() ? std::string() : found->second;
}

} // namespace KestroComm32::PortNumbers
