// Windows side of a failed open's reason: the errno a Windows error means, and the system's text.
#include "comm32_reason.h"
#include "win32_comm.h"

#include <string>

namespace KestroComm32 {

TSystemReason DescribeOpenFailure(int error, const UnicodeString& call, const UnicodeString& path,
                                  const UnicodeString& aliasName, const UnicodeString& aliasLink)
{
    // Windows has no port map links and no device groups: only what the call said.
    TSystemReason r;
    r.Error = error;
    r.Call = call;
    r.DevicePath = path;
    r.AliasName = aliasName;
    r.AliasLink = aliasLink;
    return r;
}

TSystemReason DescribeWindowsOpenFailure(std::uint32_t error, const UnicodeString& path, const UnicodeString& call)
{
    TSystemReason r = DescribeOpenFailure(Win32::ErrnoOf(error), call, path);
    r.SystemText = Win32::ErrorText(error) + " (" + std::to_string(error) + ")";
    return r;
}

} // namespace KestroComm32
