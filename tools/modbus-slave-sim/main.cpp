// modbus-slave-sim: a libmodbus RTU slave on a pseudo-terminal (or a real device) for trying masters.
#include "slave_sim.h"

#include "posix_tty.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

int g_stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t r = write(g_stopPipe[1], &c, 1);
    errno = saved;
}

void installSignals()
{
    if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void logFrame(const char* what, const uint8_t* b, int n)
{
    std::fprintf(stderr, "%s", what);
    for (int i = 0; i < n; ++i) std::fprintf(stderr, " %02X", b[i]);
    std::fprintf(stderr, "\n");
}

// What the simulator serves: the pty (unless it serves a device), libmodbus on it, the tables and
// the port map link.
struct Slave {
    slavesim::Pty pty;
    std::string path;
    modbus_t* ctx = nullptr;
    modbus_mapping_t* map = nullptr;
    std::string link;
};

void closeSlave(const slavesim::Options& opt, Slave& s)
{
    if (!s.link.empty()) KestroComm32::PosixTty::UnlinkComPort(s.link, s.path);
    if (s.map) modbus_mapping_free(s.map);
    if (s.ctx) {
        if (opt.device.empty()) modbus_set_socket(s.ctx, -1); // the pty is ours to close
        else modbus_close(s.ctx);
        modbus_free(s.ctx);
    }
    slavesim::closePty(s.pty);
}

// Opens the line and libmodbus on it; false after saying why on stderr.
bool openSlave(const slavesim::Options& opt, Slave& s)
{
    s.path = opt.device;
    if (opt.device.empty()) {
        s.pty = slavesim::openPty(opt);
        s.path = s.pty.slavePath;
    }
    s.ctx = modbus_new_rtu(s.path.c_str(), opt.baud, opt.parity, opt.dataBits, opt.stopBits);
    s.map = s.ctx ? modbus_mapping_new(opt.count, opt.count, opt.count, opt.count) : nullptr;
    if (!s.ctx || !s.map) {
        std::fprintf(stderr, "modbus-slave-sim: %s\n", modbus_strerror(errno));
        return false;
    }
    modbus_set_slave(s.ctx, opt.slave);
    if (opt.device.empty()) {
        // libmodbus would open the path itself; it talks on our master end instead.
        modbus_set_socket(s.ctx, s.pty.master);
    } else if (modbus_connect(s.ctx) != 0) {
        std::fprintf(stderr, "modbus-slave-sim: %s: %s\n", s.path.c_str(), modbus_strerror(errno));
        return false;
    }
    slavesim::fillInitial(*s.map);
    return true;
}

// Puts the COM<n> link into the port map when asked; false after saying why on stderr.
bool mapPort(const slavesim::Options& opt, Slave& s)
{
    if (opt.com <= 0) return true;
    try {
        s.link = KestroComm32::PosixTty::LinkComPort(opt.comportsDir, opt.com, s.path);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "modbus-slave-sim: %s\n", e.what());
        return false;
    }
}

void announce(const slavesim::Options& opt, const Slave& s)
{
    std::printf("%s\n", s.path.c_str());
    std::fflush(stdout);
    if (opt.verbose) {
        std::fprintf(stderr, "modbus-slave-sim: slave %d on %s, %d %c%d%d%s%s\n", opt.slave, s.path.c_str(), opt.baud,
                     opt.parity, opt.dataBits, opt.stopBits, s.link.empty() ? "" : ", mapped as ", s.link.c_str());
    }
}

// Takes one frame off the line and answers it; false when the line is gone.
bool answerOne(const slavesim::Options& opt, Slave& s, double elapsedS)
{
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    slavesim::updateDynamic(*s.map, elapsedS, opt);
    const int n = modbus_receive(s.ctx, query);
    if (n > 0) {
        if (opt.verbose) logFrame("request:", query, n);
        if (opt.replyDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(opt.replyDelayMs));
        modbus_reply(s.ctx, query, n, s.map);
    } else if (n == 0) {
        // Another slave's request: like any libmodbus slave loop, listen at once for that
        // slave's reply (up to the response time-out) so it is not taken for a request.
        modbus_receive(s.ctx, query);
    } else {
        const int e = errno;
        if (e == EIO || e == EBADF || e == ENXIO) {
            std::fprintf(stderr, "modbus-slave-sim: %s: %s\n", s.path.c_str(), std::strerror(e));
            return false;
        }
        // Bad CRC, short frame, timeout: a real slave stays silent and listens again.
        if (opt.verbose) std::fprintf(stderr, "ignored: %s\n", modbus_strerror(e));
    }
    return true;
}

// Whether stdin, watched for its end, has ended.
bool stdinEnded()
{
    char sink[256];
    const ssize_t n = read(STDIN_FILENO, sink, sizeof sink);
    return n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN));
}

// Answers requests until a stop signal, the end of stdin (when watched) or a failed line.
int serve(const slavesim::Options& opt, Slave& s)
{
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    for (;;) {
        pollfd fds[3] = {
            {modbus_get_socket(s.ctx), POLLIN, 0},
            {g_stopPipe[0], POLLIN, 0},
            {opt.exitOnStdinEof ? STDIN_FILENO : -1, POLLIN, 0},
        };
        if (poll(fds, 3, 200) < 0) {
            if (errno == EINTR) continue;
            std::perror("modbus-slave-sim: poll");
            return 1;
        }
        if (fds[1].revents) return 0;
        if (fds[2].revents && stdinEnded()) return 0;
        if (!fds[0].revents) continue;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            std::fprintf(stderr, "modbus-slave-sim: %s: device error\n", s.path.c_str());
            return 1;
        }
        if (!answerOne(opt, s, elapsed())) return 1;
    }
}

int run(const slavesim::Options& opt)
{
    installSignals();
    Slave s;
    int rc = 1;
    try {
        if (openSlave(opt, s) && mapPort(opt, s)) {
            announce(opt, s);
            rc = serve(opt, s);
        }
    } catch (...) {
        closeSlave(opt, s);
        throw;
    }
    closeSlave(opt, s);
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    std::string error;
    auto opt = slavesim::parseOptions(argc, argv, error);
    if (!opt) {
        std::fprintf(stderr, "modbus-slave-sim: %s\n%s", error.c_str(), slavesim::usageText());
        return 2;
    }
    if (opt->help) {
        std::fputs(slavesim::usageText(), stdout);
        return 0;
    }
    try {
        return run(*opt);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "modbus-slave-sim: %s\n", e.what());
        return 1;
    }
}
