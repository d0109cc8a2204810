// Port benchmarks on pseudo-terminals: TComm32 against a plain poll/read/write loop and libserialport
// (throughput both ways, CPU per MB), a 03H round trip against libmodbus's master, and an idle port.
#include "bench_common.h"

#include "comm32.h"
#include "modbus_request.h"
#include "modbus_slave.h"
#include "receive_loop.h"

#include <benchmark/benchmark.h>
#include <libserialport.h>
#include <modbus/modbus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// libserialport will not open a pty by itself: its open reads the modem lines (TIOCMGET), which a
// pty does not have. While FakeModemLines is set on the calling thread (only around libserialport's
// own set-up and tear-down calls), this program answers the modem-line calls for a pty as a
// null-modem cable with all lines up would; every other call goes to the C library as is.
namespace {
thread_local bool FakeModemLines = false;

class TFakeModemLines {
public:
    TFakeModemLines() { FakeModemLines = true; }
    ~TFakeModemLines() { FakeModemLines = false; }
    TFakeModemLines(const TFakeModemLines&) = delete;
    TFakeModemLines& operator=(const TFakeModemLines&) = delete;
};

bool IsPty(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}
} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    using TIoctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<TIoctl>(dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int r = real(fd, request, arg);
    if (r == 0 || errno != ENOTTY || !FakeModemLines || !IsPty(fd)) return r;
    if (request == TIOCMGET) {
        *static_cast<int*>(arg) = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    }
    if (request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) return 0;
    return r;
}

namespace {

using bench::TRawPty;

constexpr long BytesPerIteration = 256 * 1024;
constexpr std::size_t IoBlock = 4096;

// What every port under test offers the transfer loops: give bytes, take bytes, wait for either.
class TPortUnderTest {
public:
    virtual ~TPortUnderTest() = default;
    virtual long Send(const char* p, long n) = 0; // bytes accepted, may be 0
    virtual long Receive(char* p, long n) = 0;    // bytes taken, may be 0
    virtual void WaitSendRoom() = 0;              // after Send accepted nothing
    virtual void WaitReceived() = 0;              // after Receive found nothing
};

// Wakes the application thread from the port's notification handler (on the reader thread).
class TNotifyGate {
public:
    void Signal()
    {
        {
            std::lock_guard<std::mutex> lock(M);
            ++Seq;
        }
        C.notify_one();
    }
    unsigned Current()
    {
        std::lock_guard<std::mutex> lock(M);
        return Seq;
    }
    // Waits for a signal after `seen`; the short bound only guards against a lost wake-up.
    void WaitAfter(unsigned seen)
    {
        std::unique_lock<std::mutex> lock(M);
        C.wait_for(lock, std::chrono::milliseconds(20), [&] { return Seq != seen; });
    }

private:
    std::mutex M;
    std::condition_variable C;
    unsigned Seq = 0;
};

class TOurPort : public TPortUnderTest {
public:
    // Wakes the application for the events it waits for, as an application's handler would.
    explicit TOurPort(const std::string& path, long queueSize = 0,
                      int interest = KestroComm32::EV_RXCHAR | KestroComm32::EV_TXEMPTY)
    {
        if (queueSize > 0) {
            Port.fSetInBufSize(queueSize);
            Port.fSetOutBufSize(queueSize);
        }
        Port.fSetPortName(path);
        Port.fSetBaud(115200);
        Port.OnNotify = [this, interest](KestroComm32::TObject*, int mask) {
            if (mask & interest) Gate.Signal();
        };
        Port.Open();
    }
    ~TOurPort() override { Port.Close(); }
    long Send(const char* p, long n) override
    {
        Seen = Gate.Current();
        return Port.Write(p, n);
    }
    long Receive(char* p, long n) override
    {
        Seen = Gate.Current();
        return Port.Read(p, n);
    }
    void WaitSendRoom() override { Gate.WaitAfter(Seen); }
    void WaitReceived() override { Gate.WaitAfter(Seen); }

