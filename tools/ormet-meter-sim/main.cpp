// ormet-meter-sim: serves the simulated meter at 0xF8 on a new pseudo-terminal or a given device.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "comm32_portinfo.h"
#include "meter_model.h"
#include "posix_tty.h"

using namespace ormetsim;
using Clock = std::chrono::steady_clock;

namespace {

volatile std::sig_atomic_t g_stop = 0;
sigset_t g_waitMask; // the signals that end us, unblocked only while waiting

void OnSignal(int) { g_stop = 1; }

void Out(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Usage(int code)
{
    std::fputs("usage: ormet-meter-sim [options]\n"
               "  --device PATH   serve PATH instead of a new pseudo-terminal\n"
               "  --link DIR      put a COM<n> symlink to the port into DIR (port map directory)\n"
               "  --com N         n of that link (default 1); without --link the link goes into\n"
               "                  $COMPORTS_DIR, else $XDG_CONFIG_HOME/comports, else ~/.config/comports\n"
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
        if (left <= Clock::duration::zero()) return;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ppoll(nullptr, 0, &ts, &g_waitMask);
    }
}

void SetRegister(MeterModel& model, const std::string& kind, const std::string& text)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos) throw std::invalid_argument("expected N=V: " + text);
    const int n = std::stoi(text.substr(0, eq), nullptr, 0);
    const long v = std::stol(text.substr(eq + 1), nullptr, 0);
    if (v < 0 || v > 0xFFFF) throw std::invalid_argument("value out of 0-0xFFFF: " + text);
    const auto word = static_cast<std::uint16_t>(v);
    if (kind == "input" && n >= 0 && n < 10) model.PinInput(n, word);
    else if (kind == "param" && n >= 0 && n < 7) model.SetParameter(n, word);
    else if (kind == "inner" && n >= 0 && n < 22) model.SetInner(n, word);
    else throw std::invalid_argument("no register " + kind + " " + text);
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
                const auto ns =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(m_lastByte + m_gap - Clock::now()).count();
                if (ns > 0) ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
                timeout = &ts;
            }
            const int r = ppoll(fds, commands ? 2 : 1, timeout, &g_waitMask);
            if (r < 0) {
                if (errno == EINTR) continue;
                std::perror("ormet-meter-sim: poll");
                return 1;
            }
            if (r == 0) {
                Flush();
                continue;
            }
            if (commands && (fds[1].revents & (POLLIN | POLLHUP)) && !TakeCommands(input)) return 0;
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
    // Runs the complete lines that stdin has brought; false once it has ended or said quit.
    bool TakeCommands(std::string& input)
    {
        char chunk[256];
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return false;
        if (n > 0) input.append(chunk, static_cast<std::size_t>(n));
        for (auto nl = input.find('\n'); nl != std::string::npos; nl = input.find('\n')) {
            const std::string line = input.substr(0, nl);
            input.erase(0, nl + 1);
            if (!Command(line)) return false;
        }
        return true;
    }

    bool Command(const std::string& line)
    {
        const auto space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        try {
            if (word == "quit") return false;
            if (word == "fault") m_model.AddFault(ParseFault(arg));
            else if (word == "clear") m_model.ClearFaults();
            else if (word == "input" || word == "param" || word == "inner") SetRegister(m_model, word, arg);
            else if (!word.empty()) throw std::invalid_argument("unknown command: " + word);
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
                if (m_buffer.size() > 300) Flush();
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
        if (!frame.empty()) Serve(frame);
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
        for (const std::string& e : out.events) Out(e);
        auto start = received + std::chrono::milliseconds(out.delayMs);
        if (m_pace) start += m_byteTime * static_cast<long>(frame.size());
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
                if (m_pace) SleepUntil(start + m_byteTime * static_cast<long>(i));
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{m_fd, POLLOUT, 0};
                timespec ts{0, 100000000};
                if (ppoll(&p, 1, &ts, &g_waitMask) == 0) break; // nobody reads: drop the rest
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

namespace {

struct TOptions {
    std::string device;
    std::string linkDir; // empty: no link
    int com = 1;
    int baud = 9600;
    bool pace = false;
    bool commands = false;
};

TOptions ParseOptions(int argc, char** argv, MeterModel& model)
{
    TOptions o;
    bool comGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        if (a == "--device") o.device = value();
        else if (a == "--link") o.linkDir = value();
        else if (a == "--com") {
            o.com = std::stoi(value());
            comGiven = true;
        } else if (a == "--baud") o.baud = std::stoi(value());
        else if (a == "--pace") o.pace = true;
        else if (a == "--stdin") o.commands = true;
        else if (a == "--fault") model.AddFault(ParseFault(value()));
        else if (a == "--input" || a == "--param" || a == "--inner") SetRegister(model, a.substr(2), value());
        else if (a == "--help" || a == "-h") Usage(0);
        else throw std::invalid_argument("unknown option " + a);
    }
    if (o.baud <= 0 || o.com < 1) throw std::invalid_argument("bad --baud or --com");
    if (comGiven && o.linkDir.empty()) o.linkDir = KestroComm32::TCommSerialPortInfo::PortMapDir();
    return o;
}

// Stop signals stay blocked except inside ppoll, so none is lost between check and wait.
void BlockStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t block;
    sigemptyset(&block);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(s, &sa, nullptr);
        sigaddset(&block, s);
    }
    sigprocmask(SIG_BLOCK, &block, &g_waitMask);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigdelset(&g_waitMask, s);
}

