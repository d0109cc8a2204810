// Where the running program keeps its settings on Linux.
#include "settings_file.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace Busprobe {

std::string SettingsFilePath(const std::string& exeDir)
{
    // Symbolic links resolved on both sides: the program may be started through one.
    std::error_code ec;
    const std::string realDir = std::filesystem::weakly_canonical(exeDir, ec).string();
    const std::string realInstall = std::filesystem::weakly_canonical(InstallBinDir, ec).string();
    const bool installed = IsInstalledFolder(exeDir, InstallBinDir) || IsInstalledFolder(realDir, realInstall);
    const bool writable = !installed && access(exeDir.c_str(), W_OK) == 0;
    return SettingsFilePath(exeDir, writable, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

} // namespace Busprobe
