#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "pagecount/PageCount.h"
#include "pagecount/StreamCounting.h"

// More host-based printers' streams. Like the others they carry compressed bitmaps, which hold
// every byte value, so each stream is walked by its own record lengths and nothing is searched
// for inside the bitmaps.
//
// LAVAFLOW (Konica Minolta magicolor 1600W/2530 DL...) is PCL-shaped: escape sequences, the
// bitmaps after "ESC*b#V/W" and "ESC*g#W", a page from "ESC*r#A" to its eject "ESC&l0H", copies
// in "ESC&l#X". The magicolor 2480 MF gets it as text: "Key=Value;" items, a bitmap as
// "RasterObject.Data#length=" and its bytes, pages ended by "Event=EndOfPage;".
// HIPERC (Oki) records are a big-endian length (the whole record) and type: 0 starts a colour
// plane, 1 is a bitmap, 255 ends the page. Copies are PJL's.
// QPDL (Samsung) records are a type byte with lengths of their own: a 17-byte page header with
// the copies, bands with a 32-bit length, and a 3-byte page end that also gives the copies.
// OAK records are "OAKT", a little-endian length (the whole record, a multiple of 16) and type;
// an image data record is followed by its padded bitmap, whose length it gives.
// DDST (Ricoh SP) is PJL itself: a page is the lines from "PAGESTATUS=START" to
// "PAGESTATUS=END", and each "IMAGELEN=n" line is followed by n bytes of bitmap.

namespace pagecount {

namespace {

using namespace stream;

// A decimal number of at most `maxDigits` digits at pos, with an optional sign; npos when
// there is none.
std::size_t ReadNumber(std::string_view data, std::size_t pos, std::size_t maxDigits,
                       std::int64_t& value) {
    bool negative = false;
    if (pos < data.size() && (data[pos] == '+' || data[pos] == '-')) {
        negative = data[pos] == '-';
        ++pos;
    }
    const std::size_t first = pos;
    value = 0;
    while (pos < data.size() && std::isdigit(static_cast<unsigned char>(data[pos]))) {
        if (pos - first == maxDigits) {
            return std::string_view::npos;
        }
        value = value * 10 + (data[pos] - '0');
        ++pos;
    }
    if (pos == first) {
        return std::string_view::npos;
    }
    if (negative) {
        value = -value;
    }
    return pos;
}

// LAVAFLOW in escape sequences.
Segment CountLavaFlowEscapes(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                             const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "LAVAFLOW", limits);
    const std::size_t size = data.size();
    std::size_t pos = start;
    std::int64_t copies = defaultCopies;
    bool marked = false;     // a raster since the last eject: the page prints
    bool lastReset = false;  // the stream ends with a reset, which ends the job
    const auto eject = [&] {
        if (marked) {
            marked = false;
            return tally.Page(copies);
        }
        return true;
    };
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (pos == size || At(data, pos, kUel)) {
            if (!lastReset || marked) {
                return tally.Damaged("no end of job", pos);
            }
            return tally.Done(pos);
        }
        const char c = data[pos];
        if (c == '\f') {
            if (!eject()) {
                return tally.Damaged("too many pages", pos);
            }
            lastReset = false;
            ++pos;
            continue;
        }
        if (c != '\x1b' || size - pos < 2) {
            return tally.Damaged("data outside a command", pos);
        }
        const char c1 = data[pos + 1];
        if (c1 >= 0x30 && c1 <= 0x7e) {
            // Two-character sequence; ESC E resets the printer, printing what it holds.
            if (c1 == 'E') {
                if (!eject()) {
                    return tally.Damaged("too many pages", pos);
                }
                copies = defaultCopies;
            }
            lastReset = c1 == 'E';
            pos += 2;
            continue;
        }
        if (c1 < 0x21 || c1 > 0x2f || size - pos < 3 || data[pos + 2] < 0x60 ||
            data[pos + 2] > 0x7e) {
            return tally.Damaged("escape sequence", pos);
        }
        lastReset = false;
        const char group = c1;
        const char parameter = data[pos + 2];
        std::size_t q = pos + 3;
        // Values and their letters; a lower-case letter combines the next command.
        for (;;) {
            // The value may be left out ("ESC*rC"); its fraction does not matter here.
            std::int64_t value = 0;
            if (q < size && (data[q] == '+' || data[q] == '-' ||
                             std::isdigit(static_cast<unsigned char>(data[q])))) {
                q = ReadNumber(data, q, 12, value);
                if (q == std::string_view::npos) {
                    return tally.Damaged("escape sequence", pos);
                }
            }
            if (q < size && data[q] == '.') {
                ++q;
                for (std::size_t digits = 0;
                     q < size && std::isdigit(static_cast<unsigned char>(data[q])); ++digits) {
                    if (digits == 12) {
                        return tally.Damaged("escape sequence", pos);
                    }
                    ++q;
                }
            }
            if (q == size) {
                return tally.Damaged("escape sequence cut short", pos);
            }
            const char letter =
                static_cast<char>(std::toupper(static_cast<unsigned char>(data[q])));
            const bool last = data[q] >= 0x40 && data[q] <= 0x5e;
            if (!last && !(data[q] >= 0x60 && data[q] <= 0x7e)) {
                return tally.Damaged("escape sequence", pos);
            }
            ++q;
            if (group == '*' && ((parameter == 'b' && (letter == 'V' || letter == 'W')) ||
                                 (parameter == 'g' && letter == 'W'))) {
                // Bitmap or plane parameters: that many bytes follow.
                if (value < 0 || static_cast<std::uint64_t>(value) > size - q) {
                    return tally.Damaged("data cut short", pos);
                }
                q += static_cast<std::size_t>(value);
            } else if (group == '*' && parameter == 'r' && letter == 'A') {
                marked = true;
            } else if (group == '&' && parameter == 'l' && letter == 'X') {
                copies = Copies(value);
            } else if (group == '&' && parameter == 'l' && letter == 'H' && value == 0) {
                if (!eject()) {
                    return tally.Damaged("too many pages", pos);
                }
            }
            if (last) {
                break;
            }
        }
        pos = q;
    }
}

