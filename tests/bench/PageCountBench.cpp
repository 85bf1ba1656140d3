// Counting 500-page documents of every language, as Ghostscript's devices write them (the
// documents are made once, which takes a while). Peak memory per format: run one filter at a
// time under /usr/bin/time -v, e.g. --benchmark_filter=BM_Count/pdf.

#include <benchmark/benchmark.h>

#include <map>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"

using namespace testsupport;

namespace {

constexpr int kPages = 500;

const std::string& Document(const std::string& name) {
    static TempDir dir;
    static std::map<std::string, std::string> made;
    auto it = made.find(name);
    if (it == made.end()) {
        std::string doc;
        const std::string source = PlainPostScript(kPages);
        if (name == "pdf") {
            doc = GhostscriptDocument(dir, "pdfwrite", source);
        } else if (name == "ps") {
            doc = GhostscriptDocument(dir, "ps2write", source);
        } else if (name == "ps-interpreted") {
            doc = source;  // no page comments: Ghostscript runs it
        } else if (name == "pclxl") {
            doc = GhostscriptDocument(dir, "pxlmono", source);
        } else if (name == "pcl5") {
            doc = GhostscriptDocument(dir, "ljet4", source);
        }
        it = made.emplace(name, doc).first;
    }
    return it->second;
}

void Count(benchmark::State& state, const std::string& name) {
    const std::string& doc = Document(name);
    if (doc.empty()) {
        state.SkipWithError("needs Ghostscript");
        return;
    }
    for (auto _ : state) {
        const auto result = pagecount::CountDocument(doc);
        if (result.pages != kPages) {
            state.SkipWithError(("wrong count: " + result.error).c_str());
            return;
        }
    }
    state.counters["document_MB"] = static_cast<double>(doc.size()) / 1e6;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}

}  // namespace

BENCHMARK_CAPTURE(Count, pdf, std::string("pdf"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Count, ps, std::string("ps"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Count, ps_interpreted, std::string("ps-interpreted"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(Count, pclxl, std::string("pclxl"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Count, pcl5, std::string("pcl5"))->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
