// Test helpers: the meter simulator as a child process and a port map in a temporary folder.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace metertest {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A fresh port map directory, named by COMPORTS_DIR for the test's lifetime.
class PortMap {
public:
    PortMap()
    {
        char pattern[] = "/tmp/meter-comports-XXXXXX";
        dir = mkdtemp(pattern);
        setenv("COMPORTS_DIR", dir.c_str(), 1);
    }
    ~PortMap()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        unsetenv("COMPORTS_DIR");
    }
    void Link(int n, const std::string& target) const
    {
        const auto link = std::filesystem::path(dir) / ("COM" + std::to_string(n));
        std::error_code ec;
        std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(target, link);
    }
    std::string dir;
};

// ormet-meter-sim started with --stdin; stopped with SIGTERM and reaped when destroyed.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), {ORMET_METER_SIM, "--stdin"});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&m_pid, ORMET_METER_SIM, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        if (rc != 0) throw std::runtime_error("cannot start the simulator");
        path = Line(std::chrono::milliseconds(5000));
        if (path.empty()) throw std::runtime_error("the simulator printed no path");
    }
    ~Simulator()
    {
        if (m_in >= 0) close(m_in);
        Stop();
        close(m_out);
    }

    // Ends the child with SIGTERM (SIGKILL if it lingers) and returns its wait status.
    int Stop()
    {
        if (m_pid <= 0) return m_status;
        kill(m_pid, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (waitpid(m_pid, &m_status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &m_status, 0);
                break;
            }
            poll(nullptr, 0, 10);
        }
        m_pid = -1;
        return m_status;
    }
    // Closes the child's stdin and waits up to timeout for it to exit; true if it did.
    bool CloseStdinAndWait(std::chrono::milliseconds timeout)
    {
        close(m_in);
        m_in = -1;
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_pid = -1;
                return true;
            }
            poll(nullptr, 0, 10);
        }
        return false;
    }

    // Next output line, or empty when none comes within timeout.
    std::string Line(std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (const auto nl = m_buffer.find('\n'); nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return {};
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            const ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n <= 0) return {};
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Skips lines until one starts with prefix; returns it, or empty on time-out.
    std::string Expect(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            const std::string line =
                Line(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (line.rfind(prefix, 0) == 0) return line;
        }
        return {};
    }
    // Sends a command and waits for its acknowledgement.
    bool Command(const std::string& command)
    {
        const std::string line = command + "\n";
        if (write(m_in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
        return Expect("ok " + command) == "ok " + command;
    }

    std::string path;

private:
    pid_t m_pid = -1;
    int m_status = 0;
    int m_in = -1, m_out = -1;
    std::string m_buffer;
};

} // namespace metertest
