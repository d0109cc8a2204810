// CSerial's reason for a failed open: errno, path and COM<n> link, in the Chinese words Ormet-Master shows.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "as_other_user.h"
#include "comm32_reason.h"
#include "serial.h"
#include "sim_process.h"
#include "tty_holder_child.h"

using namespace metertest;
using KestroComm32::ExplainOpenFailure;
using KestroComm32::TSystemReason;

namespace {

constexpr unsigned long Simplified = 2052;

std::string Failure(const char* label, int error)
{
    return std::string("'") + label + "' failed with the following error: " + std::strerror(error);
}

// The reason of a COM<n> of the port map whose link leads to target.
TSystemReason Expected(int error, const PortMap& map, int n, const std::string& target)
{
    TSystemReason r;
    r.Error = error;
    r.DevicePath = map.dir + "/COM" + std::to_string(n);
    r.AliasName = "COM" + std::to_string(n);
    r.AliasLink = r.DevicePath;
    r.AliasTarget = target;
    return r;
}

// A pseudo-terminal linked as COM<n> in the port map.
struct LinkedPty {
    LinkedPty(const PortMap& map, int n)
    {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        path = name;
        map.Link(n, path);
    }
    ~LinkedPty() { CloseBoth(); }
    void CloseBoth()
    {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
        master = slave = -1;
    }
    int master = -1, slave = -1;
    std::string path;
};

} // namespace

TEST(MeterSerialReason, DanglingAndMissingLinksSayWhatCOMnWouldBe)
{
    PortMap map;
    map.Link(7, "/nonexistent/ttyUSB9");
    CSerial link;
    link.PortNumber = 7;
    ASSERT_FALSE(link.Open());
    EXPECT_EQ(link.LastError(), Failure("OpenCom", ENOENT)); // unchanged
    TSystemReason expected = Expected(ENOENT, map, 7, "/nonexistent/ttyUSB9");
    expected.AliasDangling = true;
    const TSystemReason r = link.LastReason();
    EXPECT_EQ(r.Error, ENOENT);
    EXPECT_EQ(r.Call, "open");
    EXPECT_EQ(r.DevicePath, expected.DevicePath);
    EXPECT_TRUE(r.AliasDangling);
    EXPECT_EQ(ExplainOpenFailure(r, Simplified), ExplainOpenFailure(expected, Simplified));
    EXPECT_NE(ExplainOpenFailure(r, Simplified).find("/nonexistent/ttyUSB9"), std::string::npos);

    link.PortNumber = 200; // no link and no /dev/ttyS199
    ASSERT_FALSE(link.Open());
    TSystemReason none;
    none.Error = ENOENT;
    none.DevicePath = "/dev/ttyS199";
    none.AliasName = "COM200";
    none.AliasLink = map.dir + "/COM200";
    EXPECT_EQ(link.LastReason().DevicePath, "/dev/ttyS199");
    EXPECT_EQ(ExplainOpenFailure(link.LastReason(), Simplified), ExplainOpenFailure(none, Simplified));

    map.Link(8, "/dev/null"); // not a serial port
    link.PortNumber = 8;
    ASSERT_FALSE(link.Open());
    EXPECT_EQ(link.LastReason().Error, ENOTTY);
    EXPECT_EQ(ExplainOpenFailure(link.LastReason(), Simplified),
              ExplainOpenFailure(Expected(ENOTTY, map, 8, "/dev/null"), Simplified));
}

TEST(MeterSerialReason, PortHeldByAnotherLinkIsBusyAndASuccessClearsTheReason)
{
    PortMap map;
    LinkedPty pty(map, 3);
    const char* name = pty.path.c_str();
    CSerial first, second;
    first.PortNumber = second.PortNumber = 3;
    ASSERT_TRUE(first.Open()) << first.LastError();
    EXPECT_FALSE(first.LastReason().Known());
    ASSERT_FALSE(second.Open());
    EXPECT_EQ(second.LastError(), Failure("OpenCom", EBUSY)); // unchanged
    const TSystemReason r = second.LastReason();
    // Plain users are refused by the tty, root by the lock: the raw errno of whichever call it was.
    EXPECT_TRUE((r.Error == EBUSY && r.Call == "open") || (r.Error == EWOULDBLOCK && r.Call == "flock"))
        << r.Error << " " << r.Call;
    EXPECT_EQ(ExplainOpenFailure(r, Simplified), ExplainOpenFailure(Expected(EBUSY, map, 3, name), Simplified));
    first.Close();
    ASSERT_TRUE(second.Open());
    EXPECT_FALSE(second.LastReason().Known());
    second.Close();
}