    KestroComm32::TComm32 Port;
    TNotifyGate Gate;
    unsigned Seen = 0;
};

// The same with 1 MiB queues, as an application that moves bulk data would configure them.
class TOurPortBigQueues : public TOurPort {
public:
    explicit TOurPortBigQueues(const std::string& path) : TOurPort(path, 1 << 20) {}
};

class TRawPort : public TPortUnderTest {
public:
    explicit TRawPort(const std::string& path) : Fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (Fd < 0) throw std::runtime_error("open failed");
        TRawPty::MakeRaw(Fd);
    }
    ~TRawPort() override { close(Fd); }
    long Send(const char* p, long n) override
    {
        const ssize_t r = write(Fd, p, static_cast<std::size_t>(n));
        return r > 0 ? r : 0;
    }
    long Receive(char* p, long n) override
    {
        const ssize_t r = read(Fd, p, static_cast<std::size_t>(n));
        return r > 0 ? r : 0;
    }
    void WaitSendRoom() override { Wait(POLLOUT); }
    void WaitReceived() override { Wait(POLLIN); }

private:
    void Wait(short events)
    {
        pollfd p{Fd, events, 0};
        poll(&p, 1, 20);
    }
    int Fd;
};

class TSerialPortLib : public TPortUnderTest {
public:
    explicit TSerialPortLib(const std::string& path)
    {
        const TFakeModemLines fake;
        // Nor does it look a pty up by name (it wants the device in /sys/class/tty): take the port record
        // of /dev/ptmx, which it finds there, and give it the pty's path. The name is the record's first
        // field in every version of the library.
        if (sp_get_port_by_name("/dev/ptmx", &Port) != SP_OK) throw std::runtime_error("sp_get_port_by_name failed");
        char*& name = *reinterpret_cast<char**>(Port);
        std::free(name);
        name = strdup(path.c_str());
        if (path != sp_get_port_name(Port)) throw std::runtime_error("cannot name the libserialport port");
        if (sp_open(Port, SP_MODE_READ_WRITE) != SP_OK) {
            char* msg = sp_last_error_message();
            const std::string text = std::string("sp_open failed: ") + (msg ? msg : "");
            sp_free_error_message(msg);
            sp_free_port(Port);
            throw std::runtime_error(text);
        }
        sp_set_baudrate(Port, 115200);
        sp_set_bits(Port, 8);
        sp_set_parity(Port, SP_PARITY_NONE);
        sp_set_stopbits(Port, 1);
        sp_set_flowcontrol(Port, SP_FLOWCONTROL_NONE);
    }
    ~TSerialPortLib() override
    {
        const TFakeModemLines fake;
        sp_close(Port);
        sp_free_port(Port);
    }
    // The library's blocking calls do the waiting themselves.
    long Send(const char* p, long n) override
    {
        const int r = sp_blocking_write(Port, p, static_cast<std::size_t>(n), 20);
        return r > 0 ? r : 0;
    }
    long Receive(char* p, long n) override
    {
        const int r = sp_blocking_read_next(Port, p, static_cast<std::size_t>(n), 20);
        return r > 0 ? r : 0;
    }
    void WaitSendRoom() override {}
    void WaitReceived() override {}

private:
    sp_port* Port = nullptr;
};

// The far end of the pty: a plain blocking loop on the master that reads or writes one round of
// BytesPerIteration whenever the benchmark asks, and says when the round's last byte went through.
class TPeer {
public:
    TPeer(int fd, bool writes) : Fd(fd), Writes(writes), Thread([this] { Run(); }) {}
    ~TPeer()
    {
        {
            std::lock_guard<std::mutex> lock(M);
            Stop = true;
        }
        C.notify_all();
        Thread.join();
    }
    void StartRound()
    {
        {
            std::lock_guard<std::mutex> lock(M);
            ++Requested;
        }
        C.notify_all();
    }
    // Waits until the round is through; false when it did not end within the bound (lost bytes).
    bool WaitRound(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> lock(M);
        return C.wait_for(lock, bound, [&] { return Finished == Requested; });
    }
    double LastByteTime() const { return LastByte.load(); }
    long Moved() const { return Total.load(); }

private:
    void Run()
    {
        std::vector<char> buf(64 * 1024, 'x');
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(M);
                C.wait(lock, [&] { return Stop || Requested != Finished; });
                if (Stop) return;
            }
            long moved = 0;
            while (moved < BytesPerIteration) {
                pollfd p{Fd, static_cast<short>(Writes ? POLLOUT : POLLIN), 0};
                if (poll(&p, 1, 50) <= 0) {
                    std::lock_guard<std::mutex> lock(M);
                    if (Stop) return;
                    continue;
                }
                const std::size_t want =
                    std::min<std::size_t>(buf.size(), static_cast<std::size_t>(BytesPerIteration - moved));
                const ssize_t r = Writes ? write(Fd, buf.data(), want) : read(Fd, buf.data(), want);
                if (r > 0) moved += r;
            }
            Total += moved;
            LastByte = bench::Wall();
            {
                std::lock_guard<std::mutex> lock(M);
                ++Finished;
            }
            C.notify_all();
        }
    }

    int Fd;
    bool Writes;
    std::mutex M;
    std::condition_variable C;
    bool Stop = false;
    long Requested = 0;
    long Finished = 0;
    std::atomic<double> LastByte{0};
    std::atomic<long> Total{0};
    std::thread Thread;
};

