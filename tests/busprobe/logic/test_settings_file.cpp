// Settings file: private-profile reading, whole-file writing with failure safety, location and port keys.
#include "as_other_user.h"
#include "settings_file.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace Busprobe;
namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "busprobe-ini-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        Dir = templ;
        Path = (Dir / "modbus_cfg.ini").string();
    }
    void TearDown() override { fs::remove_all(Dir); }

    void Put(const std::string& content) const { std::ofstream(Path, std::ios::binary) << content; }
    std::string Get() const
    {
        std::ifstream in(Path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path Dir;
    std::string Path;
};

TEST_F(SettingsFile, NoFileGivesDefaults)
{
    const TIniFile ini(Path);
    const TPortSettings port = ReadPortSettings(ini);
    EXPECT_EQ(port.PortNo, 1);
    EXPECT_EQ(port.Baud, 12);
    EXPECT_EQ(port.PortName, "");
    for (const TEditKey& k : EditKeys) EXPECT_EQ(ini.ReadString(k.Section, k.Key, ""), "") << k.EditName;
}

// Formats, repeat periods and the reply time-out: defaults for a file without them (or with bad values),
// and written only where they differ from the default or were there before.
TEST_F(SettingsFile, RecordSettingsKeepAPlainFileAsItWas)
{
    const std::string plain = "[Main]\nPortNo=3\nBaud=6\n[03H]\n485Addr=1\n";
    Put(plain + "[04H]\nFormat=Bits\nRepeatPeriod=49\n[02H]\nformat=bits\n[Main]\nReplyTimeout=abc\n");
    TRecordSettings read = ReadRecordSettings(TIniFile(Path));
    EXPECT_EQ(read.ReplyTimeoutMs, 1000);
    EXPECT_EQ(read.Groups[3].Format, TValueFormat::Hex); // bits do not fit registers
    EXPECT_EQ(read.Groups[3].RepeatPeriodMs, 1000);
    EXPECT_EQ(read.Groups[1].Format, TValueFormat::Bits);

    Put(plain);
    {
        TIniFile ini(Path);
        WriteRecordSettings(ini, TRecordSettings());
        ini.UpdateFile();
    }
    EXPECT_EQ(Get(), plain);

    TRecordSettings changed;
    changed.ReplyTimeoutMs = 250;
    changed.Groups[2] = {TValueFormat::FloatCDAB, 100};
    {
        TIniFile ini(Path);
        WriteRecordSettings(ini, changed);
        ini.UpdateFile();
    }
    EXPECT_EQ(Get(), "[Main]\nPortNo=3\nBaud=6\nReplyTimeout=250\n[03H]\n485Addr=1\nFormat=FloatCDAB\n"
                     "RepeatPeriod=100\n");
    read = ReadRecordSettings(TIniFile(Path));
    EXPECT_EQ(read.ReplyTimeoutMs, 250);
    EXPECT_EQ(read.Groups[2].Format, TValueFormat::FloatCDAB);
    EXPECT_EQ(read.Groups[2].RepeatPeriodMs, 100);

    // Back to the default: the key stays, with the default's value.
    {
        TIniFile ini(Path);
        WriteRecordSettings(ini, TRecordSettings());
        ini.UpdateFile();
    }
    EXPECT_NE(Get().find("Format=Hex\n"), std::string::npos);
}

TEST_F(SettingsFile, IntegersAndTheBaudRule)
{
    struct Case {
        const char* Text;
        int Baud;
    } cases[] = {{"20", 12},  {"0x6", 6}, {"$6", 6},  {"abc", 12},        {"", 12},
                 {" 6\t", 6}, {"-3", -3}, {"14", 14}, {"99999999999", 12}};
    for (const Case& c : cases) {
        Put(std::string("[Main]\nPortNo=3\nBaud=") + c.Text + "\n");
        const TPortSettings port = ReadPortSettings(TIniFile(Path));
        EXPECT_EQ(port.Baud, c.Baud) << c.Text;
        EXPECT_EQ(port.PortNo, 3);
    }
}

TEST_F(SettingsFile, NamesWithoutRegardToCaseAndOtherLinesKept)
{
    Put("\xEF\xBB\xBF; comment\r\n[ main ]\r\nPORTNO = 4\r\n\r\n[03h]\r\n485addr= 1 \r\nnot a "
        "key\r\n[Mine]\r\nx=y\r\n");
    TIniFile ini(Path);
    EXPECT_EQ(ini.ReadInteger("Main", "PortNo", 1), 4);
    EXPECT_EQ(ini.ReadString("03H", "485Addr", "d"), " 1 ");
    EXPECT_EQ(ini.ReadString("03H", "RegAddr", "d"), "d");
    EXPECT_EQ(ini.ReadString("Nothing", "RegAddr", "d"), "d");
    EXPECT_FALSE(ini.ValueExists("03H", "not a key"));

    ini.WriteString("03H", "485Addr", "2");
    ini.WriteString("03h", "RegNum", "10");
    ini.WriteString("Main", "Baud", "6");
    ini.WriteString("10H", "RegValue", "00 01");
    ini.UpdateFile();
    EXPECT_EQ(Get(), "; comment\n[ main ]\nPORTNO = 4\nBaud=6\n\n[03h]\n485Addr=2\nRegNum=10\nnot a key\n[Mine]\nx=y\n"
                     "[10H]\nRegValue=00 01\n");
}

TEST_F(SettingsFile, NewFileHoldsTheKeysInTheirOrder)
{
    TIniFile ini(Path);
    WritePortSettings(ini, 3, 6, "COM3");
    for (const TEditKey& k : EditKeys)
        if (k.Written) ini.WriteString(k.Section, k.Key, "1");
    ini.UpdateFile();
    std::string expected = "[Main]\nPortNo=3\nBaud=6\nPortName=COM3\n";
    const char* sections[] = {"01H", "02H", "03H", "04H"};
    for (const char* s : sections) expected += std::string("[") + s + "]\n485Addr=1\nRegAddr=1\nRegNum=1\n";
    for (const char* s : {"05H", "06H", "10H"})
        expected += std::string("[") + s + "]\n485Addr=1\nRegAddr=1\nRegValue=1\n";
    EXPECT_EQ(Get(), expected);
}

TEST_F(SettingsFile, TextsRoundTripAndFreeFormTextIsNeverWritten)
{
    Put("[Any]\nValue=01 03 00 00 00 0A\n");
    {
        TIniFile ini(Path);
        int i = 0;
        for (const TEditKey& k : EditKeys)
            if (k.Written) ini.WriteString(k.Section, k.Key, " v" + std::to_string(i++) + " a=b 中文 ");
        ini.UpdateFile();
    }
    const TIniFile back(Path);
    int i = 0;
    for (const TEditKey& k : EditKeys) {
        if (k.Written) {
            EXPECT_EQ(back.ReadString(k.Section, k.Key, ""), " v" + std::to_string(i++) + " a=b 中文 ");
        }
    }
    EXPECT_EQ(back.ReadString("Any", "Value", ""), "01 03 00 00 00 0A");
    EXPECT_EQ(std::count_if(EditKeys.begin(), EditKeys.end(), [](const TEditKey& k) { return k.Written; }), 21);
    EXPECT_STREQ(EditKeys.back().EditName, "EditSend");
}

TEST_F(SettingsFile, ValuesStayOneLineAndComeBackCut)
{
    TIniFile ini(Path);
    ini.WriteString("01H", "485Addr", "1\n[Main]\nPortNo=9");
    ini.WriteString("01H", "RegAddr", std::string(3000, 'a'));
    std::string chinese;
    for (int i = 0; i < 2100; ++i) chinese += "码";
    ini.WriteString("01H", "RegNum", chinese);
    ini.UpdateFile();
    const TIniFile back(Path);
    EXPECT_EQ(back.ReadString("01H", "485Addr", ""), "1 [Main] PortNo=9");
    EXPECT_EQ(back.ReadInteger("Main", "PortNo", 1), 1);
    EXPECT_EQ(back.ReadString("01H", "RegAddr", ""), std::string(2047, 'a'));
    EXPECT_EQ(back.ReadString("01H", "RegNum", ""), chinese.substr(0, 2047 * 3));
}

TEST_F(SettingsFile, NamedPortSurvivesARestart)
{
    {
        TIniFile ini(Path);
        WritePortSettings(ini, 0, 6, "ttyUSB0");
        ini.UpdateFile();
    }
    TPortSettings port = ReadPortSettings(TIniFile(Path));
    EXPECT_EQ(port.PortNo, 0);
    EXPECT_EQ(port.PortName, "ttyUSB0");
    EXPECT_EQ(port.Baud, 6);

    // A COMn name adds nothing to PortNo, and a hand-edited PortNo wins over it.
    Put("[Main]\nPortNo=5\nPortName=COM3\n");
    port = ReadPortSettings(TIniFile(Path));
    EXPECT_EQ(port.PortNo, 5);
    EXPECT_EQ(port.PortName, "");
    Put("[Main]\nPortNo=0\nPortName= /dev/serial/by-id/usb-1 \n");
    EXPECT_EQ(ReadPortSettings(TIniFile(Path)).PortName, "/dev/serial/by-id/usb-1");
}

TEST_F(SettingsFile, PortNameOnlyForAPortWithoutACOMNumber)
{
    struct Case {
        const char* Main;
        int PortNo;
        const char* PortName;
    } cases[] = {
        {"PortNo=3\nPortName=ttyS0\n", 3, ""},      {"PortName=ttyS0\nPortNo=0x2\n", 2, ""},
        {"PortNo=0\nPortName=ttyS0\n", 0, "ttyS0"}, {"PortNo=-1\nPortName=ttyS0\n", -1, "ttyS0"},
        {"PortName=ttyS0\n", 1, "ttyS0"},           {"PortNo=abc\nPortName=ttyS0\n", 1, "ttyS0"},
        {"PortNo=\nPortName=ttyS0\n", 1, "ttyS0"},
    };
    for (const Case& c : cases) {
        Put(std::string("[Main]\n") + c.Main);
        const TPortSettings port = ReadPortSettings(TIniFile(Path));
        EXPECT_EQ(port.PortNo, c.PortNo) << c.Main;
        EXPECT_EQ(port.PortName, c.PortName) << c.Main;
    }
}

TEST_F(SettingsFile, FailedWriteLeavesTheOldFileAndNamesThePath)
{
    const std::string old = "[Main]\nPortNo=3\n";
    Put(old);
    TIniFile ini(Path);
    ini.WriteString("01H", "485Addr", std::string(5000, '7'));

    // Works for root too: a file size limit makes the write itself fail.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        ini.UpdateFile();
    } catch (const EFileWriteError& e) {
        message = e.Message;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(message, "Unable to write to " + Path);
    EXPECT_EQ(Get(), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1) << "temporary file left";

    ini.UpdateFile();
    EXPECT_EQ(TIniFile(Path).ReadString("01H", "485Addr", ""), std::string(2047, '7'));
}

TEST_F(SettingsFile, AFileTheUserMayNotWriteIsRefusedAndLeftAsItWas)
{
    // 0444 is read-only to root too; a root-owned 0644 file is not the user nobody's, even in a folder
    // nobody may write to.
    const std::string old = "[Main]\nPortNo=3\n";
    auto attempt = [&](const std::string& path) -> std::string {
        TIniFile ini(path);
        ini.WriteInteger("Main", "PortNo", 9);
        try {
            ini.UpdateFile();
        } catch (const EFileWriteError& e) {
            return e.Message;
        }
        return "written";
    };

    Put(old);
    fs::permissions(Path, fs::perms(0444));
    if (geteuid() == 0) {
        ASSERT_EQ(chown(Path.c_str(), commtest::NobodyId, commtest::NobodyId), 0);
    }
    EXPECT_EQ(attempt(Path), "Unable to write to " + Path);
    EXPECT_EQ(Get(), old);
    EXPECT_EQ(fs::status(Path).permissions(), fs::perms(0444));
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1) << "temporary file left";

    if (geteuid() != 0) GTEST_SKIP() << "the other user's case needs root to become nobody";
    ASSERT_EQ(chown(Path.c_str(), 0, 0), 0);
    fs::permissions(Path, fs::perms(0644));
    fs::permissions(Dir, fs::perms(0777));
    std::string message;
    ASSERT_TRUE(commtest::RunAsNobody([&] { return attempt(Path); }, message));
    EXPECT_EQ(message, "Unable to write to " + Path);
    EXPECT_EQ(Get(), old);
    struct stat st {};
    ASSERT_EQ(stat(Path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(SettingsFile, ALinkIsFollowedAndTheFileKeepsModeAndOwner)
{
    fs::create_directories(Dir / "shared");
    const fs::path presets = Dir / "shared" / "presets.ini";
    std::ofstream(presets) << "[Main]\nPortNo=3\n";
    fs::permissions(presets, fs::perms(0640));
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(presets.c_str(), commtest::NobodyId, commtest::NobodyId), 0);
    }
    fs::create_symlink("shared/presets.ini", Path);

    TIniFile ini(Path);
    ini.WriteInteger("Main", "PortNo", 4);
    ini.UpdateFile();
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_EQ(TIniFile(presets.string()).ReadInteger("Main", "PortNo", 1), 4);
    struct stat st {};
    ASSERT_EQ(stat(presets.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, commtest::NobodyId);
        EXPECT_EQ(st.st_gid, commtest::NobodyId);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "shared"), fs::directory_iterator()), 1);

    // A link whose target is not there yet: the target is made, the link stays.
    fs::remove(Path);
    fs::create_symlink(Dir / "shared" / "new.ini", Path);
    ini.UpdateFile();
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_EQ(TIniFile((Dir / "shared" / "new.ini").string()).ReadInteger("Main", "PortNo", 1), 4);
}

