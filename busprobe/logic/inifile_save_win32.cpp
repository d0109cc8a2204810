// Saving the initialisation file on Windows: a read-only file is refused, the new text replaces it in one step.
#include "inifile.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace Busprobe {

void TIniFile::UpdateFile() const
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path target(Path);
    const fs::file_status old = fs::status(target, ec);
    const bool exists = !ec && fs::exists(old);
    // The read-only attribute is what Windows shows as a file nobody may change.
    if (exists && (old.permissions() & fs::perms::owner_write) == fs::perms::none) throw EFileWriteError(Path);
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);

    std::string content;
    for (const std::string& line : Lines) {
        content += line;
        content += '\n';
    }
    const fs::path temp = target.string() + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temp, ec);
            throw EFileWriteError(Path);
        }
    }
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw EFileWriteError(Path);
    }
}

} // namespace Busprobe
