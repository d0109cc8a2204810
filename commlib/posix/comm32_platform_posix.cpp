// The POSIX comm layer: termios ports, eventfd events, comm events from one poll().
#include "comm32_platform.h"
#include "posix_tty.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace KestroComm32 {

namespace {

// Modem lines and line errors are seen when the reader wakes; this is what was last seen.
struct TLineSnapshot {
    bool ModemKnown = false;
    int Modem = 0;
    bool CountsKnown = false;
    serial_icounter_struct Counts{};
};

struct TPortState {
    int Fd = -1;
    bool Owned = false;
    bool Exclusive = false; // TIOCEXCL set by CreateFile
    bool Pty = false;       // a pseudo-terminal: no line, so no data bits or parity of its own
    bool HasLines = false;  // TIOCMGET works: modem lines to watch
    bool HaveSaved = false;
    termios Saved{};
    int SavedFlags = -1;
    int Kick = -1; // eventfd: wakes a waiter on mask changes and after writes
    std::atomic<std::uint32_t> Mask{0};
    std::atomic<unsigned> MaskGen{0};
    std::atomic<bool> TxPending{false};
    std::atomic<bool> HungUp{false};
    std::atomic<std::uint32_t> Baud{9600};
    std::atomic<std::uint32_t> Errors{0};
    std::atomic<char> EvtChar{0};
    std::atomic<bool> EvtCharSeen{false};
    TLineSnapshot Lines; // the waiting thread's own
};

void Kick(int fd)
{
    const std::uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {}
}

void Drain(int fd)
{
    std::uint64_t value;
    while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {}
}

constexpr std::uint32_t ModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
// A tty's poll() does not wake for modem lines: while they are asked for, the wait looks at them
// this often (TIOCMIWAIT would need a thread of its own and a signal to end it).
constexpr int ModemLookMs = 10;

// Why the calling thread's last CreateFile failed.
thread_local TSystemReason LastFailure;

class TPosixCommPlatform final : public TCommPlatform {
public:
    THandle CreateFile(const UnicodeString& name) override
    {
        LastFailure = TSystemReason();
        if (name.empty()) return INVALID_HANDLE_VALUE;
        const PosixTty::TPortPath where = PosixTty::ResolvePortName(name);
        // Each errno comes from the failing call itself.
        auto fail = [&](const char* call, int error, const PosixTty::TTtyHolder& holder = {}) {
            LastFailure = DescribeOpenFailure(error, call, where.Path, where.AliasName, where.AliasLink);
            LastFailure.HolderName = holder.Name;
            LastFailure.HolderPid = holder.Pid;
            return INVALID_HANDLE_VALUE;
        };
        // Share mode 0: one open per port, in this process or any other.
        const PosixTty::TExclusiveTty tty = PosixTty::OpenExclusive(where.Path);
        if (tty.Failure) return fail(tty.Failure.Call, tty.Failure.Error, tty.Holder);
        const int fd = tty.Fd;
        auto st = std::make_shared<TPortState>();
        st->Fd = fd;
        st->Owned = true;
        st->Exclusive = tty.Exclusive;
        if (tcgetattr(fd, &st->Saved) != 0) {
            const int error = errno;
            PosixTty::CloseExclusive(fd, tty.Exclusive);
            return fail("tcgetattr", error);
        }
        st->HaveSaved = true;
        int error = 0;
        if (!Register(st, &error)) {
            Unregister(fd);
            return fail("eventfd", error);
        }
        return fd;
    }

    TSystemReason LastOpenFailure() override { return LastFailure; }

    void CloseHandle(THandle port) override { Unregister(port); }

    bool AttachHandle(THandle port) override
    {
        if (port < 0 || !isatty(port)) return false;
        auto st = std::make_shared<TPortState>();
        st->Fd = port;
        st->SavedFlags = fcntl(port, F_GETFL);
        if (st->SavedFlags < 0) return false;
        // Given back to its owner as it came: line settings as well as file flags.
        st->HaveSaved = tcgetattr(port, &st->Saved) == 0;
        // The threads must never block in read or write.
        if (fcntl(port, F_SETFL, st->SavedFlags | O_NONBLOCK) != 0) return false;
        if (!Register(st)) {
            Unregister(port);
            return false;
        }
        return true;
    }

    void DetachHandle(THandle port) override { Unregister(port); }

    bool SetupComm(THandle port, long inSize, long outSize) override
    {
        // The tty layer sizes its own buffers.
        return Find(port) != nullptr && inSize >= 0 && outSize >= 0;
    }