TEST_F(SettingsFile, FolderThatCannotBeMadeOrFileThatIsAFolder)
{
    std::ofstream(Dir / "plain") << "x";
    const std::string underFile = (Dir / "plain" / "busprobe" / "modbus_cfg.ini").string();
    try {
        TIniFile(underFile).UpdateFile();
        FAIL() << "no error";
    } catch (const EFileWriteError& e) {
        EXPECT_EQ(e.Message, "Unable to write to " + underFile);
    }

    fs::create_directories(Dir / "modbus_cfg.ini" / "inside");
    EXPECT_THROW(TIniFile(Path).UpdateFile(), EFileWriteError);
    EXPECT_TRUE(fs::is_directory(Dir / "modbus_cfg.ini" / "inside"));
}

TEST_F(SettingsFile, LocationFollowsTheExecutableFolderOrTheConfigFolder)
{
    EXPECT_EQ(SettingsFilePath("/opt/bp", true, "/x", "/home/u"), "/opt/bp/modbus_cfg.ini");
    EXPECT_EQ(SettingsFilePath("/usr/bin", false, "/x/cfg", "/home/u"), "/x/cfg/busprobe/modbus_cfg.ini");
    EXPECT_EQ(SettingsFilePath("/usr/bin", false, nullptr, "/home/u"), "/home/u/.config/busprobe/modbus_cfg.ini");
    EXPECT_EQ(SettingsFilePath("/usr/bin", false, "relative", "/home/u"), "/home/u/.config/busprobe/modbus_cfg.ini");
    EXPECT_EQ(SettingsFilePath(Dir.string()), Path);
    // Windows: %APPDATA% in place of the config folder, written with '/' as Qt gives the program's folder.
    const std::string appData = "C:\\Users\\u\\AppData\\Roaming\\";
    EXPECT_EQ(WindowsSettingsFilePath("C:/Program Files/bp", false, appData),
              "C:/Users/u/AppData/Roaming/busprobe/modbus_cfg.ini");
    EXPECT_EQ(WindowsSettingsFilePath("D:/tools/bp", true, appData), "D:/tools/bp/modbus_cfg.ini");
    EXPECT_EQ(WindowsSettingsFilePath("C:/Program Files/bp", false, ""), "C:/Program Files/bp/modbus_cfg.ini");

    // The config folder is made on the first save.
    const std::string xdg = (Dir / "xdg" / "busprobe" / "modbus_cfg.ini").string();
    TIniFile ini(xdg);
    ini.WriteInteger("Main", "PortNo", 2);
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(xdg).ReadInteger("Main", "PortNo", 1), 2);
}

