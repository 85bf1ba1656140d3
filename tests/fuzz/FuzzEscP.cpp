// libFuzzer target for the EscP counter and its detection.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pagecount/PageCount.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    pagecount::Limits limits;
    limits.interpreter.clear();
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pagecount::StartsEscP(data, 0);
    pagecount::StartsEscPr(data, 0);
    pagecount::CountEscP(data, 0, 2, limits);
    return 0;
}