    bool GetCommState(THandle port, DCB& dcb) override
    {
        auto st = Find(port);
        termios t{};
        if (!st || tcgetattr(port, &t) != 0) return false;
        dcb = DCB{};
        dcb.fBinary = 1;
        unsigned baud = 0;
        if (PosixSpeed::GetSpeed(port, baud)) dcb.BaudRate = baud;
        switch (t.c_cflag & CSIZE) {
        case CS5: dcb.ByteSize = 5; break;
        case CS6: dcb.ByteSize = 6; break;
        case CS7: dcb.ByteSize = 7; break;
        default: dcb.ByteSize = 8; break;
        }
        if (t.c_cflag & PARENB) {
            const bool odd = t.c_cflag & PARODD;
            if (t.c_cflag & CMSPAR) dcb.Parity = odd ? MARKPARITY : SPACEPARITY;
            else dcb.Parity = odd ? ODDPARITY : EVENPARITY;
        }
        if (t.c_cflag & CSTOPB) dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
        dcb.fParity = (t.c_iflag & INPCK) ? 1 : 0;
        int lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(port, TIOCMGET, &lines);
        dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        if (t.c_cflag & CRTSCTS) {
            dcb.fOutxCtsFlow = 1;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            dcb.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }
        dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
        dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
        dcb.EvtChar = st->EvtChar;
        dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
        dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        return true;
    }

    bool SetCommState(THandle port, const DCB& dcb) override
    {
        auto st = Find(port);
        if (!st) return false;
        // What the tty layer cannot do is refused rather than silently ignored.
        if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY) return false;
        if (dcb.StopBits > TWOSTOPBITS || (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
            (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5))
            return false;
        if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
            dcb.fRtsControl == RTS_CONTROL_TOGGLE || dcb.fNull || dcb.fErrorChar)
            return false;
        if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return false;

        PosixTty::TRawLine line;
        line.Baud = dcb.BaudRate;
        line.DataBits = dcb.ByteSize;
        line.Parity = static_cast<PosixTty::TParity>(dcb.Parity);
        line.TwoStopBits = dcb.StopBits != ONESTOPBIT; // 1.5 with 5 data bits, else 2
        line.CheckParity = dcb.fParity && dcb.Parity != NOPARITY;
        const bool handshake = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        line.RtsCts = handshake;
        line.XonXoffOut = dcb.fOutX;
        line.XonXoffIn = dcb.fInX;
        line.XonChar = dcb.XonChar;
        line.XoffChar = dcb.XoffChar;
        termios t{};
        if (PosixTty::SetRawLine(port, line, &t)) return false;

        // tcsetattr succeeds when any part was taken: check that all of it was.
        termios now{};
        if (tcgetattr(port, &now) != 0) return false;
        // A pty always keeps 8 bits without parity; there is no line for the framing to apply to.
        const tcflag_t cmask =
            st->Pty ? (PARODD | CMSPAR | CSTOPB | CRTSCTS) : (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        const tcflag_t imask = IXON | IXOFF | INPCK;
        if ((now.c_cflag & cmask) != (t.c_cflag & cmask) || (now.c_iflag & imask) != (t.c_iflag & imask)) return false;
        unsigned actual = 0;
        if (!PosixSpeed::GetSpeed(port, actual)) return false;
        const double ratio = static_cast<double>(actual) / dcb.BaudRate;
        if (ratio < 0.98 || ratio > 1.02) return false;
        st->Baud = dcb.BaudRate;
        st->EvtChar = dcb.EvtChar;

        using PosixTty::TModemLine;
        if (PosixTty::SetModemLine(port, TModemLine::Dtr, dcb.fDtrControl == DTR_CONTROL_ENABLE)) return false;
        if (!handshake && PosixTty::SetModemLine(port, TModemLine::Rts, dcb.fRtsControl == RTS_CONTROL_ENABLE))
            return false;
        return true;
    }

    bool SetCommMask(THandle port, std::uint32_t mask) override
    {
        auto st = Find(port);
        if (!st) return false;
        st->Mask = mask;
        ++st->MaskGen;
        Kick(st->Kick);
        return true;
    }

