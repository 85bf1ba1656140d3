#include "pagecount/PageCount.h"

// LIDIL, the language of HP's low-end inkjets (hpcups' DeskJet 3xxx, D1xxx-D2xxx): a stream of
// packets, each '$', its length in two bytes (big-endian, '$' to '$' inclusive), a type, a
// command, a reference number and the length of the data that follows the packet. Commands
// (type 0) load a page (1), print a sweep (3) with its data (4), and eject the page (2); the
// driver repeats the pages for copies. Sync and padding packets (other types) only carry
// filler.

namespace pagecount {

namespace {

constexpr std::size_t kHeader = 10;

unsigned Word(std::string_view data, std::size_t pos) {
    return static_cast<unsigned>(static_cast<unsigned char>(data[pos])) << 8 |
           static_cast<unsigned char>(data[pos + 1]);
}

}  // namespace

bool StartsLidil(std::string_view data, std::size_t start) {
    if (data.size() - start < kHeader || data[start] != '$') {
        return false;
    }
    const unsigned length = Word(data, start + 1);
    return length >= kHeader + 1 && length <= data.size() - start &&
           data[start + length - 1] == '$';
}

Segment CountLidil(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits) {
    Segment seg;
    seg.counter = "LIDIL";
    std::size_t pos = start;
    std::size_t nextClockCheck = pos + (1u << 20);
    bool loaded = false;
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
                std::string("damaged LIDIL (") + why + " at byte " + std::to_string(pos) + ")";
            return seg;
        };
        if (data.size() - pos < kHeader + 1 || data[pos] != '$') {
            return damaged("no packet");
        }
        const std::size_t length = Word(data, pos + 1);
        const std::size_t payload = Word(data, pos + 8);
        if (length < kHeader + 1 || length > data.size() - pos || data[pos + length - 1] != '$' ||
            payload > data.size() - pos - length) {
            return damaged("a packet cut short");
        }
        if (data[pos + 4] == 0) {
            const char command = data[pos + 5];
            if (command == 1) {
                loaded = true;
            } else if (command == 2) {
                if (!loaded) {
                    return damaged("a page ejected that was never loaded");
                }
                loaded = false;
                seg.pages += defaultCopies;
                if (++seg.documentPages > limits.maxPages) {
                    return damaged("too many pages");
                }
            }
        }
        pos += length + payload;
    }
    seg.end = pos;
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
