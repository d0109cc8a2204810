// Automatic COMn numbers: the choice of numbers, from what the platform layer read.
#include "comm32_portnumbers.h"

#include "comm32_portinfo.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace KestroComm32::PortNumbers {

namespace {

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
    if (!entry.IsLink || entry.Foreign || !IsPortName(entry.Name)) return false;
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

} // namespace

std::string StableName(const TDevice& device, bool& followsSocket)
{
    followsSocket = false;
    if (!device.Usb) return device.DevicePath;
    if (device.HasSerial) return device.ById.empty() ? std::string() : device.ById.front();
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
        if (std::any_of(map.begin(), map.end(), [&](const TMapEntry& e) { return PointsAt(e, d); })) continue;
        bool followsSocket = false;
        const std::string stable = StableName(d, followsSocket);
        if (stable.empty() && d.Usb && d.HasSerial) plan.NotNumbered[d.TtyName] = WaitingForName;
        if (stable.empty()) continue;
        const int uart = UartIndex(d.TtyName);
        if (!d.Usb && uart >= 0 && names.count(TCommSerialPortInfo::PortName(uart + 1)) == 0) continue;
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

} // namespace KestroComm32::PortNumbers
