// The POSIX comm layer: one object per open termios port, comm events from one poll().
#include "comm32_platform.h"
#include "posix_tty.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

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
    int LooksSinceAsked = 0;
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

// One open tty. The threads of the port object use it at once: what they share is atomic, the
// line snapshot is the comm-event wait's own.
class TPosixPort final : public TCommPort {
public:
    int Fd = -1;
    bool Owned = false;
    bool Exclusive = false; // TIOCEXCL set by CreateFile
    bool LowLatency = false; // ASYNC_LOW_LATENCY set by CreateFile
    bool Pty = false;       // a pseudo-terminal: no line, so no data bits or parity of its own
    bool HasLines = false;  // TIOCMGET works: modem lines to watch
    bool UsbSerial = false; // a ttyUSB port of the USB serial drivers
    bool HaveSaved = false;
    termios Saved{};
    int SavedFlags = -1;
    int KickFd = -1; // eventfd: wakes the comm-event wait on mask changes, writes and WakeWaiter
    int StopFd = -1; // eventfd, set by Stop and never cleared
    std::atomic<bool> WakeAsked{false};
    std::atomic<std::uint32_t> Mask{0};
    std::atomic<unsigned> MaskGen{0};
    std::atomic<bool> TxPending{false};
    std::atomic<bool> HungUp{false};
    std::atomic<std::uint32_t> Baud{9600};
    std::atomic<std::uint32_t> Errors{0};
    std::atomic<char> EvtChar{0};
    std::atomic<bool> EvtCharSeen{false};
    TLineSnapshot Lines; // the comm-event wait's own

    // False when the wake-up events cannot be made; error gets that errno.
    bool Start(int& error)
    {
        struct stat info {};
        // Unix98 pty slaves have majors 136 to 143.
        if (fstat(Fd, &info) == 0 && S_ISCHR(info.st_mode)) {
            Pty = major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143;
            UsbSerial = major(info.st_rdev) == 188;
        }
        KickFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        StopFd = KickFd < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (StopFd < 0) error = errno;
        int lines = 0;
        if (ioctl(Fd, TIOCMGET, &lines) == 0) {
            HasLines = true;
            Lines.ModemKnown = true;
            Lines.Modem = lines;
        }
        if (ioctl(Fd, TIOCGICOUNT, &Lines.Counts) == 0) Lines.CountsKnown = true;
        return StopFd >= 0;
    }

    // An owned port gets its old settings back and is closed, a given one gets its settings and
    // file flags back and stays open.
    ~TPosixPort() override
    {
        if (KickFd >= 0) close(KickFd);
        if (StopFd >= 0) close(StopFd);
        if (Fd < 0) return;
        if (Owned) {
            // Drained at the port's own speed before the old settings come back.
            PosixTty::DrainBeforeClose(Fd, Baud);
            if (HaveSaved) tcsetattr(Fd, TCSANOW, &Saved);
            PosixTty::CloseExclusive(Fd, Exclusive, LowLatency);
        } else {
            if (HaveSaved) tcsetattr(Fd, TCSANOW, &Saved);
            if (SavedFlags >= 0) fcntl(Fd, F_SETFL, SavedFlags);
        }
    }

    THandle Handle() const override { return Fd; }

    bool SetupComm(long inSize, long outSize) override
    {
        // The tty layer sizes its own buffers.
        return inSize >= 0 && outSize >= 0;
    }

    bool GetCommState(DCB& dcb) override
    {
        termios t{};
        if (tcgetattr(Fd, &t) != 0) return false;
        dcb = DCB{};
        dcb.fBinary = 1;
        unsigned baud = 0;
        if (PosixSpeed::GetSpeed(Fd, baud)) dcb.BaudRate = baud;
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
        ioctl(Fd, TIOCMGET, &lines);
        dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        if (t.c_cflag & CRTSCTS) {
            dcb.fOutxCtsFlow = 1;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            dcb.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }
        dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
        dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
        dcb.EvtChar = EvtChar;
        dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
        dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        return true;
    }

