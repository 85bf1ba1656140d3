#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "pagecount/PageCount.h"
#include "pagecount/StreamCounting.h"

// Older host-based printers' streams, as Ghostscript's devices and small Debian drivers write
// them. Their bitmaps hold every byte value, so each stream is walked by its own lengths.
//
// Samsung GDI ("SMART", Ghostscript's gdi and samsunggdi devices): after PJL enters SMART, a job
// is "$PJL" lines ending in CR LF: JOB START, the COPIES of the job, BITMAP START, then bands
// (a big-endian length and that many bytes), PRINT, which prints the page, and EOJ. Ghostscript
// makes one such PJL job for each page and repeats the pages for copies.
// HBP (Brother HL-720/730, Ghostscript's hl7x0 device): two-byte commands: "@L" and one byte
// (resolution), "@G" and a 24-bit big-endian length of line data, "@F" ejects the page, "@N"
// does nothing and "@X" ends the job. No copies: Ghostscript repeats the pages (and the PJL
// header with "@L" when it repeats the first).
// SAG-GDI (Ricoh Aficio SP 1000S/1100S, rastertosag-gdi): a text line ") SAG-GDI RL;..." ending
// in CR LF, then records of a type byte, a zero byte, a little-endian 16-bit length, two bytes
// and that many bytes: 0x10 starts the document, 0x11 a page (the copies in its 13th byte),
// 0x12 is a bitmap block, 0x13 ends the page and 0x14 the document.
// Minolta GDI (PagePro 1200W-1400W by min12xxw, magicolor 2300W/2400W by m2300w/m2400w): records
// of ESC, a command letter, a sequence number, a little-endian 16-bit length, the command's
// complement, that many bytes and a checksum (the sum of the bytes before it). "@" starts the
// file, "P" the job, "Q" is a page's header, "R" a bitmap block whose data length (its first
// four bytes, little-endian) follows the record, "U" ends the job and "A" the file. No copies:
// the filters repeat the pages.

