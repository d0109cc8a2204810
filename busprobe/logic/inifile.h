// A small initialisation file in the classic private-profile format, read whole and written whole.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Busprobe {

// The runtime's file error: "Unable to write to <path>".
class EFileWriteError : public std::exception {
public:
    explicit EFileWriteError(const std::string& path) : Message("Unable to write to " + path) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// Section and key names match without regard to ASCII case; the first match counts. A missing file,
// section or key reads as the default. Text values come back exactly as written (no trimming),
// at most MaxValueLength characters. Lines this class does not understand are kept as they are.
class TIniFile {
public:
    static constexpr int MaxValueLength = 2047;

    // Reads the file now; a file that is missing or unreadable gives an empty one.
    explicit TIniFile(std::string path);

    const std::string& FileName() const { return Path; }
    // Where UpdateFile writes from now on; the lines in memory stay as they are.
    void SetFileName(std::string path) { Path = std::move(path); }

    std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
    // Decimal, or hexadecimal after "0x", "$" and the other prefixes of StrToInt; anything else (an
    // empty text included) gives the default.
    int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
    bool ValueExists(std::string_view section, std::string_view key) const;

    // Change the copy in memory; a new key goes after the last key of its section, a new section at
    // the end. Line breaks in a value become blanks so that it stays one line.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);

    // Writes the whole file at once: a temporary file beside it, then a rename over it. A symbolic link
    // is followed and its target written; the file keeps its permissions and, where the user may give
    // it, its owner. A file the user may not write (read-only to root too) is refused. The folder is
    // created when missing. On failure the old file is left as it was and EFileWriteError is thrown.
    void UpdateFile() const;

private:
    // Index of the section's header line, or -1.
    int FindSection(std::string_view section) const;
    // Index of the key's line within the section starting after header line `header`, or -1.
    int FindKey(int header, std::string_view key) const;

    std::string Path;
    std::vector<std::string> Lines;
};

} // namespace Busprobe
