// One libFuzzer target per counter, chosen by TESSAROVEN_FUZZ_TARGET when this file is
// compiled. The PostScript interpreter is left out: it is a separate, sandboxed process, and
// what is fuzzed here is the code that runs inside the monitor.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pagecount/PageCount.h"

namespace {

pagecount::Limits FuzzLimits() {
    pagecount::Limits limits;
    limits.interpreter.clear();
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    return limits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const pagecount::Limits limits = FuzzLimits();
#if TESSAROVEN_FUZZ_TARGET == 1
    pagecount::CountDocument(data, limits);
    pagecount::DetectFormat(data);
#elif TESSAROVEN_FUZZ_TARGET == 2
    pagecount::CountPclXl(data, 0, 1, limits);
#elif TESSAROVEN_FUZZ_TARGET == 3
    pagecount::CountPcl5(data, 0, 1, limits);
#elif TESSAROVEN_FUZZ_TARGET == 4
    pagecount::CountPdf(data, 0, limits);
#elif TESSAROVEN_FUZZ_TARGET == 5
    pagecount::CountPostScript(data, 0, limits);
    pagecount::PostScriptCopies(data, limits);
#endif
    return 0;
}
