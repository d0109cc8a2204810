// The shared tty helpers on real pseudo-terminals: port names, the exclusive-open policy, raw lines.
#include "posix_tty.h"
#include "pty_link.h"
#include "tty_holder_child.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

namespace PosixTty = KestroComm32::PosixTty;
namespace fs = std::filesystem;

namespace {

dev_t DeviceOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_rdev : 0;
}

// Whether the tty behind fd refuses plain opens (TIOCEXCL), as the kernel reports it.
int ExclusiveFlag(int fd)
{
    int on = -1;
    return ioctl(fd, TIOCGEXCL, &on) == 0 ? on : -1;
}

// A temporary folder, named by COMPORTS_DIR while it lives.
struct TPortMap {
    std::string dir;
    TPortMap()
    {
        char pattern[] = "/tmp/posix-tty-XXXXXX";
        dir = mkdtemp(pattern);
        setenv("COMPORTS_DIR", dir.c_str(), 1);
    }
    ~TPortMap()
    {
        unsetenv("COMPORTS_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

TEST(PosixTty, PortNamesResolveToPathAndAlias)
{
    TPortMap map;
    std::filesystem::create_symlink("/dev/null", map.dir + "/COM3");
    std::filesystem::create_symlink("/nonexistent/tty", map.dir + "/COM12"); // dangling still names the port
    const std::string com3 = map.dir + "/COM3", com4 = map.dir + "/COM4", com12 = map.dir + "/COM12";
    const struct {
        std::string name;
        PosixTty::TPortPath expected;
    } cases[] = {
        {"COM3", {com3, "COM3", com3}},         {"COM12", {com12, "COM12", com12}},
        {"COM4", {"/dev/ttyS3", "COM4", com4}}, // no link: the fixed device, the link named for the reason
        {"/dev/pts/7", {"/dev/pts/7", "", ""}}, {"ttyUSB0", {"/dev/ttyUSB0", "", ""}},
        {"com3", {"/dev/com3", "", ""}}, // only the exact COMn form is an alias
        {"COM03", {"/dev/COM03", "", ""}},
    };
    for (const auto& c : cases) {
        const PosixTty::TPortPath got = PosixTty::ResolvePortName(c.name);
        EXPECT_EQ(got.Path, c.expected.Path) << c.name;
        EXPECT_EQ(got.AliasName, c.expected.AliasName) << c.name;
        EXPECT_EQ(got.AliasLink, c.expected.AliasLink) << c.name;
    }
}

TEST(PosixTty, ALoserOfTheLockLeavesTheHoldersExclusiveModeAlone)
{
    ptytest::TPty pty;
    ASSERT_TRUE(pty.Ok());
    const PosixTty::TExclusiveTty first = PosixTty::OpenExclusive(pty.SlavePath);
    ASSERT_FALSE(first.Failure) << first.Failure.Call << " " << first.Failure.Error;
    EXPECT_TRUE(first.Exclusive);
    EXPECT_EQ(ExclusiveFlag(pty.Slave), 1);

    const PosixTty::TExclusiveTty second = PosixTty::OpenExclusive(pty.SlavePath);
    EXPECT_EQ(second.Fd, -1);
    ASSERT_TRUE(second.Failure);
    // Plain users are refused by the tty, root by the lock; each with the errno of its own call.
    const std::string call = second.Failure.Call;
    EXPECT_TRUE((call == "open" && second.Failure.Error == EBUSY) ||
                (call == "flock" && second.Failure.Error == EWOULDBLOCK))
        << call << " " << second.Failure.Error;
    EXPECT_EQ(ExclusiveFlag(pty.Slave), 1);

    PosixTty::CloseExclusive(first.Fd, first.Exclusive);
    EXPECT_EQ(ExclusiveFlag(pty.Slave), 0);
    const PosixTty::TExclusiveTty again = PosixTty::OpenExclusive(pty.SlavePath);
    EXPECT_FALSE(again.Failure);
    PosixTty::CloseExclusive(again.Fd, again.Exclusive);

    const PosixTty::TExclusiveTty notTty = PosixTty::OpenExclusive("/dev/null");
    ASSERT_TRUE(notTty.Failure);
    EXPECT_STREQ(notTty.Failure.Call, "isatty");
    EXPECT_EQ(notTty.Failure.Error, ENOTTY);
    const PosixTty::TExclusiveTty missing = PosixTty::OpenExclusive("/nonexistent/ttyX");
    ASSERT_TRUE(missing.Failure);
    EXPECT_STREQ(missing.Failure.Call, "open");
    EXPECT_EQ(missing.Failure.Error, ENOENT);
}

TEST(PosixTty, RawLineTakesStandardAndOtherSpeeds)
{
    PosixTty::TPty pty;
    ASSERT_FALSE(PosixTty::OpenPty(pty));
    PosixTty::TRawLine line;
    line.Baud = 19200;
    line.TwoStopBits = true;
    line.RtsCts = true;
    ASSERT_FALSE(PosixTty::SetRawLine(pty.Slave, line));
    termios t{};
    ASSERT_EQ(tcgetattr(pty.Slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CSTOPB | CRTSCTS | CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(PosixTty::LineSpeed(pty.Slave), 19200u);

    EXPECT_FALSE(PosixTty::IsStandardSpeed(12345));
    line.Baud = 12345; // termios2
    ASSERT_FALSE(PosixTty::SetRawLine(pty.Slave, line));
    EXPECT_EQ(PosixTty::LineSpeed(pty.Slave), 12345u);
    PosixTty::ClosePty(pty);
    EXPECT_EQ(pty.Master, -1);
}

TEST(PosixTty, ComLinkReplacesALinkButNoFile)
{
    TPortMap map;
    const std::string dir = map.dir + "/a/comports"; // made with its parents
    const std::string link = PosixTty::LinkComPort(dir, 5, "/dev/pts/1");
    EXPECT_EQ(link, dir + "/COM5");
    EXPECT_EQ(PosixTty::LinkComPort(dir, 5, "/dev/pts/2"), link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), "/dev/pts/2");
    PosixTty::UnlinkComPort(link, "/dev/pts/1"); // taken over since: stays
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    PosixTty::UnlinkComPort(link, "/dev/pts/2");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

    FILE* f = std::fopen((dir + "/COM6").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_THROW(PosixTty::LinkComPort(dir, 6, "/dev/pts/1"), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir + "/COM6"));
}

// A /proc of symbolic links to real character devices: the search matches the device number the
// descriptor leads to, skips what it cannot read, and leaves out only the descriptor being opened.
TEST(TtyHolder, FoundByTheDeviceADescriptorLeadsTo)
{
    TPortMap scratch;
    const fs::path proc = scratch.dir + "/proc";
    const std::string self = std::to_string(getpid());
    auto holds = [&](const std::string& pid, const std::string& fd, const std::string& target) {
        fs::create_directories(proc / pid / "fd");
        fs::create_symlink(target, proc / pid / "fd" / fd);
    };
    auto names = [&](const std::string& pid, const std::string& name) {
        std::ofstream(proc / pid / "comm") << name << "\n";
    };
    fs::create_directories(proc / "300");      // no fd directory
    holds("400", "5", "/nonexistent/ttyUSB3"); // a descriptor closed meanwhile
    holds("400", "7", "/dev/null");
    names("400", "minicom");
    holds("500", "1", (proc / "400" / "comm").string()); // a plain file
    holds("100", "0", "/dev/zero");
    names("100", "cat");
    holds("600", "2", "/dev/urandom"); // the name cannot be read
    holds(self, "9", "/dev/full");
    names(self, "me");
    fs::create_directory_symlink(self, proc / "self");
    holds("cpuinfo", "0", "/dev/random"); // not a process

    const struct {
        const char* device;
        int ownFd;
        pid_t pid;
        std::string name;
    } cases[] = {
        {"/dev/null", -1, 400, "minicom"}, {"/dev/zero", -1, 100, "cat"},
        {"/dev/urandom", -1, 600, ""},     {"/dev/full", -1, getpid(), "me"}, // this process through another descriptor
        {"/dev/full", 9, 0, ""},                                              // only the descriptor being opened
        {"/dev/random", -1, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        ASSERT_NE(DeviceOf(c.device), 0u);
        const PosixTty::TTtyHolder holder = PosixTty::FindTtyHolder(DeviceOf(c.device), c.ownFd, proc.string());
        EXPECT_EQ(holder.Pid, c.pid);
        EXPECT_EQ(holder.Name, c.name);
    }
    EXPECT_FALSE(PosixTty::FindTtyHolder(DeviceOf("/dev/null"), -1, scratch.dir + "/nonexistent"));
}

// Another process with the tty open refuses the open as a busy port, naming it, and changes nothing
// on the tty; pseudo-terminals are exempt unless a test asks, and the open's own descriptor (or the
// pty's master, another device) never counts.
TEST(TtyHolder, AnotherProcessHoldingTheTtyRefusesTheOpen)
{
    ptytest::TPty pty;
    ASSERT_TRUE(pty.Ok());
    const dev_t device = DeviceOf(pty.SlavePath);
    close(pty.Slave);
    pty.Slave = -1;
    EXPECT_FALSE(PosixTty::HolderSearched(device));
    EXPECT_FALSE(PosixTty::HolderSearched(DeviceOf("/dev/tty")));

    commtest::TTtyHolderChild child(pty.SlavePath, "minicom");
    ASSERT_GT(child.Pid, 0);
    const PosixTty::TTtyHolder found = PosixTty::FindTtyHolder(device);
    EXPECT_EQ(found.Pid, child.Pid);
    EXPECT_EQ(found.Name, "minicom");

    PosixTty::TExclusiveTty exempt = PosixTty::OpenExclusive(pty.SlavePath);
    ASSERT_FALSE(exempt.Failure) << exempt.Failure.Call << " " << exempt.Failure.Error;
    EXPECT_FALSE(exempt.Holder);
    PosixTty::CloseExclusive(exempt.Fd, exempt.Exclusive);

    commtest::TSearchPtyHolders search;
    EXPECT_TRUE(PosixTty::HolderSearched(device));
    const PosixTty::TExclusiveTty refused = PosixTty::OpenExclusive(pty.SlavePath);
    EXPECT_EQ(refused.Fd, -1);
    ASSERT_TRUE(refused.Failure);
    EXPECT_STREQ(refused.Failure.Call, "open");
    EXPECT_EQ(refused.Failure.Error, EBUSY);
    EXPECT_EQ(refused.Holder.Pid, child.Pid);
    EXPECT_EQ(refused.Holder.Name, "minicom");
    // Nothing of the refused open stays: no exclusive mode, and the lock is free again.
    const int other = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_EQ(ExclusiveFlag(other), 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);

    child.Stop();
    const PosixTty::TExclusiveTty alone = PosixTty::OpenExclusive(pty.SlavePath);
    EXPECT_FALSE(alone.Failure) << alone.Failure.Call << " " << alone.Failure.Error;
    EXPECT_FALSE(alone.Holder);
    PosixTty::CloseExclusive(alone.Fd, alone.Exclusive);
}

// Two processes opening one tty at the same moment, many times over: the lock gives it to exactly
// one, and the other is told it is busy, naming the winner (not turned away by its descriptor).
TEST(TtyHolder, TwoOpenersAtOnceGiveExactlyOneWinnerThatTheLoserNames)
{
    ptytest::TPty pty;
    ASSERT_TRUE(pty.Ok());
    close(pty.Slave);
    pty.Slave = -1;
    commtest::TSearchPtyHolders search;
    struct TOutcome {
        pid_t Pid = 0;
        int Fd = -1;
        int Error = 0;
        pid_t Holder = 0;
    };
    for (int round = 0; round < 1000; ++round) {
        SCOPED_TRACE(round);
        int go[2], results[2], end[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(results), 0);
        ASSERT_EQ(pipe(end), 0);
        pid_t children[2];
        for (pid_t& child : children) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child != 0) continue;
            close(go[1]);
            close(end[1]);
            char byte;
            if (read(go[0], &byte, 1) != 0) _exit(2); // both start when the parent closes the pipe
            const PosixTty::TExclusiveTty tty = PosixTty::OpenExclusive(pty.SlavePath);
            const TOutcome outcome{getpid(), tty.Fd, tty.Failure.Error, tty.Holder.Pid};
            if (write(results[1], &outcome, sizeof outcome) != sizeof outcome) _exit(3);
            if (read(end[0], &byte, 1) != 0) _exit(4); // the winner holds the tty until the round is over
            _exit(0);
        }
        close(go[0]);
        close(results[1]);
        close(end[0]);
        close(go[1]);
        TOutcome outcomes[2];
        for (TOutcome& o : outcomes) ASSERT_EQ(read(results[0], &o, sizeof o), static_cast<ssize_t>(sizeof o));
        close(end[1]);
        close(results[0]);
        for (const pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const int winners = (outcomes[0].Fd >= 0) + (outcomes[1].Fd >= 0);
        ASSERT_EQ(winners, 1) << "errors " << outcomes[0].Error << " " << outcomes[1].Error;
        const TOutcome& winner = outcomes[0].Fd >= 0 ? outcomes[0] : outcomes[1];
        const TOutcome& loser = outcomes[0].Fd >= 0 ? outcomes[1] : outcomes[0];
        EXPECT_TRUE(loser.Error == EWOULDBLOCK || loser.Error == EBUSY) << loser.Error;
        ASSERT_EQ(loser.Holder, winner.Pid);
    }

    // A loser held up for a while between its open and its close still does not turn the winner away.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t slowLoser = fork();
    ASSERT_GE(slowLoser, 0);
    if (slowLoser == 0) {
        const int fd = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || write(ready[1], "x", 1) != 1) _exit(1);
        poll(nullptr, 0, 50);
        _exit(0);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    const PosixTty::TExclusiveTty tty = PosixTty::OpenExclusive(pty.SlavePath);
    EXPECT_FALSE(tty.Failure) << tty.Failure.Call << " " << tty.Failure.Error;
    PosixTty::CloseExclusive(tty.Fd, tty.Exclusive);
    int status = 0;
    ASSERT_EQ(waitpid(slowLoser, &status, 0), slowLoser);
}

} // namespace