// LAVAFLOW as "Key=Value;" text.
Segment CountLavaFlowText(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                          const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "LAVAFLOW", limits);
    constexpr std::string_view kData = "RasterObject.Data#";
    constexpr std::size_t kMaxItem = 4096;
    const std::size_t size = data.size();
    std::size_t pos = start;
    bool inPage = false;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (pos == size || At(data, pos, kUel)) {
            return tally.Damaged("no end of job", pos);
        }
        const std::size_t eq = data.find('=', pos);
        if (eq == std::string_view::npos || eq - pos > kMaxItem || eq == pos) {
            return tally.Damaged("item", pos);
        }
        const std::string_view key = data.substr(pos, eq - pos);
        if (key.find_first_of(";\x1b") != std::string_view::npos) {
            return tally.Damaged("item", pos);
        }
        std::string upper(key);
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
        if (upper.find("COPIES") != std::string::npos ||
            upper.find("COLLATE") != std::string::npos) {
            return tally.Uncountable("copies asked for in " + std::string(key));
        }
        std::size_t valueEnd = 0;
        if (key.substr(0, std::min(key.size(), kData.size())) == kData) {
            std::int64_t length = 0;
            if (ReadNumber(key, kData.size(), 10, length) != key.size() || length < 0) {
                return tally.Damaged("bitmap length", pos);
            }
            if (static_cast<std::uint64_t>(length) >= size - eq) {
                return tally.Damaged("bitmap cut short", pos);
            }
            valueEnd = eq + 1 + static_cast<std::size_t>(length);
            inPage = true;
        } else {
            valueEnd = data.find(';', eq + 1);
            if (valueEnd == std::string_view::npos || valueEnd - eq > kMaxItem) {
                return tally.Damaged("item without end", pos);
            }
        }
        if (valueEnd >= size || data[valueEnd] != ';') {
            return tally.Damaged("item without end", pos);
        }
        const std::string_view value = data.substr(eq + 1, valueEnd - eq - 1);
        if (key == "Event" && pos == start) {
            if (value != "StartOfJob") {
                return tally.Damaged("start of job", pos);
            }
        } else if (key == "Event" && value == "EndOfPage") {
            if (!inPage) {
                return tally.Damaged("end of a page without bitmap", pos);
            }
            inPage = false;
            if (!tally.Page(defaultCopies)) {
                return tally.Damaged("too many pages", pos);
            }
        } else if (key == "Event" && value == "EndOfJob") {
            if (inPage) {
                return tally.Damaged("a page without end", pos);
            }
            return tally.Done(valueEnd + 1);
        } else if (key == "Event") {
            return tally.Damaged("unknown event", pos);
        }
        pos = valueEnd + 1;
    }
}

constexpr std::string_view kLavaText = "Event=StartOfJob;";

enum HipercType : std::uint32_t { kHipercPlane = 0, kHipercData = 1, kHipercEndPage = 255 };

