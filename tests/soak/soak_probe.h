// Soak helpers: run length from SOAK_SECONDS, UI-thread lateness probe, resident memory, report lines.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

namespace soak {

// Seconds the soak runs: SOAK_SECONDS, 60 when unset or not a positive number.
inline int Seconds()
{
    bool ok = false;
    const int s = qEnvironmentVariableIntValue("SOAK_SECONDS", &ok);
    return ok && s > 0 ? s : 60;
}

// QtTest stops a test function after five minutes unless told otherwise: allow the run and five minutes
// more. Called before main, from a namespace-scope initializer of each soak.
inline bool AllowLongRun()
{
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number((Seconds() + 300) * 1000LL));
    return true;
}

// Seconds of warm-up before the start sample: a sixth of the run, 3 to 10 s.
inline int WarmUpSeconds(int total)
{
    const int w = total / 6;
    return w < 3 ? 3 : (w > 10 ? 10 : w);
}

// Resident memory in bytes after free heap pages went back to the system, so that the two samples
// compare what is in use rather than what the allocator happens to keep.
inline long long ResidentBytes()
{
    malloc_trim(0);
    long long size = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

using Clock = std::chrono::steady_clock;

// A span of time on the steady clock during which a probe waited longer than it should have.
struct TStall {
    Clock::time_point From, To;
};
constexpr auto StallNoticed = std::chrono::milliseconds(50);
constexpr std::size_t StallsKept = 4096;

// A plain thread that sleeps in IntervalMs steps and notes when it wakes late. It touches nothing of
// the window, so when it is held up too the machine was (a loaded shared box), not the window.
class MachineProbe {
public:
    static constexpr int IntervalMs = 10;

    MachineProbe() { m_stalls.reserve(StallsKept); }
    ~MachineProbe() { Stop(); }
    void Start()
    {
        m_stop = false;
        m_thread = std::thread([this] { Run(); });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    double MaxMs() const { return m_maxMs; }
    // Read after Stop().
    const std::vector<TStall>& Stalls() const { return m_stalls; }

private:
    void Run()
    {
        auto due = Clock::now() + std::chrono::milliseconds(IntervalMs);
        while (!m_stop) {
            std::this_thread::sleep_until(due);
            const auto now = Clock::now();
            const double late = std::chrono::duration<double, std::milli>(now - due).count();
            if (late > m_maxMs) m_maxMs = late;
            if (now - due > StallNoticed && m_stalls.size() < StallsKept) m_stalls.push_back({due, now});
            due = now + std::chrono::milliseconds(IntervalMs);
        }
    }

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<double> m_maxMs{0};
    std::vector<TStall> m_stalls;
};

// A timer on the UI thread that measures how late each of its own ticks comes: a tick due every
// IntervalMs that arrives after gap ms was held up by gap - IntervalMs. A histogram of whole
// milliseconds keeps the probe's own memory fixed however long it runs.
class LatenessProbe : public QObject {
public:
    static constexpr int IntervalMs = 20;
    static constexpr int Buckets = 10000;

    LatenessProbe()
    {
        m_stalls.reserve(StallsKept);
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(IntervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
    }
    void Start()
    {
        m_histogram.fill(0);
        m_samples = 0;
        m_maxMs = 0;
        m_maxUnnoticed = 0;
        m_stalls.clear();
        m_machine.Start();
        m_last = Clock::now();
        m_timer.start();
    }
    void Stop()
    {
        m_timer.stop();
        m_machine.Stop();
    }

    long long Samples() const { return m_samples; }
    double MaxMs() const { return m_maxMs; }
    double MachineMaxMs() const { return m_machine.MaxMs(); }
    // Smallest whole millisecond that at least 99% of the ticks were no later than.
    int P99Ms() const
    {
        const long long want = (m_samples * 99 + 99) / 100;
        long long seen = 0;
        for (int i = 0; i < Buckets; ++i) {
            seen += m_histogram[i];
            if (seen >= want) return i;
        }
        return Buckets;
    }
    // The latest tick of the window's own making: late ticks during which the machine probe was held
    // up as well are left out. Call after Stop().
    double WindowMaxMs() const
    {
        double worst = m_maxUnnoticed;
        for (const TStall& t : m_stalls) {
            bool machine = false;
            for (const TStall& m : m_machine.Stalls())
                if (m.From < t.To && t.From < m.To) machine = true;
            if (!machine) worst = std::max(worst, std::chrono::duration<double, std::milli>(t.To - t.From).count());
        }
        return worst;
    }

private:
    void Tick()
    {
        const auto now = Clock::now();
        const auto due = m_last + std::chrono::milliseconds(IntervalMs);
        m_last = now;
        double late = std::chrono::duration<double, std::milli>(now - due).count();
        if (late < 0) late = 0;
        if (late > m_maxMs) m_maxMs = late;
        if (now - due <= StallNoticed) m_maxUnnoticed = std::max(m_maxUnnoticed, late);
        else if (m_stalls.size() < StallsKept) m_stalls.push_back({due, now});
        const int bucket = static_cast<int>(late + 0.999); // rounded up: a bucket's ticks are no later than it
        ++m_histogram[bucket < Buckets ? bucket : Buckets - 1];
        ++m_samples;
    }

    QTimer m_timer;
    Clock::time_point m_last;
    std::array<long long, Buckets> m_histogram{};
    long long m_samples = 0;
    double m_maxMs = 0;
    double m_maxUnnoticed = 0; // latest tick not recorded as a stall
    std::vector<TStall> m_stalls;
    MachineProbe m_machine;
};

// One report line the soak script picks up: "SOAK <name> <key>=<value> ...".
inline void Report(const QString& name, const QString& fields)
{
    std::printf("SOAK %s %s\n", qPrintable(name), qPrintable(fields));
    std::fflush(stdout);
}

// The probe's figures as one report line.
inline void ReportLateness(const QString& name, const LatenessProbe& probe)
{
    Report(name, QStringLiteral("lateness_max_ms=%1 lateness_window_max_ms=%2 machine_max_ms=%3 lateness_p99_ms=%4 "
                                "lateness_samples=%5")
                     .arg(probe.MaxMs(), 0, 'f', 1)
                     .arg(probe.WindowMaxMs(), 0, 'f', 1)
                     .arg(probe.MachineMaxMs(), 0, 'f', 1)
                     .arg(probe.P99Ms())
                     .arg(probe.Samples()));
}

inline QString Mb(long long bytes) { return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 2); }

constexpr int MaxLatenessMs = 200;
constexpr long long MaxGrowthBytes = 5LL * 1024 * 1024;

} // namespace soak
