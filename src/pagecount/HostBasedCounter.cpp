#include <algorithm>

#include "pagecount/PageCount.h"
#include "pagecount/StreamCounting.h"

// Host-based laser printers get their pages as compressed bitmaps wrapped in records, each
// record with a header that gives its type and length, so a stream is walked record by record
// and its page records counted; the bitmaps, which hold every byte value, are skipped by their
// length.
//
// ZjStream (HP LaserJet 1000/1020, Minolta, HP Color LaserJet 2600) and SLX (Lexmark) share one
// layout after their four-byte mark: a record is a big-endian size (the whole record, its
// 16-byte header included), type, item count, a reserved word and a signature word. Start of
// page records carry items (size, id, type, value) among which the copies of the page.
// XQX (HP LaserJet M1005, P1005...) has 8-byte record headers: a type and a number that is the
// item count of start records and the data length of bitmap records; items are an id, a value
// length and the value. It has no copies: the driver repeats the pages.
// HBPL (Dell, Fuji Xerox, Epson) records are an escape, two letters and a length byte; a page
// start record gives the length of the bitmaps after it. Copies are PJL's.

namespace pagecount {

namespace {

using namespace stream;

// ZjStream and SLX: the same records under another mark and signature.
struct ZjFlavour {
    std::string_view mark;
    std::uint32_t signature;
    std::uint32_t copiesItem;    // in start of page records
    std::uint32_t quantityItem;  // a count for the whole document; 0: none
    const char* name;
};

constexpr ZjFlavour kZjStream{"JZJZ", 0x5a5a, 4, 15, "ZjStream"};
constexpr ZjFlavour kSlx{"\xa5SLX", 0xa5a5, 0x101, 0, "SLX"};

enum ZjType : std::uint32_t { kZjStartDoc = 0, kZjEndDoc = 1, kZjStartPage = 2, kZjEndPage = 3 };

Segment CountZjRecords(const ZjFlavour& flavour, std::string_view data, std::size_t start,
                       std::int64_t defaultCopies, const Limits& limits) {
    Segment seg;
    PageTally tally(seg, flavour.name, limits);
    if (!At(data, start, flavour.mark)) {
        return tally.Damaged("no stream mark", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start + flavour.mark.size();
    bool inPage = false;
    std::int64_t pageCopies = defaultCopies;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (size - pos < 16) {
            return tally.Damaged(pos == size || At(data, pos, kUel) ? "no end of document record"
                                                                    : "record header cut short",
                                 pos);
        }
        const std::uint32_t length = Be32(data, pos);
        const std::uint32_t type = Be32(data, pos + 4);
        const std::uint32_t items = Be32(data, pos + 8);
        if (Be16(data, pos + 14) != flavour.signature || length < 16) {
            return tally.Damaged("record header", pos);
        }
        if (length > size - pos) {
            return tally.Damaged("record cut short", pos);
        }
        const std::size_t end = pos + length;
        // The numbers among the record's items.
        std::int64_t copies = -1;
        std::size_t q = pos + 16;
        for (std::uint32_t i = 0; i < items && (type == kZjStartDoc || type == kZjStartPage); ++i) {
            if (end - q < 8) {
                return tally.Damaged("item cut short", q);
            }
            const std::uint32_t itemSize = Be32(data, q);
            if (itemSize < 8 || itemSize > end - q) {
                return tally.Damaged("item length", q);
            }
            const std::uint32_t id = Be16(data, q + 4);
            const bool number = data[q + 6] == 1 && itemSize >= 12;  // an unsigned 32-bit value
            if (number && type == kZjStartPage && id == flavour.copiesItem) {
                copies = Copies(Be32(data, q + 8));
            }
            if (number && type == kZjStartDoc && flavour.quantityItem != 0 &&
                id == flavour.quantityItem && Be32(data, q + 8) > 1) {
                return tally.Uncountable("a quantity for the whole document");
            }
            q += itemSize;
        }
        switch (type) {
            case kZjStartPage:
                if (inPage) {
                    return tally.Damaged("a page inside a page", pos);
                }
                inPage = true;
                pageCopies = copies > 0 ? copies : defaultCopies;
                break;
            case kZjEndPage:
                if (!inPage) {
                    return tally.Damaged("end of a page never started", pos);
                }
                inPage = false;
                if (!tally.Page(pageCopies)) {
                    return tally.Damaged("too many pages", pos);
                }
                break;
            case kZjEndDoc:
                if (inPage) {
                    return tally.Damaged("a page without end", pos);
                }
                return tally.Done(end);
            default:
                break;
        }
        pos = end;
    }
}

enum XqxType : std::uint32_t {
    kXqxStartDoc = 1,
    kXqxEndDoc = 2,
    kXqxStartPage = 3,
    kXqxEndPage = 4,
    kXqxStartPlane = 5,
    kXqxEndPlane = 6,
    kXqxBitmap = 7,
};

}  // namespace

bool StartsZjStream(std::string_view data, std::size_t start) {
    return At(data, start, kZjStream.mark) && data.size() - start >= 20 &&
           Be16(data, start + 18) == kZjStream.signature;
}

bool StartsSlx(std::string_view data, std::size_t start) {
    return At(data, start, kSlx.mark) && data.size() - start >= 20 &&
           Be16(data, start + 18) == kSlx.signature;
}

bool StartsXqx(std::string_view data, std::size_t start) {
    // The mark, then a start of document record.
    return At(data, start, ",XQX") && data.size() - start >= 12 &&
           Be32(data, start + 4) == kXqxStartDoc;
}

bool StartsHbpl(std::string_view data, std::size_t start) {
    // The job record: "ESC J P", its length, and a version.
    return At(data, start, "\x1bJP<") && data.size() - start >= 8 &&
           Le32(data, start + 4) == 0x01000001;
}

Segment CountZjStream(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits) {
    return CountZjRecords(kZjStream, data, start, defaultCopies, limits);
}

Segment CountSlx(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    return CountZjRecords(kSlx, data, start, defaultCopies, limits);
}

Segment CountXqx(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "XQX", limits);
    if (!StartsXqx(data, start)) {
        return tally.Damaged("no stream mark", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start + 4;
    bool inPage = false;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (size - pos < 8) {
            return tally.Damaged(pos == size || At(data, pos, kUel) ? "no end of document record"
                                                                    : "record header cut short",
                                 pos);
        }
        const std::uint32_t type = Be32(data, pos);
        const std::uint32_t count = Be32(data, pos + 4);
        pos += 8;
        switch (type) {
            case kXqxStartDoc:
            case kXqxStartPage:
            case kXqxStartPlane:
                // `count` items: an id, a length and that many bytes of value.
                for (std::uint32_t i = 0; i < count; ++i) {
                    if (size - pos < 8 || Be32(data, pos + 4) > size - pos - 8) {
                        return tally.Damaged("item cut short", pos);
                    }
                    pos += 8 + Be32(data, pos + 4);
                }
                if (type == kXqxStartPage) {
                    if (inPage) {
                        return tally.Damaged("a page inside a page", pos);
                    }
                    inPage = true;
                }
                break;
            case kXqxBitmap:
                if (count > size - pos) {
                    return tally.Damaged("bitmap cut short", pos);
                }
                pos += count;
                break;
            case kXqxEndPage:
                if (!inPage) {
                    return tally.Damaged("end of a page never started", pos);
                }
                inPage = false;
                if (!tally.Page(defaultCopies)) {
                    return tally.Damaged("too many pages", pos);
                }
                break;
            case kXqxEndDoc:
                if (inPage) {
                    return tally.Damaged("a page without end", pos);
                }
                return tally.Done(pos);
            case kXqxEndPlane:
                break;
            default:
                return tally.Damaged("unknown record", pos - 8);
        }
    }
}

Segment CountHbpl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "HBPL", limits);
    if (!StartsHbpl(data, start)) {
        return tally.Damaged("no job record", start);
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
        if (size - pos < 4 || data[pos] != '\x1b') {
            return tally.Damaged("record header", pos);
        }
        const std::string_view name = data.substr(pos + 1, 2);
        const std::size_t length = static_cast<unsigned char>(data[pos + 3]);
        if (length > size - pos - 4) {
            return tally.Damaged("record cut short", pos);
        }
        const std::size_t body = pos + 4;
        pos = body + length;
        if (name == "PS") {
            // Page start: the length of the page's bitmaps follows its size and bytes.
            if (length < 16) {
                return tally.Damaged("page record", body - 4);
            }
            if (inPage) {
                return tally.Damaged("a page inside a page", body - 4);
            }
            inPage = true;
            const std::uint32_t bitmaps = Le32(data, body + 12);
            if (bitmaps > size - pos) {
                return tally.Damaged("bitmap cut short", pos);
            }
            pos += bitmaps;
        } else if (name == "PE") {
            if (!inPage) {
                return tally.Damaged("end of a page never started", body - 4);
            }
            inPage = false;
            if (!tally.Page(defaultCopies)) {
                return tally.Damaged("too many pages", body - 4);
            }
        } else if (name != "JP" && name != "DM") {
            return tally.Damaged("unknown record", body - 4);
        }
    }
}

}  // namespace pagecount
