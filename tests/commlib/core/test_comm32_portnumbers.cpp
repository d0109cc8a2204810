// Automatic COMn numbers over a fake sysfs and a fake /dev/serial tree: first sight, replugging, the user's own entries.
#include "comm32_portinfo.h"
#include "comm32_portnumbers.h"

#include "as_other_user.h"
#include "fake_dev_serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include <sys/wait.h>
#include <unistd.h>

using namespace KestroComm32;
namespace fs = std::filesystem;

namespace {

// Two adapters of one model told apart by their serial numbers, and a model without serial numbers.
const fakesys::TUsbTty AdapterA{"ttyUSB0",         "1-2",    "0403",       "6001",     "FTDI",
                                "FT232R USB UART", "A10001", "usb-serial", "ftdi_sio", true};
const fakesys::TUsbTty AdapterB{"ttyUSB1",         "1-3",    "0403",       "6001",     "FTDI",
                                "FT232R USB UART", "A10002", "usb-serial", "ftdi_sio", true};
const fakesys::TUsbTty Plain{"ttyUSB0",    "1-4", "1a86",       "7523",  "QinHeng",
                             "USB Serial", "",    "usb-serial", "ch341", true};

fakesys::TUsbTty As(fakesys::TUsbTty t, const std::string& tty, const std::string& socket)
{
    t.Tty = tty;
    t.UsbDevice = socket;
    return t;
}

class AutoNumbers : public ::testing::Test {
protected:
    void SetUp() override
    {
        Machine.Root = fs::temp_directory_path() / ("kestro-numbers-" + std::to_string(::getpid()) + "-" +
                                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Machine.Root);
        fs::create_directories(Machine.Sys() / "class" / "tty");
        fs::create_directories(Machine.Serial());
        Map = Machine.Root / "map";
        TCommSerialPortInfo::SetSysfsRoot(Machine.Sys().string());
        TCommSerialPortInfo::SetSerialRoot(Machine.Serial().string());
        setenv("COMPORTS_DIR", Map.c_str(), 1);
        unsetenv("COMPORTS_AUTO");
    }
    void TearDown() override
    {
        TCommSerialPortInfo::SetSysfsRoot("");
        TCommSerialPortInfo::SetSerialRoot("");
        unsetenv("COMPORTS_DIR");
        unsetenv("COMPORTS_AUTO");
        fs::remove_all(Machine.Root);
    }

    static std::vector<std::string> List()
    {
        TCommSerialPortInfo info;
        std::vector<std::string> v;
        for (int i = 0; i < info.PortList.Count(); ++i) v.push_back(info.PortList.Strings(i));
        return v;
    }
    // What the link COMn in the map says, empty when there is none.
    std::string Link(int n) const
    {
        std::error_code ec;
        return fs::read_symlink(Map / ("COM" + std::to_string(n)), ec).string();
    }
    std::string ById(const fakesys::TUsbTty& t) const
    {
        return (Machine.Serial() / "by-id" / fakesys::ByIdName(t)).string();
    }
    std::string ByPath(const fakesys::TUsbTty& t) const
    {
        return (Machine.Serial() / "by-path" / fakesys::ByPathName(t)).string();
    }
    // The device node COMn leads to now, empty when it leads nowhere.
    std::string Leads(int n) const
    {
        std::error_code ec;
        const fs::path p = fs::canonical(Map / ("COM" + std::to_string(n)), ec);
        return ec ? std::string() : p.filename().string();
    }
    // A port off USB: its sysfs entry with a driver, a UART type where given, and a node when asked.
    void AddPlatformTty(const std::string& name, const std::string& driver, int uartType, bool node) const
    {
        const fs::path entry = Machine.Sys() / "class" / "tty" / name;
        const fs::path drv = Machine.Sys() / "bus" / "platform" / "drivers" / driver;
        fs::create_directories(entry / "device");
        fs::create_directories(drv);
        fs::create_directory_symlink(drv, entry / "device" / "driver");
        if (uartType >= 0) std::ofstream(entry / "type") << uartType << "\n";
        if (node) std::ofstream(Machine.Dev() / name) << "";
    }

    fakesys::TFakeMachine Machine;
    fs::path Map;
};

} // namespace