// QPDL band headers: the byte after the band's size is a colour (1-4) on colour printers and
// the compression on monochrome ones, whose header is a byte shorter.
bool QpdlCompression(std::uint32_t b) {
    return b == 0x0d || b == 0x0e || b == 0x11 || b == 0x13 || b == 0x15;
}

enum OakType : std::uint32_t {
    kOakFilename = 0x0a,
    kOakEndDoc = 0x0b,
    kOakTime = 0x0c,
    kOakOther = 0x0d,
    kOakDuplex = 0x0f,
    kOakStartPage = 0x14,
    kOakStartImage = 0x15,
    kOakEndImage = 0x17,
    kOakEndPage = 0x18,
    kOakDriver = 0x1f,
    kOakSource = 0x28,
    kOakMedia = 0x29,
    kOakCopies = 0x2a,
    kOakPaper = 0x2b,
    kOakImageColor = 0x32,
    kOakImageMono = 0x33,
    kOakImageData = 0x3c,
};

// The words of the PJL line at pos, upper case, '=' a word of its own, and where the line ends
// (after its line feed). False when there is no PJL line there.
bool PjlLine(std::string_view data, std::size_t pos, std::vector<std::string>& words,
             std::size_t& next) {
    constexpr std::size_t kMaxLine = 64 * 1024;
    if (!AtNoCase(data, pos, "@PJL")) {
        return false;
    }
    const std::size_t eol = data.find('\n', pos);
    if (eol == std::string_view::npos || eol - pos > kMaxLine) {
        return false;
    }
    words.clear();
    std::string word;
    for (std::size_t i = pos; i <= eol; ++i) {
        const char ch = data[i];
        if (ch == '=' || ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
            if (ch == '=') {
                words.emplace_back("=");
            }
        } else {
            word += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
    }
    next = eol + 1;
    return true;
}

bool PjlSet(const std::vector<std::string>& words, std::string_view name) {
    return words.size() >= 5 && words[1] == "SET" && words[2] == name && words[3] == "=";
}

std::size_t SkipLineBreaks(std::string_view data, std::size_t pos) {
    while (pos < data.size() && (data[pos] == '\r' || data[pos] == '\n' || data[pos] == ' ')) {
        ++pos;
    }
    return pos;
}

}  // namespace

bool StartsLavaFlow(std::string_view data, std::size_t start) {
    // The escape form is PCL-shaped: it is taken for LAVAFLOW where PJL names it.
    return At(data, start, kLavaText) || At(data, start,
                                            "\x1b"
                                            "E\x1b");
}

bool StartsHiperc(std::string_view data, std::size_t start) {
    // A colour plane's start record, 52 bytes, its first block 16.
    return start <= data.size() && data.size() - start >= 12 && Be32(data, start) == 52 &&
           Be32(data, start + 4) == kHipercPlane && Be32(data, start + 8) == 16;
}

bool StartsQpdl(std::string_view data, std::size_t start) {
    // A page header: type 0, the resolution in hundreds, copies, and the QPDL version.
    return start <= data.size() && data.size() - start >= 17 && data[start] == 0 &&
           Byte(data, start + 1) >= 1 && Byte(data, start + 1) <= 24 &&
           Be16(data, start + 2) >= 1 && Byte(data, start + 14) >= 1 && Byte(data, start + 14) <= 5;
}

bool StartsOak(std::string_view data, std::size_t start) {
    // A record of the document class (types below 0x10) or the driver's record.
    if (!At(data, start, "OAKT") || data.size() - start < 12) {
        return false;
    }
    const std::uint32_t length = Le32(data, start + 4);
    const std::uint32_t type = Le32(data, start + 8);
    return length >= 16 && length % 16 == 0 && (type < 0x10 || type == kOakDriver);
}

bool StartsDdst(std::string_view data, std::size_t start) {
    std::vector<std::string> words;
    std::size_t next = 0;
    return PjlLine(data, start, words, next) && PjlSet(words, "PAGESTATUS") && words[4] == "START";
}

Segment CountLavaFlow(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits) {
    if (At(data, start, kLavaText)) {
        return CountLavaFlowText(data, start, defaultCopies, limits);
    }
    return CountLavaFlowEscapes(data, start, defaultCopies, limits);
}

