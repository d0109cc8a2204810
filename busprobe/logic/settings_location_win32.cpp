// Where the running program keeps its settings on Windows: beside it, or in %APPDATA%\busprobe.
#include "settings_file.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace Busprobe {

namespace {

// Our strings are UTF-8 (as Qt gives them); a char8_t path is read as UTF-8, whatever the code page.
std::filesystem::path FromUtf8(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string ToUtf8(const std::filesystem::path& path)
{
    const std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

// A folder's read-only attribute says nothing of its access list (Program Files for a user): only
// making a file tells. The file goes again when it is closed.
bool FolderTakesNewFiles(const std::string& dir)
{
    const std::wstring probe =
        (FromUtf8(dir) / (L"modbus_cfg.ini." + std::to_wstring(_getpid()) + L".probe")).wstring();
    int fd = -1;
    if (_wsopen_s(&fd, probe.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_TEMPORARY, _SH_DENYRW, _S_IWRITE) != 0)
        return false;
    _close(fd);
    return true;
}

} // namespace

std::string SettingsFilePath(const std::string& exeDir)
{
    const wchar_t* appData = _wgetenv(L"APPDATA");
    return WindowsSettingsFilePath(exeDir, FolderTakesNewFiles(exeDir), appData ? ToUtf8(appData) : std::string());
}

} // namespace Busprobe
