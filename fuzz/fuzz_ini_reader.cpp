// Fuzz target: the settings file reader on arbitrary file contents, its writes and the rewrite.
#include "fuzz_check.h"
#include "inifile.h"
#include "modbus_request.h"
#include "settings_file.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace Busprobe;

namespace {

// One file per process, in memory-backed storage when there is some (the rewrite syncs it).
const std::string& FilePath()
{
    static const std::string path = [] {
        const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm")
                                              ? std::filesystem::path("/dev/shm")
                                              : std::filesystem::temp_directory_path();
        return (dir / ("fuzz_ini_" + std::to_string(getpid()) + ".ini")).string();
    }();
    return path;
}

void WriteFile(const std::string& content)
{
    std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string Trimmed(std::string s)
{
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
    return s;
}

// A name that survives being written: no '=', no brackets, no line break, no comment mark.
std::string Name(FuzzedDataProvider& in)
{
    static const char Alphabet[] = "AaBbKkMmPpNn019 _.-";
    std::string name(in.ConsumeIntegralInRange<std::size_t>(1, 6), 'x');
    for (char& c : name) c = Alphabet[in.ConsumeIntegralInRange<std::size_t>(0, sizeof Alphabet - 2)];
    return Trimmed(name).empty() ? "x" : name;
}

std::size_t Chars(const std::string& s)
{
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// What reading a written value gives: line breaks as blanks, cut to the length limit on a character start.
std::string AsRead(std::string value)
{
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    std::size_t chars = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if ((static_cast<unsigned char>(value[i]) & 0xC0) == 0x80) continue;
        if (chars == TIniFile::MaxValueLength) return value.substr(0, i);
        ++chars;
    }
    return value;
}

bool SameName(const std::string& a, const std::string& b)
{
    auto lower = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    return lower(Trimmed(a)) == lower(Trimmed(b));
}

struct TProbe {
    std::string Section, Key;
};

void CheckRead(const TIniFile& ini, const TProbe& p)
{
    const std::string sentinel = "\x01-default-\x02";
    const std::string value = ini.ReadString(p.Section, p.Key, sentinel);
    if (!ini.ValueExists(p.Section, p.Key)) {
        Check(value == sentinel, "missing key reads as the default");
        return;
    }
    Check(value.find('\n') == std::string::npos, "one line");
    Check(Chars(value) <= static_cast<std::size_t>(TIniFile::MaxValueLength), "value length limit");
    const std::string text = ini.ReadString(p.Section, p.Key, "");
    int want;
    try {
        want = StrToInt(Trimmed(text));
    } catch (const EConvertError&) {
        want = -7;
    }
    Check(ini.ReadInteger(p.Section, p.Key, -7) == want, "integer reading");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::string content = in.ConsumeRandomLengthString(8192);
    WriteFile(content);
    TIniFile ini(FilePath());

    // Probe the names the file itself uses, the program's own names and a few made-up ones.
    std::vector<TProbe> probes = {{"Main", "PortNo"}, {"Main", "Baud"}, {"Main", "PortName"}, {"main", "baud"}};
    {
        std::string section;
        std::size_t start = 0;
        while (start <= content.size() && probes.size() < 64) {
            std::size_t end = content.find('\n', start);
            if (end == std::string::npos) end = content.size();
            const std::string line = Trimmed(content.substr(start, end - start));
            if (!line.empty() && line[0] == '[' && line.find(']') != std::string::npos)
                section = Trimmed(line.substr(1, line.find(']') - 1));
            else if (const auto eq = line.find('='); eq != std::string::npos)
                probes.push_back({section, Trimmed(line.substr(0, eq))});
            start = end + 1;
        }
    }
    for (const TProbe& p : probes) CheckRead(ini, p);

    const TPortSettings port = ReadPortSettings(ini);
    Check(port.Baud <= 14, "speed ordinal in range");
    Check(port.PortName == Trimmed(port.PortName), "port name trimmed");

    // Writes read back as written and leave every other key as it was.
    std::vector<std::string> before;
    for (const TProbe& p : probes) before.push_back(ini.ReadString(p.Section, p.Key, "\x01"));
    const int writes = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < writes; ++i) {
        const TProbe target{Name(in), Name(in)};
        const std::string value = in.ConsumeRandomLengthString(3000);
        ini.WriteString(target.Section, target.Key, value);
        Check(ini.ReadString(target.Section, target.Key, "\x01") == AsRead(value), "written value reads back");
        for (std::size_t k = 0; k < probes.size(); ++k) {
            const std::string now = ini.ReadString(probes[k].Section, probes[k].Key, "\x01");
            const bool same = SameName(probes[k].Section, target.Section) && SameName(probes[k].Key, target.Key);
            Check(now == (same ? AsRead(value) : before[k]), "the written key changes, no other");
            before[k] = now;
        }
        probes.push_back(target);
        before.push_back(AsRead(value));
    }
    const int portNo = in.ConsumeIntegral<int>();
    const int baud = in.ConsumeIntegralInRange<int>(0, 14);
    if (in.ConsumeBool()) {
        WritePortSettings(ini, portNo, baud, "ttyUSB0");
        const TPortSettings back = ReadPortSettings(ini);
        // The name stands only for a port without a COM number, which the window saves as PortNo 0.
        const std::string name = portNo > 0 ? "" : "ttyUSB0";
        Check(back.PortNo == portNo && back.Baud == baud && back.PortName == name, "port settings round trip");
        for (std::size_t k = 0; k < probes.size(); ++k)
            before[k] = ini.ReadString(probes[k].Section, probes[k].Key, "\x01");
    }

    // The rewritten file reads as the copy in memory did. The reader takes off one byte-order mark and
    // one carriage return per line, the writer puts none back: a line ending in two carriage returns
    // loses one, and a file opening with two marks has its first line read anew, so that is left out.
    ini.UpdateFile();
    const TIniFile again(FilePath());
    const bool twoMarks = content.starts_with("\xEF\xBB\xBF\xEF\xBB\xBF");
    for (std::size_t k = 0; k < probes.size() && !twoMarks; ++k) {
        const std::string now = again.ReadString(probes[k].Section, probes[k].Key, "\x01");
        const std::string& was = before[k];
        Check(now == was || (was.ends_with('\r') && now == was.substr(0, was.size() - 1)), "rewrite keeps every value");
    }
    std::filesystem::remove(FilePath());
    return 0;
}