enum class TDir { Send, Receive };

struct TRound {
    double Seconds = 0; // first byte offered to the last byte through
    double Cpu = 0;     // process CPU meanwhile (the other ports of the set sit idle)
    long Delivered = 0;
    long Lost = 0;
};

// One port under test with a pty and a peer of its own.
struct TContender {
    TRawPty Pty;
    std::unique_ptr<TPortUnderTest> Port;
    std::unique_ptr<TPeer> Peer;
    double Seconds = 0, Cpu = 0;
    long Delivered = 0, Lost = 0;
    std::vector<double> Rates; // MB/s of each round

    template <class TPort>
    static std::unique_ptr<TContender> Make(TDir dir)
    {
        auto c = std::make_unique<TContender>();
        TRawPty::SetNonBlocking(c->Pty.Master);
        c->Port = std::make_unique<TPort>(c->Pty.DevicePath);
        c->Peer = std::make_unique<TPeer>(c->Pty.Master, dir == TDir::Receive);
        return c;
    }
    void Add(const TRound& r)
    {
        Seconds += r.Seconds;
        Cpu += r.Cpu;
        Delivered += r.Delivered;
        Lost += r.Lost;
        Rates.push_back(static_cast<double>(r.Delivered) / 1e6 / std::max(r.Seconds, 1e-9));
    }
};

// Moves one round of BytesPerIteration through the port in the given direction.
TRound RunRound(TContender& c, TDir dir, std::vector<char>& buf)
{
    TPortUnderTest& port = *c.Port;
    TPeer& peer = *c.Peer;
    TRound r;
    const double cpu0 = bench::ProcessCpu();
    const double start = bench::Wall();
    double end = start;
    peer.StartRound();
    if (dir == TDir::Send) {
        for (long sent = 0; sent < BytesPerIteration;) {
            const long n = port.Send(buf.data(), std::min<long>(IoBlock, BytesPerIteration - sent));
            if (n == 0) port.WaitSendRoom();
            sent += n;
        }
        if (!peer.WaitRound(std::chrono::seconds(10))) throw std::runtime_error("send did not arrive");
        end = peer.LastByteTime();
        r.Delivered = BytesPerIteration;
    } else {
        long got = 0;
        bool peerDone = false;
        double quietSince = start;
        while (got < BytesPerIteration) {
            const long n = port.Receive(buf.data(), IoBlock);
            const double now = bench::Wall();
            if (n > 0) {
                got += n;
                end = now;
                quietSince = now;
                continue;
            }
            // A port that drops what its queue cannot hold never gets the full round: stop after the
            // peer is done and the line has been quiet for a while, and count the loss.
            if (!peerDone) peerDone = peer.WaitRound(std::chrono::milliseconds(0));
            if (peerDone && now - quietSince > 0.03) break;
            port.WaitReceived();
        }
        peer.WaitRound(std::chrono::seconds(10));
        r.Delivered = got;
        r.Lost = BytesPerIteration - got;
    }
    r.Seconds = std::max(end - start, 1e-9);
    r.Cpu = bench::ProcessCpu() - cpu0;
    return r;
}