namespace pagecount {

namespace {

using namespace stream;

constexpr std::size_t kMaxSmartLine = 256;

// The words of a "$PJL" line, upper case, '=' as a word of its own.
std::vector<std::string> LineWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == '=' || c == ' ' || c == '\t' || c == '\r') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
            if (c == '=') {
                words.emplace_back("=");
            }
        } else {
            word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

// A whole number of up to 9 digits; -1 when it is not one.
std::int64_t Number(const std::string& word) {
    if (word.empty() || word.size() > 9 ||
        !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stoll(word);
}

constexpr std::string_view kSagMark = ") SAG-GDI RL;";

enum SagType : std::uint32_t {
    kSagStartDoc = 0x10,
    kSagStartPage = 0x11,
    kSagBlock = 0x12,
    kSagEndPage = 0x13,
    kSagEndDoc = 0x14,
};

// A Minolta GDI record: its command, where its bytes start and how many.
struct MinoltaRecord {
    char command = 0;
    std::size_t body = 0;
    std::size_t length = 0;
};

// The record at pos, if its header, length and checksum hold.
bool MinoltaRecordAt(std::string_view data, std::size_t pos, MinoltaRecord& record) {
    if (data.size() - pos < 7 || data[pos] != '\x1b' ||
        Byte(data, pos + 5) != (Byte(data, pos + 1) ^ 0xffu)) {
        return false;
    }
    const std::size_t length = Le16(data, pos + 3);
    if (length > data.size() - pos - 7) {
        return false;
    }
    std::uint32_t sum = 0;
    for (std::size_t i = pos; i < pos + 6 + length; ++i) {
        sum += Byte(data, i);
    }
    if ((sum & 0xffu) != Byte(data, pos + 6 + length)) {
        return false;
    }
    record.command = data[pos + 1];
    record.body = pos + 6;
    record.length = length;
    return true;
}

}  // namespace

bool StartsMinoltaGdi(std::string_view data, std::size_t start) {
    // The file's record, then the job's.
    MinoltaRecord file;
    MinoltaRecord job;
    return At(data, start, "\x1b@\x00") && MinoltaRecordAt(data, start, file) &&
           MinoltaRecordAt(data, file.body + file.length + 1, job) && job.command == 'P';
}

bool StartsSamsungGdi(std::string_view data, std::size_t start) {
    return At(data, start, "$PJL JOB START\r\n");
}

bool StartsHbp(std::string_view data, std::size_t start) {
    // The resolution command, then line data or a page's end.
    return At(data, start, "@L") && data.size() - start >= 5 && Byte(data, start + 2) < 0x10 &&
           (At(data, start + 3, "@G") || At(data, start + 3, "@F"));
}

bool StartsSagGdi(std::string_view data, std::size_t start) {
    return At(data, start, kSagMark);
}

Segment CountSamsungGdi(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                        const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "Samsung GDI", limits);
    if (!StartsSamsungGdi(data, start)) {
        return tally.Damaged("no job start", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start;
    bool inJob = false;
    bool inBitmap = false;
    std::int64_t copies = defaultCopies;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (pos == size || At(data, pos, kUel)) {
            if (inJob) {
                return tally.Damaged("a job without end", pos);
            }
            return tally.Done(pos);
        }
        if (At(data, pos, "$PJL")) {
            const std::size_t eol = data.substr(0, pos + kMaxSmartLine).find('\n', pos);
            if (eol == std::string_view::npos) {
                return tally.Damaged("a line without end", pos);
            }
            const auto words = LineWords(data.substr(pos + 4, eol - pos - 4));
            const std::string command = words.empty() ? std::string() : words[0];
            const std::size_t line = pos;
            pos = eol + 1;
            if (command == "JOB" && words.size() >= 2 && words[1] == "START") {
                if (inJob) {
                    return tally.Damaged("a job inside a job", line);
                }
                inJob = true;
                copies = defaultCopies;
            } else if (!inJob && (command == "COPIES" || command == "BITMAP" ||
                                  command == "PRINT" || command == "EOJ")) {
                return tally.Damaged("a command outside a job", line);
            } else if (command == "COPIES") {
                const std::int64_t n = words.size() >= 3 && words[1] == "=" ? Number(words[2]) : -1;
                if (n < 0) {
                    return tally.Damaged("copies", line);
                }
                copies = Copies(n);
            } else if (command == "BITMAP" && words.size() >= 2 && words[1] == "START") {
                if (inBitmap) {
                    return tally.Damaged("a page inside a page", line);
                }
                inBitmap = true;
            } else if (command == "PRINT") {
                if (!inBitmap) {
                    return tally.Damaged("a page never started", line);
                }
                inBitmap = false;
                if (!tally.Page(copies)) {
                    return tally.Damaged("too many pages", line);
                }
            } else if (command == "EOJ") {
                if (inBitmap) {
                    return tally.Damaged("a page without end", line);
                }
                inJob = false;
            }
            continue;
        }
        // A band: its length, then band number, compression, height and width and its data.
        if (!inBitmap || size - pos < 4) {
            return tally.Damaged(inBitmap ? "band cut short" : "unknown data", pos);
        }
        const std::uint32_t length = Be32(data, pos);
        if (length < 8 || length > size - pos - 4) {
            return tally.Damaged("band length", pos);
        }
        pos += 4 + length;
    }
}

Segment CountHbp(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "HBP", limits);
    if (!StartsHbp(data, start)) {
        return tally.Damaged("no resolution command", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start;
    bool inPage = false;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        // A job ends with "@X", or goes back to PJL between pages (Ghostscript enters HBP
        // again for the copies of the first page).
        if (At(data, pos, kUel) && !inPage) {
            return tally.Done(pos);
        }
        if (size - pos < 2 || data[pos] != '@') {
            return tally.Damaged(pos == size ? "no end of job command" : "unknown command", pos);
        }
        const char command = data[pos + 1];
        switch (command) {
            case 'L':
                if (size - pos < 3) {
                    return tally.Damaged("command cut short", pos);
                }
                pos += 3;
                break;
            case 'G': {
                if (size - pos < 5) {
                    return tally.Damaged("command cut short", pos);
                }
                const std::uint32_t length =
                    Byte(data, pos + 2) << 16 | Byte(data, pos + 3) << 8 | Byte(data, pos + 4);
                if (length > size - pos - 5) {
                    return tally.Damaged("line data cut short", pos);
                }
                pos += 5 + length;
                inPage = true;
                break;
            }
            case 'F':
                pos += 2;
                inPage = false;
                if (!tally.Page(defaultCopies)) {
                    return tally.Damaged("too many pages", pos - 2);
                }
                break;
            case 'N':
                pos += 2;
                break;
            case 'X':
                if (inPage) {
                    return tally.Damaged("a page without end", pos);
                }
                return tally.Done(pos + 2);
            default:
                return tally.Damaged("unknown command", pos);
        }
    }
}

Segment CountMinoltaGdi(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                        const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "Minolta GDI", limits);
    if (!StartsMinoltaGdi(data, start)) {
        return tally.Damaged("no file record", start);
    }
    const std::size_t size = data.size();
    std::size_t pos = start;
    bool inJob = false;
    bool inPage = false;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (pos == size || At(data, pos, kUel)) {
            return tally.Damaged("no end of file record", pos);
        }
        MinoltaRecord record;
        if (!MinoltaRecordAt(data, pos, record)) {
            return tally.Damaged("record", pos);
        }
        const std::size_t next = record.body + record.length + 1;
        switch (record.command) {
            case '@':
                if (pos != start) {
                    return tally.Damaged("a file inside a file", pos);
                }
                break;
            case 'P':
                if (inJob) {
                    return tally.Damaged("a job inside a job", pos);
                }
                inJob = true;
                break;
            case 'Q':
                // The page's header comes before its blocks: the page is counted here, and
                // the file's end record, which must follow, shows that nothing was cut off.
                if (!inJob) {
                    return tally.Damaged("a page outside a job", pos);
                }
                inPage = true;
                if (!tally.Page(defaultCopies)) {
                    return tally.Damaged("too many pages", pos);
                }
                break;
            case 'R': {
                if (!inPage || record.length < 4) {
                    return tally.Damaged("bitmap block", pos);
                }
                const std::uint32_t blockLength =
                    Byte(data, record.body) | Byte(data, record.body + 1) << 8 |
                    Byte(data, record.body + 2) << 16 | Byte(data, record.body + 3) << 24;
                if (blockLength > size - next) {
                    return tally.Damaged("bitmap cut short", pos);
                }
                pos = next + blockLength;
                continue;
            }
            case 'U':
                if (!inJob) {
                    return tally.Damaged("end of a job never started", pos);
                }
                inJob = false;
                inPage = false;
                break;
            case 'A':
                if (inJob) {
                    return tally.Damaged("a job without end", pos);
                }
                return tally.Done(next);
            default:
                return tally.Damaged("unknown record", pos);
        }
        pos = next;
    }
}

