// Option parsing, register model and pseudo-terminal set-up of the Modbus slave simulator.
#include "slave_sim.h"

#include "comm32_portinfo.h"
#include "posix_tty.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <stdexcept>

namespace slavesim {

namespace {

bool parseInt(const char* text, long lo, long hi, int& out)
{
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 0);
    if (errno || *end || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

// Long options without a letter.
enum { optCount = 1000, optTick, optSine, optDelay, optEof };

std::runtime_error callError(const KestroComm32::PosixTty::TCallError& failure)
{
    return std::runtime_error(std::string(failure.Call) + ": " + std::strerror(failure.Error));
}

// Applies one option to o; false with why set when its value is bad (why stays empty for an option
// getopt did not know or found without its value).
bool applyOption(int c, const char* arg, Options& o, std::string& why)
{
    auto check = [&why](bool ok, const char* reason) {
        if (!ok) why = reason;
        return ok;
    };
    switch (c) {
    case 'a': return check(parseInt(arg, 1, 247, o.slave), "slave address must be 1..247");
    case 'b': return check(parseInt(arg, 50, 4000000, o.baud), "bad speed");
    case 'p':
        if (!check(std::strlen(arg) == 1 && std::strchr("NEOneo", arg[0]), "parity must be N, E or O")) return false;
        o.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(arg[0])));
        return true;
    case 'd': return check(parseInt(arg, 5, 8, o.dataBits), "data bits must be 5..8");
    case 's': return check(parseInt(arg, 1, 2, o.stopBits), "stop bits must be 1 or 2");
    case 'D': o.device = arg; return true;
    case 'c': o.comportsDir = arg; return true;
    case 'n': return check(parseInt(arg, 1, 255, o.com), "COM number must be 1..255");
    case optCount: return check(parseInt(arg, 4, 65535, o.count), "count must be 4..65535");
    case optTick: return check(parseInt(arg, 1, 3600000, o.tickMs), "bad tick");
    case optSine: {
        int s = 0;
        if (!check(parseInt(arg, 1, 86400, s), "bad sine period")) return false;
        o.sinePeriodS = s;
        return true;
    }
    case optDelay: return check(parseInt(arg, 0, 60000, o.replyDelayMs), "bad reply delay");
    case optEof: o.exitOnStdinEof = true; return true;
    case 'v': o.verbose = true; return true;
    case 'h': o.help = true; return true;
    default: return false;
    }
}

} // namespace

const char* usageText()
{
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

std::optional<Options> parseOptions(int argc, char** argv, std::string& error)
{
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
        std::string why;
        if (applyOption(c, optarg, o, why)) continue;
        if (!why.empty()) return bad(why);
        if (c == ':') return bad(std::string("option needs a value: ") + argv[optind - 1]);
        return bad(std::string("unknown option: ") + argv[optind - 1]);
    }
    if (optind < argc) return bad(std::string("unexpected argument: ") + argv[optind]);
    if (o.com > 0 && o.comportsDir.empty()) o.comportsDir = KestroComm32::TCommSerialPortInfo::PortMapDir();
    if (!o.comportsDir.empty() && o.com == 0) return bad("--comports-dir needs --com");
    return o;
}

void fillInitial(modbus_mapping_t& map)
{
    for (int i = 0; i < map.nb_registers; ++i) map.tab_registers[i] = static_cast<uint16_t>(i);
    const uint16_t head[] = {100, 500, 0x1234, 0xABCD};
    for (int i = 0; i < 4 && i < map.nb_registers; ++i) map.tab_registers[i] = head[i];
    for (int i = 0; i < map.nb_input_registers; ++i) map.tab_input_registers[i] = static_cast<uint16_t>(i);
    for (int i = 0; i < map.nb_bits; ++i) map.tab_bits[i] = (i % 3 == 0) ? 1 : 0;
    for (int i = 0; i < map.nb_input_bits; ++i) map.tab_input_bits[i] = (i % 2) ? 1 : 0;
}

void updateDynamic(modbus_mapping_t& map, double elapsedS, const Options& opt)
{
    const auto ticks = static_cast<uint64_t>(elapsedS * 1000.0 / opt.tickMs);
    if (map.nb_input_registers > 0) map.tab_input_registers[0] = static_cast<uint16_t>(ticks);
    if (map.nb_input_registers > 1) {
        const double s = std::sin(2.0 * M_PI * elapsedS / opt.sinePeriodS);
        map.tab_input_registers[1] = static_cast<uint16_t>(std::lround(1000.0 + 1000.0 * s));
    }
    if (map.nb_input_registers > 2) map.tab_input_registers[2] = static_cast<uint16_t>(static_cast<uint64_t>(elapsedS));
    if (map.nb_input_bits > 0) map.tab_input_bits[0] = static_cast<uint8_t>(ticks & 1);
}

Pty openPty(const Options& opt)
{
    namespace PosixTty = KestroComm32::PosixTty;
    PosixTty::TPty pty;
    if (const auto failure = PosixTty::OpenPty(pty)) throw callError(failure);
    PosixTty::TRawLine line;
    line.Baud = static_cast<unsigned>(opt.baud);
    line.DataBits = opt.dataBits;
    line.Parity = opt.parity == 'E'   ? PosixTty::TParity::Even
                  : opt.parity == 'O' ? PosixTty::TParity::Odd
                                      : PosixTty::TParity::None;
    line.TwoStopBits = opt.stopBits == 2;
    if (const auto failure = PosixTty::SetRawLine(pty.Slave, line)) {
        PosixTty::ClosePty(pty);
        throw callError(failure);
    }
    return {pty.Master, pty.Slave, pty.SlavePath};
}

void closePty(Pty& p)
{
    KestroComm32::PosixTty::TPty pty{p.master, p.heldSlave, p.slavePath};
    KestroComm32::PosixTty::ClosePty(pty);
    p.heldSlave = p.master = -1;
}

} // namespace slavesim
