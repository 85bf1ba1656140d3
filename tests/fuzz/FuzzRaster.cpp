// The raster counters: CUPS and PWG raster, Apple raster.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pagecount/PageCount.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    pagecount::Limits limits;
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pagecount::CountCupsRaster(data, 0, 1, limits);
    pagecount::CountAppleRaster(data, 0, 1, limits);
    return 0;
}