Segment CountSagGdi(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                    const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "SAG-GDI", limits);
    if (!StartsSagGdi(data, start)) {
        return tally.Damaged("no document mark", start);
    }
    const std::size_t size = data.size();
    const std::size_t eol = data.substr(0, start + kMaxSmartLine).find("\r\n", start);
    if (eol == std::string_view::npos) {
        return tally.Damaged("document line without end", start);
    }
    std::size_t pos = eol + 2;
    bool started = false;
    bool inPage = false;
    std::int64_t copies = defaultCopies;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (size - pos < 6) {
            return tally.Damaged(pos == size || At(data, pos, kUel) ? "no end of document record"
                                                                    : "record header cut short",
                                 pos);
        }
        const std::uint32_t type = Byte(data, pos);
        const std::uint32_t length = Le16(data, pos + 2);
        if (Byte(data, pos + 1) != 0) {
            return tally.Damaged("record header", pos);
        }
        if (length > size - pos - 6) {
            return tally.Damaged("record cut short", pos);
        }
        const std::size_t body = pos + 6;
        if (type != kSagStartDoc && !started) {
            return tally.Damaged("a record before the document's start", pos);
        }
        switch (type) {
            case kSagStartDoc:
                if (started) {
                    return tally.Damaged("a document inside a document", pos);
                }
                started = true;
                break;
            case kSagStartPage:
                if (inPage) {
                    return tally.Damaged("a page inside a page", pos);
                }
                if (length < 13) {
                    return tally.Damaged("page record", pos);
                }
                inPage = true;
                copies = Copies(Byte(data, body + 12));
                break;
            case kSagBlock:
                if (!inPage) {
                    return tally.Damaged("a bitmap outside a page", pos);
                }
                break;
            case kSagEndPage:
                if (!inPage) {
                    return tally.Damaged("end of a page never started", pos);
                }
                inPage = false;
                if (!tally.Page(copies)) {
                    return tally.Damaged("too many pages", pos);
                }
                break;
            case kSagEndDoc:
                if (inPage) {
                    return tally.Damaged("a page without end", pos);
                }
                return tally.Done(body + length);
            default:
                return tally.Damaged("unknown record", pos);
        }
        pos = body + length;
    }
}

}  // namespace pagecount
