#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "pagecount/PageCount.h"

// What the counters of binary printer streams share: reading numbers out of the bytes, and a
// tally of pages that makes the checks every counter makes (deadline, page limit, its errors).

namespace pagecount::stream {

inline constexpr std::int64_t kMaxCopies = 32767;

inline std::uint32_t Byte(std::string_view d, std::size_t p) {
    return static_cast<unsigned char>(d[p]);
}

inline std::uint32_t Be32(std::string_view d, std::size_t p) {
    return Byte(d, p) << 24 | Byte(d, p + 1) << 16 | Byte(d, p + 2) << 8 | Byte(d, p + 3);
}

inline std::uint32_t Be16(std::string_view d, std::size_t p) {
    return Byte(d, p) << 8 | Byte(d, p + 1);
}

inline std::uint32_t Le16(std::string_view d, std::size_t p) {
    return Byte(d, p) | Byte(d, p + 1) << 8;
}

inline std::uint32_t Le32(std::string_view d, std::size_t p) {
    return Byte(d, p) | Byte(d, p + 1) << 8 | Byte(d, p + 2) << 16 | Byte(d, p + 3) << 24;
}

inline bool At(std::string_view data, std::size_t pos, std::string_view what) {
    return pos <= data.size() && data.size() - pos >= what.size() &&
           data.compare(pos, what.size(), what) == 0;
}

inline bool AtNoCase(std::string_view data, std::size_t pos, std::string_view what) {
    if (pos > data.size() || data.size() - pos < what.size()) {
        return false;
    }
    for (std::size_t i = 0; i < what.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(data[pos + i])) != what[i]) {
            return false;
        }
    }
    return true;
}

inline std::int64_t Copies(std::int64_t value) {
    return std::clamp<std::int64_t>(value, 1, kMaxCopies);
}

// Pages and copies as a stream's records give them, and the checks every counter makes.
class PageTally {
  public:
    PageTally(Segment& seg, const char* name, const Limits& limits)
        : m_seg(seg), m_name(name), m_limits(limits) {
        m_seg.counter = name;
    }

    // False when the deadline has passed; looked at once a MiB or so.
    bool InTime(std::size_t pos) {
        if (pos < m_nextCheck) {
            return true;
        }
        m_nextCheck = pos + (1u << 20);
        if (std::chrono::steady_clock::now() > m_limits.deadline) {
            m_seg.error = "counting took too long";
            return false;
        }
        return true;
    }

    Segment& Damaged(const std::string& what, std::size_t pos) {
        m_seg.ok = false;
        m_seg.error = "damaged " + m_name + " (" + what + " at byte " + std::to_string(pos) + ")";
        return m_seg;
    }

    Segment& Uncountable(const std::string& why) {
        m_seg.ok = false;
        m_seg.error = m_name + " cannot be counted: " + why;
        return m_seg;
    }

    // A page has left the printer, `copies` times; false when there are too many.
    bool Page(std::int64_t copies) {
        m_seg.pages += copies;
        ++m_seg.documentPages;
        return m_seg.documentPages <= m_limits.maxPages;
    }

    Segment& Done(std::size_t end) {
        m_seg.end = end;
        m_seg.ok = true;
        return m_seg;
    }

  private:
    Segment& m_seg;
    std::string m_name;
    const Limits& m_limits;
    std::size_t m_nextCheck = 0;
};

}  // namespace pagecount::stream
