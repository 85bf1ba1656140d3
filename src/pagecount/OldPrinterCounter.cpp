#include <algorithm>

#include "pagecount/StreamCounting.h"

// Older dot matrix, inkjet and page printers that Ghostscript's own devices drive. Their data is
// mostly raster rows inside commands that say how long they are, so each counter walks the
// commands one by one with their lengths (raster bytes hold form feeds too) and refuses a
// command it does not know rather than guess where it ends.
//
// - Oki Microline (oki182): ETX enters graphics, where every byte has its top bit set, until
//   ETX STX; a form feed ends the page.
// - Star JJ-100 (jj100): FS b P,<dots>,<columns>. is followed by its columns; form feed.
// - DEC sixel printers (la50, la70, la75, la75plus, ln03, dl2100): DCS ... q starts sixel
//   text that ESC \ ends; a form feed ends the page.
// - Xerox XES (xes): ESC g w sets a graphics window, sixel-like text follows up to the form
//   feed that ends the page.
// - Ricoh 4081 (r4081): ESC DC2 G3,<width>,<height>,... @ and height rows of width dots; form
//   feed.
// - Tektronix 4693D (t4693d2/4/8): each page is a print request: a header with the size and the
//   pixel depth, rows that end with STX, and EOT.
// - Fujitsu FM printers (fmpr, fmlbp): ESC Q ... W and ESC Q ... !a carry raster data; form
//   feed.
// - Oki ML600 (ml600): ESC | commands with their lengths; form feed.
// - Lexmark 5700/7000 (lex5700, lex7000, lex3200, lex2050, lxm5700m): 0xA5 packets and ESC *
//   commands; a swipe of the print head lists its columns; ESC * 7 e ejects the page.
// - DEC LJ250 (declj250): PCL for the PaintJet between ESC %8 and ESC %@.
// - Tektronix 4696 (tek4696): a plotter on roll paper; five line feeds end each plot.
//
// Files that other programs print, as Ghostscript's devices write them for them:
// - SFF (cfax), the fax file of CAPI fax software: a document header, then each page's header
//   and its coded lines as records that say how long they are; an empty header ends it.
// - HP LaserJet 3100 (lj3100sw), for HP's own software: sections with a six byte header (type,
//   two arguments); a page runs from its start section, which gives its copies, to its end.
// - Imagen imPRESS (imagen): an @document(...) header, then one byte commands with fixed
//   arguments; bitmaps of 32 by 32 dot swatches; ENDPAGE prints the page, EOF ends it.

namespace pagecount {

namespace {

using stream::At;
using stream::Be16;
using stream::Byte;
using stream::Le16;
using stream::PageTally;

constexpr char kEsc = '\x1b';
constexpr char kFf = '\x0c';

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal number of at most `most` digits at pos; pos moves past it. -1 without digits.
std::int64_t Number(std::string_view data, std::size_t& pos, std::size_t most = 9) {
    std::int64_t n = -1;
    for (std::size_t i = 0; i < most && pos < data.size() && IsDigit(data[pos]); ++i, ++pos) {
        n = (n < 0 ? 0 : n * 10) + (data[pos] - '0');
    }
    return n;
}

std::string Where(std::size_t pos) {
    return " at byte " + std::to_string(pos);
}

// What the walkers share: the tally, the page's marks, and how the walk ends.
struct Walk {
    Walk(std::string_view d, std::size_t start, std::int64_t copies, const char* name,
         const Limits& limits)
        : data(d), pos(start), copies(stream::Copies(copies)), tally(seg, name, limits) {}

    std::size_t Left() const { return data.size() - pos; }

    // False when the walk must stop: the end, a UEL, the deadline, or a failure.
    bool More() {
        return seg.error.empty() && pos < data.size() && !At(data, pos, kUel) && tally.InTime(pos);
    }

    bool Eject() {
        marked = false;
        if (!tally.Page(copies)) {
            tally.Damaged("too many pages", pos);
            return false;
        }
        return true;
    }

    // Skips n bytes of data after a command: false (damaged) when they are not all there.
    bool Skip(std::uint64_t n) {
        if (n > Left()) {
            tally.Damaged("data cut short", pos);
            return false;
        }
        pos += static_cast<std::size_t>(n);
        return true;
    }

    Segment& Unknown() { return tally.Uncountable("a command it does not know" + Where(pos)); }

    // The end of the data: marks not yet ejected still come out on a page.
    Segment& Finish() {
        if (!seg.error.empty()) {
            return seg;
        }
        if (marked && !Eject()) {
            return seg;
        }
        return tally.Done(pos);
    }

