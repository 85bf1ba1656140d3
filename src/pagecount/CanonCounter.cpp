#include <algorithm>

#include "pagecount/PageCount.h"

// Canon's Bubble Jet printers: a job starts with "set initial condition" (ESC [ K), and nearly
// every command is ESC [ or ESC ( with a letter, a 16-bit length and that many bytes, raster
// data (ESC ( A, ESC ( F, ESC [ g) and BJL text alike. The older models' few commands of their
// own carry fixed parameters. A page leaves at a form feed; marks after the last one still come
// out on a page. The drivers send copies as the pages again. Newer PIXMA models get the job's
// start and end as XML documents ("<?xml ... <cmd ...>...</cmd>") around the commands.

namespace pagecount {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kFf = 0x0c;
constexpr std::int64_t kMaxCopies = 32767;

unsigned Byte(std::string_view data, std::size_t pos) {
    return static_cast<unsigned char>(data[pos]);
}

std::size_t Le16(std::string_view data, std::size_t pos) {
    return Byte(data, pos) | Byte(data, pos + 1) << 8;
}

// Parameter bytes of ESC c for Canon's commands of fixed length; -1 for the ones it does not
// have.
int FixedParameters(unsigned c) {
    switch (c) {
        case '@':  // reset
        case '0':
        case '1':
        case '2':  // line spacing
            return 0;
        case '5':  // automatic carriage return
        case 'J':  // paper feed
        case '3':
        case 'A':
            return 1;
        case 'd':  // horizontal skip
            return 2;
        default:
            return -1;
    }
}

constexpr std::string_view kXmlStart = "<?xml";
constexpr std::string_view kXmlEnd = "</cmd>";

// Past the XML command at pos; npos when it has no end.
std::size_t SkipXml(std::string_view data, std::size_t pos) {
    const std::size_t end = data.find(kXmlEnd, pos);
    return end == std::string_view::npos ? end : end + kXmlEnd.size();
}

}  // namespace

bool StartsCanonBj(std::string_view data, std::size_t start) {
    // A few XML commands may come first.
    for (int i = 0; i < 4 && data.compare(start, kXmlStart.size(), kXmlStart) == 0; ++i) {
        const std::size_t end = data.find(kXmlEnd, start);
        if (end == std::string_view::npos || end - start > 64 * 1024) {
            return false;
        }
        start = end + kXmlEnd.size();
    }
    if (data.size() - start < 5 || data.compare(start, 3, "\x1b[K") != 0) {
        return false;
    }
    const std::size_t length = Le16(data, start + 3);
    return length >= 2 && length <= data.size() - start - 5;
}

Segment CountCanonBj(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits) {
    Segment seg;
    seg.counter = "Canon BJ";
    const std::int64_t copies = std::clamp<std::int64_t>(defaultCopies, 1, kMaxCopies);
    bool marked = false;
    std::size_t pos = start;
    const std::size_t size = data.size();
    std::size_t nextClockCheck = pos + (1u << 20);
    const auto fail = [&](const std::string& what) {
        seg.error = what + " at byte " + std::to_string(pos) + ")";
        return seg;
    };
    while (pos < size) {
        if (pos >= nextClockCheck) {
            nextClockCheck = pos + (1u << 20);
            if (std::chrono::steady_clock::now() > limits.deadline) {
                seg.error = "counting took too long";
                return seg;
            }
        }
        const unsigned b = Byte(data, pos);
        if (b == kFf) {
            ++seg.documentPages;
            marked = false;
            if (seg.documentPages > limits.maxPages) {
                seg.error = "damaged Canon BJ (too many pages)";
                return seg;
            }
            ++pos;
            continue;
        }
        if (b == '<' && data.compare(pos, kXmlStart.size(), kXmlStart) == 0) {
            const std::size_t next = SkipXml(data, pos);
            if (next == std::string_view::npos) {
                return fail("damaged Canon BJ (XML without end");
            }
            pos = next;
            continue;
        }
        if (b != kEsc) {
            // NUL, CR, LF and the like move; text marks the page.
            if (b < 0x20 && b != 0x00 && b != '\r' && b != '\n' && b != '\t' && b != 0x0b) {
                return fail("not Canon BJ (a code it does not have");
            }
            marked = marked || b > 0x20;
            ++pos;
            continue;
        }
        if (data.compare(pos, kUel.size(), kUel) == 0) {
            break;  // back to PJL
        }
        if (size - pos < 2) {
            return fail("damaged Canon BJ (command cut short");
        }
        const unsigned c = Byte(data, pos + 1);
        if (c == '[' || c == '(') {
            if (size - pos < 5) {
                return fail("damaged Canon BJ (command cut short");
            }
            const unsigned command = Byte(data, pos + 2);
            const std::size_t length = Le16(data, pos + 3);
            if (length > size - pos - 5) {
                return fail("damaged Canon BJ (data cut short");
            }
            // Raster data marks the page.
            marked = marked || ((command == 'A' || command == 'F') && c == '(') ||
                     (command == 'g' && c == '[');
            pos += 5 + length;
            continue;
        }
        int parameters = FixedParameters(c);
        if (c == 'C') {  // page length in lines, or in inches after a NUL
            parameters = size - pos >= 3 && data[pos + 2] == '\0' ? 2 : 1;
        }
        if (parameters < 0) {
            return fail("not Canon BJ (an escape sequence it does not have");
        }
        if (size - pos < 2 + static_cast<std::size_t>(parameters)) {
            return fail("damaged Canon BJ (command cut short");
        }
        pos += 2 + static_cast<std::size_t>(parameters);
    }
    if (marked) {
        ++seg.documentPages;
    }
    if (seg.documentPages > limits.maxPages) {
        seg.error = "damaged Canon BJ (too many pages)";
        return seg;
    }
    seg.pages = seg.documentPages * copies;
    seg.end = std::min(pos, size);
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