// The line served: a new pty (its master, with the slave end held) or the given device.
struct TPort {
    KestroComm32::PosixTty::TPty pty;
    int fd = -1;
    bool exclusive = false;
    bool lowLatency = false;
    std::string path;
};

bool OpenPort(const TOptions& o, TPort& port)
{
    namespace PosixTty = KestroComm32::PosixTty;
    PosixTty::TRawLine line;
    line.Baud = static_cast<unsigned>(o.baud);
    PosixTty::TCallError failure;
    if (o.device.empty()) {
        failure = PosixTty::OpenPty(port.pty);
        if (!failure) failure = PosixTty::SetRawLine(port.pty.Slave, line);
        port.fd = port.pty.Master;
        port.path = port.pty.SlavePath;
    } else {
        const PosixTty::TExclusiveTty tty = PosixTty::OpenExclusive(o.device);
        failure = tty.Failure;
        port.fd = tty.Fd;
        port.exclusive = tty.Exclusive;
        port.lowLatency = tty.LowLatency;
        port.path = o.device;
        if (!failure) failure = PosixTty::SetRawLine(port.fd, line);
    }
    if (failure)
        std::fprintf(stderr, "ormet-meter-sim: %s: %s: %s\n", port.path.empty() ? "pseudo-terminal" : port.path.c_str(),
                     failure.Call, std::strerror(failure.Error));
    return !failure;
}

void ClosePort(TPort& port)
{
    if (port.pty.Master >= 0) KestroComm32::PosixTty::ClosePty(port.pty);
    else KestroComm32::PosixTty::CloseExclusive(port.fd, port.exclusive, port.lowLatency);
    port.fd = -1;
}

} // namespace

int main(int argc, char** argv)
{
    MeterModel model;
    TOptions options;
    try {
        options = ParseOptions(argc, argv, model);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ormet-meter-sim: %s\n", e.what());
        Usage(2);
    }
    BlockStopSignals();

    TPort port;
    std::string link;
    try {
        if (!OpenPort(options, port)) {
            ClosePort(port);
            return 1;
        }
        if (!options.linkDir.empty())
            link = KestroComm32::PosixTty::LinkComPort(options.linkDir, options.com, port.path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ormet-meter-sim: %s\n", e.what());
        ClosePort(port);
        return 1;
    }

    Out(port.path);
    const int rc = Server(port.fd, model, options.baud, options.pace).Run(options.commands);
    if (!link.empty()) KestroComm32::PosixTty::UnlinkComPort(link, port.path);
    ClosePort(port);
    return rc;
}
