// ormet-meter-sim: serves the simulated meter at 0xF8 on a new pseudo-terminal or a given device.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "meter_model.h"

using namespace ormetsim;
using Clock = std::chrono::steady_clock;

namespace {

volatile std::sig_atomic_t g_stop = 0;
sigset_t g_waitMask;  // the signals that end us, unblocked only while waiting

void OnSignal(int)
{
    g_stop = 1;
}

void Out(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Usage(int code)
{
    std::fputs(
        "usage: ormet-meter-sim [options]\n"
        "  --device PATH   serve PATH instead of a new pseudo-terminal\n"
        "  --link DIR      put a COM<n> symlink to the port into DIR (port map directory)\n"
        "  --com N         n of that link (default 1)\n"
        "  --baud B        line speed (default 9600)\n"
        "  --pace          answer at the line speed, 10 bit times per byte\n"
        "  --fault FAULT   silent | short=N | crc | exception=CODE | address=A | delay=MS | count=N,\n"
        "                  optionally @N, @N-M or @N- (requests it applies to); repeatable\n"
        "  --input N=V     pin input register N (0-9); --param N=V (0-6); --inner N=V (0-21)\n"
        "  --stdin         take the commands fault FAULT, clear, input|param|inner N=V and quit\n"
        "                  from stdin, one a line; exit when stdin closes\n"
        "Prints the port path first, then: request <n> <hex>, ignored <hex>, reply <n> <hex|none>,\n"
        "param <r>=<hex>..., inner <r>=<hex>..., calibrate, clear-energy.\n",
        code ? stderr : stdout);
    std::exit(code);
}

// Sleeps until deadline unless a stop signal comes first.
void SleepUntil(Clock::time_point deadline)
{
    while (!g_stop) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ppoll(nullptr, 0, &ts, &g_waitMask);
    }
}

bool SetRaw(int fd, int baud)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    speed_t speed = B9600;
    switch (baud) {
    case 1200: speed = B1200; break;
    case 2400: speed = B2400; break;
    case 4800: speed = B4800; break;
    case 9600: speed = B9600; break;
    case 19200: speed = B19200; break;
    case 38400: speed = B38400; break;
    case 57600: speed = B57600; break;
    case 115200: speed = B115200; break;
    default: return false;
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void SetRegister(MeterModel& model, const std::string& kind, const std::string& text)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos)
        throw std::invalid_argument("expected N=V: " + text);
    const int n = std::stoi(text.substr(0, eq), nullptr, 0);
    const long v = std::stol(text.substr(eq + 1), nullptr, 0);
    if (v < 0 || v > 0xFFFF)
        throw std::invalid_argument("value out of 0-0xFFFF: " + text);
    const auto word = static_cast<std::uint16_t>(v);
    if (kind == "input" && n >= 0 && n < 10)
        model.PinInput(n, word);
    else if (kind == "param" && n >= 0 && n < 7)
        model.SetParameter(n, word);
    else if (kind == "inner" && n >= 0 && n < 22)
        model.SetInner(n, word);
    else
        throw std::invalid_argument("no register " + kind + " " + text);
}

class Server {
public:
    Server(int fd, MeterModel& model, int baud, bool pace)
        : m_fd(fd), m_model(model), m_byteTime(std::chrono::microseconds(10000000 / baud)), m_pace(pace)
    {
        // A request is over once the line has been quiet for a few characters.
        m_gap = std::max<Clock::duration>(std::chrono::milliseconds(10), m_byteTime * 4);
    }

    // Serves until a stop signal, the end of stdin (when read) or a failed port.
    int Run(bool commands)
    {
        std::string input;
        while (!g_stop) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            timespec ts{};
            timespec* timeout = nullptr;
            if (!m_buffer.empty()) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    m_lastByte + m_gap - Clock::now()).count();
                if (ns > 0)
                    ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
                timeout = &ts;
            }
            const int r = ppoll(fds, commands ? 2 : 1, timeout, &g_waitMask);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                std::perror("ormet-meter-sim: poll");
                return 1;
            }
            if (r == 0) {
                Flush();
                continue;
            }
            if (commands && (fds[1].revents & (POLLIN | POLLHUP))) {
                char chunk[256];
                const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                    return 0;
                if (n > 0)
                    input.append(chunk, static_cast<std::size_t>(n));
                for (auto nl = input.find('\n'); nl != std::string::npos; nl = input.find('\n')) {
                    const std::string line = input.substr(0, nl);
                    input.erase(0, nl + 1);
                    if (!Command(line))
                        return 0;
                }
            }
            if (fds[0].revents & POLLIN) {
                std::uint8_t chunk[512];
                const ssize_t n = read(m_fd, chunk, sizeof chunk);
                if (n > 0) {
                    m_buffer.insert(m_buffer.end(), chunk, chunk + n);
                    m_lastByte = Clock::now();
                    TakeFrames();
                } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
                    std::perror("ormet-meter-sim: read");
                    return 1;
                }
            } else if (fds[0].revents & (POLLERR | POLLNVAL)) {
                std::fputs("ormet-meter-sim: port failed\n", stderr);
                return 1;
            } else if (fds[0].revents & POLLHUP) {
                // No one holds the other end; wait for the next opener without spinning.
                SleepUntil(Clock::now() + std::chrono::milliseconds(20));
            }
        }
        return 0;
    }

