// Initialisation file: private-profile lookup on the lines in memory and an all-or-nothing write.
#include "inifile.h"

#include "modbus_request.h"

#include <fstream>

namespace Busprobe {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool SectionName(std::string_view line, std::string_view& name)
{
    line = Trim(line);
    if (line.empty() || line.front() != '[') return false;
    const auto close = line.find(']');
    if (close == std::string_view::npos) return false;
    name = Trim(line.substr(1, close - 1));
    return true;
}

bool KeyAndValue(std::string_view line, std::string_view& key, std::string_view& value)
{
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '[' || trimmed.front() == ';') return false;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = Trim(line.substr(0, eq));
    value = line.substr(eq + 1);
    return true;
}

// The first MaxValueLength characters; a UTF-8 sequence is never split.
std::string_view CutToLength(std::string_view value)
{
    int chars = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if ((static_cast<unsigned char>(value[i]) & 0xC0) == 0x80) continue;
        if (chars == TIniFile::MaxValueLength) return value.substr(0, i);
        ++chars;
    }
    return value;
}

} // namespace

TIniFile::TIniFile(std::string path) : Path(std::move(path))
{
    std::ifstream in(Path, std::ios::binary);
    if (!in) return;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
        first = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Lines.push_back(std::move(line));
    }
}

int TIniFile::FindSection(std::string_view section) const
{
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        std::string_view name;
        if (SectionName(Lines[i], name) && SameName(name, Trim(section))) return static_cast<int>(i);
    }
    return -1;
}

int TIniFile::FindKey(int header, std::string_view key) const
{
    for (std::size_t i = static_cast<std::size_t>(header) + 1; i < Lines.size(); ++i) {
        std::string_view name, value;
        if (SectionName(Lines[i], name)) break;
        if (KeyAndValue(Lines[i], name, value) && SameName(name, Trim(key))) return static_cast<int>(i);
    }
    return -1;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const
{
    const int header = FindSection(section);
    return header >= 0 && FindKey(header, key) >= 0;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const
{
    const int header = FindSection(section);
    const int line = header >= 0 ? FindKey(header, key) : -1;
    if (line < 0) return std::string(CutToLength(defaultValue));
    std::string_view name, value;
    KeyAndValue(Lines[static_cast<std::size_t>(line)], name, value);
    return std::string(CutToLength(value));
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const
{
    const std::string text = ReadString(section, key, "");
    try {
        return StrToInt(Trim(text));
    } catch (const EConvertError&) {
        return defaultValue;
    }
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    std::string entry = std::string(key) + "=" + std::string(value);
    for (char& c : entry)
        if (c == '\r' || c == '\n') c = ' ';

    const int header = FindSection(section);
    if (header < 0) {
        // Built piece by piece: GCC 12 at -O3 takes "[" + string for an overlapping copy (-Wrestrict).
        std::string head;
        head.reserve(section.size() + 2);
        head += '[';
        head += section;
        head += ']';
        Lines.push_back(std::move(head));
        Lines.push_back(std::move(entry));
        return;
    }
    const int line = FindKey(header, key);
    if (line >= 0) {
        Lines[static_cast<std::size_t>(line)] = std::move(entry);
        return;
    }
    // After the section's last key, so that blank lines and comments before the next section stay there.
    std::size_t insertAt = static_cast<std::size_t>(header) + 1;
    for (std::size_t i = insertAt; i < Lines.size(); ++i) {
        std::string_view name, val;
        if (SectionName(Lines[i], name)) break;
        if (KeyAndValue(Lines[i], name, val)) insertAt = i + 1;
    }
    Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(entry));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value)
{
    WriteString(section, key, std::to_string(value));
}

} // namespace Busprobe
