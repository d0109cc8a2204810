// Automatic COMn numbers on Linux: what sysfs, /dev/serial and the port map say, and the links made
// under a lock on the port map folder.
#include "comm32_portnumbers.h"

#include "comm32_portinfo.h"
#include "comm32_portinfo_sys.h"
#include "posix_tty.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace KestroComm32::PortNumbers {

namespace fs = std::filesystem;

namespace {

// The notes of the last numbering in this process, by tty name; read by the port list's tooltips.
std::mutex NotesLock;

std::map<std::string, std::string>& Notes()
{
    static std::map<std::string, std::string> notes;
    return notes;
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

// The folder's entries; a link another user owns is named but not followed.
std::vector<TMapEntry> ReadMap(const fs::path& dir)
{
    std::vector<TMapEntry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        TMapEntry e;
        e.Name = it->path().filename().string();
        std::error_code linkEc;
        e.IsLink = it->is_symlink(linkEc);
        e.Foreign = e.IsLink && !PortInfoSys::PortMapDistrust(dir.string(), it->path().string()).empty();
        if (e.IsLink && !e.Foreign) {
            fs::path target = fs::read_symlink(it->path(), linkEc);
            if (target.is_relative()) target = dir / target;
            e.Target = Normal(target);
            e.Resolved = Canonical(it->path());
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

// Holds the lock on the port map folder while it lives; every program that numbers takes it.
class TFolderLock {
public:
    explicit TFolderLock(const std::string& dir) : Fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (Fd < 0) {
            Failure = "cannot lock " + dir + ": " + std::strerror(errno);
            return;
        }
        // Another program holds it for a few milliseconds; one that hangs must not hang the port list.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == EINTR) continue;
            if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
                Failure = "cannot lock " + dir + ": " + std::strerror(error);
                return;
            }
            poll(nullptr, 0, 1);
        }
    }
    ~TFolderLock()
    {
        if (Fd >= 0) close(Fd); // releases the lock
    }
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;

    std::string Failure; // empty once the lock is held

private:
    int Fd;
};

// The plan's links, made in the locked folder; false when a number was taken meanwhile (by a
// program that does not lock), so the plan must be made again. Failures go to notes.
bool MakeLinks(const TPlan& plan, const fs::path& dir, std::map<std::string, std::string>& notes)
{
    for (const TAssignment& a : plan.New) {
        const fs::path link = dir / TCommSerialPortInfo::PortName(a.Number);
        if (symlink(a.Target.c_str(), link.c_str()) == 0) continue;
        const int error = errno;
        if (error == EEXIST) return false;
        notes[a.TtyName] = "cannot link " + link.string() + ": " + std::strerror(error);
    }
    return true;
}

// One transaction: lock, read the folder, plan, link; again while names were taken meanwhile.
std::map<std::string, std::string> NumberLocked(const std::vector<TDevice>& devices, const fs::path& dir,
                                                const TPlan& firstLook)
{
    std::map<std::string, std::string> notes;
    auto noteAll = [&](const std::string& why) {
        for (const TAssignment& a : firstLook.New) notes[a.TtyName] = why;
    };
    if (const int error = PosixTty::MakeDirectories(dir.string()); error != 0) {
        noteAll("cannot create " + dir.string() + ": " + std::strerror(error));
        return notes;
    }
    // Made just now or found: the folder itself must still be one that may be used.
    if (const std::string why = PortInfoSys::PortMapDistrust(dir.string()); !why.empty()) {
        noteAll(why);
        return notes;
    }
    const TFolderLock lock(dir.string());
    if (!lock.Failure.empty()) {
        noteAll(lock.Failure);
        return notes;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        const TPlan plan = Plan(devices, ReadMap(dir));
        notes = plan.NotNumbered;
        if (MakeLinks(plan, dir, notes)) return notes;
    }
    noteAll("the numbers kept being taken while numbering");
    return notes;
}

} // namespace

void NumberNewDevices(const std::vector<std::string>& devNames)
{
    std::map<std::string, std::string> notes;
    const char* setting = std::getenv("COMPORTS_AUTO");
    if (setting == nullptr || std::string(setting) != "0") {
        const fs::path dir = TCommSerialPortInfo::PortMapDir();
        const std::vector<TDevice> devices = ReadDevices(devNames);
        if (const std::string why = PortInfoSys::PortMapDistrust(dir.string()); !why.empty()) {
            for (const TDevice& d : devices) notes[d.TtyName] = why;
        } else {
            // A first look without the lock: a folder with nothing new to number is neither locked nor written.
            const TPlan firstLook = Plan(devices, ReadMap(dir));
            notes = firstLook.New.empty() ? firstLook.NotNumbered : NumberLocked(devices, dir, firstLook);
        }
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
