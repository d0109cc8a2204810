// Why a port would not open: the explanation texts, and real failed opens through TComm32 on ptys and files.
#include "as_other_user.h"
#include "comm32.h"
#include "comm32_error.h"
#include "comm32_portinfo.h"
#include "comm32_reason.h"
#include "fake_dev_serial.h"
#include "pty_link.h"
#include "tty_holder_child.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace KestroComm32;
namespace fs = std::filesystem;

namespace {

constexpr unsigned long English = 1033, Simplified = 2052, Traditional = 1028;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TSystemReason Reason(int error, const std::string& path)
{
    TSystemReason r;
    r.Error = error;
    r.Call = "open";
    r.DevicePath = path;
    return r;
}

// What a failed Open of TComm32 hands the caller.
struct TOpenResult {
    bool Threw = false;
    TErrorCode Code{};
    std::string Message;
    std::string Explanation;
    TSystemReason Reason;
};

TOpenResult TryOpen(const std::string& name, unsigned long lcid)
{
    SetThreadLocale(lcid);
    TOpenResult r;
    {
        TComm32 port;
        port.fSetPortName(name);
        try {
            port.Open();
            port.Close();
        } catch (const EComm32Error& e) {
            r.Threw = true;
            r.Code = e.ErrorCode;
            r.Message = e.Message;
            r.Explanation = e.Explanation;
            r.Reason = e.Reason;
        }
    }
    SetThreadLocale(0);
    return r;
}

// The library's message stays what it always was; the explanation comes beside it.
void ExpectOpenFailure(const TOpenResult& r, const std::string& name, unsigned long lcid, const TSystemReason& expected)
{
    ASSERT_TRUE(r.Threw);
    EXPECT_EQ(r.Code, ecOpenPort);
    EXPECT_EQ(r.Message, EComm32Error::BuildMessage(ecOpenPort, name, lcid));
    EXPECT_EQ(r.Reason.Error, expected.Error) << std::strerror(r.Reason.Error);
    EXPECT_EQ(r.Reason.DevicePath, expected.DevicePath);
    EXPECT_EQ(r.Explanation, ExplainOpenFailure(expected, lcid));
    EXPECT_FALSE(r.Explanation.empty());
}

class TempDir {
public:
    TempDir()
    {
        Path = fs::temp_directory_path() / ("kestro-reason-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Path);
        fs::create_directories(Path);
    }
    ~TempDir() { fs::remove_all(Path); }
    fs::path Path;
};

} // namespace

// ---- the texts ----

TEST(OpenFailureTexts, EachReasonHasItsOwnTextInEachLanguageWithEveryFieldFilledIn)
{
    TSystemReason access = Reason(EACCES, "/dev/ttyUSB0");
    access.AccessGroup = "dialout";
    TSystemReason dangling = Reason(ENOENT, "/home/u/.config/comports/COM7");
    dangling.AliasName = "COM7";
    dangling.AliasLink = "/home/u/.config/comports/COM7";
    dangling.AliasTarget = "/nonexistent/ttyUSB9";
    dangling.AliasDangling = true;
    TSystemReason noLink = Reason(ENOENT, "/dev/ttyS6");
    noLink.AliasName = "COM7";
    noLink.AliasLink = "/home/u/.config/comports/COM7";
    const std::vector<TSystemReason> reasons = {
        access,
        Reason(EACCES, "/dev/ttyUSB0"),
        Reason(EBUSY, "/dev/ttyUSB0"),
        Reason(EWOULDBLOCK, "/dev/ttyUSB0"),
        Reason(ENOENT, "/dev/ttyUSB0"),
        dangling,
        noLink,
        Reason(ENOTTY, "/tmp/file"),
        Reason(EIO, "/dev/ttyUSB0"),
        Reason(EMFILE, "/dev/ttyUSB0"),
    };
    for (unsigned long lcid : {English, Simplified, Traditional}) {
        SCOPED_TRACE(lcid);
        std::vector<std::string> texts;
        for (const TSystemReason& r : reasons) {
            const std::string text = ExplainOpenFailure(r, lcid);
            EXPECT_FALSE(text.empty());
            EXPECT_FALSE(Contains(text, "{")) << text;
            texts.push_back(text);
        }
        // Busy reads the same whether the tty refused (EBUSY) or the lock did; all others differ.
        EXPECT_EQ(texts[2], texts[3]);
        for (std::size_t i = 0; i < texts.size(); ++i)
            for (std::size_t j = i + 1; j < texts.size(); ++j) {
                if (!(i == 2 && j == 3)) {
                    EXPECT_NE(texts[i], texts[j]) << i << " " << j;
                }
            }

        EXPECT_TRUE(Contains(texts[0], "sudo adduser $USER dialout")) << texts[0];
        EXPECT_TRUE(Contains(texts[0], "\"dialout\"") || Contains(texts[0], "“dialout”") ||
                    Contains(texts[0], "「dialout」"));
        EXPECT_FALSE(Contains(texts[1], "adduser"));
        for (const char* part : {"COM7", "/home/u/.config/comports/COM7", "/nonexistent/ttyUSB9"})
            EXPECT_TRUE(Contains(texts[5], part)) << texts[5];
        EXPECT_TRUE(Contains(texts[6], "/dev/ttyS6") && Contains(texts[6], "ln -s")) << texts[6];
        // Anything else is the system's own text.
        EXPECT_TRUE(Contains(texts[9], std::strerror(EMFILE))) << texts[9];
    }
    EXPECT_EQ(ExplainOpenFailure(access, English),
              "You may not open /dev/ttyUSB0: it belongs to the group \"dialout\". Join that group with "
              "\"sudo adduser $USER dialout\", then log out and log in again.");
    EXPECT_EQ(ExplainOpenFailure(access, Simplified),
              "没有权限打开 /dev/ttyUSB0：该设备属于“dialout”组。请用命令“sudo adduser $USER dialout”加入该组，"
              "然后注销并重新登录。");
    // The languages follow the library's messages: Hong Kong and anything unknown read English.
    EXPECT_EQ(ExplainOpenFailure(access, 3076), ExplainOpenFailure(access, English));
}

TEST(OpenFailureTexts, NothingKnownGivesNothingAndFieldsAreNeverExpandedTwice)
{
    EXPECT_EQ(ExplainOpenFailure(TSystemReason(), English), "");
    const std::string text = ExplainOpenFailure(Reason(EBUSY, "/tmp/{group}{device}"), English);
    EXPECT_TRUE(Contains(text, "/tmp/{group}{device} is in use")) << text;
    // Errors that are not the system's carry no reason.
    EComm32Error plain(ecSetCommState, "COM3");
    EXPECT_FALSE(plain.Reason.Known());
    EXPECT_EQ(plain.Explanation, "");
}

// A busy port whose holder is known names that program and its process; ModemManager, which takes
// every new adapter for a while, gets its own advice. Without a name the plain busy text remains.
TEST(OpenFailureTexts, BusyNamesTheProgramThatHoldsThePort)
{
    TSystemReason held = Reason(EBUSY, "/dev/ttyUSB0");
    held.HolderName = "minicom";
    held.HolderPid = 4321;
    TSystemReason probed = held;
    probed.HolderName = "ModemManager";
    probed.HolderPid = 812;
    TSystemReason unnamed = held;
    unnamed.HolderName = "";
    for (unsigned long lcid : {English, Simplified, Traditional}) {
        SCOPED_TRACE(lcid);
        const std::string plain = ExplainOpenFailure(Reason(EBUSY, "/dev/ttyUSB0"), lcid);
        const std::string heldText = ExplainOpenFailure(held, lcid);
        const std::string probedText = ExplainOpenFailure(probed, lcid);
        for (const std::string& text : {heldText, probedText}) {
            EXPECT_TRUE(Contains(text, "/dev/ttyUSB0")) << text;
            EXPECT_FALSE(Contains(text, "{device}") || Contains(text, "{pid}") || Contains(text, "{program}"));
            EXPECT_NE(text, plain);
        }
        EXPECT_TRUE(Contains(heldText, "minicom") && Contains(heldText, "4321")) << heldText;
        for (const char* part :
             {"ModemManager", "812", "sudo systemctl stop ModemManager", "ENV{ID_MM_DEVICE_IGNORE}=\"1\"", "udev"})
            EXPECT_TRUE(Contains(probedText, part)) << part << ": " << probedText;
        EXPECT_FALSE(Contains(heldText, "systemctl"));
        EXPECT_EQ(ExplainOpenFailure(unnamed, lcid), plain);
        // The lock's refusal reads the same as the tty's.
        TSystemReason locked = held;
        locked.Error = EWOULDBLOCK;
        EXPECT_EQ(ExplainOpenFailure(locked, lcid), heldText);
    }
    EXPECT_EQ(ExplainOpenFailure(held, English),
              "/dev/ttyUSB0 is in use by the program \"minicom\" (process 4321). Close that program (or end its "
              "connection), then try again.");
}

// ---- real failed opens through the port object ----

// The node may not be opened by the user: as root, a child that has become nobody tries a pty whose
// group is dialout with mode 660; otherwise the pty gets mode 000 and the test opens it itself.
TEST(OpenFailureReasons, PermissionDeniedNamesTheGroupThatMayOpenIt)
{
    ptytest::TPty pty;
    ASSERT_FALSE(pty.SlavePath.empty());
    for (unsigned long lcid : {English, Simplified}) {
        SCOPED_TRACE(lcid);
        TSystemReason expected = Reason(EACCES, pty.SlavePath);
        if (geteuid() == 0) {
            const group* dialout = getgrnam("dialout");
            ASSERT_NE(dialout, nullptr);
            ASSERT_EQ(chown(pty.SlavePath.c_str(), static_cast<uid_t>(-1), dialout->gr_gid), 0);
            ASSERT_EQ(chmod(pty.SlavePath.c_str(), 0660), 0);
            expected.AccessGroup = "dialout";
            std::string out;
            ASSERT_TRUE(commtest::RunAsNobody(
                [&] {
                    const TOpenResult r = TryOpen(pty.SlavePath, lcid);
                    return commtest::JoinFields({r.Threw ? "1" : "0", std::to_string(r.Code), r.Message, r.Explanation,
                                                 std::to_string(r.Reason.Error), r.Reason.DevicePath,
                                                 r.Reason.AccessGroup});
                },
                out));
            const auto f = commtest::SplitFields(out);
            ASSERT_EQ(f.size(), 7u);
            TOpenResult r;
            r.Threw = f[0] == "1";
            r.Code = static_cast<TErrorCode>(std::stoi(f[1]));
            r.Message = f[2];
            r.Explanation = f[3];
            r.Reason.Error = std::stoi(f[4]);
            r.Reason.DevicePath = f[5];
            EXPECT_EQ(f[6], "dialout");
            ExpectOpenFailure(r, pty.SlavePath, lcid, expected);
            EXPECT_TRUE(Contains(r.Explanation, "sudo adduser $USER dialout")) << r.Explanation;
        } else {
            ASSERT_EQ(chmod(pty.SlavePath.c_str(), 0), 0);
            const TOpenResult r = TryOpen(pty.SlavePath, lcid);
            EXPECT_EQ(r.Reason.AccessGroup, ""); // no group has rights on a mode-000 node
            ExpectOpenFailure(r, pty.SlavePath, lcid, expected);
        }
    }
}

// The library opens a port for itself alone (TIOCEXCL, and a lock that binds root too): a second
// opener hears that another program has it.
TEST(OpenFailureReasons, PortHeldByAnotherOpenerIsBusy)
{
    ptytest::TPty pty;
    ASSERT_FALSE(pty.SlavePath.empty());
    TComm32 holder;
    holder.fSetPortName(pty.SlavePath);
    holder.Open();
    ASSERT_TRUE(holder.fGetActive());
    for (unsigned long lcid : {English, Simplified}) {
        SCOPED_TRACE(lcid);
        const TOpenResult r = TryOpen(pty.SlavePath, lcid);
        // Plain users are refused by the tty (EBUSY); root passes that and meets the lock.
        ASSERT_TRUE(r.Reason.Error == EBUSY || r.Reason.Error == EWOULDBLOCK) << r.Reason.Error;
        EXPECT_EQ(r.Reason.Call, r.Reason.Error == EBUSY ? "open" : "flock");
        ExpectOpenFailure(r, pty.SlavePath, lcid, Reason(r.Reason.Error, pty.SlavePath));
        EXPECT_EQ(r.Explanation, ExplainOpenFailure(Reason(EBUSY, pty.SlavePath), lcid));
    }
    EXPECT_TRUE(holder.fGetActive());
    holder.Close();
}

TEST(OpenFailureReasons, DanglingAliasSaysWhereItPoints)
{
    TempDir map;
    fs::create_symlink("/nonexistent/ttyUSB9", map.Path / "COM7");
    setenv("COMPORTS_DIR", map.Path.c_str(), 1);
    const std::string link = (map.Path / "COM7").string();
    for (unsigned long lcid : {English, Simplified}) {
        SCOPED_TRACE(lcid);
        const TOpenResult r = TryOpen("COM7", lcid);
        TSystemReason expected = Reason(ENOENT, link);
        expected.AliasName = "COM7";
        expected.AliasLink = link;
        expected.AliasTarget = "/nonexistent/ttyUSB9";
        expected.AliasDangling = true;
        ExpectOpenFailure(r, "COM7", lcid, expected);
        EXPECT_EQ(r.Reason.AliasName, "COM7");
        EXPECT_EQ(r.Reason.AliasTarget, "/nonexistent/ttyUSB9");
        EXPECT_TRUE(r.Reason.AliasDangling);
        EXPECT_TRUE(Contains(r.Explanation, "/nonexistent/ttyUSB9") && Contains(r.Explanation, link));
    }
    unsetenv("COMPORTS_DIR");
}

// A COMn link that another user may change could lead to a tty of theirs: a port map folder its group
// (not the owner's own) or everyone may write, or a link another user owns, is not followed.
TEST(OpenFailureReasons, AnAliasAnotherUserMayChangeIsNotFollowed)
{
    ptytest::TPty pty;
    ASSERT_TRUE(pty.Ok());
    TempDir map;
    const fs::path link = map.Path / "COM7";
    fs::create_symlink(pty.SlavePath, link);
    setenv("COMPORTS_DIR", map.Path.c_str(), 1);
    const struct {
        const char* what;
        std::function<void()> make, undo;
    } cases[] = {
        {"group nogroup may write the folder",
         [&] {
             ASSERT_EQ(chown(map.Path.c_str(), 0, commtest::NobodyId), 0);
             fs::permissions(map.Path, fs::perms::group_write, fs::perm_options::add);
         },
         [&] { fs::permissions(map.Path, fs::perms::group_write, fs::perm_options::remove); }},
        {"everyone may write the folder",
         [&] { fs::permissions(map.Path, fs::perms::others_write, fs::perm_options::add); },
         [&] { fs::permissions(map.Path, fs::perms::others_write, fs::perm_options::remove); }},
        {"the link is nobody's", [&] { ASSERT_EQ(lchown(link.c_str(), commtest::NobodyId, commtest::NobodyId), 0); },
         [&] { ASSERT_EQ(lchown(link.c_str(), 0, 0), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        for (unsigned long lcid : {English, Simplified, Traditional}) {
            const TOpenResult r = TryOpen("COM7", lcid);
            ASSERT_TRUE(r.Threw);
            EXPECT_EQ(r.Reason.Error, EPERM);
            EXPECT_TRUE(r.Reason.AliasNotFollowed);
            EXPECT_TRUE(Contains(r.Explanation, "chmod go-w " + map.Path.string()) && Contains(r.Explanation, "COM7"))
                << r.Explanation;
        }
        c.undo();
        const TOpenResult again = TryOpen("COM7", English);
        EXPECT_FALSE(again.Threw) << again.Explanation;
    }
    unsetenv("COMPORTS_DIR");
}

// An adapter pulled out. Linux drops a pty's slave node as soon as its master closes, so the path
// is gone: the device does not exist. A slave node whose tty will not talk (here a pty its master
// has not unlocked) is refused with an I/O error, as a port whose adapter has gone away is.
TEST(OpenFailureReasons, UnpluggedPtyIsMissingAndADeadNodeAnIoError)
{
    ptytest::TPty pty;
    ASSERT_FALSE(pty.SlavePath.empty());
    close(pty.Master);
    pty.Master = -1;
    ASSERT_TRUE(commtest::WaitFor([&] { return access(pty.SlavePath.c_str(), F_OK) != 0; }));
    for (unsigned long lcid : {English, Simplified}) {
        SCOPED_TRACE(lcid);
        const TOpenResult r = TryOpen(pty.SlavePath, lcid);
        ExpectOpenFailure(r, pty.SlavePath, lcid, Reason(ENOENT, pty.SlavePath));
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    const std::string path = ptsname(master);
    for (unsigned long lcid : {English, Simplified}) {
        SCOPED_TRACE(lcid);
        const TOpenResult r = TryOpen(path, lcid);
        ExpectOpenFailure(r, path, lcid, Reason(EIO, path));
    }
    close(master);
}

TEST(OpenFailureReasons, FileThatIsNoTerminalIsNotASerialPort)
{
    TempDir dir;
    const std::string path = (dir.Path / "plain").string();
    std::ofstream(path) << "x";
    const TOpenResult r = TryOpen(path, Simplified);
    ExpectOpenFailure(r, path, Simplified, Reason(ENOTTY, path));
    EXPECT_EQ(r.Reason.Call, "isatty");
}

// A program that had the port open before (a terminal program, ModemManager probing) would split the
// data with the library: the open is refused as busy and names it. Pseudo-terminals are exempt, as
// their maker holds them on purpose, so the search is switched on for them here.
TEST(OpenFailureReasons, PortAnotherProgramHasOpenNamesThatProgram)
{
    ptytest::TPty pty;
    ASSERT_TRUE(pty.Ok());
    close(pty.Slave);
    pty.Slave = -1;
    commtest::TTtyHolderChild child(pty.SlavePath, "ModemManager");
    ASSERT_GT(child.Pid, 0);
    const TOpenResult exempt = TryOpen(pty.SlavePath, English);
    EXPECT_FALSE(exempt.Threw) << exempt.Explanation;

    commtest::TSearchPtyHolders search;
    for (unsigned long lcid : {English, Simplified, Traditional}) {
        SCOPED_TRACE(lcid);
        const TOpenResult r = TryOpen(pty.SlavePath, lcid);
        TSystemReason expected = Reason(EBUSY, pty.SlavePath);
        expected.HolderName = "ModemManager";
        expected.HolderPid = child.Pid;
        ExpectOpenFailure(r, pty.SlavePath, lcid, expected);
        EXPECT_EQ(r.Reason.Call, "open");
        EXPECT_EQ(r.Reason.HolderPid, child.Pid);
        EXPECT_EQ(r.Reason.HolderName, "ModemManager");
        EXPECT_TRUE(Contains(r.Explanation, std::to_string(child.Pid))) << r.Explanation;
        EXPECT_TRUE(Contains(r.Explanation, "sudo systemctl stop ModemManager")) << r.Explanation;
    }
    child.Stop();

    // This process holding the port through a descriptor of its own is just as busy.
    const int own = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(own, 0);
    const TOpenResult r = TryOpen(pty.SlavePath, English);
    EXPECT_EQ(r.Reason.Error, EBUSY);
    EXPECT_EQ(r.Reason.HolderPid, getpid());
    EXPECT_TRUE(Contains(r.Explanation, std::to_string(getpid()))) << r.Explanation;
    close(own);

    const TOpenResult alone = TryOpen(pty.SlavePath, English);
    EXPECT_FALSE(alone.Threw) << alone.Explanation;
}

// brltty takes adapters of some kinds as braille displays and their tty vanishes: with brltty in a fake
// /proc, a failed open of such an adapter, present or just gone, names it with the fix; other adapters,
// other failures, or no brltty do not.
TEST(OpenFailureReasons, BrlttyIsNamedForTheAdaptersItTakes)
{
    const fakesys::TFakeMachine machine{fs::path("/tmp") / ("kestro-braille-" + std::to_string(getpid()))};
    fs::remove_all(machine.Root);
    const fs::path proc = machine.Root / "proc";
    fs::create_directories(proc / "4242");
    std::ofstream(proc / "4242" / "comm") << "brltty\n";
    TCommSerialPortInfo::SetSysfsRoot(machine.Sys().string());
    TCommSerialPortInfo::SetSerialRoot(machine.Serial().string());
    TCommSerialPortInfo::SetProcRoot(proc.string());
    const fakesys::TUsbTty ch340{"ttyUSB0",    "1-2", "1a86",       "7523",  "QinHeng",
                                 "USB Serial", "",    "usb-serial", "ch341", true};
    const fakesys::TUsbTty pl2303{"ttyUSB1",    "1-3", "067b",       "2303",   "Prolific",
                                  "USB-Serial", "",    "usb-serial", "pl2303", true};
    machine.Plug(ch340);
    machine.Plug(pl2303);
    const std::string dev = machine.Dev().string();
    const std::string com3 = (machine.Root / "COM3").string();
    fs::create_symlink(machine.Serial() / "by-id" / "usb-QinHeng_USB_Serial-if00-port0", com3);

    struct TCase {
        const char* what;
        int error;
        std::string path;
        bool gone; // brltty has taken the CH340: its tty is gone, the USB device stays
        bool named;
    } cases[] = {
        {"CH340 busy", EBUSY, dev + "/ttyUSB0", false, true},
        {"CH340 I/O error", EIO, dev + "/ttyUSB0", false, true},
        {"CH340 no access", EACCES, dev + "/ttyUSB0", false, false},
        {"PL2303 busy", EBUSY, dev + "/ttyUSB1", false, false},
        {"another USB tty gone", ENOENT, dev + "/ttyUSB5", false, false}, // the CH340 there, and its tty
        {"CH340 gone", ENOENT, dev + "/ttyUSB0", true, true},
        {"COM3 to the gone CH340", ENOENT, com3, true, true},
        {"a UART that is not there", ENOENT, dev + "/ttyS7", true, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.gone) {
            fs::remove_all(machine.Sys() / "class" / "tty" / "ttyUSB0");
            fs::remove_all(machine.Sys() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / "1-2" / "1-2:1.0" /
                           "ttyUSB0");
            fs::remove(machine.Dev() / "ttyUSB0");
        }
        const TSystemReason r = DescribeOpenFailure(c.error, "open", c.path);
        const std::string text = ExplainOpenFailure(r, English);
        EXPECT_EQ(Contains(text, "brltty (process 4242)") && Contains(text, "sudo apt remove brltty") &&
                      Contains(text, "1a86:7523"),
                  c.named)
            << text;
        if (!c.named) continue;
        for (unsigned long lcid : {Simplified, Traditional}) {
            const std::string other = ExplainOpenFailure(r, lcid);
            EXPECT_TRUE(Contains(other, "brltty") && Contains(other, "sudo apt remove brltty") &&
                        Contains(other, "4242") && Contains(other, "85-brltty.rules"))
                << other;
        }
    }
    // The port list says so too, while the adapter is there.
    machine.Plug(ch340);
    EXPECT_TRUE(
        Contains(TCommSerialPortInfo::Details(dev + "/ttyUSB0").ToolTip(), "brltty (process 4242) takes 1a86:7523"))
        << TCommSerialPortInfo::Details(dev + "/ttyUSB0").ToolTip();
    EXPECT_FALSE(Contains(TCommSerialPortInfo::Details(dev + "/ttyUSB1").ToolTip(), "brltty"));
    fs::remove_all(proc / "4242");
    EXPECT_EQ(DescribeOpenFailure(EBUSY, "open", dev + "/ttyUSB0").BrlttyPid, 0); // brltty not running
    EXPECT_FALSE(Contains(TCommSerialPortInfo::Details(dev + "/ttyUSB0").ToolTip(), "brltty"));

    TCommSerialPortInfo::SetSysfsRoot("");
    TCommSerialPortInfo::SetSerialRoot("");
    TCommSerialPortInfo::SetProcRoot("");
    fs::remove_all(machine.Root);
}
