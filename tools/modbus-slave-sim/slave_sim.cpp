// Option parsing, register model and pseudo-terminal set-up of the Modbus slave simulator.
#include "slave_sim.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace slavesim {

namespace {

bool parseInt(const char* text, long lo, long hi, int& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 0);
    if (errno || *end || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

speed_t speedOf(int baud) {
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;  // a pty carries any speed; only the label is lost
    }
}

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

const char* usageText() {
    return "Usage: modbus-slave-sim [options]\n"
           "Serves a Modbus RTU slave on a new pseudo-terminal (or on --device) and prints the\n"
           "path a master program should open as one line on stdout.\n"
           "  -a, --slave N          slave address 1..247 (default 1)\n"
           "  -b, --baud N           speed (default 9600)\n"
           "  -p, --parity N|E|O     parity (default N)\n"
           "  -d, --data-bits N      5..8 (default 8)\n"
           "  -s, --stop-bits N      1 or 2 (default 1)\n"
           "  -D, --device PATH      serve this serial device instead of a pseudo-terminal\n"
           "  -c, --comports-dir DIR port map directory for --com (default $COMPORTS_DIR)\n"
           "  -n, --com N            put the link COM<N> to the device into the port map directory\n"
           "      --count N          coils, inputs and registers per table (default 1000)\n"
           "      --tick MS          counter period in ms (default 1000)\n"
           "      --sine-period S    period of the sine register in s (default 60)\n"
           "      --reply-delay MS   wait before each reply (default 0)\n"
           "      --exit-on-eof      stop when stdin reaches end of file\n"
           "  -v, --verbose          log requests and errors on stderr\n"
           "  -h, --help             this text\n"
           "Tables: holding 0..3 = 100, 500, 0x1234, 0xABCD, holding n = n above;\n"
           "input 0 = counter (+1 per tick), input 1 = 1000 + 1000 sin(2 pi t / period),\n"
           "input 2 = seconds since start, input n = n above; coil n = (n % 3 == 0);\n"
           "discrete input 0 toggles every tick, discrete input n = n % 2 above.\n";
}

std::optional<Options> parseOptions(int argc, char** argv, std::string& error) {
    enum { optCount = 1000, optTick, optSine, optDelay, optEof };
    static const option longOpts[] = {
        {"slave", required_argument, nullptr, 'a'},
        {"baud", required_argument, nullptr, 'b'},
        {"parity", required_argument, nullptr, 'p'},
        {"data-bits", required_argument, nullptr, 'd'},
        {"stop-bits", required_argument, nullptr, 's'},
        {"device", required_argument, nullptr, 'D'},
        {"comports-dir", required_argument, nullptr, 'c'},
        {"com", required_argument, nullptr, 'n'},
        {"count", required_argument, nullptr, optCount},
        {"tick", required_argument, nullptr, optTick},
        {"sine-period", required_argument, nullptr, optSine},
        {"reply-delay", required_argument, nullptr, optDelay},
        {"exit-on-eof", no_argument, nullptr, optEof},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    optind = 1;
    opterr = 0;
    int c;
    auto bad = [&](const std::string& why) {
        error = why;
        return std::nullopt;
    };
    while ((c = getopt_long(argc, argv, ":a:b:p:d:s:D:c:n:vh", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'a':
            if (!parseInt(optarg, 1, 247, o.slave)) return bad("slave address must be 1..247");
            break;
        case 'b':
            if (!parseInt(optarg, 50, 4000000, o.baud)) return bad("bad speed");
            break;
        case 'p':
            if (std::strlen(optarg) != 1 || !std::strchr("NEOneo", optarg[0]))
                return bad("parity must be N, E or O");
            o.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(optarg[0])));
            break;
        case 'd':
            if (!parseInt(optarg, 5, 8, o.dataBits)) return bad("data bits must be 5..8");
            break;
        case 's':
            if (!parseInt(optarg, 1, 2, o.stopBits)) return bad("stop bits must be 1 or 2");
            break;
        case 'D': o.device = optarg; break;
        case 'c': o.comportsDir = optarg; break;
        case 'n':
            if (!parseInt(optarg, 1, 255, o.com)) return bad("COM number must be 1..255");
            break;
        case optCount:
            if (!parseInt(optarg, 4, 65535, o.count)) return bad("count must be 4..65535");
            break;
        case optTick:
            if (!parseInt(optarg, 1, 3600000, o.tickMs)) return bad("bad tick");
            break;
        case optSine: {
            int s = 0;
            if (!parseInt(optarg, 1, 86400, s)) return bad("bad sine period");
            o.sinePeriodS = s;
            break;
        }
        case optDelay:
            if (!parseInt(optarg, 0, 60000, o.replyDelayMs)) return bad("bad reply delay");
            break;
        case optEof: o.exitOnStdinEof = true; break;
        case 'v': o.verbose = true; break;
        case 'h': o.help = true; break;
        case ':': return bad(std::string("option needs a value: ") + argv[optind - 1]);
        default: return bad(std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (optind < argc) return bad(std::string("unexpected argument: ") + argv[optind]);
    if (o.com > 0 && o.comportsDir.empty()) {
        if (const char* env = std::getenv("COMPORTS_DIR"); env && *env) {
            o.comportsDir = env;
        } else if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
            o.comportsDir = std::string(xdg) + "/comports";
        } else if (const char* home = std::getenv("HOME"); home && *home) {
            o.comportsDir = std::string(home) + "/.config/comports";
        } else {
            return bad("--com needs --comports-dir");
        }
    }
    if (!o.comportsDir.empty() && o.com == 0) return bad("--comports-dir needs --com");
    return o;
}

void fillInitial(modbus_mapping_t& map) {
    for (int i = 0; i < map.nb_registers; ++i) map.tab_registers[i] = static_cast<uint16_t>(i);
    const uint16_t head[] = {100, 500, 0x1234, 0xABCD};
    for (int i = 0; i < 4 && i < map.nb_registers; ++i) map.tab_registers[i] = head[i];
    for (int i = 0; i < map.nb_input_registers; ++i)
        map.tab_input_registers[i] = static_cast<uint16_t>(i);
    for (int i = 0; i < map.nb_bits; ++i) map.tab_bits[i] = (i % 3 == 0) ? 1 : 0;
    for (int i = 0; i < map.nb_input_bits; ++i) map.tab_input_bits[i] = (i % 2) ? 1 : 0;
}

void updateDynamic(modbus_mapping_t& map, double elapsedS, const Options& opt) {
    const auto ticks = static_cast<uint64_t>(elapsedS * 1000.0 / opt.tickMs);
    if (map.nb_input_registers > 0) map.tab_input_registers[0] = static_cast<uint16_t>(ticks);
    if (map.nb_input_registers > 1) {
        const double s = std::sin(2.0 * M_PI * elapsedS / opt.sinePeriodS);
        map.tab_input_registers[1] = static_cast<uint16_t>(std::lround(1000.0 + 1000.0 * s));
    }
    if (map.nb_input_registers > 2)
        map.tab_input_registers[2] = static_cast<uint16_t>(static_cast<uint64_t>(elapsedS));
    if (map.nb_input_bits > 0) map.tab_input_bits[0] = static_cast<uint8_t>(ticks & 1);
}

Pty openPty(const Options& opt) {
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0) throw sysError("posix_openpt");
    char name[128];
    if (grantpt(p.master) != 0 || unlockpt(p.master) != 0 ||
        ptsname_r(p.master, name, sizeof name) != 0) {
        auto e = sysError("pseudo-terminal set-up");
        closePty(p);
        throw e;
    }
    p.slavePath = name;
    // Held open for our lifetime: without it the master reads EIO whenever no program has the
    // other end open, and the line settings below would be lost between two opens.
    p.heldSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.heldSlave < 0) {
        auto e = sysError(std::string("open ") + name);
        closePty(p);
        throw e;
    }
    termios t{};
    if (tcgetattr(p.heldSlave, &t) != 0) {
        auto e = sysError("tcgetattr");
        closePty(p);
        throw e;
    }
    // Raw both ways: an echo or a CR/LF translation would corrupt binary frames.
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= opt.dataBits == 5 ? CS5 : opt.dataBits == 6 ? CS6 : opt.dataBits == 7 ? CS7 : CS8;
    if (opt.parity != 'N') t.c_cflag |= PARENB | (opt.parity == 'O' ? PARODD : 0);
    if (opt.stopBits == 2) t.c_cflag |= CSTOPB;
    if (speed_t sp = speedOf(opt.baud); sp != B0) cfsetspeed(&t, sp);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(p.heldSlave, TCSANOW, &t) != 0) {
        auto e = sysError("tcsetattr");
        closePty(p);
        throw e;
    }
    int fl = fcntl(p.master, F_GETFL);
    fcntl(p.master, F_SETFL, fl | O_NONBLOCK);
    return p;
}

void closePty(Pty& p) {
    if (p.heldSlave >= 0) close(p.heldSlave);
    if (p.master >= 0) close(p.master);
    p.heldSlave = p.master = -1;
}

std::string linkComPort(const std::string& dir, int n, const std::string& target) {
    // mkdir -p
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) throw sysError("mkdir " + part);
        }
    }
    const std::string link = dir + "/COM" + std::to_string(n);
    struct stat st{};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw std::runtime_error(link + " exists and is not a symbolic link; not replacing it");
    // Built aside and renamed over, so a program never sees the name missing or half made.
    const std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) throw sysError("symlink " + tmp);
    if (rename(tmp.c_str(), link.c_str()) != 0) {
        auto e = sysError("rename to " + link);
        unlink(tmp.c_str());
        throw e;
    }
    return link;
}

void unlinkComPort(const std::string& link, const std::string& target) {
    char buf[4096];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    buf[n] = 0;
    if (target == buf) unlink(link.c_str());
}

}  // namespace slavesim
