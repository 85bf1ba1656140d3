// Older printer devices' counters (Ghostscript's dot matrix, inkjet and page printer devices,
// and its devices for fax software, HP's LaserJet 3100 software and Imagen printers),
// one target each, chosen by TESSAROVEN_FUZZ_TARGET; each also runs its detection.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pagecount/PageCount.h"

namespace {

using Starts = bool (*)(std::string_view, std::size_t);
using Count = pagecount::Segment (*)(std::string_view, std::size_t, std::int64_t,
                                     const pagecount::Limits&);

struct Target {
    Starts starts;
    Count count;
};

const Target kTargets[] = {
    {pagecount::StartsIbmProprinter, pagecount::CountIbmProprinter},
    {pagecount::StartsOkiMicroline, pagecount::CountOkiMicroline},
    {pagecount::StartsJj100, pagecount::CountJj100},
    {pagecount::StartsDecSixel, pagecount::CountDecSixel},
    {pagecount::StartsXes, pagecount::CountXes},
    {pagecount::StartsRicoh4081, pagecount::CountRicoh4081},
    {pagecount::StartsTek4693, pagecount::CountTek4693},
    {pagecount::StartsFujitsuFm, pagecount::CountFujitsuFm},
    {pagecount::StartsOkiMl600, pagecount::CountOkiMl600},
    {pagecount::StartsLexmark5700, pagecount::CountLexmark5700},
    {pagecount::StartsDecLj250, pagecount::CountDecLj250},
    {pagecount::StartsTek4696, pagecount::CountTek4696},
    {pagecount::StartsSff, pagecount::CountSff},
    {pagecount::StartsLj3100, pagecount::CountLj3100},
    {pagecount::StartsImpress, pagecount::CountImpress},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    pagecount::Limits limits;
    limits.interpreter.clear();
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const Target& target = kTargets[TESSAROVEN_FUZZ_TARGET];
    if (!data.empty()) {
        target.starts(data, 0);
    }
    target.count(data, 0, 2, limits);
    return 0;
}
