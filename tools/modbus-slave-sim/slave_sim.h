// Modbus RTU slave simulator: options, register model and the pseudo-terminal it serves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct _modbus_mapping_t;

namespace slavesim {

struct Options {
    int slave = 1; // 1..247
    int baud = 9600;
    char parity = 'N';       // N, E or O
    int dataBits = 8;        // 5..8
    int stopBits = 1;        // 1 or 2
    std::string device;      // empty: open a pseudo-terminal
    std::string comportsDir; // with com > 0: put COM<com> there
    int com = 0;
    int count = 1000;  // entries in each of the four tables
    int tickMs = 1000; // counter period
    double sinePeriodS = 60.0;
    int replyDelayMs = 0;
    bool exitOnStdinEof = false;
    bool verbose = false;
    bool help = false;
};

// Parses argv; on failure returns nothing and puts a one-line reason into error.
std::optional<Options> parseOptions(int argc, char** argv, std::string& error);
const char* usageText();

// Initial contents of the four tables, and the values that change with time.
void fillInitial(_modbus_mapping_t& map);
void updateDynamic(_modbus_mapping_t& map, double elapsedS, const Options& opt);

// A pseudo-terminal pair: the simulator keeps the master and one slave descriptor (so the line
// stays up when the master program closes its end); the master program opens slavePath.
struct Pty {
    int master = -1;
    int heldSlave = -1;
    std::string slavePath;
};
// Opens a raw pseudo-terminal at the given line settings; throws std::runtime_error.
Pty openPty(const Options& opt);
void closePty(Pty& pty);

} // namespace slavesim
