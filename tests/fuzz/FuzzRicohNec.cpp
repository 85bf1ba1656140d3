// Ricoh's RPDL and NEC's NPDL counters and their detection, one target each, chosen by
// TESSAROVEN_FUZZ_TARGET.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pagecount/PageCount.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    pagecount::Limits limits;
    limits.interpreter.clear();
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
#if TESSAROVEN_FUZZ_TARGET == 1
    pagecount::StartsRpdl(data, 0);
    pagecount::CountRpdl(data, 0, 2, limits);
#elif TESSAROVEN_FUZZ_TARGET == 2
    pagecount::StartsNpdl(data, 0);
    pagecount::CountNpdl(data, 0, 2, limits);
#endif
    return 0;
}