    TCommWait WaitCommEvent(THandle port, std::uint32_t& mask, THandle stopEvent) override
    {
        mask = 0;
        auto st = Find(port);
        if (!st) return TCommWait::Failed;
        const unsigned gen = st->MaskGen;
        int drainWait = 0;
        int lastOutq = -1;
        for (;;) {
            const std::uint32_t want = st->Mask;
            const bool watchPort = !st->HungUp;
            const bool watchTx = (want & EV_TXEMPTY) && st->TxPending;
            const bool watchLines = watchPort && st->HasLines && (want & ModemEvents);
            pollfd fds[3] = {{stopEvent, POLLIN, 0}, {st->Kick, POLLIN, 0}, {port, 0, 0}};
            if (want & EV_RXCHAR) fds[2].events = POLLIN;
            // Idle ports block without a time-out unless lines are watched or a send drains.
            int timeout = watchLines ? ModemLookMs : -1;
            if (watchTx) timeout = timeout < 0 ? drainWait : std::min(timeout, drainWait);
            const int r = poll(fds, watchPort ? 3 : 2, timeout);
            if (r < 0) {
                if (errno == EINTR) continue;
                return TCommWait::Failed;
            }
            if (fds[0].revents) return TCommWait::Stopped;
            if (fds[1].revents & POLLIN) Drain(st->Kick);
            if (st->MaskGen != gen) return TCommWait::Event;

            std::uint32_t events = 0;
            if (watchPort) {
                if (fds[2].revents & POLLIN) events |= EV_RXCHAR;
                if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                    // Gone (unplugged or hung up): report once, then stop watching it.
                    st->HungUp = true;
                    events |= EV_ERR;
                } else {
                    events |= LineChanges(*st);
                }
            }
            if ((want & EV_TXEMPTY) && st->TxPending.exchange(false)) {
                const int outq = st->HungUp ? 0 : OutputQueued(*st);
                if (outq > 0) {
                    st->TxPending = true;
                    // Look again about when the driver should be done; back off while it is held.
                    const int estimate =
                        static_cast<int>(static_cast<long long>(outq) * 11000 / std::max<std::uint32_t>(st->Baud, 1)) +
                        1;
                    drainWait =
                        outq == lastOutq ? std::min(std::max(drainWait, 1) * 2, 1000) : std::clamp(estimate, 1, 1000);
                    lastOutq = outq;
                } else {
                    events |= EV_TXEMPTY;
                }
            }
            events &= want;
            if (events != 0) {
                mask = events;
                return TCommWait::Event;
            }
        }
    }

    bool ClearCommError(THandle port, std::uint32_t& errors, COMSTAT& stat) override
    {
        auto st = Find(port);
        if (!st) return false;
        errors = st->Errors.exchange(0);
        int in = 0;
        if (ioctl(port, FIONREAD, &in) != 0) return false;
        const int out = OutputQueued(*st);
        stat.cbInQue = static_cast<std::uint32_t>(std::max(in, 0));
        stat.cbOutQue = static_cast<std::uint32_t>(std::max(out, 0));
        return true;
    }

    bool GetCommModemStatus(THandle port, std::uint32_t& status) override
    {
        auto st = Find(port);
        int lines = 0;
        if (!st) return false;
        if (ioctl(port, TIOCMGET, &lines) == 0) {
            status = ModemBits(lines);
            return true;
        }
        // A pty has no lines and never holds a send: it reads like a null-modem cable that is ready.
        if (!st->Pty) return false;
        status = MS_CTS_ON | MS_DSR_ON;
        return true;
    }

    bool PurgeComm(THandle port, std::uint32_t flags) override
    {
        if (!Find(port)) return false;
        bool ok = true;
        if (flags & PURGE_TXCLEAR) ok = tcflush(port, TCOFLUSH) == 0 && ok;
        if (flags & PURGE_RXCLEAR) ok = tcflush(port, TCIFLUSH) == 0 && ok;
        // Reads and writes never stay pending here, so the abort flags have nothing to cancel.
        return ok;
    }

    bool EscapeCommFunction(THandle port, std::uint32_t function) override
    {
        if (!Find(port)) return false;
        int bit = 0;
        switch (function) {
        case SETXOFF: return tcflow(port, TCOOFF) == 0;
        case SETXON: return tcflow(port, TCOON) == 0;
        case SETRTS: bit = TIOCM_RTS; return ioctl(port, TIOCMBIS, &bit) == 0;
        case CLRRTS: bit = TIOCM_RTS; return ioctl(port, TIOCMBIC, &bit) == 0;
        case SETDTR: bit = TIOCM_DTR; return ioctl(port, TIOCMBIS, &bit) == 0;
        case CLRDTR: bit = TIOCM_DTR; return ioctl(port, TIOCMBIC, &bit) == 0;
        case SETBREAK: return ioctl(port, TIOCSBRK) == 0;
        case CLRBREAK: return ioctl(port, TIOCCBRK) == 0;
        default: return false;
        }
    }

