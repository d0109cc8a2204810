// busprobe's receive log: 100 000 replies appended through the window's own display routine, offscreen;
// cost per line early and late in the log, and the memory the log takes.
#include "bench_common.h"

#include "mainform.h"

#include <QApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int Window = 10000;

// 100 000 lines unless BUSPROBE_LOG_LINES asks for fewer (a quick run); at least two windows.
int Lines()
{
    const char* text = std::getenv("BUSPROBE_LOG_LINES");
    const int n = text ? std::atoi(text) : 100000;
    return std::max(n / Window, 2) * Window;
}

double ResidentMB()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The window takes one reply per timer tick and the event loop runs in between, so events are
// processed after every line.
void BM_ReceiveLog(benchmark::State& state)
{
    QTemporaryDir folder;
    TForm1::ExecutableFolder = folder.path();
    // A 03H reply of 10 registers, as the log shows most often.
    const std::uint8_t reply[] = {0x01, 0x03, 0x14, 0x01, 0x00, 0x01, 0x01, 0x01, 0x02, 0x01, 0x03, 0x01, 0x04,
                                  0x01, 0x05, 0x01, 0x06, 0x01, 0x07, 0x01, 0x08, 0x01, 0x09, 0x8B, 0x3C};
    for (auto _ : state) {
        TForm1 form;
        form.show();
        QApplication::processEvents();
        const double rss0 = ResidentMB();
        double first = 0, last = 0, total = 0, firstCpu = 0, lastCpu = 0;
        for (int block = 0; block < Lines() / Window; ++block) {
            const double t0 = bench::Wall();
            const double c0 = bench::ProcessCpu();
            for (int i = 0; i < Window; ++i) {
                form.ShowReceiveData(reply, static_cast<int>(sizeof reply));
                QApplication::processEvents();
            }
            const double t = bench::Wall() - t0;
            const double c = bench::ProcessCpu() - c0;
            if (block == 0) {
                first = t;
                firstCpu = c;
            }
            last = t;
            lastCpu = c;
            total += t;
        }
        const double rss = ResidentMB() - rss0;
        if (form.MemoReceive->document()->blockCount() < Lines()) state.SkipWithError("lines missing from the log");
        state.SetIterationTime(total);
        state.counters["first10k_us_per_line"] = first / Window * 1e6;
        state.counters["last10k_us_per_line"] = last / Window * 1e6;
        state.counters["last_over_first"] = last / first;
        state.counters["first10k_cpu_us_per_line"] = firstCpu / Window * 1e6;
        state.counters["last10k_cpu_us_per_line"] = lastCpu / Window * 1e6;
        state.counters["cpu_last_over_first"] = lastCpu / firstCpu;
        state.counters["rss_growth_MB"] = rss;
        state.counters["text_MB"] =
            static_cast<double>(form.MemoReceive->document()->characterCount()) * 2.0 / (1024.0 * 1024.0);
    }
}

} // namespace

BENCHMARK(BM_ReceiveLog)->Name("ReceiveLog/busprobe")->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
