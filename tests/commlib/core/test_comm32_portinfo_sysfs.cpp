// Port enumeration over a fake sysfs tree and port map folder, and the port map's place.
#include "comm32_portinfo.h"
#include "comm32_portinfo_sys.h"
#include "scoped_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include <unistd.h>

using namespace KestroComm32;
namespace fs = std::filesystem;

namespace {

// A fake sysfs tree and a port map folder in a fresh temporary directory.
class FakeSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root = fs::temp_directory_path() / ("kestro-portinfo-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        fs::create_directories(Root / "sys" / "class" / "tty");
        fs::create_directories(Root / "sys" / "bus" / "drivers" / "serial8250");
        fs::create_directories(Root / "sys" / "bus" / "drivers" / "ftdi_sio");
        fs::create_directories(Root / "map");
        fs::create_directories(Root / "dev");
        TCommSerialPortInfo::SetSysfsRoot((Root / "sys").string());
        // The machine's own adapters stay out of the fake one's port map.
        TCommSerialPortInfo::SetSerialRoot((Root / "dev" / "serial").string());
        MapEnv.emplace("COMPORTS_DIR", (Root / "map").c_str());
    }
    void TearDown() override
    {
        TCommSerialPortInfo::SetSysfsRoot("");
        TCommSerialPortInfo::SetSerialRoot("");
        MapEnv.reset();
        fs::remove_all(Root);
    }

    // A tty entry; with a driver it has a device behind it, "" makes a virtual tty.
    void AddTty(const std::string& name, const std::string& driver, int uartType = -1, const std::string& devName = "")
    {
        const fs::path entry = Root / "sys" / "class" / "tty" / name;
        fs::create_directories(entry);
        if (!driver.empty()) {
            fs::create_directories(entry / "device");
            fs::create_directory_symlink(Root / "sys" / "bus" / "drivers" / driver, entry / "device" / "driver");
        }
        if (uartType >= 0) std::ofstream(entry / "type") << uartType << "\n";
        std::ofstream uevent(entry / "uevent");
        uevent << "MAJOR=4\nMINOR=64\n";
        if (!devName.empty()) uevent << "DEVNAME=" << devName << "\n";
    }
    void AddAlias(const std::string& name, bool live = true)
    {
        const fs::path target = Root / "dev" / ("target-" + name);
        if (live) std::ofstream(target) << "";
        fs::create_symlink(target, Root / "map" / name);
    }
    std::vector<std::string> List(const TCommSerialPortInfo& info)
    {
        std::vector<std::string> v;
        for (int i = 0; i < info.PortList.Count(); ++i) v.push_back(info.PortList.Strings(i));
        return v;
    }

    fs::path Root;
    std::optional<ScopedEnv> MapEnv;
};

} // namespace

TEST_F(FakeSystem, AliasesSortByNumber)
{
    AddAlias("COM10");
    AddAlias("COM3");
    AddAlias("COM1");
    TCommSerialPortInfo info;
    EXPECT_EQ(List(info), (std::vector<std::string>{"COM1", "COM3", "COM10"}));
}

TEST_F(FakeSystem, NumberedBeforeNamed)
{
    AddAlias("COM4");
    AddTty("MODEM", "ftdi_sio");
    AddAlias("COM2");
    TCommSerialPortInfo info;
    EXPECT_EQ(List(info), (std::vector<std::string>{"COM2", "COM4", "MODEM"}));
}

TEST_F(FakeSystem, NothingFoundFallsBackToCom1To4)
{
    AddTty("tty0", "");               // virtual console: no device
    AddTty("ttyS0", "serial8250", 0); // placeholder line without a UART
    AddAlias("COM7", false);          // dangling alias
    TCommSerialPortInfo info;
    EXPECT_EQ(List(info), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
}

TEST_F(FakeSystem, MissingSysfsFallsBackAndReportsTheError)
{
    fs::remove_all(Root / "sys" / "class");
    TCommSerialPortInfo info;
    EXPECT_EQ(List(info), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    // The failed listing leaves the list as it was.
    EXPECT_NE(info.ListFromSystem(), 0);
    EXPECT_EQ(info.PortList.Count(), 4);
}

TEST_F(FakeSystem, RealDevicesByDevNameWithAliasesAndNoPadding)
{
    AddTty("ttyUSB0", "ftdi_sio");
    AddTty("ttyACM0", "cdc_acm");
    AddTty("ttyS0", "serial8250", 4); // 16550A present
    AddTty("ttyS1", "serial8250", 0); // placeholder
    AddTty("ttyS5", "serial8250");    // no type attribute and no /dev node to ask: kept
    AddTty("ttyX", "custom", -1, "serial/port-x");
    AddTty("tty5", "");
    AddTty("console", "");
    AddAlias("COM3");
    AddAlias("com4"); // not the form the port object looks up
    AddAlias("COM9", false);
    fs::create_directories(Root / "map" / "COM8"); // a folder, not an alias
    fs::create_directories(Root / "sys" / "bus" / "drivers" / "cdc_acm");
    fs::create_directories(Root / "sys" / "bus" / "drivers" / "custom");

    TCommSerialPortInfo info;
    EXPECT_EQ(List(info), (std::vector<std::string>{"COM3", "serial/port-x", "ttyACM0", "ttyS0", "ttyS5", "ttyUSB0"}));
    EXPECT_EQ(info.ListFromSystem(), 0);
    EXPECT_EQ(info.PortList.Count(), 6);
}

TEST_F(FakeSystem, SameNameTwiceStaysTwice)
{
    AddTty("COM3", "ftdi_sio");
    AddAlias("COM3");
    TCommSerialPortInfo info;
    EXPECT_EQ(List(info), (std::vector<std::string>{"COM3", "COM3"}));
}

TEST(CommSerialPortInfo, PortMapDirFollowsTheEnvironment)
{
    ScopedEnv dir("COMPORTS_DIR", "/tmp/x-ports");
    EXPECT_EQ(TCommSerialPortInfo::PortMapDir(), "/tmp/x-ports");
    ScopedEnv noDir("COMPORTS_DIR", nullptr);
    ScopedEnv xdg("XDG_CONFIG_HOME", "/tmp/xdg");
    EXPECT_EQ(TCommSerialPortInfo::PortMapDir(), "/tmp/xdg/comports");
    ScopedEnv noXdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(TCommSerialPortInfo::PortMapDir(), "/home/someone/.config/comports");
}

TEST(CommSerialPortInfo, ProbeOfMissingDeviceIsUnknownNotPlaceholder)
{
    // -1 keeps the line in the list; only a real PORT_UNKNOWN answer (0) drops it.
    EXPECT_EQ(PortInfoSys::ProbeSerialType("kestro-no-such-tty"), -1);
}
