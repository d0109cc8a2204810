// A scripted comm layer for tests: ports and events in memory, failures on demand, every call recorded.
#pragma once

#include "comm32_platform.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace KestroComm32::Testing {

class TFakeCommPlatform : public TCommPlatform {
public:
    // What a test can see of one port (a snapshot taken under the lock).
    struct TPort {
        std::string Name;
        THandle Handle = INVALID_HANDLE_VALUE;
        bool Open = false;     // created by CreateFile and not yet closed
        bool Attached = false; // adopted with AttachHandle and not yet detached
        bool External = false; // a handle a test made with ExternalPort
        std::uint32_t Mask = 0;
        unsigned MaskGen = 0;
        std::uint32_t Pending = 0; // events not yet reported
        std::string Input;         // bytes waiting in the driver
        std::uint32_t Errors = 0;  // line errors (CE_ bits) ClearCommError has not yet reported
        std::vector<std::uint32_t> Reads;
        std::vector<std::string> Writes;
        std::vector<std::uint32_t> Masks; // every SetCommMask
        std::vector<std::uint32_t> Purges;
        std::vector<std::uint32_t> Escapes;
        std::uint32_t Modem = 0;
        DCB State;
        bool StateSet = false;
        bool TxHeld = false; // a write waits for CTS
        int Opens = 0;
        bool Woken = false;   // WakeWaiter not yet seen by a wait
        bool Stopped = false; // Stop called on the open port object
    };

    // Makes a port that CreateFile(name) opens.
    void AddPort(const std::string& name);
    // A port handle as if opened elsewhere (for fSetHandle).
    THandle ExternalPort(const std::string& name);
    // The next calls of the named operation fail ("CreateFile", "SetCommMask", "SetupComm",
    // "GetCommState", "SetCommState", "GetCommModemStatus", "EscapeCommFunction"), until cleared.
    void Fail(const std::string& op, bool on = true);

    // The line side.
    void Receive(const std::string& name, const std::string& bytes);
    void SetModem(const std::string& name, std::uint32_t status, std::uint32_t events);
    // Line errors the driver saw, announced with EV_ERR or (raise false) left for the next look.
    void LineError(const std::string& name, std::uint32_t errors, bool raise);

    // Called outside the lock at "WriteFile" (before the driver takes the bytes), "ReadFile" (after
    // it gave some) and "PurgeComm" (after the flush): a test holds a thread up there. Set it before
    // the port opens.
    std::function<void(const std::string& op)> OnCall;
    // Calls made on a port or event after it was closed.
    int CallsAfterRelease();

    TPort Port(const std::string& name);
    std::vector<std::string> CreateFileNames();
    int LiveEvents(); // the wake-up events of port objects not yet released (two each)
    int LivePorts();  // open or attached

    // Waits until pred (called under the lock with this object) holds; false on time-out.
    bool WaitUntil(const std::function<bool(TFakeCommPlatform&)>& pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // For predicates inside WaitUntil: the port as it is (no lock taken).
    const TPort& PortUnlocked(const std::string& name) { return *Find(name); }

    // TCommPlatform
    std::unique_ptr<TCommPort> CreateFile(const UnicodeString& name) override;
    std::unique_ptr<TCommPort> AttachHandle(THandle handle) override;

    // What the port objects call, by handle.
    void CloseHandle(THandle port);
    void DetachHandle(THandle port);
    bool SetupComm(THandle port, long inSize, long outSize);
    bool GetCommState(THandle port, DCB& dcb);
    bool SetCommState(THandle port, const DCB& dcb);
    bool SetCommMask(THandle port, std::uint32_t mask);
    TCommWait WaitCommEvent(THandle port, std::uint32_t& mask);
    bool ClearCommError(THandle port, std::uint32_t& errors, COMSTAT& stat);
    bool GetCommModemStatus(THandle port, std::uint32_t& status);
    bool PurgeComm(THandle port, std::uint32_t flags);
    bool EscapeCommFunction(THandle port, std::uint32_t function);
    TIoResult ReadFile(THandle port, void* buffer, std::uint32_t count, std::uint32_t& got);
    TIoResult WriteFile(THandle port, const void* buffer, std::uint32_t count, std::uint32_t& done);
    bool WaitWritable(THandle port);
    void WakeWaiter(THandle port);
    void Stop(THandle port);

private:
    std::mutex Lock;
    std::condition_variable Changed;
    std::map<std::string, TPort> Ports;
    int LiveObjects = 0; // port objects not yet released
    std::vector<std::string> Names;
    std::set<std::string> Failing;
    int Stray = 0;
    THandle NextHandle = 100;

    TPort* Find(const std::string& name);
    TPort* Find(THandle h);
    TPort* Usable(THandle h); // open or attached; else counted as a stray call
    void Call(const std::string& op)
    {
        if (OnCall) OnCall(op);
    }
    bool Fails(const std::string& op) const { return Failing.count(op) != 0; }
};

} // namespace KestroComm32::Testing
