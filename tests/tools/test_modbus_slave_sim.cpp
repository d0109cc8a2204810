// The Modbus slave simulator run as a process, with libmodbus as master on the path it prints.
#include "slave_sim.h"

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One simulator process with its stdin and stdout on pipes.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int out[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        args.insert(args.begin(), MODBUS_SLAVE_SIM);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(in[0]);
        out_ = out[0];
        in_ = in[1];
    }
    ~SimProcess()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
    }

    // The first line on stdout, or empty after the deadline.
    std::string firstLine(std::chrono::milliseconds within = 10s)
    {
        std::string line;
        const auto end = Clock::now() + within;
        while (Clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return {};
    }

    void closeStdin()
    {
        close(in_);
        in_ = -1;
    }
    void signal(int sig) { kill(pid_, sig); }

    // Exit status once the process has ended, or -1 after the deadline.
    int waitExit(std::chrono::milliseconds within = 10s)
    {
        const auto end = Clock::now() + within;
        while (Clock::now() < end) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(10ms); // polling interval of the deadline loop
        }
        return -1;
    }

    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    bool exited_ = false;
};

// A libmodbus master on the given device.
struct Master {
    modbus_t* ctx = nullptr;
    Master(const std::string& path, int slave, double timeoutS = 2.0)
    {
        ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
        if (!ctx) return;
        modbus_set_slave(ctx, slave);
        const auto sec = static_cast<uint32_t>(timeoutS);
        modbus_set_response_timeout(ctx, sec, static_cast<uint32_t>((timeoutS - sec) * 1e6));
        if (modbus_connect(ctx) != 0) {
            modbus_free(ctx);
            ctx = nullptr;
        }
    }
    ~Master()
    {
        if (ctx) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }
    // Sends the bytes as they are (no CRC added) and returns what comes back within the window,
    // or as soon as `enough` bytes have come.
    std::vector<uint8_t> exchangeRaw(const std::vector<uint8_t>& bytes, std::chrono::milliseconds window,
                                     size_t enough = SIZE_MAX)
    {
        const int fd = modbus_get_socket(ctx);
        if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return {};
        std::vector<uint8_t> got;
        const auto end = Clock::now() + window;
        while (Clock::now() < end && got.size() < enough) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[256];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
};

std::vector<uint8_t> withCrc(std::vector<uint8_t> b)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t x : b) {
        crc ^= x;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    b.push_back(static_cast<uint8_t>(crc & 0xFF));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

class SlaveSim : public ::testing::Test {
protected:
    void start(std::vector<std::string> args = {})
    {
        sim_ = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim_->started());
        path_ = sim_->firstLine();
        ASSERT_FALSE(path_.empty()) << "no device path printed";
    }
    std::unique_ptr<SimProcess> sim_;
    std::string path_;
};

TEST_F(SlaveSim, ServesTheFourTablesWithTheirInitialContents)
{
    start();
    EXPECT_EQ(path_.rfind("/dev/pts/", 0), 0u) << path_;
    Master m(path_, 1);
    ASSERT_NE(m.ctx, nullptr) << modbus_strerror(errno);

    uint16_t regs[6] = {};
    ASSERT_EQ(modbus_read_registers(m.ctx, 0, 6, regs), 6) << modbus_strerror(errno);
    EXPECT_EQ(regs[0], 100);
    EXPECT_EQ(regs[1], 500);
    EXPECT_EQ(regs[2], 0x1234);
    EXPECT_EQ(regs[3], 0xABCD);
    EXPECT_EQ(regs[4], 4);
    EXPECT_EQ(regs[5], 5);

    uint16_t in[2] = {};
    ASSERT_EQ(modbus_read_input_registers(m.ctx, 10, 2, in), 2);
    EXPECT_EQ(in[0], 10);
    EXPECT_EQ(in[1], 11);

    uint8_t coils[7] = {};
    ASSERT_EQ(modbus_read_bits(m.ctx, 0, 7, coils), 7);
    EXPECT_EQ(std::vector<uint8_t>(coils, coils + 7), (std::vector<uint8_t>{1, 0, 0, 1, 0, 0, 1}));

    uint8_t di[4] = {};
    ASSERT_EQ(modbus_read_input_bits(m.ctx, 1, 4, di), 4);
    EXPECT_EQ(std::vector<uint8_t>(di, di + 4), (std::vector<uint8_t>{1, 0, 1, 0}));

    // The last entry of a table is readable, one past it is the standard exception.
    ASSERT_EQ(modbus_read_registers(m.ctx, 999, 1, regs), 1);
    EXPECT_EQ(modbus_read_registers(m.ctx, 999, 2, regs), -1);
    EXPECT_EQ(errno, EMBXILADD);
}