// All contenders of one direction side by side: each iteration runs one round of each, in an order
// that rotates, so a noisy moment on the shared machine hits them alike. Reports each one's MB/s,
// CPU s/MB and loss, and the median over rounds of ours' rate against each reference.
void BM_TransferSideBySide(benchmark::State& state)
{
    const TDir dir = state.range(0) == 0 ? TDir::Send : TDir::Receive;
    std::vector<std::pair<std::string, std::unique_ptr<TContender>>> set;
    try {
        set.emplace_back("ours", TContender::Make<TOurPort>(dir));
        set.emplace_back("raw", TContender::Make<TRawPort>(dir));
        set.emplace_back("lsp", TContender::Make<TSerialPortLib>(dir));
        if (dir == TDir::Receive) set.emplace_back("ours_1MiB", TContender::Make<TOurPortBigQueues>(dir));
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    std::vector<char> buf(IoBlock, 'y');
    std::size_t first = 0;
    try {
        for (auto _ : state) {
            double total = 0;
            for (std::size_t k = 0; k < set.size(); ++k) {
                TContender& c = *set[(first + k) % set.size()].second;
                const TRound r = RunRound(c, dir, buf);
                c.Add(r);
                total += r.Seconds;
            }
            first = (first + 1) % set.size();
            state.SetIterationTime(total);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const TContender& ours = *set[0].second;
    for (const auto& [name, c] : set) {
        const double mb = static_cast<double>(c->Delivered) / 1e6;
        state.counters[name + "_MBps"] = mb / std::max(c->Seconds, 1e-9);
        state.counters[name + "_cpu_s_per_MB"] = mb > 0 ? c->Cpu / mb : 0;
        state.counters[name + "_lost_pct"] =
            100.0 * static_cast<double>(c->Lost) / std::max<double>(static_cast<double>(c->Delivered + c->Lost), 1);
        if (c.get() == &ours) continue;
        std::vector<double> ratios;
        for (std::size_t i = 0; i < ours.Rates.size() && i < c->Rates.size(); ++i)
            ratios.push_back(ours.Rates[i] / c->Rates[i]);
        state.counters["ours_over_" + name] = bench::Quantile(ratios, 0.5);
    }
}

// ---- 03H round trip against the libmodbus slave ----

constexpr int ReplyLength = 3 + 2 * 10 + 2;

Busprobe::TRequestFrame ReadRequest() { return Busprobe::BuildRequest(0x03, "1", "0", "10"); }

// Times one exchange per iteration and reports the median and 99th percentile; exchange() says
// whether the reply was the right one.
template <class TExchange>
void TimeRoundTrips(benchmark::State& state, TExchange exchange)
{
    std::vector<double> samples;
    for (auto _ : state) {
        const double start = bench::Wall();
        const bool ok = exchange(start);
        const double t = bench::Wall() - start;
        if (!ok) {
            state.SkipWithError("wrong or missing reply");
            break;
        }
        samples.push_back(t);
        state.SetIterationTime(t);
    }
    state.counters["p50_us"] = bench::Quantile(samples, 0.5) * 1e6;
    state.counters["p99_us"] = bench::Quantile(samples, 0.99) * 1e6;
}

// Our library: write the request, read until the whole reply is there.
bool ExchangeOurs(TOurPort& port, const Busprobe::TRequestFrame& req, double start)
{
    std::uint8_t reply[256];
    port.Send(reinterpret_cast<const char*>(req.Bytes.data()), req.Length);
    int got = 0;
    while (got < ReplyLength) {
        const long n = port.Receive(reinterpret_cast<char*>(reply) + got, sizeof reply - static_cast<std::size_t>(got));
        if (n == 0) {
            if (bench::Wall() - start > 2) break;
            port.WaitReceived();
        }
        got += static_cast<int>(n);
    }
    return got == ReplyLength && reply[1] == 0x03 && reply[3] == 0x01 && reply[4] == 0x00;
}

// Our library and libmodbus's own master, each against a libmodbus slave on a pty of its own, one
// exchange of each per iteration in alternating order.
void BM_RoundTripSideBySide(benchmark::State& state)
{
    TModbusPtySlave ourSlave(8);
    TModbusPtySlave theirSlave(9);
    TOurPort port(ourSlave.DevicePath(), 0, KestroComm32::EV_RXCHAR); // it waits for the reply only
    modbus_t* ctx = modbus_new_rtu(theirSlave.DevicePath().c_str(), 115200, 'N', 8, 1);
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        state.SkipWithError("modbus_connect failed");
        return;
    }
    const auto req = ReadRequest();
    std::uint16_t regs[10];
    std::vector<double> ours, theirs;
    bool oursFirst = true;
    for (auto _ : state) {
        double t[2] = {0, 0};
        bool ok = true;
        for (int k = 0; k < 2; ++k) {
            const bool mine = (k == 0) == oursFirst;
            const double start = bench::Wall();
            ok = ok && (mine ? ExchangeOurs(port, req, start)
                             : modbus_read_registers(ctx, 0, 10, regs) == 10 && regs[0] == 0x0100);
            t[mine ? 0 : 1] = bench::Wall() - start;
        }
        if (!ok) {
            state.SkipWithError("wrong or missing reply");
            break;
        }
        ours.push_back(t[0]);
        theirs.push_back(t[1]);
        oursFirst = !oursFirst;
        state.SetIterationTime(t[0] + t[1]);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    for (const auto& [name, v] : {std::pair{"ours", &ours}, std::pair{"libmodbus", &theirs}}) {
        state.counters[std::string(name) + "_p50_us"] = bench::Quantile(*v, 0.5) * 1e6;
        state.counters[std::string(name) + "_p99_us"] = bench::Quantile(*v, 0.99) * 1e6;
    }
}

// busprobe's way: the request through our library, the reply cut by the window's receive loop, which
// hands a reply over only after more than 30 ms of silence (its 100 ms timer comes on top of that)
// and sleeps on the port's queue meanwhile. Also reports the CPU the loop's thread spends per reply.
void BM_RoundTripSilenceRule(benchmark::State& state)
{
    TModbusPtySlave slave(9);
    TOurPort port(slave.DevicePath());
    const auto req = ReadRequest();
    std::uint8_t recv[Busprobe::RecvBufferSize];
    double loopCpu = 0;
    int replies = 0;
    TimeRoundTrips(state, [&](double start) {
        port.Send(reinterpret_cast<const char*>(req.Bytes.data()), req.Length);
        const double cpu0 = bench::Seconds(CLOCK_THREAD_CPUTIME_ID);
        int got = 0;
        while (got == 0 && bench::Wall() - start < 2) {
            Busprobe::ReceiveReplies(
                recv, [&](std::uint8_t& b) { return port.Port.Read(&b, 1) == 1; }, Busprobe::GetTickCount,
                [&](const std::uint8_t*, int count) { got = count; },
                [&](std::uint32_t ms) { port.Port.WaitForData(ms); });
            // The window's timer comes back later; here the next look waits for the first byte.
            if (got == 0) port.Port.WaitForData(100);
        }
        loopCpu += bench::Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        ++replies;
        return got == ReplyLength;
    });
    state.counters["loop_cpu_us_per_reply"] = replies > 0 ? loopCpu / replies * 1e6 : 0;
}

// ---- an open port with nothing to do ----

void BM_IdleOpenPort(benchmark::State& state)
{
    TRawPty pty;
    for (auto _ : state) {
        TOurPort port(pty.DevicePath);
        const double cpu0 = bench::ProcessCpu();
        const double wall0 = bench::Wall();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double cpu = bench::ProcessCpu() - cpu0;
        const double wall = bench::Wall() - wall0;
        state.SetIterationTime(wall);
        state.counters["cpu_pct"] = 100.0 * cpu / wall;
    }
}

} // namespace

// 16 rounds of 256 KiB per contender and repetition: a slow port must not stretch the run, a fast one
// must still move enough for a stable figure.
BENCHMARK(BM_TransferSideBySide)
    ->Name("Port/send")
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(16);
BENCHMARK(BM_TransferSideBySide)
    ->Name("Port/receive")
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(16);

BENCHMARK(BM_RoundTripSideBySide)
    ->Name("RoundTrip/ours_vs_libmodbus")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(1000);
BENCHMARK(BM_RoundTripSilenceRule)
    ->Name("RoundTrip/busprobe_silence")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

BENCHMARK(BM_IdleOpenPort)
    ->Name("IdlePort/ours")
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->Repetitions(1);
