// The scripted comm layer: a driver that behaves like the Windows one as far as TComm32 can tell.
#include "fake_platform.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace KestroComm32::Testing {

using Guard = std::unique_lock<std::mutex>;

TFakeCommPlatform::TPort* TFakeCommPlatform::Find(const std::string& name)
{
    auto it = Ports.find(name);
    return it == Ports.end() ? nullptr : &it->second;
}

TFakeCommPlatform::TPort* TFakeCommPlatform::Find(THandle h)
{
    for (auto& [name, port] : Ports)
        if (port.Handle == h && h != INVALID_HANDLE_VALUE) return &port;
    return nullptr;
}

TFakeCommPlatform::TPort* TFakeCommPlatform::Usable(THandle h)
{
    TPort* p = Find(h);
    if (p != nullptr && (p->Open || p->Attached)) return p;
    ++Stray;
    return nullptr;
}

int TFakeCommPlatform::CallsAfterRelease()
{
    Guard g(Lock);
    return Stray;
}

void TFakeCommPlatform::AddPort(const std::string& name)
{
    Guard g(Lock);
    TPort& p = Ports[name];
    p.Name = name;
}

THandle TFakeCommPlatform::ExternalPort(const std::string& name)
{
    Guard g(Lock);
    TPort& p = Ports[name];
    p.Name = name;
    p.External = true;
    p.Handle = NextHandle++;
    return p.Handle;
}

void TFakeCommPlatform::Fail(const std::string& op, bool on)
{
    Guard g(Lock);
    if (on) Failing.insert(op);
    else Failing.erase(op);
}

void TFakeCommPlatform::Receive(const std::string& name, const std::string& bytes)
{
    Guard g(Lock);
    TPort* p = Find(name);
    p->Input += bytes;
    p->Pending |= EV_RXCHAR;
    Changed.notify_all();
}

void TFakeCommPlatform::SetModem(const std::string& name, std::uint32_t status, std::uint32_t events)
{
    Guard g(Lock);
    TPort* p = Find(name);
    p->Modem = status;
    p->Pending |= events;
    if (status & MS_CTS_ON) p->TxHeld = false; // the driver sends what it held, silently
    Changed.notify_all();
}

void TFakeCommPlatform::LineError(const std::string& name, std::uint32_t errors, bool raise)
{
    Guard g(Lock);
    TPort* p = Find(name);
    p->Errors |= errors;
    if (raise) p->Pending |= EV_ERR;
    Changed.notify_all();
}

TFakeCommPlatform::TPort TFakeCommPlatform::Port(const std::string& name)
{
    Guard g(Lock);
    TPort* p = Find(name);
    return p != nullptr ? *p : TPort{};
}

std::vector<std::string> TFakeCommPlatform::CreateFileNames()
{
    Guard g(Lock);
    return Names;
}

int TFakeCommPlatform::LiveEvents()
{
    Guard g(Lock);
    return 2 * LiveObjects;
}

int TFakeCommPlatform::LivePorts()
{
    Guard g(Lock);
    return static_cast<int>(
        std::count_if(Ports.begin(), Ports.end(), [](const auto& e) { return e.second.Open || e.second.Attached; }));
}

bool TFakeCommPlatform::WaitUntil(const std::function<bool(TFakeCommPlatform&)>& pred,
                                  std::chrono::milliseconds timeout)
{
    Guard g(Lock);
    return Changed.wait_for(g, timeout, [&] { return pred(*this); });
}