TEST(MeterSerialReason, UnpluggedPtyIsMissingAndADeadNodeAnIoError)
{
    PortMap map;
    LinkedPty pty(map, 4);
    const std::string name = pty.path;
    pty.CloseBoth();
    CSerial link;
    link.PortNumber = 4;
    ASSERT_FALSE(link.Open());
    TSystemReason gone = Expected(ENOENT, map, 4, name);
    gone.AliasDangling = true;
    EXPECT_EQ(link.LastReason().Error, ENOENT);
    EXPECT_EQ(ExplainOpenFailure(link.LastReason(), Simplified), ExplainOpenFailure(gone, Simplified));

    // A node whose tty will not talk (a pty its master has not unlocked) fails with an I/O error.
    const int locked = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(locked, 0);
    ASSERT_EQ(grantpt(locked), 0);
    const std::string path = ptsname(locked);
    map.Link(4, path);
    ASSERT_FALSE(link.Open());
    EXPECT_EQ(link.LastError(), Failure("OpenCom", EIO));
    EXPECT_EQ(ExplainOpenFailure(link.LastReason(), Simplified),
              ExplainOpenFailure(Expected(EIO, map, 4, path), Simplified));
    close(locked);
}

// As root a child that has become nobody tries a dialout-owned pty; otherwise the pty gets mode 000.
TEST(MeterSerialReason, PermissionDeniedNamesTheGroup)
{
    PortMap map;
    LinkedPty pty(map, 6);
    const char* name = pty.path.c_str();
    TSystemReason expected = Expected(EACCES, map, 6, name);
    std::string explanation, error;
    if (geteuid() == 0) {
        const group* dialout = getgrnam("dialout");
        ASSERT_NE(dialout, nullptr);
        ASSERT_EQ(chown(name, static_cast<uid_t>(-1), dialout->gr_gid), 0);
        ASSERT_EQ(chmod(name, 0660), 0);
        ASSERT_EQ(chmod(map.dir.c_str(), 0755), 0); // nobody must see the link itself
        expected.AccessGroup = "dialout";
        std::string out;
        ASSERT_TRUE(commtest::RunAsNobody(
            [] {
                CSerial link;
                link.PortNumber = 6;
                const bool opened = link.Open();
                return commtest::JoinFields(
                    {opened ? "open" : link.LastError(), ExplainOpenFailure(link.LastReason(), Simplified)});
            },
            out));
        const auto f = commtest::SplitFields(out);
        ASSERT_EQ(f.size(), 2u);
        error = f[0];
        explanation = f[1];
        EXPECT_NE(explanation.find("sudo adduser $USER dialout"), std::string::npos) << explanation;
    } else {
        ASSERT_EQ(chmod(name, 0), 0);
        CSerial link;
        link.PortNumber = 6;
        ASSERT_FALSE(link.Open());
        error = link.LastError();
        explanation = ExplainOpenFailure(link.LastReason(), Simplified);
    }
    EXPECT_EQ(error, Failure("OpenCom", EACCES));
    EXPECT_EQ(explanation, ExplainOpenFailure(expected, Simplified));
}

// A program that had the port open first refuses the link's open as a busy port does, and the reason
// names it. Pseudo-terminals are exempt from the search unless a test switches it on.
TEST(MeterSerialReason, PortAnotherProgramHasOpenIsBusyAndNamesIt)
{
    PortMap map;
    LinkedPty pty(map, 5);
    close(pty.slave);
    pty.slave = -1;
    commtest::TTtyHolderChild child(pty.path, "minicom");
    ASSERT_GT(child.Pid, 0);
    CSerial link;
    link.PortNumber = 5;
    ASSERT_TRUE(link.Open()) << link.LastError(); // exempt
    link.Close();

    commtest::TSearchPtyHolders search;
    ASSERT_FALSE(link.Open());
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.LastError(), Failure("OpenCom", EBUSY));
    const TSystemReason r = link.LastReason();
    EXPECT_EQ(r.Error, EBUSY);
    EXPECT_EQ(r.Call, "open");
    EXPECT_EQ(r.HolderPid, child.Pid);
    EXPECT_EQ(r.HolderName, "minicom");
    TSystemReason expected = Expected(EBUSY, map, 5, pty.path);
    expected.HolderName = "minicom";
    expected.HolderPid = child.Pid;
    const std::string explanation = ExplainOpenFailure(r, Simplified);
    EXPECT_EQ(explanation, ExplainOpenFailure(expected, Simplified));
    EXPECT_NE(explanation.find("“minicom”（进程 " + std::to_string(child.Pid) + "）"), std::string::npos)
        << explanation;

    child.Stop();
    ASSERT_TRUE(link.Open()) << link.LastError();
    EXPECT_FALSE(link.LastReason().Known());
    link.Close();
}