Segment CountHiperc(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                    const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "HIPERC", limits);
    if (!StartsHiperc(data, start)) {
        return tally.Damaged("no plane record", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start;
    bool inPage = false;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (pos == size || At(data, pos, kUel)) {
            if (inPage) {
                return tally.Damaged("a page without end", pos);
            }
            return tally.Done(pos);
        }
        if (size - pos < 8) {
            return tally.Damaged("record header cut short", pos);
        }
        const std::uint32_t length = Be32(data, pos);
        const std::uint32_t type = Be32(data, pos + 4);
        if (length < 8) {
            return tally.Damaged("record header", pos);
        }
        if (length > size - pos) {
            return tally.Damaged("record cut short", pos);
        }
        switch (type) {
            case kHipercPlane:
                // One for each colour of the page.
                inPage = true;
                break;
            case kHipercData:
                if (!inPage) {
                    return tally.Damaged("a bitmap outside a page", pos);
                }
                break;
            case kHipercEndPage:
                if (!inPage) {
                    return tally.Damaged("end of a page never started", pos);
                }
                inPage = false;
                if (!tally.Page(defaultCopies)) {
                    return tally.Damaged("too many pages", pos);
                }
                break;
            default:
                return tally.Damaged("unknown record", pos);
        }
        pos += length;
    }
}

Segment CountQpdl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "QPDL", limits);
    if (!StartsQpdl(data, start)) {
        return tally.Damaged("no page header", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start;
    bool inPage = false;
    std::uint32_t version = 0;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (pos == size || At(data, pos, kUel)) {
            return tally.Damaged("no end of document record", pos);
        }
        const std::size_t left = size - pos;
        switch (Byte(data, pos)) {
            case 0x00:  // page header
                if (inPage) {
                    return tally.Damaged("a page inside a page", pos);
                }
                if (left < 17) {
                    return tally.Damaged("page header cut short", pos);
                }
                version = Byte(data, pos + 14);
                inPage = true;
                pos += 17;
                break;
            case 0x13:  // page settings of the JBIG printers
                if (!inPage || left < 15) {
                    return tally.Damaged("settings record", pos);
                }
                pos += 15;
                break;
            case 0x14:
                // Two records share the type: the JBIG header of the page's bands (which starts
                // with a zero byte) and a short one before the page's end.
                if (!inPage || left < 2) {
                    return tally.Damaged("record 0x14", pos);
                }
                if (data[pos + 1] == 0x00 && left >= 25) {
                    pos += 25;
                } else if (data[pos + 1] == 0x10 && left >= 8) {
                    pos += 8;
                } else {
                    return tally.Damaged("record 0x14", pos);
                }
                break;
            case 0x0c: {  // band
                if (!inPage || left < 12) {
                    return tally.Damaged("band header", pos);
                }
                std::size_t header = 0;
                const std::uint32_t sixth = Byte(data, pos + 6);
                if (sixth >= 1 && sixth <= 4 && QpdlCompression(Byte(data, pos + 7))) {
                    // A colour printer's band. In version 1 (splix) its other colours follow
                    // with only their colour, compression and length, and a zero byte ends
                    // the band. Version 3's have no such end: those are not read.
                    if (version != 1 && version != 2 && version != 5) {
                        return tally.Uncountable("colour bands of QPDL version " +
                                                 std::to_string(version));
                    }
                    header = 12;
                } else if (QpdlCompression(sixth)) {
                    header = 11;
                } else {
                    return tally.Damaged("band header", pos);
                }
                const std::uint32_t length = Be32(data, pos + header - 4);
                if (length > left - header) {
                    return tally.Damaged("band cut short", pos);
                }
                pos += header + length;
                while (header == 12 && version == 1) {
                    if (!tally.InTime(pos)) {
                        return seg;
                    }
                    if (pos == size) {
                        return tally.Damaged("band without end", pos);
                    }
                    if (data[pos] == 0x00) {
                        ++pos;
                        break;
                    }
                    const std::uint32_t colour = Byte(data, pos);
                    if (colour > 4 || size - pos < 6 || !QpdlCompression(Byte(data, pos + 1))) {
                        return tally.Damaged("colour plane header", pos);
                    }
                    const std::uint32_t planeLength = Be32(data, pos + 2);
                    if (planeLength > size - pos - 6) {
                        return tally.Damaged("colour plane cut short", pos);
                    }
                    pos += 6 + planeLength;
                }
                break;
            }
            case 0x01: {  // end of page, with its copies
                if (!inPage) {
                    return tally.Damaged("end of a page never started", pos);
                }
                if (left < 3) {
                    return tally.Damaged("end of page cut short", pos);
                }
                const std::uint32_t copies = Be16(data, pos + 1);
                inPage = false;
                if (!tally.Page(copies > 0 ? Copies(copies) : defaultCopies)) {
                    return tally.Damaged("too many pages", pos);
                }
                pos += 3;
                break;
            }
            case 0x09:  // end of document
                if (inPage) {
                    return tally.Damaged("a page without end", pos);
                }
                return tally.Done(pos + 1);
            default:
                return tally.Damaged("unknown record", pos);
        }
    }
}

