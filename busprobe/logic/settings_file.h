// The assistant's settings file modbus_cfg.ini: where it lives, and which keys hold what.
#pragma once

#include "inifile.h"
#include "value_format.h"

#include <array>
#include <string>

namespace Busprobe {

extern const char* const SettingsFileName; // "modbus_cfg.ini"

// Where the settings are saved: modbus_cfg.ini in the executable's folder when that folder is writable, else
// <config>/busprobe/modbus_cfg.ini, <config> being $XDG_CONFIG_HOME when it is an absolute path and
// $HOME/.config otherwise.
std::string SettingsFilePath(const std::string& exeDir, bool exeDirWritable, const char* xdgConfigHome,
                             const char* home);
// On Windows: modbus_cfg.ini in the executable's folder when that folder is writable, else
// <appData>/busprobe/modbus_cfg.ini (appData being %APPDATA%, written with '/'), or beside the program
// when there is no appData.
std::string WindowsSettingsFilePath(const std::string& exeDir, bool exeDirWritable, const std::string& appData);
// The same for the running process, with the folder's writability and the environment as they are now.
// On Linux the folder of an installed program counts as not writable even when it is (run as root), so
// an installed program never writes beside itself; on Windows a folder is writable when a file can be
// made in it (Program Files is not, for a user, whatever its attributes say).
std::string SettingsFilePath(const std::string& exeDir);

// Where the settings are read from: savePath once that file exists, else modbus_cfg.ini in exeDir, so
// that a file placed beside the program counts until the user has one of their own.
std::string SettingsReadPath(const std::string& savePath, const std::string& exeDir);
// The same for the running process: SettingsReadPath(SettingsFilePath(exeDir), exeDir).
std::string SettingsReadPath(const std::string& exeDir);

// True for the folder of an installed program: installBinDir itself, or a folder in /usr or /opt.
// Compared as written (normalised, no symbolic links resolved).
bool IsInstalledFolder(const std::string& exeDir, const std::string& installBinDir);
// The bin folder of the install prefix this program was built for.
extern const char* const InstallBinDir;

// "Main": the port and the TBaudRate ordinal of its speed.
struct TPortSettings {
    int PortNo = 1;
    int Baud = 12;
    // Non-empty when the port was chosen by a name that PortNo cannot express (ttyUSB0, a path).
    std::string PortName;
};

// PortNo (default 1), Baud (default 12, above 14 becomes 12) and PortName. PortName counts only for a
// port without a COM number (PortNo missing, not a number, or 0 and below), and not in the form COMn.
TPortSettings ReadPortSettings(const TIniFile& ini);
// PortNo and Baud as numbers; PortName is the device's name, whatever it is.
void WritePortSettings(TIniFile& ini, int portNo, int baud, const std::string& portName);

// One request edit kept in the file, in the order of reading and writing.
struct TEditKey {
    const char* Section;
    const char* Key;
    const char* EditName; // object name of the edit in the main window
    bool Written;         // "Any"/"Value" is read but never written
};

extern const std::array<TEditKey, 22> EditKeys;

// What the exchange record, repeat and number formats keep: [Main] ReplyTimeout, and in [01H]-[04H] Format
// and RepeatPeriod. A key is written only when its value differs from the default or the file has it, so
// that a file of the other keys reads and writes as before.
struct TReadGroupOptions {
    TValueFormat Format = TValueFormat::Hex;
    int RepeatPeriodMs = 1000;
};
struct TRecordSettings {
    int ReplyTimeoutMs = 1000;
    std::array<TReadGroupOptions, 4> Groups; // 01H to 04H
};
constexpr int MinReplyTimeoutMs = 10;
constexpr int MaxReplyTimeoutMs = 60000;
constexpr int MinRepeatPeriodMs = 50;
constexpr int MaxRepeatPeriodMs = 3600000;

// Missing, unreadable or out-of-range values read as the default; a format that does not fit its group
// reads as Hex.
TRecordSettings ReadRecordSettings(const TIniFile& ini);
void WriteRecordSettings(TIniFile& ini, const TRecordSettings& settings);

} // namespace Busprobe
