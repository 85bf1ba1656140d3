// HP's other languages: HP-GL/2 (which also runs inside PCL 5) and LIDIL; Kodak ESP.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pagecount/PageCount.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    pagecount::Limits limits;
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pagecount::CountHpgl2(data, 0, 1, limits);
    pagecount::CountLidil(data, 0, 1, limits);
    pagecount::CountKodakEsp(data, 0, 1, limits);
    return 0;
}