// First sight gives COM3, a second adapter of the same model COM4; both numbers stay reserved while
// the adapters are out, and stay with their adapters when they come back in the other order.
TEST_F(AutoNumbers, EachAdapterKeepsItsNumberAcrossReplugging)
{
    Machine.Plug(AdapterA);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "ttyUSB0"}));
    EXPECT_EQ(Link(3), ById(AdapterA));
    const std::string tip = TCommSerialPortInfo::Details("COM3").ToolTip();
    EXPECT_NE(tip.find("S/N A10001"), std::string::npos) << tip;
    EXPECT_EQ(tip.find("socket"), std::string::npos) << tip;

    Machine.Plug(AdapterB);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "COM4", "ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(Link(4), ById(AdapterB));

    Machine.Unplug(AdapterA);
    Machine.Unplug(AdapterB);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"})); // the fallback list
    EXPECT_EQ(Link(3), ById(AdapterA));
    EXPECT_EQ(Link(4), ById(AdapterB));

    Machine.Plug(As(AdapterB, "ttyUSB0", "1-2"));
    Machine.Plug(As(AdapterA, "ttyUSB1", "1-3"));
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "COM4", "ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(Leads(3), "ttyUSB1");
    EXPECT_EQ(Leads(4), "ttyUSB0");
    EXPECT_FALSE(fs::exists(fs::symlink_status(Map / "COM5")));
    EXPECT_NE(TCommSerialPortInfo::Details("COM3").ToolTip().find("S/N A10001"), std::string::npos);
}

// An adapter without a serial number is numbered by its socket: moved to another socket it gets a
// new number, and the next such adapter in the old socket gets the old one.
TEST_F(AutoNumbers, AdapterWithoutSerialNumberFollowsTheSocket)
{
    Machine.Plug(Plain);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "ttyUSB0"}));
    EXPECT_EQ(Link(3), ByPath(Plain));
    const std::string tip = TCommSerialPortInfo::Details("COM3").ToolTip();
    EXPECT_NE(tip.find("number follows the USB socket"), std::string::npos) << tip;

    Machine.Unplug(Plain);
    const fakesys::TUsbTty moved = As(Plain, "ttyUSB0", "1-5");
    Machine.Plug(moved);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM4", "ttyUSB0"}));
    EXPECT_EQ(Link(4), ByPath(moved));

    Machine.Plug(As(Plain, "ttyUSB1", "1-4"));
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "COM4", "ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(Leads(3), "ttyUSB1");
    EXPECT_EQ(Leads(4), "ttyUSB0");
}

// What the map folder and the machine hold before the adapter is first seen, and what it gets.
TEST_F(AutoNumbers, FreeNumbersAndTheUsersOwnEntries)
{
    struct TCase {
        const char* Name;
        std::function<void()> Before;
        int Number;       // the adapter's new COMn, 0 for none
        const char* Note; // in the adapter's tooltip, "" for no note
    };
    const std::vector<TCase> cases{
        {"user's link to another device", [this] { fs::create_symlink("/dev/ttyUSB7", Map / "COM3"); }, 4, ""},
        {"user's plain file", [this] { std::ofstream(Map / "COM3") << "mine"; }, 4, ""},
        {"number kept for an absent adapter", [this] { fs::create_symlink(ById(AdapterB), Map / "COM3"); }, 4, ""},
        {"COM3 falls back to a real UART", [this] { AddPlatformTty("ttyS2", "serial8250", 4, false); }, 4, ""},
        {"user's link to the adapter's node", [this] { fs::create_symlink(Machine.Dev() / "ttyUSB0", Map / "COM3"); },
         0, ""},
        {"user's link to its by-id name, relative",
         [this] { fs::create_symlink("../dev/serial/by-id/" + fakesys::ByIdName(AdapterA), Map / "COM9"); }, 0, ""},
        {"numbering off", [] { setenv("COMPORTS_AUTO", "0", 1); }, 0, ""},
        {"folder under a regular file",
         [this] {
             std::ofstream(Machine.Root / "file") << "";
             setenv("COMPORTS_DIR", (Machine.Root / "file" / "map").c_str(), 1);
         },
         0, "\nnot numbered: cannot create "},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(Machine.Root);
        SetUp();
        fs::create_directories(Map);
        c.Before();
        std::vector<fs::path> before;
        for (const auto& e : fs::directory_iterator(Map)) before.push_back(e.path());
        std::map<fs::path, std::string> targets;
        for (const fs::path& p : before) targets[p] = fs::is_symlink(p) ? fs::read_symlink(p).string() : "";

        Machine.Plug(AdapterA);
        const std::vector<std::string> list = List();
        const std::string name = "COM" + std::to_string(c.Number);
        if (c.Number > 0) {
            EXPECT_NE(std::find(list.begin(), list.end(), name), list.end());
            EXPECT_EQ(Link(c.Number), ById(AdapterA));
        }
        std::size_t made = 0;
        for (const auto& e : fs::directory_iterator(Map)) made += targets.count(e.path()) == 0 ? 1u : 0u;
        EXPECT_EQ(made, c.Number > 0 ? 1u : 0u);
        for (const auto& [path, target] : targets) {
            EXPECT_EQ(fs::is_symlink(path) ? fs::read_symlink(path).string() : "", target) << path;
        }
        const std::string tip = TCommSerialPortInfo::Details("ttyUSB0").ToolTip();
        if (*c.Note) EXPECT_NE(tip.find(c.Note), std::string::npos) << tip;
        else EXPECT_EQ(tip.find("not numbered"), std::string::npos) << tip;
    }
    // Under a regular file not even root gets a folder; the ports are listed as before.
    EXPECT_FALSE(fs::exists(Machine.Root / "file" / "map"));
    EXPECT_EQ(List(), (std::vector<std::string>{"ttyUSB0"}));
}