private:
    bool Command(const std::string& line)
    {
        const auto space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        try {
            if (word == "quit")
                return false;
            if (word == "fault")
                m_model.AddFault(ParseFault(arg));
            else if (word == "clear")
                m_model.ClearFaults();
            else if (word == "input" || word == "param" || word == "inner")
                SetRegister(m_model, word, arg);
            else if (!word.empty())
                throw std::invalid_argument("unknown command: " + word);
            Out("ok " + line);
        } catch (const std::exception& e) {
            Out(std::string("error ") + e.what());
        }
        return true;
    }

    void TakeFrames()
    {
        while (!m_buffer.empty()) {
            const int length = ExpectedRequestLength(m_buffer);
            if (length <= 0 || m_buffer.size() < static_cast<std::size_t>(length)) {
                if (m_buffer.size() > 300)
                    Flush();
                return;
            }
            Bytes frame(m_buffer.begin(), m_buffer.begin() + length);
            m_buffer.erase(m_buffer.begin(), m_buffer.begin() + length);
            Serve(frame);
        }
    }

    // The line went quiet: whatever is buffered is one frame.
    void Flush()
    {
        Bytes frame;
        frame.swap(m_buffer);
        if (!frame.empty())
            Serve(frame);
    }

    void Serve(const Bytes& frame)
    {
        const auto received = Clock::now();
        MeterModel::Outcome out = m_model.Handle(frame, received);
        if (!out.forUs) {
            Out("ignored " + HexText(frame));
            return;
        }
        Out("request " + std::to_string(out.request) + " " + HexText(frame));
        for (const std::string& e : out.events)
            Out(e);
        auto start = received + std::chrono::milliseconds(out.delayMs);
        if (m_pace)
            start += m_byteTime * static_cast<long>(frame.size());
        if (out.reply.empty()) {
            Out("reply " + std::to_string(out.request) + " none");
            return;
        }
        SleepUntil(start);
        for (std::size_t i = 0; i < out.reply.size() && !g_stop;) {
            const std::size_t count = m_pace ? 1 : out.reply.size() - i;
            const ssize_t n = write(m_fd, out.reply.data() + i, count);
            if (n > 0) {
                i += static_cast<std::size_t>(n);
                if (m_pace)
                    SleepUntil(start + m_byteTime * static_cast<long>(i));
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{m_fd, POLLOUT, 0};
                timespec ts{0, 100000000};
                if (ppoll(&p, 1, &ts, &g_waitMask) == 0)
                    break;  // nobody reads: drop the rest
            } else if (n < 0 && errno != EINTR) {
                break;
            }
        }
        Out("reply " + std::to_string(out.request) + " " + HexText(out.reply));
    }

    int m_fd;
    MeterModel& m_model;
    Clock::duration m_byteTime;
    Clock::duration m_gap;
    bool m_pace;
    Bytes m_buffer;
    Clock::time_point m_lastByte;
};

} // namespace

int main(int argc, char** argv)
{
    std::string device, linkDir;
    int com = 1, baud = 9600;
    bool pace = false, commands = false;
    MeterModel model;

    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc)
                    throw std::invalid_argument(a + " needs a value");
                return argv[++i];
            };
            if (a == "--device")
                device = value();
            else if (a == "--link")
                linkDir = value();
            else if (a == "--com")
                com = std::stoi(value());
            else if (a == "--baud")
                baud = std::stoi(value());
            else if (a == "--pace")
                pace = true;
            else if (a == "--stdin")
                commands = true;
            else if (a == "--fault")
                model.AddFault(ParseFault(value()));
            else if (a == "--input" || a == "--param" || a == "--inner")
                SetRegister(model, a.substr(2), value());
            else if (a == "--help" || a == "-h")
                Usage(0);
            else
                throw std::invalid_argument("unknown option " + a);
        }
        if (baud <= 0 || com < 1)
            throw std::invalid_argument("bad --baud or --com");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ormet-meter-sim: %s\n", e.what());
        Usage(2);
    }

    // Stop signals stay blocked except inside ppoll, so none is lost between check and wait.
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &g_waitMask);
    sigdelset(&g_waitMask, SIGTERM);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGHUP);

    int fd = -1, slave = -1;
    std::string path = device;
    if (device.empty()) {
        fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[128];
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
            std::perror("ormet-meter-sim: pseudo-terminal");
            return 1;
        }
        path = name;
        // Holding the slave end keeps the master usable between the clients' opens and closes.
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0 || !SetRaw(slave, baud)) {
            std::perror("ormet-meter-sim: pseudo-terminal slave");
            return 1;
        }
    } else {
        fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || !SetRaw(fd, baud)) {
            std::fprintf(stderr, "ormet-meter-sim: %s: %s\n", device.c_str(), std::strerror(errno));
            return 1;
        }
    }

    std::string link;
    if (!linkDir.empty()) {
        mkdir(linkDir.c_str(), 0755);
        link = linkDir + "/COM" + std::to_string(com);
        unlink(link.c_str());
        if (symlink(path.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "ormet-meter-sim: %s: %s\n", link.c_str(), std::strerror(errno));
            return 1;
        }
    }

    Out(path);
    const int rc = Server(fd, model, baud, pace).Run(commands);

    if (!link.empty()) {
        char target[512];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && path == std::string(target, static_cast<std::size_t>(n)))
            unlink(link.c_str());
    }
    if (slave >= 0)
        close(slave);
    close(fd);
    return rc;
}
