// The monitor against a private CUPS scheduler: how long a finished job takes to reach the data
// file, and what watching idle queues costs. Needs root and the CUPS packages.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "cups/PrivateCupsd.h"
#include "pagecount/PrinterDocuments.h"
#include "platform/cups/CupsClient.h"
#include "platform/cups/CupsSpooler.h"
#include "spool/SpoolWatchers.h"
#include "storage/PrintDataFixture.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

size_t LineCount(const std::string& path) {
    const std::string text = ReadFile(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// From the moment CUPS reports a job completed to the moment its record is in the file.
void BM_CompletionToRecord(benchmark::State& state) {
    if (!PrivateCupsd::Available()) {
        state.SkipWithError("needs root and the CUPS packages");
        return;
    }
    PrivateCupsd cupsd({"Fast:ps"});
    PrintDataFixture f;
    DiagnosticLog log;
    platform::CupsSpooler spooler("PC1");  // the program's own settings
    SpoolWatchers watchers(spooler, f.files, log);
    watchers.Start();
    const std::string doc = cupsd.Document("one.ps", MakePostScript(1));
    platform::cups::CupsClient client;
    std::vector<double> latencies;
    for (auto _ : state) {
        const size_t before = LineCount(f.files.DataFilePath());
        const auto r = cupsd.Client({"/usr/bin/lp", "-d", "Fast", doc});
        const int jobId = std::atoi(r.out.substr(r.out.rfind('-') + 1).c_str());
        platform::cups::JobState job;
        while (client.Job(jobId, job) == platform::cups::Status::Ok && job.state < 7) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const auto completed = Clock::now();
        while (LineCount(f.files.DataFilePath()) == before) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        latencies.push_back(std::chrono::duration<double>(Clock::now() - completed).count());
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_s"] = latencies[latencies.size() / 2];
    state.counters["max_s"] = latencies.back();
}
BENCHMARK(BM_CompletionToRecord)->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);

// A 100-page document on a raw queue, from the moment the scheduler reports the job completed
// (its queue has run empty) to its record in the file: fetched and counted meanwhile.
void BM_RawJobToRecord(benchmark::State& state, const std::string& device) {
    if (!PrivateCupsd::Available()) {
        state.SkipWithError("needs root and the CUPS packages");
        return;
    }
    TempDir docs;
    const std::string bytes = GhostscriptDocument(docs, device, PlainPostScript(100));
    PrivateCupsd cupsd({"Raw:raw"});
    PrintDataFixture f;
    DiagnosticLog log;
    platform::CupsSpooler spooler("PC1");
    SpoolWatchers watchers(spooler, f.files, log);
    watchers.Start();
    const std::string doc = cupsd.Document("hundred", bytes);
    platform::cups::CupsClient client;
    std::vector<double> latencies;
    for (auto _ : state) {
        const size_t before = LineCount(f.files.DataFilePath());
        const auto r = cupsd.Client({"/usr/bin/lp", "-d", "Raw", doc});
        const int jobId = std::atoi(r.out.substr(r.out.rfind('-') + 1).c_str());
        platform::cups::JobState job;
        while (client.Job(jobId, job) == platform::cups::Status::Ok && job.state < 7) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const auto completed = Clock::now();
        while (LineCount(f.files.DataFilePath()) == before &&
               Clock::now() - completed < std::chrono::seconds(30)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        latencies.push_back(std::chrono::duration<double>(Clock::now() - completed).count());
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_s"] = latencies[latencies.size() / 2];
    state.counters["max_s"] = latencies.back();
    state.counters["document_MB"] = static_cast<double>(bytes.size()) / 1e6;
}
BENCHMARK_CAPTURE(BM_RawJobToRecord, pdf, std::string("pdfwrite"))
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RawJobToRecord, ps, std::string("ps2write"))
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RawJobToRecord, pclxl, std::string("pxlmono"))
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RawJobToRecord, pcl5, std::string("ljet4"))
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Eight idle queues watched for a minute: the share of one core the monitor's threads use.
void BM_IdleQueues(benchmark::State& state) {
    if (!PrivateCupsd::Available()) {
        state.SkipWithError("needs root and the CUPS packages");
        return;
    }
    PrivateCupsd cupsd({"Q1:ps", "Q2:ps", "Q3:ps", "Q4:ps", "Q5:ps", "Q6:ps", "Q7:ps", "Q8:ps"});
    PrintDataFixture f;
    DiagnosticLog log;
    for (auto _ : state) {
        platform::CupsSpooler spooler("PC1");
        SpoolWatchers watchers(spooler, f.files, log);
        watchers.Start();
        std::this_thread::sleep_for(std::chrono::seconds(2));  // settled
        const double before = CpuSeconds(RUSAGE_SELF);
        const int seconds = static_cast<int>(state.range(0));
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        state.counters["core_percent"] = (CpuSeconds(RUSAGE_SELF) - before) * 100 / seconds;
        state.counters["queues"] = watchers.Slots().Count();
    }
}
BENCHMARK(BM_IdleQueues)->Arg(60)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