TEST_F(SlaveSim, WritesAreReadBack)
{
    start({"--slave", "17"});
    {
        Master m(path_, 17);
        ASSERT_NE(m.ctx, nullptr);
        ASSERT_EQ(modbus_write_register(m.ctx, 1, 3), 1);
        const uint16_t many[3] = {0x000A, 0x0102, 0xFFFF};
        ASSERT_EQ(modbus_write_registers(m.ctx, 10, 3, many), 3);
        uint16_t back[4] = {};
        ASSERT_EQ(modbus_read_registers(m.ctx, 10, 4, back), 4);
        EXPECT_EQ(back[0], 0x000A);
        EXPECT_EQ(back[1], 0x0102);
        EXPECT_EQ(back[2], 0xFFFF);
        EXPECT_EQ(back[3], 13);

        ASSERT_EQ(modbus_write_bit(m.ctx, 1, 1), 1);
        ASSERT_EQ(modbus_write_bit(m.ctx, 0, 0), 1);
        uint8_t coils[2] = {};
        ASSERT_EQ(modbus_read_bits(m.ctx, 0, 2, coils), 2);
        EXPECT_EQ(coils[0], 0);
        EXPECT_EQ(coils[1], 1);
    }
    // A later master session on the same path sees the state the first one left.
    Master again(path_, 17);
    ASSERT_NE(again.ctx, nullptr);
    uint16_t r[2] = {};
    ASSERT_EQ(modbus_read_registers(again.ctx, 0, 2, r), 2);
    EXPECT_EQ(r[0], 100);
    EXPECT_EQ(r[1], 3);
}

TEST_F(SlaveSim, CounterAdvancesAndSineStaysInItsRange)
{
    start({"--tick", "50", "--sine-period", "2"});
    Master m(path_, 1);
    ASSERT_NE(m.ctx, nullptr);
    uint16_t first[3] = {};
    ASSERT_EQ(modbus_read_input_registers(m.ctx, 0, 3, first), 3);
    uint16_t now[3] = {};
    uint16_t sineLo = 0xFFFF, sineHi = 0;
    const auto end = Clock::now() + 10s;
    bool advanced = false;
    while (Clock::now() < end) {
        ASSERT_EQ(modbus_read_input_registers(m.ctx, 0, 3, now), 3);
        sineLo = std::min(sineLo, now[1]);
        sineHi = std::max(sineHi, now[1]);
        if (now[0] >= first[0] + 3 && sineHi - sineLo > 100) {
            advanced = true;
            break;
        }
    }
    EXPECT_TRUE(advanced) << "counter " << first[0] << " -> " << now[0] << ", sine " << sineLo << ".." << sineHi;
    EXPECT_LE(sineHi, 2000);
}

TEST_F(SlaveSim, MalformedRequestsGetLibmodbusAnswers)
{
    start();
    Master m(path_, 1);
    ASSERT_NE(m.ctx, nullptr);

    // Unknown function code: exception 01 (illegal function).
    EXPECT_EQ(m.exchangeRaw(withCrc({0x01, 0x41}), 3s, 5), withCrc({0x01, 0xC1, 0x01}));
    // Quantity 0 is an illegal data value; libmodbus answers it after its response time-out.
    EXPECT_EQ(m.exchangeRaw(withCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x00}), 3s, 5), withCrc({0x01, 0x83, 0x03}));
    // A corrupted CRC gets no reply at all.
    auto bad = withCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    bad.back() ^= 0x55;
    EXPECT_TRUE(m.exchangeRaw(bad, 700ms).empty());
    // A frame cut short gets no reply either, once libmodbus' byte time-out has passed.
    EXPECT_TRUE(m.exchangeRaw({0x01, 0x03, 0x00}, 1200ms).empty());
    // And the slave still answers a good request afterwards.
    uint16_t r = 0;
    ASSERT_EQ(modbus_read_registers(m.ctx, 0, 1, &r), 1) << modbus_strerror(errno);
    EXPECT_EQ(r, 100);
}