    TIoResult ReadFile(THandle port, void* buffer, std::uint32_t count, std::uint32_t& got) override
    {
        got = 0;
        const ssize_t n = read(port, buffer, count);
        if (n > 0) {
            got = static_cast<std::uint32_t>(n);
            if (auto st = Find(port);
                st && (st->Mask & EV_RXFLAG) &&
                std::memchr(buffer, static_cast<unsigned char>(st->EvtChar.load()), got) != nullptr)
                st->EvtCharSeen = true;
            return TIoResult::Done;
        }
        // With VMIN = VTIME = 0 an empty driver queue reads as 0.
        if (n == 0 || errno == EAGAIN || errno == EINTR) return TIoResult::Pending;
        return TIoResult::Failed;
    }

    std::uint32_t TakeDataEvents(THandle port) override
    {
        auto st = Find(port);
        return st && st->EvtCharSeen.exchange(false) ? EV_RXFLAG : 0;
    }

    TIoResult WriteFile(THandle port, const void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        done = 0;
        const ssize_t n = write(port, buffer, count);
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? TIoResult::Pending : TIoResult::Failed;
        done = static_cast<std::uint32_t>(n);
        // The waiter is woken for the first write only; while the driver drains it looks by itself.
        if (n > 0) {
            if (auto st = Find(port); st && !st->TxPending.exchange(true) && (st->Mask & EV_TXEMPTY)) Kick(st->Kick);
        }
        return TIoResult::Done;
    }

    // A serial driver's transmit ring is a page; a pty takes about as much per write.
    std::uint32_t SendChunkSize(THandle) override { return 4096; }

    bool WaitWritable(THandle port, THandle stopEvent) override
    {
        for (;;) {
            pollfd fds[2] = {{stopEvent, POLLIN, 0}, {port, POLLOUT, 0}};
            const int r = poll(fds, 2, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return true; // the write itself will report the failure
            return fds[0].revents == 0;
        }
    }

    THandle CreateEvent() override { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

    void CloseEvent(THandle event) override
    {
        if (event >= 0) close(event);
    }

    bool SetEvent(THandle event) override
    {
        const std::uint64_t one = 1;
        for (;;) {
            if (write(event, &one, sizeof one) == sizeof one) return true;
            if (errno == EINTR) continue;
            return errno == EAGAIN; // counter saturated: it is signalled anyway
        }
    }

    bool ResetEvent(THandle event) override
    {
        std::uint64_t value;
        for (;;) {
            if (read(event, &value, sizeof value) == sizeof value) return true;
            if (errno == EINTR) continue;
            return errno == EAGAIN; // already reset
        }
    }

    int WaitForMultipleObjects(int count, const THandle* events, std::uint32_t timeoutMs) override
    {
        if (count <= 0 || count > 8) return WAIT_FAILED;
        pollfd fds[8];
        for (int i = 0; i < count; ++i) fds[i] = {events[i], POLLIN, 0};
        const int timeout =
            timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7fffffff));
        for (;;) {
            const int r = poll(fds, static_cast<nfds_t>(count), timeout);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return WAIT_FAILED;
            if (r == 0) return WAIT_TIMEOUT;
            for (int i = 0; i < count; ++i)
                if (fds[i].revents & POLLIN) return i;
            return WAIT_FAILED;
        }
    }

    bool RaiseThreadPriority() override
    {
        const id_t tid = static_cast<id_t>(gettid());
        errno = 0;
        const int now = getpriority(PRIO_PROCESS, tid);
        if (now == -1 && errno != 0) return false;
        return setpriority(PRIO_PROCESS, tid, now - 2) == 0;
    }

private:
    std::mutex Lock; // guards Ports only; never held across a blocking call
    std::unordered_map<int, std::shared_ptr<TPortState>> Ports;

    std::shared_ptr<TPortState> Find(int fd)
    {
        std::lock_guard<std::mutex> guard(Lock);
        auto it = Ports.find(fd);
        return it == Ports.end() ? nullptr : it->second;
    }