    bool SetCommState(const DCB& dcb) override
    {
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
        if (PosixTty::SetRawLine(Fd, line, &t)) return false;

        // tcsetattr succeeds when any part was taken: check that all of it was.
        termios now{};
        if (tcgetattr(Fd, &now) != 0) return false;
        // A pty always keeps 8 bits without parity; there is no line for the framing to apply to.
        const tcflag_t cmask =
            Pty ? (PARODD | CMSPAR | CSTOPB | CRTSCTS) : (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        const tcflag_t imask = IXON | IXOFF | INPCK;
        if ((now.c_cflag & cmask) != (t.c_cflag & cmask) || (now.c_iflag & imask) != (t.c_iflag & imask)) return false;
        unsigned actual = 0;
        if (!PosixSpeed::GetSpeed(Fd, actual)) return false;
        const double ratio = static_cast<double>(actual) / dcb.BaudRate;
        if (ratio < 0.98 || ratio > 1.02) return false;
        Baud = dcb.BaudRate;
        EvtChar = dcb.EvtChar;

        using PosixTty::TModemLine;
        if (PosixTty::SetModemLine(Fd, TModemLine::Dtr, dcb.fDtrControl == DTR_CONTROL_ENABLE)) return false;
        if (!handshake && PosixTty::SetModemLine(Fd, TModemLine::Rts, dcb.fRtsControl == RTS_CONTROL_ENABLE))
            return false;
        return true;
    }

    bool SetCommMask(std::uint32_t mask) override
    {
        Mask = mask;
        ++MaskGen;
        Kick(KickFd);
        return true;
    }

    TCommWait WaitCommEvent(std::uint32_t& mask) override
    {
        mask = 0;
        const unsigned gen = MaskGen;
        int drainWait = 0;
        int lastOutq = -1;
        for (;;) {
            const std::uint32_t want = Mask;
            const bool watchPort = !HungUp;
            const bool watchTx = (want & EV_TXEMPTY) && TxPending;
            const bool watchLines = watchPort && HasLines && (want & ModemEvents);
            pollfd fds[3] = {{StopFd, POLLIN, 0}, {KickFd, POLLIN, 0}, {Fd, 0, 0}};
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
            if (fds[1].revents & POLLIN) Drain(KickFd);
            if (WakeAsked.exchange(false)) return TCommWait::Stopped;
            if (MaskGen != gen) return TCommWait::Event;

            std::uint32_t events = 0;
            if (watchPort) {
                if (fds[2].revents & POLLIN) events |= EV_RXCHAR;
                if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                    // Gone (unplugged or hung up): report once, then stop watching it.
                    HungUp = true;
                    events |= EV_ERR;
                } else {
                    events |= LineChanges();
                }
            }
            if ((want & EV_TXEMPTY) && TxPending.exchange(false)) {
                const int outq = HungUp ? 0 : OutputQueued();
                if (outq > 0) {
                    TxPending = true;
                    // Look again about when the driver should be done; back off while it is held.
                    const int estimate =
                        static_cast<int>(static_cast<long long>(outq) * 11000 / std::max<std::uint32_t>(Baud, 1)) + 1;
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

    bool ClearCommError(std::uint32_t& errors, COMSTAT& stat) override
    {
        errors = Errors.exchange(0);
        int in = 0;
        if (ioctl(Fd, FIONREAD, &in) != 0) return false;
        const int out = OutputQueued();
        stat.cbInQue = static_cast<std::uint32_t>(std::max(in, 0));
        stat.cbOutQue = static_cast<std::uint32_t>(std::max(out, 0));
        return true;
    }

    bool GetCommModemStatus(std::uint32_t& status) override
    {
        int lines = 0;
        if (ioctl(Fd, TIOCMGET, &lines) == 0) {
            status = ModemBits(lines);
            return true;
        }
        // A pty has no lines and never holds a send: it reads like a null-modem cable that is ready.
        if (!Pty) return false;
        status = MS_CTS_ON | MS_DSR_ON;
        return true;
    }

    bool PurgeComm(std::uint32_t flags) override
    {
        bool ok = true;
        if (flags & PURGE_TXCLEAR) ok = tcflush(Fd, TCOFLUSH) == 0 && ok;
        if (flags & PURGE_RXCLEAR) ok = tcflush(Fd, TCIFLUSH) == 0 && ok;
        // Reads and writes never stay pending here, so the abort flags have nothing to cancel.
        return ok;
    }

    bool EscapeCommFunction(std::uint32_t function) override
    {
        int bit = 0;
        switch (function) {
        case SETXOFF: return tcflow(Fd, TCOOFF) == 0;
        case SETXON: return tcflow(Fd, TCOON) == 0;
        case SETRTS: bit = TIOCM_RTS; return ioctl(Fd, TIOCMBIS, &bit) == 0;
        case CLRRTS: bit = TIOCM_RTS; return ioctl(Fd, TIOCMBIC, &bit) == 0;
        case SETDTR: bit = TIOCM_DTR; return ioctl(Fd, TIOCMBIS, &bit) == 0;
        case CLRDTR: bit = TIOCM_DTR; return ioctl(Fd, TIOCMBIC, &bit) == 0;
        case SETBREAK: return ioctl(Fd, TIOCSBRK) == 0;
        case CLRBREAK: return ioctl(Fd, TIOCCBRK) == 0;
        default: return false;
        }
    }

    TIoResult ReadFile(void* buffer, std::uint32_t count, std::uint32_t& got) override
    {
        got = 0;
        const ssize_t n = read(Fd, buffer, count);
        if (n > 0) {
            got = static_cast<std::uint32_t>(n);
            if ((Mask & EV_RXFLAG) && std::memchr(buffer, static_cast<unsigned char>(EvtChar.load()), got) != nullptr)
                EvtCharSeen = true;
            return TIoResult::Done;
        }
        // With VMIN = VTIME = 0 an empty driver queue reads as 0.
        if (n == 0 || errno == EAGAIN || errno == EINTR) return TIoResult::Pending;
        return TIoResult::Failed;
    }

    std::uint32_t TakeDataEvents() override { return EvtCharSeen.exchange(false) ? EV_RXFLAG : 0; }

    TIoResult WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        done = 0;
        const ssize_t n = write(Fd, buffer, count);
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? TIoResult::Pending : TIoResult::Failed;
        done = static_cast<std::uint32_t>(n);
        // The comm-event wait is woken for the first write only; while the driver drains it looks by itself.
        if (n > 0) {
            if (!TxPending.exchange(true) && (Mask & EV_TXEMPTY)) Kick(KickFd);
        }
        return TIoResult::Done;
    }

    // A serial driver's transmit ring is a page; a pty takes about as much per write.
    std::uint32_t SendChunkSize() override { return 4096; }

    void WakeWaiter() override
    {
        WakeAsked = true;
        Kick(KickFd);
    }

    void Stop() override { Kick(StopFd); }

    bool WaitWritable() override
    {
        for (;;) {
            pollfd fds[2] = {{StopFd, POLLIN, 0}, {Fd, POLLOUT, 0}};
            const int r = poll(fds, 2, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return true; // the write itself will report the failure
            return fds[0].revents == 0;
        }
    }

private:
    int OutputQueued() const { return Pty ? 0 : PosixTty::OutputQueued(Fd); }

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
    // when the comm-event wait wakes for any reason; the transition counters also catch changes that
    // came and went in between, where the driver keeps them.
    std::uint32_t LineChanges()
    {
        // A pty has neither lines nor counters: asking would be two failing calls on every wake.
        if (Pty && !HasLines) return 0;
        std::uint32_t events = 0;
        TLineSnapshot& s = Lines;
        serial_icounter_struct c{};
        if (ioctl(Fd, TIOCGICOUNT, &c) == 0) {
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
                    Errors |= errors;
                    events |= EV_ERR;
                }
            }
            s.Counts = c;
            s.CountsKnown = true;
        }
        // A USB adapter's driver may ask the device for its lines, a USB request each time; its
        // counters follow the status the device sends anyway, so they say when to ask (and every
        // tenth look asks regardless, for a driver whose counters leave the lines out).
        const bool countersMoved = (events & ModemEvents) != 0;
        if (UsbSerial && s.CountsKnown && !countersMoved && ++s.LooksSinceAsked < 10) return events;
        s.LooksSinceAsked = 0;
        int lines = 0;
        if (ioctl(Fd, TIOCMGET, &lines) == 0) {
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

// Why the calling thread's last CreateFile failed.
thread_local TSystemReason LastFailure;

class TPosixCommPlatform final : public TCommPlatform {
public:
    std::unique_ptr<TCommPort> CreateFile(const UnicodeString& name) override
    {
        LastFailure = TSystemReason();
        if (name.empty()) return nullptr;
        const PosixTty::TPortPath where = PosixTty::ResolvePortName(name);
        // Each errno comes from the failing call itself.
        auto fail = [&](const char* call, int error, const PosixTty::TTtyHolder& holder = {}) {
            LastFailure = DescribeOpenFailure(error, call, where.Path, where.AliasName, where.AliasLink);
            LastFailure.HolderName = holder.Name;
            LastFailure.HolderPid = holder.Pid;
            return nullptr;
        };
        // Share mode 0: one open per port, in this process or any other.
        const PosixTty::TExclusiveTty tty = PosixTty::OpenExclusive(where.Path);
        if (tty.Failure) return fail(tty.Failure.Call, tty.Failure.Error, tty.Holder);
        termios saved{};
        if (tcgetattr(tty.Fd, &saved) != 0) {
            const int error = errno;
            PosixTty::CloseExclusive(tty.Fd, tty.Exclusive, tty.LowLatency);
            return fail("tcgetattr", error);
        }
        auto port = std::make_unique<TPosixPort>();
        port->Fd = tty.Fd;
        port->Owned = true;
        port->Exclusive = tty.Exclusive;
        port->LowLatency = tty.LowLatency;
        port->Saved = saved;
        port->HaveSaved = true;
        int error = 0;
        if (!port->Start(error)) return fail("eventfd", error);
        return port;
    }

    TSystemReason LastOpenFailure() override { return LastFailure; }

    std::unique_ptr<TCommPort> AttachHandle(THandle handle) override
    {
        if (handle < 0 || !isatty(handle)) return nullptr;
        const int flags = fcntl(handle, F_GETFL);
        // The threads must never block in read or write.
        if (flags < 0 || fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0) return nullptr;
        auto port = std::make_unique<TPosixPort>();
        port->Fd = handle;
        // Given back to its owner as it came: line settings as well as file flags.
        port->SavedFlags = flags;
        port->HaveSaved = tcgetattr(handle, &port->Saved) == 0;
        int error = 0;
        if (!port->Start(error)) return nullptr;
        return port;
    }

    bool RaiseThreadPriority() override
    {
        const id_t tid = static_cast<id_t>(gettid());
        errno = 0;
        const int now = getpriority(PRIO_PROCESS, tid);
        if (now == -1 && errno != 0) return false;
        return setpriority(PRIO_PROCESS, tid, now - 2) == 0;
    }
};

} // namespace

TCommPlatform& PosixCommPlatform()
{
    static TPosixCommPlatform platform;
    return platform;
}

} // namespace KestroComm32
