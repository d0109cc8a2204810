// Shared pieces of the benchmarks: a raw pseudo-terminal pair, CPU clocks, percentiles.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

// A pty with both ends raw. The code under test opens DevicePath; the peer talks on Master.
struct TRawPty {
    int Master = -1;
    int Slave = -1; // held open so the master never sees a hang-up between runs
    std::string DevicePath;

    TRawPty()
    {
        char name[256] = {};
        if (openpty(&Master, &Slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        DevicePath = name;
        MakeRaw(Master);
        MakeRaw(Slave);
    }
    ~TRawPty()
    {
        close(Master);
        close(Slave);
    }
    TRawPty(const TRawPty&) = delete;
    TRawPty& operator=(const TRawPty&) = delete;

    static void MakeRaw(int fd)
    {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
    static void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }
};

inline double Seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
inline double ProcessCpu() { return Seconds(CLOCK_PROCESS_CPUTIME_ID); }
inline double Wall() { return Seconds(CLOCK_MONOTONIC); }

// The q-quantile (0..1) of the samples, nearest rank.
inline double Quantile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace bench
