// The label printers' counters: ZPL, EPL in both modes, CPCL, DYMO, Brother P-touch.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pagecount/PageCount.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    pagecount::Limits limits;
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pagecount::CountZpl(data, 0, 1, limits);
    pagecount::CountEpl(data, 0, 1, limits);
    pagecount::CountEplLine(data, 0, 1, limits);
    pagecount::CountCpcl(data, 0, 1, limits);
    pagecount::CountDymo(data, 0, 1, limits);
    pagecount::CountPtouch(data, 0, 1, limits);
    return 0;
}
