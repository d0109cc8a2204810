// modbus-slave-sim: a libmodbus RTU slave on a pseudo-terminal (or a real device) for trying masters.
#include "slave_sim.h"

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

extern "C" void onStopSignal(int) {
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t r = write(g_stopPipe[1], &c, 1);
    errno = saved;
}

void installSignals() {
    if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
    struct sigaction sa{};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void logFrame(const char* what, const uint8_t* b, int n) {
    std::fprintf(stderr, "%s", what);
    for (int i = 0; i < n; ++i) std::fprintf(stderr, " %02X", b[i]);
    std::fprintf(stderr, "\n");
}

int run(const slavesim::Options& opt) {
    installSignals();

    slavesim::Pty pty;
    std::string path = opt.device;
    if (opt.device.empty()) {
        pty = slavesim::openPty(opt);
        path = pty.slavePath;
    }

    modbus_t* ctx = modbus_new_rtu(path.c_str(), opt.baud, opt.parity, opt.dataBits, opt.stopBits);
    modbus_mapping_t* map =
        ctx ? modbus_mapping_new(opt.count, opt.count, opt.count, opt.count) : nullptr;
    auto cleanup = [&] {
        if (map) modbus_mapping_free(map);
        if (ctx) {
            if (opt.device.empty()) modbus_set_socket(ctx, -1);  // the pty is ours to close
            else modbus_close(ctx);
            modbus_free(ctx);
        }
        slavesim::closePty(pty);
    };
    if (!ctx || !map) {
        std::fprintf(stderr, "modbus-slave-sim: %s\n", modbus_strerror(errno));
        cleanup();
        return 1;
    }
    modbus_set_slave(ctx, opt.slave);
    if (opt.device.empty()) {
        // libmodbus would open the path itself; it talks on our master end instead.
        modbus_set_socket(ctx, pty.master);
    } else if (modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "modbus-slave-sim: %s: %s\n", path.c_str(), modbus_strerror(errno));
        cleanup();
        return 1;
    }
    slavesim::fillInitial(*map);

    std::string link;
    if (opt.com > 0) {
        try {
            link = slavesim::linkComPort(opt.comportsDir, opt.com, path);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "modbus-slave-sim: %s\n", e.what());
            cleanup();
            return 1;
        }
    }

    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    if (opt.verbose) {
        std::fprintf(stderr, "modbus-slave-sim: slave %d on %s, %d %c%d%d%s%s\n", opt.slave,
                     path.c_str(), opt.baud, opt.parity, opt.dataBits, opt.stopBits,
                     link.empty() ? "" : ", mapped as ", link.c_str());
    }

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    int rc = 0;
    for (;;) {
        pollfd fds[3] = {
            {modbus_get_socket(ctx), POLLIN, 0},
            {g_stopPipe[0], POLLIN, 0},
            {opt.exitOnStdinEof ? STDIN_FILENO : -1, POLLIN, 0},
        };
        if (poll(fds, 3, 200) < 0) {
            if (errno == EINTR) continue;
            std::perror("modbus-slave-sim: poll");
            rc = 1;
            break;
        }
        if (fds[1].revents) break;
        if (fds[2].revents) {
            char sink[256];
            ssize_t n = read(STDIN_FILENO, sink, sizeof sink);
            if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) break;
        }
        if (!fds[0].revents) continue;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            std::fprintf(stderr, "modbus-slave-sim: %s: device error\n", path.c_str());
            rc = 1;
            break;
        }
        slavesim::updateDynamic(*map, elapsed(), opt);
        int n = modbus_receive(ctx, query);
        if (n > 0) {
            if (opt.verbose) logFrame("request:", query, n);
            if (opt.replyDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(opt.replyDelayMs));
            modbus_reply(ctx, query, n, map);
        } else if (n == 0) {
            // Another slave's request: like any libmodbus slave loop, listen at once for that
            // slave's reply (up to the response time-out) so it is not taken for a request.
            modbus_receive(ctx, query);
        } else {
            const int e = errno;
            if (e == EIO || e == EBADF || e == ENXIO) {
                std::fprintf(stderr, "modbus-slave-sim: %s: %s\n", path.c_str(), std::strerror(e));
                rc = 1;
                break;
            }
            // Bad CRC, short frame, timeout: a real slave stays silent and listens again.
            if (opt.verbose) std::fprintf(stderr, "ignored: %s\n", modbus_strerror(e));
        }
    }

    if (!link.empty()) slavesim::unlinkComPort(link, path);
    cleanup();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
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