TEST_F(SlaveSim, OtherSlaveAddressesAreIgnoredButBroadcastWritesApply)
{
    start({"--slave", "2"});
    {
        Master other(path_, 5, 1.5);
        ASSERT_NE(other.ctx, nullptr);
        uint16_t r = 0;
        EXPECT_EQ(modbus_read_registers(other.ctx, 0, 1, &r), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
    }
    {
        Master bc(path_, MODBUS_BROADCAST_ADDRESS, 0.5);
        ASSERT_NE(bc.ctx, nullptr);
        // No slave answers a broadcast, so libmodbus' master reports a time-out.
        EXPECT_EQ(modbus_write_register(bc.ctx, 7, 4242), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
    }
    Master m(path_, 2);
    ASSERT_NE(m.ctx, nullptr);
    uint16_t r = 0;
    ASSERT_EQ(modbus_read_registers(m.ctx, 7, 1, &r), 1) << modbus_strerror(errno);
    EXPECT_EQ(r, 4242);
}

TEST_F(SlaveSim, PortMapLinkLivesAsLongAsTheSimulator)
{
    char tmpl[] = "/tmp/slave-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::filesystem::path dir = std::filesystem::path(tmpl) / "comports";
    start({"--comports-dir", dir.string(), "--com", "3"});
    const auto link = dir / "COM3";
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), path_);
    {
        Master m(link.string(), 1);
        ASSERT_NE(m.ctx, nullptr);
        uint16_t r = 0;
        ASSERT_EQ(modbus_read_registers(m.ctx, 2, 1, &r), 1);
        EXPECT_EQ(r, 0x1234);
    }
    sim_->signal(SIGTERM);
    EXPECT_EQ(sim_->waitExit(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    std::filesystem::remove_all(tmpl);
}

TEST_F(SlaveSim, RefusesToReplaceAFileInThePortMap)
{
    char tmpl[] = "/tmp/slave-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string file = std::string(tmpl) + "/COM1";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    SimProcess sim({"--comports-dir", tmpl, "--com", "1"});
    EXPECT_TRUE(sim.firstLine(5s).empty());
    EXPECT_EQ(sim.waitExit(), 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    std::filesystem::remove_all(tmpl);
}

TEST_F(SlaveSim, StopsOnInterruptAndOnStdinEndWhenAsked)
{
    start();
    sim_->signal(SIGINT);
    EXPECT_EQ(sim_->waitExit(), 0);

    start({"--exit-on-eof"});
    sim_->closeStdin();
    EXPECT_EQ(sim_->waitExit(), 0);
}

TEST(SlaveSimOptions, ParsesLineSettingsAndRejectsNonsense)
{
    auto parse = [](std::vector<std::string> args, std::string& err) {
        args.insert(args.begin(), "modbus-slave-sim");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return slavesim::parseOptions(static_cast<int>(args.size()), argv.data(), err);
    };
    std::string err;
    auto o = parse({"-a", "0x10", "--baud", "19200", "--parity", "e", "-s", "2", "-d", "7"}, err);
    ASSERT_TRUE(o) << err;
    EXPECT_EQ(o->slave, 16);
    EXPECT_EQ(o->baud, 19200);
    EXPECT_EQ(o->parity, 'E');
    EXPECT_EQ(o->stopBits, 2);
    EXPECT_EQ(o->dataBits, 7);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"--slave", "0"},
                                                                 {"--slave", "248"},
                                                                 {"--parity", "X"},
                                                                 {"--stop-bits", "3"},
                                                                 {"--com", "2x"},
                                                                 {"--comports-dir", "/tmp/x"},
                                                                 {"--baud"},
                                                                 {"extra"},
                                                                 {"--bogus"}}) {
        err.clear();
        EXPECT_FALSE(parse(bad, err)) << bad[0];
        EXPECT_FALSE(err.empty()) << bad[0];
    }

    // --com alone falls back to the standard port map directory.
    ::setenv("COMPORTS_DIR", "/tmp/some-map", 1);
    o = parse({"--com", "4"}, err);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->comportsDir, "/tmp/some-map");
    ::unsetenv("COMPORTS_DIR");
}

} // namespace
