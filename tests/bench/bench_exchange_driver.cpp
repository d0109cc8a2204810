// Runs N Modbus 03H exchanges against a libmodbus slave on a pty, through TComm32 or libmodbus's own
// master, for counting the system calls and wake-ups of one exchange (strace -f -ff, see RESULTS.md).
#include "comm32.h"
#include "modbus_slave.h"

#include <modbus/modbus.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "ours";
    const int n = argc > 2 ? std::atoi(argv[2]) : 1000;
    TModbusPtySlave slave(9);
    const unsigned char req[8] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    int ok = 0;
    if (mode == "ours") {
        KestroComm32::TComm32 port;
        std::mutex m;
        std::condition_variable c;
        unsigned seq = 0;
        port.OnNotify = [&](KestroComm32::TObject*, int mask) {
            if (!(mask & KestroComm32::EV_RXCHAR)) return;
            {
                std::lock_guard<std::mutex> g(m);
                ++seq;
            }
            c.notify_one();
        };
        port.fSetPortName(slave.DevicePath());
        port.fSetBaud(115200);
        port.Open();
        for (int i = 0; i < n; ++i) {
            unsigned char reply[256];
            int got = 0;
            unsigned seen;
            {
                std::lock_guard<std::mutex> g(m);
                seen = seq;
            }
            port.Write(req, sizeof req);
            while (got < 25) {
                const int r = port.Read(reply + got, 256 - got);
                if (r > 0) {
                    got += r;
                    continue;
                }
                std::unique_lock<std::mutex> g(m);
                c.wait_for(g, std::chrono::milliseconds(20), [&] { return seq != seen; });
                seen = seq;
            }
            ok += reply[1] == 0x03 && reply[2] == 20;
        }
        port.Close();
    } else {
        modbus_t* ctx = modbus_new_rtu(slave.DevicePath().c_str(), 115200, 'N', 8, 1);
        modbus_set_slave(ctx, 1);
        if (modbus_connect(ctx) != 0) return 2;
        std::uint16_t regs[10];
        for (int i = 0; i < n; ++i) ok += modbus_read_registers(ctx, 0, 10, regs) == 10;
        modbus_close(ctx);
        modbus_free(ctx);
    }
    std::printf("%s: %d of %d exchanges right\n", mode.c_str(), ok, n);
    return ok == n ? 0 : 1;
}