    // False when the port's wake-up event cannot be made; error, when given, gets that errno.
    bool Register(const std::shared_ptr<TPortState>& st, int* error = nullptr)
    {
        struct stat info {};
        // Unix98 pty slaves have majors 136 to 143.
        if (fstat(st->Fd, &info) == 0 && S_ISCHR(info.st_mode))
            st->Pty = major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143;
        st->Kick = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (st->Kick < 0 && error != nullptr) *error = errno;
        int lines = 0;
        if (ioctl(st->Fd, TIOCMGET, &lines) == 0) {
            st->HasLines = true;
            st->Lines.ModemKnown = true;
            st->Lines.Modem = lines;
        }
        if (ioctl(st->Fd, TIOCGICOUNT, &st->Lines.Counts) == 0) st->Lines.CountsKnown = true;
        std::lock_guard<std::mutex> guard(Lock);
        Ports[st->Fd] = st;
        return st->Kick >= 0;
    }

    // Drops the port's state; an owned port gets its old settings back and is closed, a given one
    // gets its settings and file flags back and stays open.
    void Unregister(int fd)
    {
        std::shared_ptr<TPortState> st;
        {
            std::lock_guard<std::mutex> guard(Lock);
            auto it = Ports.find(fd);
            if (it == Ports.end()) return;
            st = it->second;
            Ports.erase(it);
        }
        if (st->Kick >= 0) close(st->Kick);
        if (st->Owned) {
            // Drained at the port's own speed before the old settings come back.
            PosixTty::DrainBeforeClose(fd, st->Baud);
            if (st->HaveSaved) tcsetattr(fd, TCSANOW, &st->Saved);
            PosixTty::CloseExclusive(fd, st->Exclusive);
        } else {
            if (st->HaveSaved) tcsetattr(fd, TCSANOW, &st->Saved);
            if (st->SavedFlags >= 0) fcntl(fd, F_SETFL, st->SavedFlags);
        }
    }

    // A pty hands what it is given to the other end at once and always reads 0 here: not asked.
    static int OutputQueued(const TPortState& st) { return st.Pty ? 0 : PosixTty::OutputQueued(st.Fd); }

    static std::uint32_t ModemBits(int lines)
    {
        std::uint32_t s = 0;
        if (lines & TIOCM_CTS) s |= MS_CTS_ON;
        if (lines & TIOCM_DSR) s |= MS_DSR_ON;
        if (lines & TIOCM_RI) s |= MS_RING_ON;
        if (lines & TIOCM_CD) s |= MS_RLSD_ON;
        return s;
    }

    // Modem line changes and line errors since the last look, as comm events. Lines are looked at
    // when the waiter wakes for any reason; the transition counters also catch changes that
    // came and went in between, where the driver keeps them.
    static std::uint32_t LineChanges(TPortState& st)
    {
        // A pty has neither lines nor counters: asking would be two failing calls on every wake.
        if (st.Pty && !st.HasLines) return 0;
        std::uint32_t events = 0;
        TLineSnapshot& s = st.Lines;
        serial_icounter_struct c{};
        if (ioctl(st.Fd, TIOCGICOUNT, &c) == 0) {
            if (s.CountsKnown) {
                if (c.cts != s.Counts.cts) events |= EV_CTS;
                if (c.dsr != s.Counts.dsr) events |= EV_DSR;
                if (c.dcd != s.Counts.dcd) events |= EV_RLSD;
                if (c.rng != s.Counts.rng) events |= EV_RING;
                std::uint32_t errors = 0;
                if (c.frame != s.Counts.frame) errors |= CE_FRAME;
                if (c.parity != s.Counts.parity) errors |= CE_RXPARITY;
                if (c.overrun != s.Counts.overrun) errors |= CE_OVERRUN;
                if (c.buf_overrun != s.Counts.buf_overrun) errors |= CE_RXOVER;
                if (c.brk != s.Counts.brk) errors |= CE_BREAK;
                if (errors) {
                    st.Errors |= errors;
                    events |= EV_ERR;
                }
            }
            s.Counts = c;
            s.CountsKnown = true;
        }
        int lines = 0;
        if (ioctl(st.Fd, TIOCMGET, &lines) == 0) {
            if (s.ModemKnown) {
                const int changed = lines ^ s.Modem;
                if (changed & TIOCM_CTS) events |= EV_CTS;
                if (changed & TIOCM_DSR) events |= EV_DSR;
                if (changed & TIOCM_CD) events |= EV_RLSD;
                if (changed & TIOCM_RI) events |= EV_RING;
            }
            s.Modem = lines;
            s.ModemKnown = true;
        }
        return events;
    }
};

} // namespace

TCommPlatform& PosixCommPlatform()
{
    static TPosixCommPlatform platform;
    return platform;
}


} // namespace KestroComm32
