// The application's side of the real-time signals: every one of them handled or ignored for a scope,
// as a program may do after the library started; the old dispositions come back at the end.
#pragma once

#include "comm32.h"

#include <algorithm>
#include <chrono>
#include <csignal>

namespace commtest {

struct TSignalTakeover {
    const char* Name;
    void (*Handler)(int);
    int Flags;
};

inline void EmptySignalHandler(int) {}

// A handler that restarts interrupted calls, and ignoring the signals.
inline const TSignalTakeover SignalTakeovers[] = {{"handler with SA_RESTART", EmptySignalHandler, SA_RESTART},
                                                  {"SIG_IGN", SIG_IGN, 0}};

class TRealtimeSignalsTaken {
public:
    explicit TRealtimeSignalsTaken(const TSignalTakeover& how)
    {
        struct sigaction act {};
        act.sa_handler = how.Handler;
        act.sa_flags = how.Flags;
        sigemptyset(&act.sa_mask);
        for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaction(sig, &act, &Old[sig - SIGRTMIN]);
    }
    ~TRealtimeSignalsTaken()
    {
        for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaction(sig, &Old[sig - SIGRTMIN], nullptr);
    }
    TRealtimeSignalsTaken(const TRealtimeSignalsTaken&) = delete;
    TRealtimeSignalsTaken& operator=(const TRealtimeSignalsTaken&) = delete;

private:
    struct sigaction Old[64]{};
};

struct TCloseTimes {
    double QuickestMs = 0, SlowestMs = 0;
};

// Closes the open port three times (opening it again in between) with the signals taken over: the
// quickest close shows what Close itself takes, the slowest that none waited for a signal.
inline TCloseTimes CloseThreeTimes(KestroComm32::TComm32& port, const TSignalTakeover& how)
{
    TRealtimeSignalsTaken taken(how);
    TCloseTimes t{1e9, 0};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) port.Open();
        const auto start = std::chrono::steady_clock::now();
        port.Close();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        t.QuickestMs = std::min(t.QuickestMs, ms);
        t.SlowestMs = std::max(t.SlowestMs, ms);
    }
    return t;
}

} // namespace commtest