// A folder the user may not write: nothing is numbered, the port is listed as before, and its
// tooltip alone says why.
TEST_F(AutoNumbers, FolderTheUserCannotWriteIsLeftAlone)
{
    fs::create_directories(Map);
    fs::permissions(Map, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    Machine.Plug(AdapterA);
    std::string out;
    ASSERT_TRUE(commtest::RunAsNobody(
        [] {
            std::vector<std::string> fields = List();
            fields.push_back(TCommSerialPortInfo::Details("ttyUSB0").ToolTip());
            return commtest::JoinFields(fields);
        },
        out));
    const std::vector<std::string> fields = commtest::SplitFields(out);
    ASSERT_EQ(fields.size(), 2u) << out;
    EXPECT_EQ(fields[0], "ttyUSB0");
    EXPECT_NE(
        fields[1].find("S/N A10001\nnot numbered: cannot link " + (Map / "COM3").string() + ": Permission denied"),
        std::string::npos)
        << fields[1];
    EXPECT_TRUE(fs::is_empty(Map));
}

// A port off USB is numbered by its node, unless the ttyS fallback of a COMn already reaches it.
TEST_F(AutoNumbers, PortsOffUsbByTheirNode)
{
    AddPlatformTty("ttyAMA0", "uart-pl011", -1, true);
    AddPlatformTty("ttyS0", "serial8250", 4, true); // COM1
    AddPlatformTty("ttyS5", "serial8250", 4, true); // COM6 would be it, but the user's COM6 is elsewhere
    fs::create_directories(Map);
    fs::create_symlink("/dev/ttyUSB9", Map / "COM6");
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "COM4", "ttyAMA0", "ttyS0", "ttyS5"}));
    EXPECT_EQ(Link(3), (Machine.Dev() / "ttyAMA0").string());
    EXPECT_EQ(Link(4), (Machine.Dev() / "ttyS5").string());
    EXPECT_FALSE(fs::exists(fs::symlink_status(Map / "COM5")));
}

// Two programs numbering at the same moment, one of them listing before a second adapter appeared:
// under the folder's lock each adapter gets exactly one number and no number is given twice.
TEST_F(AutoNumbers, TwoProcessesNumberingAtOnceGiveEachAdapterOneNumber)
{
    Machine.Plug(AdapterA);
    Machine.Plug(As(AdapterB, "ttyUSB1", "1-3"));
    const std::vector<std::vector<std::string>> views{{"ttyUSB1"}, {"ttyUSB0", "ttyUSB1"}};
    const std::set<std::string> adapters{"ttyUSB0", "ttyUSB1"};
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        fs::remove_all(Map);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        pid_t children[2];
        for (int i = 0; i < 2; ++i) {
            children[i] = fork();
            ASSERT_GE(children[i], 0);
            if (children[i] != 0) continue;
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 0) _exit(2); // both start when the parent closes the pipe
            PortNumbers::NumberNewDevices(views[static_cast<std::size_t>((i + round) % 2)]);
            _exit(0);
        }
        close(go[0]);
        close(go[1]);
        for (const pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        std::map<std::string, int> numbers; // adapter -> how many COMn lead to it
        std::string links;
        for (const auto& e : fs::directory_iterator(Map)) {
            const std::string name = e.path().filename().string();
            links += name + " -> " + fs::read_symlink(e.path()).string() + "\n";
            ++numbers[fs::canonical(e.path()).filename().string()];
        }
        for (const std::string& adapter : adapters) EXPECT_EQ(numbers[adapter], 1) << adapter << "\n" << links;
        ASSERT_EQ(numbers.size(), adapters.size()) << links;
    }
}

