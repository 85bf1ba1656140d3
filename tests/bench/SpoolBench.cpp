// Watch threads under load (a burst of jobs through the real record writer) and at rest.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "spool/SpoolScript.h"

using namespace testsupport;

namespace {

constexpr int kJobs = 10000;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Each job: added, printed, queue empty; every one ends as a record in the data file.
void BM_BurstOfJobs(benchmark::State& state) {
    const bool fromThisComputer = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        SpoolWorld w;
        w.Start();
        state.ResumeTiming();
        for (std::uint32_t id = 1; id <= kJobs; ++id) {
            w.spooler.AddCycle("P",
                               AddJob(id, "P", fromThisComputer ? "\\\\PC1" : "\\\\PC2", "u", 2));
            w.spooler.AddCycle("P", Printed(id, 2));
            w.spooler.AddCycle("P", QueueLength(0));
        }
        if (!w.spooler.WaitUntilHandled("P", std::chrono::minutes(5))) {
            state.SkipWithError("the watcher did not finish the burst");
        }
        state.PauseTiming();
        const auto records = w.Records().size();
        if (records != static_cast<size_t>(kJobs)) {
            state.SkipWithError("records were lost");
        }
        w.Stop();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kJobs);
}
BENCHMARK(BM_BurstOfJobs)
    ->ArgName("fromThisComputer")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// An idle printer: the watcher wakes twice a second and does nothing else.
void BM_IdleWatcher(benchmark::State& state) {
    for (auto _ : state) {
        SpoolWorld w;
        w.spooler.SetIdleWait(std::chrono::milliseconds(500));
        w.Start();
        const double cpuBefore = CpuSeconds();
        const int waitsBefore = w.spooler.WaitCount("P");
        std::this_thread::sleep_for(std::chrono::seconds(5));
        state.counters["cpu_us_per_s"] = (CpuSeconds() - cpuBefore) * 1e6 / 5;
        state.counters["wakeups_per_s"] = (w.spooler.WaitCount("P") - waitsBefore) / 5.0;
        w.Stop();
    }
}
BENCHMARK(BM_IdleWatcher)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
