#include <algorithm>
#include <cctype>

#include "pagecount/PageCount.h"

// Kodak's ESP inkjets (Debian's c2esp driver) take statements "Key=Value;" and commands
// "LockPrinterWait?"; raster bands travel as "RasterObject.Data#N=" and N raw bytes. A page
// ends with "Event=EndOfPage;". The driver repeats the pages for copies.

namespace pagecount {

namespace {

constexpr std::size_t kMaxStatement = 64 * 1024;

}  // namespace

bool StartsKodakEsp(std::string_view data, std::size_t start) {
    const std::string_view head = data.substr(start, 32);
    // c2esp locks the printer first; a stream that starts with its events is foo2lava's
    // LAVAFLOW text form as much as Kodak's, and left to that.
    return head.rfind("LockPrinter", 0) == 0;
}

Segment CountKodakEsp(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits) {
    Segment seg;
    seg.counter = "Kodak ESP";
    std::size_t pos = start;
    std::size_t nextClockCheck = pos + (1u << 20);
    while (pos < data.size() && data.compare(pos, kUel.size(), kUel) != 0) {
        if (pos >= nextClockCheck) {
            nextClockCheck = pos + (1u << 20);
            if (std::chrono::steady_clock::now() > limits.deadline) {
                seg.error = "counting took too long";
                return seg;
            }
        }
        const auto damaged = [&](const char* why) {
            seg.error =
                std::string("damaged Kodak ESP (") + why + " at byte " + std::to_string(pos) + ")";
            return seg;
        };
        // The statement up to its terminator, or the '=' of a data statement.
        const std::size_t end = data.find_first_of(";?=", pos);
        if (end == std::string_view::npos || end - pos > kMaxStatement) {
            return damaged("a statement without its end");
        }
        const std::string_view key = data.substr(pos, end - pos);
        if (data[end] != '=') {
            pos = end + 1;  // a command or an empty statement
            continue;
        }
        const std::size_t hash = key.rfind("Data#");
        if (hash != std::string_view::npos && hash + 5 < key.size() &&
            std::all_of(key.begin() + static_cast<std::ptrdiff_t>(hash + 5), key.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            if (key.size() - hash - 5 > 9) {
                return damaged("raster data too long");
            }
            const std::size_t bytes = std::stoul(std::string(key.substr(hash + 5)));
            if (bytes + 1 >= data.size() - end || data[end + 1 + bytes] != ';') {
                return damaged("raster data cut short");
            }
            pos = end + 1 + bytes + 1;
            continue;
        }
        const std::size_t close = data.find_first_of(";?", end);
        if (close == std::string_view::npos || close - pos > kMaxStatement) {
            return damaged("a statement without its end");
        }
        if (data.substr(pos, close - pos) == "Event=EndOfPage") {
            seg.pages += defaultCopies;
            if (++seg.documentPages > limits.maxPages) {
                return damaged("too many pages");
            }
        }
        pos = close + 1;
    }
    seg.end = pos;
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