// udev makes an adapter's by-path name before its by-id name: an adapter with a serial number is
// listed under its device name until its by-id name exists, then numbered by it, and keeps that
// number in another socket.
TEST_F(AutoNumbers, AnAdapterWithASerialNumberWaitsForItsByIdName)
{
    const auto nameMade = [this](const fakesys::TUsbTty& t) {
        fs::create_symlink("../../" + t.Tty, Machine.Serial() / "by-id" / fakesys::ByIdName(t));
    };
    Machine.Plug(AdapterA);
    fs::remove(Machine.Serial() / "by-id" / fakesys::ByIdName(AdapterA));
    EXPECT_EQ(List(), (std::vector<std::string>{"ttyUSB0"}));
    EXPECT_FALSE(fs::exists(Map / "COM3"));
    const std::string tip = TCommSerialPortInfo::Details("ttyUSB0").ToolTip();
    EXPECT_NE(tip.find("waiting for its name"), std::string::npos) << tip;

    nameMade(AdapterA);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "ttyUSB0"}));
    EXPECT_EQ(Link(3), ById(AdapterA));
    EXPECT_EQ(TCommSerialPortInfo::Details("ttyUSB0").ToolTip().find("waiting"), std::string::npos);

    Machine.Unplug(AdapterA);
    const fakesys::TUsbTty moved = As(AdapterA, "ttyUSB0", "1-5");
    Machine.Plug(moved);
    fs::remove(Machine.Serial() / "by-id" / fakesys::ByIdName(moved)); // in the new socket, again too early
    EXPECT_EQ(List(), (std::vector<std::string>{"ttyUSB0"}));
    nameMade(moved);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM3", "ttyUSB0"}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Map / "COM4")));
}

// Anyone who may write the port map could point a COMn at a tty of theirs: a folder another user
// owns or others may write is neither followed nor written, nor is a link another user owns, and the
// tooltips say why.
TEST_F(AutoNumbers, AFolderOrLinkOthersControlIsNotFollowedNorWritten)
{
    constexpr uid_t Nobody = commtest::NobodyId;
    struct TCase {
        const char* Name;
        std::function<void()> Make;
        std::vector<std::string> List; // with the adapter plugged in
        const char* AdapterNote;       // in the adapter's tooltip
        const char* Com3Note;          // in COM3's tooltip
    };
    const std::string map = Map.string();
    const std::vector<TCase> cases{
        {"folder its group may write",
         [this] {
             ASSERT_EQ(chown(Map.c_str(), 0, Nobody), 0); // nogroup, not the owner's own group
             fs::permissions(Map, fs::perms::group_write, fs::perm_options::add);
         },
         {"ttyUSB0"},
         "not numbered: MAP may be written by other users",
         "not followed: MAP may be written"},
        {"folder only its owner's own group may write",
         [this] { fs::permissions(Map, fs::perms::group_write, fs::perm_options::add); },
         {"COM3", "ttyUSB0"},
         "",
         "COM3 \u2192 "},
        {"folder everyone may write, sticky",
         [this] { fs::permissions(Map, fs::perms::all | fs::perms::sticky_bit); },
         {"ttyUSB0"},
         "not numbered: MAP may be written by other users",
         "not followed: MAP may be written"},
        {"folder of another user",
         [this] { ASSERT_EQ(chown(Map.c_str(), Nobody, Nobody), 0); },
         {"ttyUSB0"},
         "not numbered: MAP belongs to another user (uid 65534)",
         "not followed: MAP belongs to another user"},
        {"COM3 of another user",
         [this] { ASSERT_EQ(lchown((Map / "COM3").c_str(), Nobody, Nobody), 0); },
         {"COM4", "ttyUSB0"},
         "",
         "not followed: MAP/COM3 belongs to another user (uid 65534)"},
    };
    auto filled = [&](std::string text) {
        if (const auto at = text.find("MAP"); at != std::string::npos) text.replace(at, 3, map);
        return text;
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(Machine.Root);
        SetUp();
        fs::create_directories(Map);
        fs::permissions(Map, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        // Someone's COM3 to the adapter: followed, it would be the adapter's number.
        fs::create_symlink(ById(AdapterA), Map / "COM3");
        c.Make();
        Machine.Plug(AdapterA);
        EXPECT_EQ(List(), c.List);
        const std::string adapterTip = TCommSerialPortInfo::Details("ttyUSB0").ToolTip();
        if (*c.AdapterNote) {
            EXPECT_NE(adapterTip.find(filled(c.AdapterNote)), std::string::npos) << adapterTip;
        }
        const std::string com3Tip = TCommSerialPortInfo::Details("COM3").ToolTip();
        EXPECT_NE(com3Tip.find(filled(c.Com3Note)), std::string::npos) << com3Tip;
        std::size_t entries = 0;
        for (const auto& e : fs::directory_iterator(Map)) entries += e.path().filename() == "COM3" ? 0u : 1u;
        EXPECT_EQ(entries, std::count(c.List.begin(), c.List.end(), "COM4")) << "only a COM4 beside COM3";
    }
}
