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

bool TFakeCommPlatform::Signalled(THandle event) const
{
    auto it = Events.find(event);
    return it == Events.end() || it->second; // a closed event no longer holds anyone
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

void TFakeCommPlatform::FailCreateEventAt(int n)
{
    Guard g(Lock);
    EventFailCountdown = n;
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
    return static_cast<int>(Events.size());
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

THandle TFakeCommPlatform::CreateFile(const UnicodeString& name)
{
    Guard g(Lock);
    Names.push_back(name);
    TPort* p = Find(name);
    if (p == nullptr || p->External || p->Open || Fails("CreateFile")) return INVALID_HANDLE_VALUE;
    p->Open = true;
    ++p->Opens;
    p->Handle = NextHandle++;
    p->Mask = 0;
    p->Pending = 0;
    Changed.notify_all();
    return p->Handle;
}

void TFakeCommPlatform::CloseHandle(THandle port)
{
    Guard g(Lock);
    if (TPort* p = Find(port)) {
        p->Open = false;
        p->Handle = INVALID_HANDLE_VALUE;
        ++p->MaskGen;
    }
    Changed.notify_all();
}

bool TFakeCommPlatform::AttachHandle(THandle port)
{
    Guard g(Lock);
    TPort* p = Find(port);
    if (p == nullptr || !p->External) return false;
    p->Attached = true;
    return true;
}

void TFakeCommPlatform::DetachHandle(THandle port)
{
    Guard g(Lock);
    if (TPort* p = Find(port)) {
        p->Attached = false;
        ++p->MaskGen;
    }
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

TCommWait TFakeCommPlatform::WaitCommEvent(THandle port, std::uint32_t& mask, THandle stopEvent)
{
    Guard g(Lock);
    mask = 0;
    TPort* p = Usable(port);
    if (p == nullptr) return TCommWait::Failed;
    const unsigned gen = p->MaskGen;
    Changed.wait(g, [&] { return Signalled(stopEvent) || p->MaskGen != gen || (p->Pending & p->Mask) != 0; });
    if (Signalled(stopEvent)) return TCommWait::Stopped;
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

bool TFakeCommPlatform::WaitWritable(THandle, THandle stopEvent)
{
    Guard g(Lock);
    return !Signalled(stopEvent);
}

THandle TFakeCommPlatform::CreateEvent()
{
    Guard g(Lock);
    if (EventFailCountdown > 0 && --EventFailCountdown == 0) return INVALID_HANDLE_VALUE;
    const THandle h = NextHandle++;
    Events[h] = false;
    return h;
}

void TFakeCommPlatform::CloseEvent(THandle event)
{
    Guard g(Lock);
    Events.erase(event);
}

bool TFakeCommPlatform::SetEvent(THandle event)
{
    Guard g(Lock);
    auto it = Events.find(event);
    if (it == Events.end()) {
        ++Stray;
        return false;
    }
    it->second = true;
    Changed.notify_all();
    return true;
}

bool TFakeCommPlatform::ResetEvent(THandle event)
{
    Guard g(Lock);
    auto it = Events.find(event);
    if (it == Events.end()) return false;
    it->second = false;
    return true;
}

int TFakeCommPlatform::WaitForMultipleObjects(int count, const THandle* events, std::uint32_t timeoutMs)
{
    Guard g(Lock);
    int index = WAIT_TIMEOUT;
    auto ready = [&] {
        for (int i = 0; i < count; ++i) {
            auto it = Events.find(events[i]);
            if (it == Events.end()) {
                index = WAIT_FAILED;
                return true;
            }
            if (it->second) {
                index = i;
                return true;
            }
        }
        return false;
    };
    if (timeoutMs == INFINITE) Changed.wait(g, ready);
    else Changed.wait_for(g, std::chrono::milliseconds(timeoutMs), ready);
    return index;
}

} // namespace KestroComm32::Testing
