// The assistant's settings file: location and key table.
#include "settings_file.h"

#include <filesystem>
#include <system_error>

#ifndef BUSPROBE_INSTALL_BINDIR
#define BUSPROBE_INSTALL_BINDIR "/usr/local/bin"
#endif

namespace Busprobe {

const char* const SettingsFileName = "modbus_cfg.ini";
const char* const InstallBinDir = BUSPROBE_INSTALL_BINDIR;

const std::array<TEditKey, 22> EditKeys = {{
    {"01H", "485Addr", "Edit01_485Addr", true},   {"01H", "RegAddr", "Edit01_RegAddr", true},
    {"01H", "RegNum", "Edit01_RegNum", true},     {"02H", "485Addr", "Edit02_485Addr", true},
    {"02H", "RegAddr", "Edit02_RegAddr", true},   {"02H", "RegNum", "Edit02_RegNum", true},
    {"03H", "485Addr", "Edit03_485Addr", true},   {"03H", "RegAddr", "Edit03_RegAddr", true},
    {"03H", "RegNum", "Edit03_RegNum", true},     {"04H", "485Addr", "Edit04_485Addr", true},
    {"04H", "RegAddr", "Edit04_RegAddr", true},   {"04H", "RegNum", "Edit04_RegNum", true},
    {"05H", "485Addr", "Edit05_485Addr", true},   {"05H", "RegAddr", "Edit05_RegAddr", true},
    {"05H", "RegValue", "Edit05_RegValue", true}, {"06H", "485Addr", "Edit06_485Addr", true},
    {"06H", "RegAddr", "Edit06_RegAddr", true},   {"06H", "RegValue", "Edit06_RegValue", true},
    {"10H", "485Addr", "Edit10_485Addr", true},   {"10H", "RegAddr", "Edit10_RegAddr", true},
    {"10H", "RegValue", "Edit10_RegValue", true}, {"Any", "Value", "EditSend", false},
}};

namespace {

bool IsComName(const std::string& name)
{
    if (name.size() < 4) return false;
    for (int i = 0; i < 3; ++i)
        if ((name[static_cast<std::size_t>(i)] | 0x20) != "com"[i]) return false;
    for (std::size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return name.find_first_not_of('0', 3) != std::string::npos;
}

} // namespace

std::string SettingsFilePath(const std::string& exeDir, bool exeDirWritable, const char* xdgConfigHome,
                             const char* home)
{
    if (exeDirWritable) return exeDir + "/" + SettingsFileName;
    std::string config;
    if (xdgConfigHome && xdgConfigHome[0] == '/') {
        config = xdgConfigHome;
    } else {
        config = std::string(home ? home : "") + "/.config";
    }
    return config + "/busprobe/" + SettingsFileName;
}

std::string WindowsSettingsFilePath(const std::string& exeDir, bool exeDirWritable, const std::string& appData)
{
    if (exeDirWritable || appData.empty()) return exeDir + "/" + SettingsFileName;
    std::string folder = appData;
    for (char& c : folder)
        if (c == '\\') c = '/';
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder + "/busprobe/" + SettingsFileName;
}

bool IsInstalledFolder(const std::string& exeDir, const std::string& installBinDir)
{
    namespace fs = std::filesystem;
    const auto normal = [](const std::string& p) {
        std::string n = fs::path(p).lexically_normal().string();
        while (n.size() > 1 && n.back() == '/') n.pop_back();
        return n;
    };
    const std::string dir = normal(exeDir);
    if (dir.empty() || dir[0] != '/') return false;
    if (!installBinDir.empty() && dir == normal(installBinDir)) return true;
    for (const char* prefix : {"/usr", "/opt"}) {
        const std::string p = prefix;
        if (dir == p || dir.compare(0, p.size() + 1, p + "/") == 0) return true;
    }
    return false;
}

std::string SettingsReadPath(const std::string& savePath, const std::string& exeDir)
{
    std::error_code ec;
    if (std::filesystem::exists(savePath, ec)) return savePath;
    return exeDir + "/" + SettingsFileName;
}

std::string SettingsReadPath(const std::string& exeDir) { return SettingsReadPath(SettingsFilePath(exeDir), exeDir); }

TPortSettings ReadPortSettings(const TIniFile& ini)
{
    TPortSettings settings;
    settings.PortNo = ini.ReadInteger("Main", "PortNo", 1);
    settings.Baud = ini.ReadInteger("Main", "Baud", 12);
    if (settings.Baud > 14) settings.Baud = 12;
    // A hand-edited PortNo=3 beside a saved PortName=ttyS0 means COM3.
    if (ini.ValueExists("Main", "PortNo") && ini.ReadInteger("Main", "PortNo", 0) > 0) return settings;
    std::string name = ini.ReadString("Main", "PortName", "");
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    if (!IsComName(name)) settings.PortName = name;
    return settings;
}

void WritePortSettings(TIniFile& ini, int portNo, int baud, const std::string& portName)
{
    ini.WriteInteger("Main", "PortNo", portNo);
    ini.WriteInteger("Main", "Baud", baud);
    ini.WriteString("Main", "PortName", portName);
}

namespace {

const char* const ReadSections[4] = {"01H", "02H", "03H", "04H"};

int ReadBounded(const TIniFile& ini, const char* section, const char* key, int defaultValue, int lo, int hi)
{
    const int value = ini.ReadInteger(section, key, defaultValue);
    return value < lo || value > hi ? defaultValue : value;
}

void WriteIfKept(TIniFile& ini, const char* section, const char* key, const std::string& value,
                 const std::string& defaultValue)
{
    if (value != defaultValue || ini.ValueExists(section, key)) ini.WriteString(section, key, value);
}

} // namespace

TRecordSettings ReadRecordSettings(const TIniFile& ini)
{
    TRecordSettings settings;
    settings.ReplyTimeoutMs =
        ReadBounded(ini, "Main", "ReplyTimeout", settings.ReplyTimeoutMs, MinReplyTimeoutMs, MaxReplyTimeoutMs);
    for (int g = 0; g < 4; ++g) {
        TReadGroupOptions& group = settings.Groups[static_cast<std::size_t>(g)];
        const auto format = ValueFormatFromKey(ini.ReadString(ReadSections[g], "Format", ""));
        if (format && ValueFormatFits(*format, g + 1)) group.Format = *format;
        group.RepeatPeriodMs = ReadBounded(ini, ReadSections[g], "RepeatPeriod", group.RepeatPeriodMs,
                                           MinRepeatPeriodMs, MaxRepeatPeriodMs);
    }
    return settings;
}

void WriteRecordSettings(TIniFile& ini, const TRecordSettings& settings)
{
    const TRecordSettings defaults;
    WriteIfKept(ini, "Main", "ReplyTimeout", std::to_string(settings.ReplyTimeoutMs),
                std::to_string(defaults.ReplyTimeoutMs));
    for (int g = 0; g < 4; ++g) {
        const TReadGroupOptions& group = settings.Groups[static_cast<std::size_t>(g)];
        const TReadGroupOptions& plain = defaults.Groups[static_cast<std::size_t>(g)];
        WriteIfKept(ini, ReadSections[g], "Format", ValueFormatKey(group.Format), ValueFormatKey(plain.Format));
        WriteIfKept(ini, ReadSections[g], "RepeatPeriod", std::to_string(group.RepeatPeriodMs),
                    std::to_string(plain.RepeatPeriodMs));
    }
}

} // namespace Busprobe
