// Pseudo-terminal helpers for the package layer and device tests: one pty, a linked pair, waiting with a deadline.
#pragma once

#include "wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace ptytest {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

using commtest::WaitFor;

// One pseudo-terminal in raw mode. The test talks on Master; the port object opens SlavePath.
struct TPty {
    int Master = -1;
    int Slave = -1;
    std::string SlavePath;

    TPty()
    {
        char name[256] = {};
        if (openpty(&Master, &Slave, name, nullptr, nullptr) != 0) return;
        SlavePath = name;
        termios t{};
        tcgetattr(Slave, &t);
        cfmakeraw(&t);
        tcsetattr(Slave, TCSANOW, &t);
        fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
    }
    ~TPty()
    {
        if (Master >= 0) close(Master);
        if (Slave >= 0) close(Slave);
    }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    bool Ok() const { return Master >= 0 && !SlavePath.empty(); }

    void Send(const Bytes& data) const
    {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(Master, data.data() + done, data.size() - done);
            if (n > 0) done += static_cast<std::size_t>(n);
            else {
                pollfd p{Master, POLLOUT, 0};
                poll(&p, 1, 5);
            }
        }
    }

    // Writes data a byte at a time, each when a line of perChar per character would have finished it:
    // a pty itself delivers at once whatever the speed set on it.
    void SendPaced(const Bytes& data, std::chrono::microseconds perChar) const
    {
        const auto start = Clock::now();
        for (std::size_t i = 0; i < data.size(); ++i) {
            std::this_thread::sleep_until(start + perChar * static_cast<long>(i + 1));
            Send({data[i]});
        }
    }

    // Whatever arrives on the master side until count bytes are there or the time is up.
    Bytes Receive(std::size_t count, std::chrono::milliseconds timeout) const
    {
        Bytes out;
        const auto deadline = Clock::now() + timeout;
        std::uint8_t buf[4096];
        while (out.size() < count && Clock::now() < deadline) {
            pollfd p{Master, POLLIN, 0};
            if (poll(&p, 1, 5) > 0) {
                const ssize_t n = read(Master, buf, sizeof buf);
                if (n > 0) out.insert(out.end(), buf, buf + n);
            }
        }
        return out;
    }
};

// Two ptys joined back to back by a relay thread: what one port sends, the other receives.
class TPtyLink {
public:
    TPty A, B;

    TPtyLink() : Stop(eventfd(0, EFD_NONBLOCK))
    {
        Relay = std::thread([this] { Run(); });
    }
    ~TPtyLink()
    {
        const std::uint64_t one = 1;
        if (write(Stop, &one, sizeof one) < 0) {}
        Relay.join();
        close(Stop);
    }
    TPtyLink(const TPtyLink&) = delete;
    TPtyLink& operator=(const TPtyLink&) = delete;

private:
    int Stop;
    std::thread Relay;

    static void Pull(int from, Bytes& pending)
    {
        std::uint8_t buf[4096];
        const ssize_t n = read(from, buf, sizeof buf);
        if (n > 0) pending.insert(pending.end(), buf, buf + n);
    }

    static void Push(int to, Bytes& pending)
    {
        while (!pending.empty()) {
            const ssize_t w = write(to, pending.data(), pending.size());
            if (w <= 0) break;
            pending.erase(pending.begin(), pending.begin() + w);
        }
    }

    void Run()
    {
        Bytes toB, toA;
        for (;;) {
            pollfd p[3] = {{Stop, POLLIN, 0}, {A.Master, POLLIN, 0}, {B.Master, POLLIN, 0}};
            if (!toB.empty()) p[2].events |= POLLOUT;
            if (!toA.empty()) p[1].events |= POLLOUT;
            if (poll(p, 3, 20) < 0) continue;
            if (p[0].revents) return;
            if (p[1].revents & POLLIN) Pull(A.Master, toB);
            if (p[2].revents & POLLIN) Pull(B.Master, toA);
            Push(B.Master, toB);
            Push(A.Master, toA);
        }
    }
};

} // namespace ptytest