    std::string_view data;
    std::size_t pos;
    std::int64_t copies;
    Segment seg;
    PageTally tally;
    bool marked = false;
};

// CR, LF and spaces move the head; other printable text marks the page.
bool Text(Walk& w) {
    const char c = w.data[w.pos];
    if (c == '\r' || c == '\n' || c == ' ') {
        ++w.pos;
        return true;
    }
    if (c > ' ' && c < 0x7f) {
        w.marked = true;
        ++w.pos;
        return true;
    }
    return false;
}

}  // namespace

// ---- Oki Microline ----

bool StartsOkiMicroline(std::string_view data, std::size_t start) {
    return At(data, start, "\x18\x1c\x1b%C");
}

Segment CountOkiMicroline(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                          const Limits& limits) {
    Walk w(data, start, defaultCopies, "Oki Microline", limits);
    bool graphics = false;
    while (w.More()) {
        const char c = data[w.pos];
        if (graphics) {
            if (c == '\x03') {
                if (w.Left() < 2) {
                    return w.tally.Damaged("graphics cut short", w.pos);
                }
                if (data[w.pos + 1] != '\x02' && data[w.pos + 1] != '\x0e') {
                    return w.Unknown();
                }
                graphics = data[w.pos + 1] != '\x02';
                w.pos += 2;
            } else if ((Byte(data, w.pos) & 0x80) == 0) {
                return w.tally.Damaged("graphics byte without its top bit", w.pos);
            } else {
                w.marked = w.marked || Byte(data, w.pos) != 0x80;
                ++w.pos;
            }
            continue;
        }
        if (c == kFf) {
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (c == '\x03') {
            graphics = true;
            ++w.pos;
        } else if (c == '\x18' || c == '\x1c') {
            ++w.pos;  // clear the buffer; 72 by 72 dots
        } else if (c == kEsc) {
            // ESC % C nnn (left margin), ESC % S n (perforation skip), ESC % 5 n (fine line
            // feed), ESC R (high resolution graphics).
            const std::size_t length = At(data, w.pos, "\x1b%C")   ? 6
                                       : At(data, w.pos, "\x1b%S") ? 4
                                       : At(data, w.pos, "\x1b%5") ? 4
                                       : At(data, w.pos, "\x1bR")  ? 2
                                                                   : 0;
            if (length == 0) {
                return w.Unknown();
            }
            if (!w.Skip(length)) {
                return w.seg;
            }
        } else if (!Text(w)) {
            return w.Unknown();
        }
    }
    if (graphics && w.seg.error.empty()) {
        return w.tally.Damaged("graphics without end", w.pos);
    }
    return w.Finish();
}

// ---- Star JJ-100 ----

bool StartsJj100(std::string_view data, std::size_t start) {
    return At(data, start, "\x1bP\x1bG\x1bT");
}

Segment CountJj100(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits) {
    Walk w(data, start, defaultCopies, "Star JJ-100", limits);
    while (w.More()) {
        const char c = data[w.pos];
        if (c == kFf) {
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (c == '\x1f') {
            if (!w.Skip(2)) {  // US n: n - 16 lines down
                return w.seg;
            }
        } else if (c == '\x1c') {
            // FS b P,<dots>,<columns>. and the columns' bytes.
            if (!At(data, w.pos,
                    "\x1c"
                    "bP,")) {
                return w.Unknown();
            }
            w.pos += 4;
            const std::int64_t dots = Number(data, w.pos, 2);
            const bool comma = At(data, w.pos, ",");
            w.pos += comma ? 1 : 0;
            const std::int64_t columns = Number(data, w.pos, 5);
            if (dots <= 0 || dots % 8 != 0 || !comma || columns < 0 || !At(data, w.pos, ".")) {
                return w.tally.Damaged("dot graphics command", w.pos);
            }
            ++w.pos;
            w.marked = w.marked || columns > 0;
            if (!w.Skip(static_cast<std::uint64_t>(columns * dots / 8))) {
                return w.seg;
            }
        } else if (c == kEsc) {
            // ESC P (proportional), ESC G (1/180 inch lines), ESC T nn (line pitch), ESC F nnnn
            // (dot position).
            const char command = w.Left() >= 2 ? data[w.pos + 1] : '\0';
            const std::size_t length = command == 'P' || command == 'G' ? 2
                                       : command == 'T'                 ? 4
                                       : command == 'F'                 ? 6
                                                                        : 0;
            if (length == 0) {
                return w.Unknown();
            }
            if (!w.Skip(length)) {
                return w.seg;
            }
        } else if (!Text(w)) {
            return w.Unknown();
        }
    }
    return w.Finish();
}

// ---- DEC sixel printers ----

namespace {

// DCS: ESC P, numeric parameters and q. npos when there is none at pos.
std::size_t SixelStart(std::string_view data, std::size_t pos) {
    if (!At(data, pos, "\x1bP")) {
        return std::string_view::npos;
    }
    for (std::size_t i = pos + 2; i < data.size() && i < pos + 34; ++i) {
        if (data[i] == 'q') {
            return i + 1;
        }
        if (!IsDigit(data[i]) && data[i] != ';') {
            break;
        }
    }
    return std::string_view::npos;
}

// CSI: ESC [, parameters, intermediates and the final byte. npos when there is none at pos.
std::size_t ControlSequence(std::string_view data, std::size_t pos) {
    if (!At(data, pos, "\x1b[")) {
        return std::string_view::npos;
    }
    std::size_t i = pos + 2;
    while (i < data.size() && i < pos + 66 && Byte(data, i) >= 0x20 && Byte(data, i) <= 0x3f) {
        ++i;
    }
    return i < data.size() && Byte(data, i) >= 0x40 && Byte(data, i) <= 0x7e
               ? i + 1
               : std::string_view::npos;
}

}  // namespace

bool StartsDecSixel(std::string_view data, std::size_t start) {
    return At(data, start, "\x1b[!p") || SixelStart(data, start) != std::string_view::npos ||
           (At(data, start,
               "\x1b"
               "c") &&
            SixelStart(data, start + 2) != std::string_view::npos);
}

Segment CountDecSixel(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits) {
    Walk w(data, start, defaultCopies, "DEC sixel", limits);
    bool sixel = false;
    while (w.More()) {
        const char c = data[w.pos];
        if (sixel) {
            if (c == kEsc) {
                if (!At(data, w.pos, "\x1b\\")) {
                    return w.tally.Damaged("sixel data without end", w.pos);
                }
                sixel = false;
                w.pos += 2;
            } else if (c == '\r' || c == '\n' || (c >= ' ' && c < 0x7f)) {
                w.marked = w.marked || (c > '?' && c < 0x7f);  // '?' is a column of no dots
                ++w.pos;
            } else {
                return w.tally.Damaged("a byte that is not sixel data", w.pos);
            }
            continue;
        }
        if (c == kFf) {
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (c == kEsc) {
            std::size_t next = SixelStart(data, w.pos);
            sixel = next != std::string_view::npos;
            if (!sixel) {
                next = At(data, w.pos,
                          "\x1b"
                          "c")
                           ? w.pos + 2
                           : ControlSequence(data, w.pos);
            }
            if (next == std::string_view::npos) {
                return w.Unknown();
            }
            w.pos = next;
        } else if (!Text(w)) {
            return w.Unknown();
        }
    }
    if (sixel && w.seg.error.empty()) {
        return w.tally.Damaged("sixel data without end", w.pos);
    }
    return w.Finish();
}

// ---- Xerox XES ----

bool StartsXes(std::string_view data, std::size_t start) {
    return At(data, start, "\x1b+X\n");
}

Segment CountXes(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    Walk w(data, start, defaultCopies, "XES", limits);
    bool graphics = false;
    while (w.More()) {
        const char c = data[w.pos];
        if (c == kFf) {
            ++w.pos;
            graphics = false;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (graphics) {
            // Sixes of dots as '?' to '~', runs as a count before the character.
            if (!IsDigit(c) && (c < '?' || c > '~')) {
                return w.tally.Damaged("a byte that is not graphics data", w.pos);
            }
            w.marked = w.marked || c > '?';
            ++w.pos;
        } else if (At(data, w.pos, "\x1b+X")) {
            w.pos += 3;  // reset
        } else if (At(data, w.pos, "\x1bgw")) {
            // ESC g w 1;left,top,width,height and a line feed: the graphics window.
            const std::size_t lf = data.find('\n', w.pos);
            if (lf == std::string_view::npos || lf - w.pos > 64) {
                return w.tally.Damaged("graphics window without end", w.pos);
            }
            for (std::size_t i = w.pos + 3; i < lf; ++i) {
                if (!IsDigit(data[i]) && data[i] != ',' && data[i] != ';' && data[i] != '-') {
                    return w.tally.Damaged("graphics window", i);
                }
            }
            w.pos = lf + 1;
            graphics = true;
        } else if (c == kEsc || !Text(w)) {
            return w.Unknown();
        }
    }
    return w.Finish();
}

// ---- Ricoh 4081 ----

bool StartsRicoh4081(std::string_view data, std::size_t start) {
    return At(data, start, "\x1b\rP\x1b\x12");
}

Segment CountRicoh4081(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                       const Limits& limits) {
    Walk w(data, start, defaultCopies, "Ricoh 4081", limits);
    while (w.More()) {
        const char c = data[w.pos];
        if (c == kFf) {
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (At(data, w.pos, "\x1b\rP")) {
            w.pos += 3;  // reset
        } else if (At(data, w.pos, "\x1b\x12Y")) {
            // ESC DC2 Y...: a setting up to its space.
            const std::size_t space = data.find(' ', w.pos);
            if (space == std::string_view::npos || space - w.pos > 16) {
                return w.tally.Damaged("setting without end", w.pos);
            }
            w.pos = space + 1;
        } else if (At(data, w.pos, "\x1b\x12G3,")) {
            // ESC DC2 G3,width,height,1,1,1,top@ and height rows of width dots.
            w.pos += 5;
            std::int64_t numbers[6] = {};
            for (std::size_t i = 0; i < 6; ++i) {
                numbers[i] = Number(data, w.pos);
                const char end = i < 5 ? ',' : '@';
                if (numbers[i] < 0 || !At(data, w.pos, std::string_view(&end, 1))) {
                    return w.tally.Damaged("graphics command", w.pos);
                }
                ++w.pos;
            }
            const auto rowBytes = static_cast<std::uint64_t>((numbers[0] + 7) / 8);
            const auto rows = static_cast<std::uint64_t>(numbers[1]);
            w.marked = w.marked || rows * rowBytes > 0;
            if (!w.Skip(rows * rowBytes)) {
                return w.seg;
            }
        } else if (c == kEsc || !Text(w)) {
            return w.Unknown();
        }
    }
    return w.Finish();
}

// ---- Tektronix 4693D ----

bool StartsTek4693(std::string_view data, std::size_t start) {
    return data.size() - start >= 22 && At(data, start, "\x14\xd4") &&
           (Byte(data, start + 2) & 0xc0) == 0xc0 && (Byte(data, start + 3) & 0xc0) == 0x80 &&
           (Byte(data, start + 4) & 0xc0) == 0xc0 && (Byte(data, start + 5) & 0xc0) == 0x80 &&
           data[start + 21] == '\x02';
}

Segment CountTek4693(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits) {
    Walk w(data, start, defaultCopies, "Tektronix 4693D", limits);
    while (w.More()) {
        if (!StartsTek4693(data, w.pos)) {
            return w.tally.Damaged("not a print request", w.pos);
        }
        const std::size_t width =
            (Byte(data, w.pos + 2) & 0x3f) << 6 | (Byte(data, w.pos + 3) & 0x3f);
        const std::size_t height =
            (Byte(data, w.pos + 4) & 0x3f) << 6 | (Byte(data, w.pos + 5) & 0x3f);
        // The number of prints: 0xc0 takes it from the printer, counted as one print.
        if (Byte(data, w.pos + 7) != 0xc0) {
            return w.tally.Uncountable("the print request asks for a number of prints");
        }
        const unsigned depth = Byte(data, w.pos + 9);
        if (depth < 0xcb || depth > 0xcd) {
            return w.Unknown();
        }
        const std::size_t row = width * (depth - 0xca) + 1;  // pixels and STX
        w.pos += 22;
        for (std::size_t y = 0; y < height; ++y) {
            if (row > w.Left() || data[w.pos + row - 1] != '\x02') {
                return w.tally.Damaged("row cut short", w.pos);
            }
            w.pos += row;
            if (!w.tally.InTime(w.pos)) {
                return w.seg;
            }
        }
        if (w.Left() == 0 || data[w.pos] != '\x01') {
            return w.tally.Damaged("print request without end", w.pos);
        }
        ++w.pos;
        if (!w.Eject()) {
            return w.seg;
        }
    }
    return w.Finish();
}

// ---- Fujitsu FM printers ----

bool StartsFujitsuFm(std::string_view data, std::size_t start) {
    return At(data, start,
              "\x1b"
              "c\x1bQ");
}

Segment CountFujitsuFm(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                       const Limits& limits) {
    Walk w(data, start, defaultCopies, "Fujitsu FM", limits);
    std::int64_t bytesPerColumn = 0;  // as ESC [ <dots>;<pitch> SP G set it
    while (w.More()) {
        const char c = data[w.pos];
        if (c == kFf) {
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (At(data, w.pos,
                      "\x1b"
                      "c")) {
            w.pos += 2;  // reset
        } else if (At(data, w.pos, "\x1bQ")) {
            // ESC Q <numbers> <intermediate> <final>: W (columns of dots) and !a (a raster row)
            // carry data.
            w.pos += 2;
            const std::size_t from = w.pos;
            const std::int64_t first = Number(data, w.pos, 6);
            while (w.pos < data.size() && w.pos - from < 32 &&
                   (IsDigit(data[w.pos]) || data[w.pos] == ';')) {
                ++w.pos;
            }
            if (w.Left() < 2) {
                return w.tally.Damaged("command cut short", w.pos);
            }
            const std::string_view command = data.substr(w.pos, 2);
            w.pos += 2;
            std::uint64_t bytes = 0;
            if (command == " W") {
                if (bytesPerColumn == 0) {
                    return w.tally.Uncountable("dot graphics before their mode" + Where(w.pos));
                }
                bytes =
                    static_cast<std::uint64_t>(std::max<std::int64_t>(first, 0) * bytesPerColumn);
            } else if (command == "!a") {
                bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(first, 0));
            } else if (command != " `" && command != "!I" && command != "!A" && command != "!F") {
                w.pos -= 2;
                return w.Unknown();
            }
            w.marked = w.marked || bytes > 0;
            if (!w.Skip(bytes)) {
                return w.seg;
            }
        } else if (At(data, w.pos, "\x1b[")) {
            const std::size_t end = ControlSequence(data, w.pos);
            if (end == std::string_view::npos) {
                return w.Unknown();
            }
            const std::string_view sequence = data.substr(w.pos, end - w.pos);
            if (sequence.size() > 3 && sequence.substr(sequence.size() - 2) == " G") {
                std::size_t at = w.pos + 2;
                const std::int64_t dots = Number(data, at, 3);
                if (dots != 8 && dots != 16 && dots != 24) {
                    return w.tally.Uncountable("a dot graphics mode it does not know" +
                                               Where(w.pos));
                }
                bytesPerColumn = dots / 8;
            } else if (sequence.back() != 'a') {  // ESC [ n a: across
                return w.Unknown();
            }
            w.pos = end;
        } else if (At(data, w.pos, "\x1c\"")) {
            // FS " and the position: digits as 0x20-0x29 with the last one as 0x60-0x69 (across)
            // and 0x70-0x79 (down).
            std::size_t at = w.pos + 2;
            for (const unsigned last : {0x60u, 0x70u}) {
                std::size_t digits = 0;
                while (at < data.size() && Byte(data, at) >= 0x20 && Byte(data, at) <= 0x29 &&
                       digits < 10) {
                    ++at;
                    ++digits;
                }
                if (at >= data.size() || Byte(data, at) < last || Byte(data, at) > last + 9) {
                    return w.tally.Damaged("position", at);
                }
                ++at;
            }
            w.pos = at;
        } else if (c == kEsc || !Text(w)) {
            return w.Unknown();
        }
    }
    return w.Finish();
}

// ---- Oki ML600 ----

bool StartsOkiMl600(std::string_view data, std::size_t start) {
    return At(data, start, "\x1b/\xf2\x1b|");
}

Segment CountOkiMl600(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits) {
    Walk w(data, start, defaultCopies, "Oki ML600", limits);
    while (w.More()) {
        const char c = data[w.pos];
        if (c == kFf) {
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (At(data, w.pos, "\x1b/\xf2") || At(data, w.pos, "\x1b/\xfe")) {
            w.pos += 3;  // start and end of the job
        } else if (At(data, w.pos, "\x1b|")) {
            // ESC | <code> <length> <data>: a raster row (0xA7) has its length high byte
            // first, the settings (0xA0 to 0xA6, 0xF1) low byte first.
            if (w.Left() < 5) {
                return w.tally.Damaged("command cut short", w.pos);
            }
            const unsigned code = Byte(data, w.pos + 2);
            std::size_t length = 0;
            if (code == 0xa7) {
                length = Be16(data, w.pos + 3);
            } else if ((code >= 0xa0 && code <= 0xa6) || code == 0xf1) {
                length = Le16(data, w.pos + 3);
            } else {
                return w.Unknown();
            }
            w.pos += 5;
            if (code == 0xa7 && length <= w.Left()) {
                const std::string_view row = data.substr(w.pos, length);
                w.marked = w.marked || row.find_first_not_of('\0') != std::string_view::npos;
            }
            if (!w.Skip(length)) {
                return w.seg;
            }
        } else {
            return w.Unknown();
        }
    }
    return w.Finish();
}

// ---- Lexmark 5700 and 7000 ----

namespace {

// The length of the swipe command at pos (ESC * 4 and its 26 byte header, then for each
// column a directory of 13 bits, a clear bit for each 16 dot word that follows); npos when it
// is cut short. The header's own length may have lost its upper bits: only the low 16 bits
// are compared.
std::size_t SwipeLength(std::string_view data, std::size_t pos) {
    if (data.size() - pos < 26) {
        return std::string_view::npos;
    }
    const std::size_t columns = Be16(data, pos + 13);
    std::size_t at = pos + 26;
    for (std::size_t i = 0; i < columns; ++i) {
        if (data.size() - at < 2) {
            return std::string_view::npos;
        }
        const unsigned directory = (Byte(data, at) & 0x1f) << 8 | Byte(data, at + 1);
        std::size_t words = 0;
        for (unsigned bit = 0; bit < 13; ++bit) {
            words += (directory >> bit & 1) == 0 ? 1 : 0;
        }
        at += 2;
        if (data.size() - at < 2 * words) {
            return std::string_view::npos;
        }
        at += 2 * words;
    }
    const std::size_t length = at - pos;
    return Byte(data, pos + 3) == 0 && (length & 0xffff) == Be16(data, pos + 5)
               ? length
               : std::string_view::npos;
}

}  // namespace

bool StartsLexmark5700(std::string_view data, std::size_t start) {
    return At(data, start, "\x1b*m\x00\x40") ||
           (At(data, start, "\xa5\x00") && data.size() - start > 3 &&
            (data[start + 3] == '\x40' || data[start + 3] == '\x50'));
}

Segment CountLexmark5700(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                         const Limits& limits) {
    Walk w(data, start, defaultCopies, "Lexmark 5700", limits);
    while (w.More()) {
        const unsigned c = Byte(data, w.pos);
        if (c == 0xa5) {
            // A set-up packet: 0xA5, its length and its bytes.
            if (w.Left() < 3) {
                return w.tally.Damaged("packet cut short", w.pos);
            }
            const std::size_t length = Be16(data, w.pos + 1);
            w.pos += 3;
            if (!w.Skip(length)) {
                return w.seg;
            }
            continue;
        }
        if (c != 0x1b || w.Left() < 4 || data[w.pos + 1] != '*') {
            return w.Unknown();
        }
        const unsigned command = Byte(data, w.pos + 2);
        const unsigned what = Byte(data, w.pos + 3);
        std::size_t length = 0;
        if (command == 3) {
            length = 5;  // paper feed
        } else if (command == 7) {
            length = what == 0x73 ? 5 : what == 0x63 ? 4 : 0;
            if (what == 0x65) {  // eject
                w.pos += 4;
                if (!w.Eject()) {
                    return w.seg;
                }
                continue;
            }
        } else if (command == 'm' && what == 0 && w.Left() >= 5) {
            const unsigned setting = Byte(data, w.pos + 4);
            length = setting == 0x40 ? 9 : setting == 0x42 ? 7 : setting == 0x14 ? 11 : 0;
        } else if (command == 4) {
            length = SwipeLength(data, w.pos);
            if (length == std::string_view::npos) {
                return w.tally.Damaged("swipe", w.pos);
            }
            w.marked = w.marked || Be16(data, w.pos + 13) > 0;
        }
        if (length == 0) {
            return w.Unknown();
        }
        if (!w.Skip(length)) {
            return w.seg;
        }
    }
    return w.Finish();
}

// ---- DEC LJ250 ----

bool StartsDecLj250(std::string_view data, std::size_t start) {
    return At(data, start, "\x1b%8\x1b");
}

Segment CountDecLj250(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits) {
    Segment total;
    total.counter = "DEC LJ250";
    std::size_t pos = start;
    while (pos < data.size() && !At(data, pos, kUel)) {
        if (!At(data, pos, "\x1b%8")) {
            total.error = "damaged DEC LJ250 (no PCL at byte " + std::to_string(pos) + ")";
            return total;
        }
        // The PCL data runs to ESC %@ (a false one inside raster data cuts it short: damaged).
        const std::size_t exit = data.find("\x1b%@", pos + 3);
        const std::size_t end = exit == std::string_view::npos ? data.size() : exit;
        const Segment pcl = CountPcl5(data.substr(0, end), pos + 3, defaultCopies, limits);
        if (!pcl.ok) {
            total.error = pcl.error;
            return total;
        }
        if (pcl.end != end) {
            total.error =
                "damaged DEC LJ250 (PCL ends early at byte " + std::to_string(pcl.end) + ")";
            return total;
        }
        total.pages += pcl.pages;
        total.documentPages += pcl.documentPages;
        if (total.documentPages > limits.maxPages) {
            total.error = "damaged DEC LJ250 (too many pages)";
            return total;
        }
        pos = exit == std::string_view::npos ? end : end + 3;
        while (pos < data.size() && (data[pos] == '\r' || data[pos] == '\n')) {
            ++pos;
        }
    }
    total.end = pos;
    total.ok = true;
    return total;
}

// ---- Tektronix 4696 ----

bool StartsTek4696(std::string_view data, std::size_t start) {
    std::size_t pos = start;
    while (At(data, pos,
              "\x1b"
              "A")) {
        pos += 2;
    }
    return At(data, pos, "\x1bI") && data.size() - pos >= 6 && data[pos + 2] >= '0' &&
           data[pos + 2] <= '?' && IsDigit(data[pos + 3]) && IsDigit(data[pos + 4]) &&
           IsDigit(data[pos + 5]);
}

Segment CountTek4696(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits) {
    Walk w(data, start, defaultCopies, "Tektronix 4696", limits);
    while (w.More()) {
        const char c = data[w.pos];
        if (c == '\n') {
            // Five line feeds end a plot on roll paper.
            std::size_t run = 0;
            while (w.pos < data.size() && data[w.pos] == '\n') {
                ++run;
                ++w.pos;
            }
            if (run % 5 != 0) {
                return w.tally.Uncountable("line feeds that do not end a plot" + Where(w.pos));
            }
            for (std::size_t i = 0; i < run / 5; ++i) {
                if (!w.Eject()) {
                    return w.seg;
                }
            }
        } else if (c == kFf) {
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (At(data, w.pos,
                      "\x1b"
                      "A")) {
            w.pos += 2;  // a line of the head down
        } else if (At(data, w.pos, "\x1bI")) {
            // ESC I <line and colour> <three digits> and that many bytes.
            if (w.Left() < 6) {
                return w.tally.Damaged("command cut short", w.pos);
            }
            std::size_t at = w.pos + 3;
            const std::int64_t bytes = Number(data, at, 3);
            if (data[w.pos + 2] < '0' || data[w.pos + 2] > '?' || bytes < 0 || at != w.pos + 6) {
                return w.tally.Damaged("raster command", w.pos);
            }
            w.pos = at;
            w.marked = w.marked || bytes > 0;
            if (!w.Skip(static_cast<std::uint64_t>(bytes))) {
                return w.seg;
            }
        } else {
            return w.Unknown();
        }
    }
    return w.Finish();
}

// ---- SFF ----

bool StartsSff(std::string_view data, std::size_t start) {
    return At(data, start, "Sfff\x01");
}

Segment CountSff(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    Walk w(data, start, defaultCopies, "SFF", limits);
    if (w.Left() < 20) {
        return w.tally.Damaged("document header cut short", start);
    }
    // The header's page count is 0 when the writer did not know it.
    const std::int64_t declared = Le16(data, start + 8);
    const std::size_t firstPage = Le16(data, start + 10);
    if (firstPage < 20) {
        return w.tally.Damaged("document header", start);
    }
    if (!w.Skip(firstPage)) {
        return w.seg;
    }
    // Records: 1 to 216 bytes of a coded line, 0 and a 16 bit length, 217 to 253 blank lines,
    // 254 a page header (of the length that follows; none ends the document), 255 0 a line
    // that could not be coded.
    bool inPage = false;
    for (;;) {
        if (!w.tally.InTime(w.pos)) {
            return w.seg;
        }
        if (w.Left() == 0) {
            return w.tally.Damaged("document without its end", w.pos);
        }
        const unsigned type = Byte(data, w.pos);
        if (type == 254) {
            if (w.Left() < 2) {
                return w.tally.Damaged("page header cut short", w.pos);
            }
            const std::size_t length = Byte(data, w.pos + 1);
            w.pos += 2;
            if (length == 0) {
                break;
            }
            if (!w.Skip(length) || !w.Eject()) {
                return w.seg;
            }
            inPage = true;
        } else if (!inPage) {
            return w.tally.Damaged("page data before a page header", w.pos);
        } else if (type >= 1 && type <= 216) {
            if (!w.Skip(1 + type)) {
                return w.seg;
            }
        } else if (type == 0) {
            if (w.Left() < 3) {
                return w.tally.Damaged("record cut short", w.pos);
            }
            if (!w.Skip(3 + std::size_t{Le16(data, w.pos + 1)})) {
                return w.seg;
            }
        } else if (type <= 253) {
            ++w.pos;
        } else if (w.Left() >= 2 && data[w.pos + 1] == '\0') {
            w.pos += 2;
        } else {
            return w.tally.Uncountable("a record it does not know" + Where(w.pos));
        }
    }
    if (declared != 0 && declared != w.seg.documentPages) {
        return w.tally.Damaged("the header says " + std::to_string(declared) + " pages but " +
                                   std::to_string(w.seg.documentPages) + " follow",
                               start);
    }
    return w.tally.Done(w.pos);
}

// ---- HP LaserJet 3100 ----

bool StartsLj3100(std::string_view data, std::size_t start) {
    // The job's start section, then a data section that resets the printer.
    using namespace std::string_view_literals;
    return At(data, start, "\x01\x00\x00\x00\x00\x00\x00\x00"sv) &&
           At(data, start + 10, "\x00\x00\x1b\x1b\x1b\x1b\x1b\x1b\x1b\x1b\x1b\x1b\x1b\x1b\r\nBD"sv);
}

Segment CountLj3100(std::string_view data, std::size_t start, std::int64_t /*defaultCopies*/,
                    const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "HP LaserJet 3100", limits);
    std::size_t pos = start;
    bool inPage = false;
    std::int64_t copies = 0;
    for (;;) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        if (data.size() - pos < 6) {
            return tally.Damaged("job without its end", pos);
        }
        const std::size_t at = pos;
        const unsigned type = Le16(data, pos);
        const std::size_t first = Le16(data, pos + 2);
        const unsigned second = Le16(data, pos + 4);
        pos += 6;
        // Only data (0) and a page's start (3) have an argument.
        if (second != 0 || (first != 0 && type != 0 && type != 3)) {
            return tally.Uncountable("a section it does not know" + Where(at));
        }
        if (type == 0) {  // data: the printer's commands and the page's coded rows
            if (first > data.size() - pos) {
                return tally.Damaged("data cut short", at);
            }
            pos += first;
        } else if (type == 1) {  // the job's start
            if (at != start) {
                return tally.Damaged("a second start of the job", at);
            }
        } else if (type == 3) {  // a page's start, with its copies
            if (inPage) {
                return tally.Damaged("page without its end", at);
            }
            if (first == 0 || first > static_cast<std::size_t>(stream::kMaxCopies)) {
                return tally.Uncountable("a page asks for " + std::to_string(first) + " copies");
            }
            copies = static_cast<std::int64_t>(first);
            inPage = true;
        } else if (type == 4) {  // a page's end
            if (!inPage) {
                return tally.Damaged("end of a page that did not start", at);
            }
            inPage = false;
            if (!tally.Page(copies)) {
                return tally.Damaged("too many pages", at);
            }
        } else if (type == 54 && !inPage) {
            // Follows each page's end and the job's last data, four for each copy.
        } else if (type == 2 && !inPage) {  // the job's end
            return tally.Done(pos);
        } else {
            return tally.Uncountable("a section it does not know" + Where(at));
        }
    }
}

// ---- Imagen imPRESS ----

bool StartsImpress(std::string_view data, std::size_t start) {
    return stream::AtNoCase(data, start, "@DOCUMENT(LANGUAGE IMPRESS");
}

Segment CountImpress(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits) {
    Walk w(data, start, defaultCopies, "imPRESS", limits);
    // The header's options: only those that leave the pages as they are. Any other (copies
    // among them) is not taken for one that does.
    const std::size_t close = data.find(')', start);
    if (!StartsImpress(data, start) || close == std::string_view::npos || close - start > 1024) {
        return w.tally.Damaged("document header without end", start);
    }
    std::string_view options = data.substr(start + 10, close - start - 10);
    while (!options.empty()) {
        const std::size_t comma = std::min(options.find(','), options.size());
        std::string_view option = options.substr(0, comma);
        options.remove_prefix(std::min(comma + 1, options.size()));
        while (!option.empty() && option.front() == ' ') {
            option.remove_prefix(1);
        }
        std::string name;
        for (const char c : option.substr(0, option.find(' '))) {
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (name != "language" && name != "jobheader" && name != "prerasterization") {
            return w.tally.Uncountable("a document header option it does not know (" +
                                       std::string(option) + ")");
        }
    }
    w.pos = close + 1;
    for (;;) {
        if (!w.tally.InTime(w.pos)) {
            return w.seg;
        }
        if (w.Left() == 0) {
            return w.tally.Damaged("document without its end", w.pos);
        }
        const unsigned command = Byte(data, w.pos);
        if (command == 255) {  // EOF
            ++w.pos;
            break;
        }
        if (command == 219) {  // ENDPAGE
            ++w.pos;
            if (!w.Eject()) {
                return w.seg;
            }
        } else if (command == 213 || command == 254) {  // PAGE, NOOP
            ++w.pos;
        } else if (command == 236) {  // SET_MAGNIFICATION and its power of two
            if (!w.Skip(2)) {
                return w.seg;
            }
        } else if (command == 135 || command == 137) {  // ABS_H, ABS_V and the position
            if (!w.Skip(3)) {
                return w.seg;
            }
        } else if (command == 235) {
            // BITMAP: operation, swatches across and down, 128 bytes for each swatch.
            if (w.Left() < 4) {
                return w.tally.Damaged("bitmap cut short", w.pos);
            }
            const std::uint64_t swatches =
                std::uint64_t{Byte(data, w.pos + 2)} * Byte(data, w.pos + 3);
            w.pos += 4;
            w.marked = w.marked || swatches > 0;
            if (!w.Skip(swatches * 128)) {
                return w.seg;
            }
        } else {
            return w.Unknown();
        }
    }
    if (w.marked) {
        return w.tally.Damaged("marks after the last page", w.pos);
    }
    return w.tally.Done(w.pos);
}

}  // namespace pagecount
