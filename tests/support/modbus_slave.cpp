// A libmodbus slave on a pseudo-terminal for the window tests.
#include "modbus_slave.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

TModbusPtySlave::TModbusPtySlave(int comNumber)
{
    char name[256] = {};
    if (openpty(&Master, &SlaveFd, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    SlavePath = name;
    // Raw from the start; the device end is kept open here too, so the master never sees a hang-up
    // while the window has the port closed.
    termios tio{};
    tcgetattr(SlaveFd, &tio);
    cfmakeraw(&tio);
    tcsetattr(SlaveFd, TCSANOW, &tio);

    std::string templ = (std::filesystem::temp_directory_path() / "busprobe-ports-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    MapDir = templ;
    std::filesystem::create_symlink(SlavePath, MapDir + "/COM" + std::to_string(comNumber));
    setenv("COMPORTS_DIR", MapDir.c_str(), 1);

    Ctx = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    modbus_set_slave(Ctx, 1);
    modbus_set_socket(Ctx, Master);
    Mapping = modbus_mapping_new(Size, Size, Size, Size);
    Reset();
    Thread = std::thread([this] { Serve(); });
}

TModbusPtySlave::~TModbusPtySlave()
{
    {
        std::lock_guard<std::mutex> lock(HoldLock);
        Stop = true;
    }
    HoldChanged.notify_all();
    Thread.join();
    modbus_mapping_free(Mapping);
    modbus_free(Ctx);
    close(Master);
    close(SlaveFd);
    std::filesystem::remove_all(MapDir);
}

void TModbusPtySlave::Reset()
{
    std::lock_guard<std::mutex> lock(MappingLock);
    for (int i = 0; i < Size; ++i) {
        Mapping->tab_registers[i] = static_cast<std::uint16_t>(0x0100 + i);
        Mapping->tab_input_registers[i] = static_cast<std::uint16_t>(0x0200 + i);
        Mapping->tab_bits[i] = i % 3 == 0;
        Mapping->tab_input_bits[i] = i % 2 == 0;
    }
    ReplyDelayMs = 0;
    Release();
}

std::uint16_t TModbusPtySlave::HoldingRegister(int i)
{
    std::lock_guard<std::mutex> lock(MappingLock);
    return Mapping->tab_registers[i];
}

bool TModbusPtySlave::Coil(int i)
{
    std::lock_guard<std::mutex> lock(MappingLock);
    return Mapping->tab_bits[i] != 0;
}

std::uint16_t TModbusPtySlave::InputRegister(int i)
{
    std::lock_guard<std::mutex> lock(MappingLock);
    return Mapping->tab_input_registers[i];
}

bool TModbusPtySlave::DiscreteInput(int i)
{
    std::lock_guard<std::mutex> lock(MappingLock);
    return Mapping->tab_input_bits[i] != 0;
}

void TModbusPtySlave::HoldAfter(int n)
{
    std::lock_guard<std::mutex> lock(HoldLock);
    UntilHold = n;
}

void TModbusPtySlave::Release()
{
    {
        std::lock_guard<std::mutex> lock(HoldLock);
        UntilHold = -1;
    }
    HoldChanged.notify_all();
}

void TModbusPtySlave::Serve()
{
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!Stop) {
        pollfd p{Master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN)) continue;
        const int rc = modbus_receive(Ctx, query);
        if (rc <= 0) continue; // bad CRC, another slave, a cut request: nothing to answer
        {
            std::unique_lock<std::mutex> lock(HoldLock);
            HoldChanged.wait(lock, [this] { return UntilHold != 0 || Stop; });
            if (UntilHold > 0) --UntilHold;
        }
        if (const int delay = ReplyDelayMs.load(); delay > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        std::lock_guard<std::mutex> lock(MappingLock);
        modbus_reply(Ctx, query, rc, Mapping);
        ++Replies;
    }
}
