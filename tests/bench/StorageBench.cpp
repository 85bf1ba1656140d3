// Throughput of the record reader and writer on real files.

#include <benchmark/benchmark.h>

#include <string>

#include "storage/PrintDataFiles.h"
#include "storage/PrintDataFixture.h"

namespace {

std::string RecordLine(int i) {
    return std::to_string(i) + ",20261207093015,Printer-" + std::to_string(i % 5) + ",\\\\PC" +
           std::to_string(i % 40) + ",user" + std::to_string(i % 90) + "," +
           std::to_string(i % 20 + 1) + "," + std::to_string(i % 20 + 1) + "\r\r\n";
}

void BM_ReadRecords(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    testsupport::TempDir dir;
    const std::string path = dir / "PrintData_bench.dat";
    std::string bytes;
    for (int i = 1; i <= records; ++i) {
        bytes += RecordLine(i);
    }
    testsupport::WriteFile(path, bytes);
    testsupport::PrintDataFixture f;
    std::int64_t pages = 0;
    for (auto _ : state) {
        f.files.AcquireRecordLock();
        for (bool open = true; f.files.ReadPrintRecord(open, path); open = false) {
            pages += f.files.LastRead().pagesPrintedTimesCopies;
        }
        f.files.ReleaseRecordLock();
    }
    benchmark::DoNotOptimize(pages);
    state.SetItemsProcessed(state.iterations() * records);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_ReadRecords)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_ParseLine(benchmark::State& state) {
    const std::string line = RecordLine(123456);
    PrintRecord rec;
    for (auto _ : state) {
        ParsePrintRecordLine(line, rec);
        benchmark::DoNotOptimize(rec.jobId);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseLine);

// Every record opens, appends and closes the file, so this is bound by the file system. A job
// from this computer also updates the three per-user counters in the settings store.
void BM_WriteRecords(benchmark::State& state) {
    const bool fromThisComputer = state.range(0) != 0;
    testsupport::PrintDataFixture f;
    CompletedJob job;
    job.time = {2026, 12, 1, 7, 9, 30, 15, 0};
    job.printerName = "Printer-1";
    job.machineName = fromThisComputer ? "\\\\PC1" : "\\\\PC2";
    job.userName = "user";
    job.totalPages = 3;
    job.pagesPrinted = 3;
    job.copies = 2;
    for (auto _ : state) {
        ++job.jobId;
        f.Write(job);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteRecords)->ArgName("fromThisComputer")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
