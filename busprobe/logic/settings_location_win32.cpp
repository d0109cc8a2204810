// Where the running program keeps its settings on Windows: beside it, or in %APPDATA%\busprobe.
#include "settings_file.h"

#include <windows.h>

#include <cwchar>
#include <cstdlib>
#include <string>

namespace Busprobe {

namespace {

std::wstring Wide(const std::string& utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const wchar_t* wide)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();
    return out;
}

// A folder's read-only attribute says nothing of its access list (Program Files for a user): only
// making a file tells. The file goes again when its handle closes.
bool FolderTakesNewFiles(const std::string& dir)
{
    const std::wstring probe = Wide(dir) + L"\\modbus_cfg.ini." + std::to_wstring(GetCurrentProcessId()) + L".probe";
    const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

} // namespace

std::string SettingsFilePath(const std::string& exeDir)
{
    const wchar_t* appData = _wgetenv(L"APPDATA");
    return WindowsSettingsFilePath(exeDir, FolderTakesNewFiles(exeDir), appData ? Utf8(appData) : std::string());
}

} // namespace Busprobe
