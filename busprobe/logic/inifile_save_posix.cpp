// Saving the initialisation file on POSIX: links followed, owner and mode kept, replaced in one step.
#include "inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace Busprobe {

namespace {

// The path with every symbolic link at its end followed, a dangling one included (its target is
// made); a loop ends at the link where it was given up.
std::string FollowLinks(const std::string& path)
{
    namespace fs = std::filesystem;
    fs::path p(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(p, ec)) break;
        const fs::path to = fs::read_symlink(p, ec);
        if (ec) break;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    return p.string();
}

// Whether the user may replace the existing file at path. The kernel decides for the effective user
// (permission bits, ACLs, read-only mounts). It lets root write anything, so for root the permission
// bits are read as an editor's user reads them: a file root owns needs its owner's write bit, any
// other file some write bit. A 0444 file is read-only to root as well.
bool MayReplace(const std::string& path, const struct stat& st)
{
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return false;
    if (geteuid() != 0) return true;
    const mode_t bits = st.st_uid == 0 ? S_IWUSR : (S_IWUSR | S_IWGRP | S_IWOTH);
    return (st.st_mode & bits) != 0;
}

} // namespace

void TIniFile::UpdateFile() const
{
    namespace fs = std::filesystem;
    std::error_code ec;
    // A link to a shared presets file is followed: the shared file is the one that changes.
    const std::string target = FollowLinks(Path);
    struct stat old {};
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists && !MayReplace(target, old)) throw EFileWriteError(Path);
    const fs::path targetPath(target);
    if (targetPath.has_parent_path()) fs::create_directories(targetPath.parent_path(), ec);

    std::string content;
    for (const std::string& line : Lines) {
        content += line;
        content += '\n';
    }

    std::string temp = target + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) throw EFileWriteError(Path);
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            ok = false;
        }
    }
    // The new file takes the old one's owner where the user may give it (root, or the owner keeping
    // the group) and its permissions; a new file is readable by everyone, like one made by an editor.
    // The owner goes first: a change of owner clears set-id bits.
    if (exists && fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // Neither could be kept: the file is now the user's, as after any editor's save.
    }
    const mode_t mode = exists ? (old.st_mode & 07777) : 0644;
    ok = ok && fchmod(fd, mode) == 0;
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        throw EFileWriteError(Path);
    }
}

} // namespace Busprobe