Segment CountOak(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "OAK", limits);
    if (!StartsOak(data, start)) {
        return tally.Damaged("no document record", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start;
    bool inPage = false;
    std::int64_t copies = defaultCopies;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (pos == size || At(data, pos, kUel)) {
            return tally.Damaged("no end of document record", pos);
        }
        if (size - pos < 12 || !At(data, pos, "OAKT")) {
            return tally.Damaged("record header", pos);
        }
        const std::uint32_t length = Le32(data, pos + 4);
        const std::uint32_t type = Le32(data, pos + 8);
        if (length < 12) {
            return tally.Damaged("record header", pos);
        }
        if (length > size - pos) {
            return tally.Damaged("record cut short", pos);
        }
        std::size_t next = pos + length;
        switch (type) {
            case kOakStartPage:
                if (inPage) {
                    return tally.Damaged("a page inside a page", pos);
                }
                inPage = true;
                copies = defaultCopies;
                break;
            case kOakCopies:
                if (!inPage || length < 16) {
                    return tally.Damaged("copies record", pos);
                }
                copies = Copies(Le32(data, pos + 12));
                break;
            case kOakImageData: {
                // The bitmap follows the record, padded to the length it gives.
                if (!inPage || length < 40) {
                    return tally.Damaged("image data record", pos);
                }
                const std::uint32_t padded = Le32(data, pos + 36);
                if (padded > size - next) {
                    return tally.Damaged("bitmap cut short", pos);
                }
                next += padded;
                break;
            }
            case kOakEndPage:
                if (!inPage) {
                    return tally.Damaged("end of a page never started", pos);
                }
                inPage = false;
                if (!tally.Page(copies)) {
                    return tally.Damaged("too many pages", pos);
                }
                break;
            case kOakEndDoc:
                if (inPage) {
                    return tally.Damaged("a page without end", pos);
                }
                return tally.Done(next);
            case kOakStartImage:
            case kOakEndImage:
            case kOakSource:
            case kOakMedia:
            case kOakPaper:
            case kOakImageColor:
            case kOakImageMono:
                if (!inPage) {
                    return tally.Damaged("a page record outside a page", pos);
                }
                break;
            case kOakFilename:
            case kOakTime:
            case kOakOther:
            case kOakDuplex:
            case kOakDriver:
                break;
            default:
                return tally.Damaged("unknown record", pos);
        }
        pos = next;
    }
}

Segment CountDdst(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "DDST", limits);
    if (!StartsDdst(data, start)) {
        return tally.Damaged("no page start", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start;
    std::vector<std::string> words;
    for (;;) {
        // A page: its start line, then lines and bitmaps up to its end line.
        std::size_t next = 0;
        PjlLine(data, pos, words, next);
        pos = next;
        std::int64_t copies = defaultCopies;
        for (;;) {
            if (!tally.InTime(pos)) {
                return seg;
            }
            pos = SkipLineBreaks(data, pos);
            if (pos == size || At(data, pos, kUel)) {
                return tally.Damaged("a page without end", pos);
            }
            if (!PjlLine(data, pos, words, next)) {
                return tally.Damaged("PJL line", pos);
            }
            const std::size_t line = pos;
            pos = next;
            std::int64_t value = 0;
            if (PjlSet(words, "IMAGELEN")) {
                if (ReadNumber(words[4], 0, 10, value) != words[4].size() || value < 0) {
                    return tally.Damaged("bitmap length", line);
                }
                if (static_cast<std::uint64_t>(value) > size - pos) {
                    return tally.Damaged("bitmap cut short", line);
                }
                pos += static_cast<std::size_t>(value);
            } else if (PjlSet(words, "COPIES")) {
                if (ReadNumber(words[4], 0, 10, value) != words[4].size()) {
                    return tally.Damaged("copies", line);
                }
                copies = Copies(value);
            } else if (PjlSet(words, "PAGESTATUS")) {
                if (words[4] != "END") {
                    return tally.Damaged("a page inside a page", line);
                }
                break;
            }
        }
        if (!tally.Page(copies)) {
            return tally.Damaged("too many pages", pos);
        }
        // The next page, or the end of the job: a document cut between two pages would look
        // whole but for its missing end.
        pos = SkipLineBreaks(data, pos);
        if (!StartsDdst(data, pos)) {
            std::size_t next = 0;
            if (!PjlLine(data, pos, words, next) || words.size() < 2 || words[1] != "EOJ") {
                return tally.Damaged("no end of job after the pages", pos);
            }
            return tally.Done(pos);
        }
    }
}

}  // namespace pagecount
