// POSIX side of a failed open's reason: the device's group and the state of a COMn alias link.
#include "comm32_reason.h"

#include "comm32_portinfo.h"
#include "comm32_portinfo_sys.h"

#include <cerrno>
#include <climits>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KestroComm32 {

namespace {

// The name of the group that owns path and may read and write it; empty for root's group, a group
// without both rights (joining it would not help) or an unknown group.
UnicodeString AccessGroupOf(const UnicodeString& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return UnicodeString();
    if (st.st_gid == 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return UnicodeString();
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return UnicodeString();
    return found->gr_name;
}

} // namespace

TSystemReason DescribeOpenFailure(int error, const UnicodeString& call, const UnicodeString& path,
                                  const UnicodeString& aliasName, const UnicodeString& aliasLink)
{
    TSystemReason r;
    r.Error = error;
    r.Call = call;
    r.DevicePath = path;
    r.AliasName = aliasName;
    r.AliasLink = aliasLink;
    if (!aliasName.empty() && !aliasLink.empty()) {
        char target[PATH_MAX];
        const ssize_t n = readlink(aliasLink.c_str(), target, sizeof target - 1);
        if (n >= 0) {
            r.AliasTarget.assign(target, static_cast<std::size_t>(n));
            struct stat st {};
            r.AliasDangling = stat(aliasLink.c_str(), &st) != 0;
            const std::string dir = aliasLink.substr(0, aliasLink.find_last_of('/'));
            r.AliasNotFollowed = !PortInfoSys::PortMapDistrust(dir, aliasLink).empty();
        }
    }
    if (error == EACCES || error == EPERM) r.AccessGroup = AccessGroupOf(path);
    const auto brltty =
        PortInfoSys::BrlttyClaim(TCommSerialPortInfo::SysfsRoot(), TCommSerialPortInfo::ProcRoot(), path);
    r.BrlttyPid = brltty.Pid;
    r.BrlttyUsbId = brltty.UsbId;
    return r;
}

} // namespace KestroComm32