namespace {

// One port the fake opened or adopted; released, it closes or gives back the port.
class TFakePort final : public TCommPort {
public:
    TFakePort(TFakeCommPlatform& fake, THandle handle, bool attached) : Fake(fake), Id(handle), Attached(attached) {}
    ~TFakePort() override
    {
        if (Attached) Fake.DetachHandle(Id);
        else Fake.CloseHandle(Id);
    }
    THandle Handle() const override { return Id; }
    bool SetupComm(long inSize, long outSize) override { return Fake.SetupComm(Id, inSize, outSize); }
    bool GetCommState(DCB& dcb) override { return Fake.GetCommState(Id, dcb); }
    bool SetCommState(const DCB& dcb) override { return Fake.SetCommState(Id, dcb); }
    bool SetCommMask(std::uint32_t mask) override { return Fake.SetCommMask(Id, mask); }
    TCommWait WaitCommEvent(std::uint32_t& mask) override { return Fake.WaitCommEvent(Id, mask); }
    bool ClearCommError(std::uint32_t& errors, COMSTAT& stat) override { return Fake.ClearCommError(Id, errors, stat); }
    bool GetCommModemStatus(std::uint32_t& status) override { return Fake.GetCommModemStatus(Id, status); }
    bool PurgeComm(std::uint32_t flags) override { return Fake.PurgeComm(Id, flags); }
    bool EscapeCommFunction(std::uint32_t function) override { return Fake.EscapeCommFunction(Id, function); }
    TIoResult ReadFile(void* buffer, std::uint32_t count, std::uint32_t& got) override
    {
        return Fake.ReadFile(Id, buffer, count, got);
    }
    TIoResult WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        return Fake.WriteFile(Id, buffer, count, done);
    }
    bool WaitWritable() override { return Fake.WaitWritable(Id); }
    void WakeWaiter() override { Fake.WakeWaiter(Id); }
    void Stop() override { Fake.Stop(Id); }

private:
    TFakeCommPlatform& Fake;
    THandle Id;
    bool Attached;
};

} // namespace

std::unique_ptr<TCommPort> TFakeCommPlatform::CreateFile(const UnicodeString& name)
{
    Guard g(Lock);
    Names.push_back(name);
    TPort* p = Find(name);
    if (p == nullptr || p->External || p->Open || Fails("CreateFile")) return nullptr;
    p->Open = true;
    ++p->Opens;
    p->Handle = NextHandle++;
    p->Mask = 0;
    p->Pending = 0;
    p->Woken = p->Stopped = false;
    ++LiveObjects;
    Changed.notify_all();
    return std::make_unique<TFakePort>(*this, p->Handle, false);
}

void TFakeCommPlatform::CloseHandle(THandle port)
{
    Guard g(Lock);
    if (TPort* p = Find(port)) {
        p->Open = false;
        p->Handle = INVALID_HANDLE_VALUE;
        ++p->MaskGen;
    }
    --LiveObjects;
    Changed.notify_all();
}

std::unique_ptr<TCommPort> TFakeCommPlatform::AttachHandle(THandle handle)
{
    Guard g(Lock);
    TPort* p = Find(handle);
    if (p == nullptr || !p->External) return nullptr;
    p->Attached = true;
    p->Woken = p->Stopped = false;
    ++LiveObjects;
    return std::make_unique<TFakePort>(*this, handle, true);
}

void TFakeCommPlatform::DetachHandle(THandle port)
{
    Guard g(Lock);
    if (TPort* p = Find(port)) {
        p->Attached = false;
        ++p->MaskGen;
    }
    --LiveObjects;
    Changed.notify_all();
}

bool TFakeCommPlatform::SetupComm(THandle port, long, long)
{
    Guard g(Lock);
    return Usable(port) != nullptr && !Fails("SetupComm");
}

bool TFakeCommPlatform::GetCommState(THandle port, DCB& dcb)
{
    Guard g(Lock);
    TPort* p = Usable(port);
    if (p == nullptr || Fails("GetCommState")) return false;
    dcb = p->State;
    dcb.fAbortOnError = 1;
    return true;
}

bool TFakeCommPlatform::SetCommState(THandle port, const DCB& dcb)
{
    Guard g(Lock);
    TPort* p = Usable(port);
    if (p == nullptr || Fails("SetCommState")) return false;
    p->State = dcb;
    p->StateSet = true;
    return true;
}

bool TFakeCommPlatform::SetCommMask(THandle port, std::uint32_t mask)
{
    Guard g(Lock);
    TPort* p = Usable(port);
    if (p == nullptr || Fails("SetCommMask")) return false;
    p->Mask = mask;
    p->Masks.push_back(mask);
    ++p->MaskGen;
    Changed.notify_all();
    return true;
}