TEST_F(SettingsFile, AFileBesideTheProgramIsReadUntilTheUserHasOneOfTheirOwn)
{
    const std::string user = (Dir / "user" / "modbus_cfg.ini").string();
    EXPECT_EQ(SettingsReadPath(user, "/opt/bp"), "/opt/bp/modbus_cfg.ini");
    fs::create_directories(Dir / "user");
    std::ofstream(user) << "[Main]\n";
    EXPECT_EQ(SettingsReadPath(user, "/opt/bp"), user);

    // The program's folder is root's; the user nobody saves in their own folder and reads beside the
    // program until that file is there.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    Put("[Main]\nPortNo=4\n");
    fs::permissions(Dir, fs::perms(0755));
    fs::create_directories(Dir / "home");
    fs::permissions(Dir / "home", fs::perms(0777));
    const std::string own = (Dir / "home" / "busprobe" / "modbus_cfg.ini").string();
    auto paths = [&] {
        std::string out;
        EXPECT_TRUE(commtest::RunAsNobody(
            [&] {
                ::setenv("XDG_CONFIG_HOME", (Dir / "home").c_str(), 1);
                return commtest::JoinFields({SettingsFilePath(Dir.string()), SettingsReadPath(Dir.string())});
            },
            out));
        return commtest::SplitFields(out);
    };
    EXPECT_EQ(paths(), (std::vector<std::string>{own, Path}));
    fs::create_directories(Dir / "home" / "busprobe");
    std::ofstream(own) << "[Main]\nPortNo=5\n";
    EXPECT_EQ(paths(), (std::vector<std::string>{own, own}));
}

TEST_F(SettingsFile, AnInstalledProgramKeepsItsSettingsInTheConfigFolder)
{
    for (const char* dir : {"/usr/bin", "/usr/local/bin/", "/usr", "/opt/busprobe/bin", "/usr/./bin"})
        EXPECT_TRUE(IsInstalledFolder(dir, "/home/u/inst/bin")) << dir;
    EXPECT_TRUE(IsInstalledFolder("/home/u/inst/bin/", "/home/u/inst/bin"));
    for (const char* dir : {"/home/u/build/busprobe", "/usrx/bin", "/optional", "/home/u/inst", "", "bin"})
        EXPECT_FALSE(IsInstalledFolder(dir, "/home/u/inst/bin")) << dir;

    // Even a writable install folder (run as root) is left alone.
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", Dir.c_str(), 1);
    EXPECT_EQ(SettingsFilePath("/usr/bin"), (Dir / "busprobe" / "modbus_cfg.ini").string());
    EXPECT_EQ(SettingsFilePath(InstallBinDir), (Dir / "busprobe" / "modbus_cfg.ini").string());
    EXPECT_EQ(SettingsFilePath(Dir.string()), Path);
    if (saved) ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
