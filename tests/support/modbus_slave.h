// A libmodbus slave (address 1) on a pseudo-terminal that the window reaches as COMn.
#pragma once

#include <modbus/modbus.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Makes a pty and a port map folder whose COMn link names its device end, points COMPORTS_DIR at that
// folder, and answers Modbus RTU requests on the other end from its own thread. Registers start as
// 0x0100 + i (holding) and 0x0200 + i (input); coil i is on when i % 3 == 0, input i when i % 2 == 0.
class TModbusPtySlave {
public:
    static constexpr int Size = 100;

    explicit TModbusPtySlave(int comNumber);
    ~TModbusPtySlave();
    TModbusPtySlave(const TModbusPtySlave&) = delete;
    TModbusPtySlave& operator=(const TModbusPtySlave&) = delete;

    void Reset();
    std::uint16_t HoldingRegister(int i);
    bool Coil(int i);
    std::uint16_t InputRegister(int i);
    bool DiscreteInput(int i);

    const std::string& PortMapDir() const { return MapDir; }
    const std::string& DevicePath() const { return SlavePath; }

    // Delay before each reply, to space replies out on the line.
    std::atomic<int> ReplyDelayMs{0};
    // Answer n more requests, then hold the next answer until Release().
    void HoldAfter(int n);
    void Release();
    // Requests answered so far.
    std::atomic<int> Replies{0};

private:
    void Serve();

    int Master = -1;
    int SlaveFd = -1;
    std::string SlavePath;
    std::string MapDir;
    modbus_t* Ctx = nullptr;
    modbus_mapping_t* Mapping = nullptr;
    std::mutex MappingLock;
    std::atomic<bool> Stop{false};
    std::mutex HoldLock;
    std::condition_variable HoldChanged;
    int UntilHold = -1; // replies left before holding; -1: never hold
    std::thread Thread;
};