TCommWait TFakeCommPlatform::WaitCommEvent(THandle port, std::uint32_t& mask)
{
    Guard g(Lock);
    mask = 0;
    TPort* p = Usable(port);
    if (p == nullptr) return TCommWait::Failed;
    const unsigned gen = p->MaskGen;
    Changed.wait(g, [&] { return p->Stopped || p->Woken || p->MaskGen != gen || (p->Pending & p->Mask) != 0; });
    if (p->Stopped || std::exchange(p->Woken, false)) return TCommWait::Stopped;
    if (p->MaskGen != gen) return TCommWait::Event;
    mask = p->Pending & p->Mask;
    p->Pending = 0;
    return TCommWait::Event;
}

bool TFakeCommPlatform::ClearCommError(THandle port, std::uint32_t& errors, COMSTAT& stat)
{
    Guard g(Lock);
    TPort* p = Usable(port);
    if (p == nullptr) return false;
    errors = std::exchange(p->Errors, 0u);
    stat.cbInQue = static_cast<std::uint32_t>(p->Input.size());
    stat.cbOutQue = 0;
    return true;
}

bool TFakeCommPlatform::GetCommModemStatus(THandle port, std::uint32_t& status)
{
    Guard g(Lock);
    TPort* p = Usable(port);
    if (p == nullptr || Fails("GetCommModemStatus")) return false;
    status = p->Modem;
    return true;
}

bool TFakeCommPlatform::PurgeComm(THandle port, std::uint32_t flags)
{
    {
        Guard g(Lock);
        TPort* p = Usable(port);
        if (p == nullptr) return false;
        p->Purges.push_back(flags);
        if (flags & PURGE_RXCLEAR) p->Input.clear();
    }
    Call("PurgeComm");
    return true;
}

bool TFakeCommPlatform::EscapeCommFunction(THandle port, std::uint32_t function)
{
    Guard g(Lock);
    TPort* p = Usable(port);
    if (p == nullptr || Fails("EscapeCommFunction")) return false;
    p->Escapes.push_back(function);
    return true;
}

TIoResult TFakeCommPlatform::ReadFile(THandle port, void* buffer, std::uint32_t count, std::uint32_t& got)
{
    Guard g(Lock);
    got = 0;
    TPort* p = Usable(port);
    if (p == nullptr) return TIoResult::Failed;
    got = static_cast<std::uint32_t>(std::min<std::size_t>(count, p->Input.size()));
    if (got == 0) return TIoResult::Pending;
    std::memcpy(buffer, p->Input.data(), got);
    p->Input.erase(0, got);
    p->Reads.push_back(got);
    Changed.notify_all();
    g.unlock();
    Call("ReadFile");
    return TIoResult::Done;
}

TIoResult TFakeCommPlatform::WriteFile(THandle port, const void* buffer, std::uint32_t count, std::uint32_t& done)
{
    Call("WriteFile");
    Guard g(Lock);
    done = 0;
    TPort* p = Usable(port);
    if (p == nullptr) return TIoResult::Failed;
    p->Writes.emplace_back(static_cast<const char*>(buffer), count);
    done = count;
    // Under the CTS handshake with CTS off the driver keeps the bytes and its send buffer stays full.
    if (p->State.fOutxCtsFlow && !(p->Modem & MS_CTS_ON)) p->TxHeld = true;
    else p->Pending |= EV_TXEMPTY;
    Changed.notify_all();
    return TIoResult::Done;
}

bool TFakeCommPlatform::WaitWritable(THandle port)
{
    Guard g(Lock);
    TPort* p = Usable(port);
    return p != nullptr && !p->Stopped;
}

void TFakeCommPlatform::WakeWaiter(THandle port)
{
    Guard g(Lock);
    if (TPort* p = Usable(port)) p->Woken = true;
    Changed.notify_all();
}

void TFakeCommPlatform::Stop(THandle port)
{
    Guard g(Lock);
    if (TPort* p = Usable(port)) p->Stopped = true;
    Changed.notify_all();
}

} // namespace KestroComm32::Testing
