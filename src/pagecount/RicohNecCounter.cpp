#include <string>
#include <vector>

#include "pagecount/StreamCounting.h"

// Ricoh's RPDL and NEC's NPDL page printers, as Ghostscript's rpdl and npdl devices (and the
// Foomatic PPDs that run them) write them: printer setup commands, raster images that carry as
// many bytes as their command says, and a form feed after each page.
//
// RPDL commands are ESC DC2 and printable parameters ending in a space, in ESC SP, or (duplex
// "61,") where the next escape starts. An image is ESC DC2 G3,width,height,,[4],x,y[,bytes]@:
// with compression 4 the bytes follow as counted, without it width/8 x height bytes. ESC DC2
// N n sets the copies of each page.
//
// NPDL commands are FS and printable parameters ending in '.': FS x n. sets the copies of each
// page, FS i width,height,compression,...,bytes,dpi. is an image and its bytes. FS Y opens the
// figure mode, printable commands up to FS Z. ESC c 1 resets the printer.
//
// Both print text that is sent to them; any other escape or control code, or a command with
// bytes that are not printable, is something not read here: such a document is not counted.

namespace pagecount {

namespace {

using stream::At;
using stream::Byte;
using stream::Copies;
using stream::PageTally;

constexpr char kEsc = '\x1b';
constexpr char kFf = '\x0c';
constexpr char kFs = '\x1c';
constexpr char kDc2 = '\x12';
constexpr std::size_t kMaxCommand = 256;

bool Printable(char c) {
    return c >= 0x20 && c <= 0x7e;
}

// Control codes that only move the print position: NUL, BS, HT, LF, VT and CR.
bool Moves(char c) {
    return c == '\0' || (c >= 0x08 && c <= 0x0b) || c == '\r';
}

// The comma separated numbers of a command's parameters; an empty field is -1, and one that is
// not a number (or too long) is -2.
std::vector<std::int64_t> Fields(std::string_view text) {
    std::vector<std::int64_t> fields;
    std::int64_t n = -1;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',') {
            fields.push_back(n);
            n = -1;
            if (fields.size() > 16) {
                break;
            }
        } else if (text[i] >= '0' && text[i] <= '9' && n != -2) {
            n = n < 0 ? text[i] - '0' : n * 10 + (text[i] - '0');
            if (n > 1'000'000'000) {
                n = -2;
            }
        } else {
            n = -2;
        }
    }
    return fields;
}

// The printable parameters from pos up to the first of `ends`: where they end, npos when a
// byte that is not printable comes first or there is no end within kMaxCommand bytes.
std::size_t ParametersEnd(std::string_view data, std::size_t pos, std::string_view ends) {
    for (std::size_t p = pos; p < data.size() && p - pos <= kMaxCommand; ++p) {
        if (ends.find(data[p]) != std::string_view::npos) {
            return p;
        }
        if (!Printable(data[p])) {
            return std::string_view::npos;
        }
    }
    return std::string_view::npos;
}

}  // namespace

bool StartsRpdl(std::string_view data, std::size_t start) {
    return At(data, start, "\x1b\x12!@R00\x1b ");
}

bool StartsNpdl(std::string_view data, std::size_t start) {
    return At(data, start,
              "\x1b"
              "c1\x1c");
}

Segment CountRpdl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "RPDL", limits);
    std::int64_t copies = Copies(defaultCopies);
    bool marked = false;
    std::size_t pos = start;
    const std::size_t size = data.size();
    while (pos < size) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        const char c = data[pos];
        if (c == kFf) {
            if (!tally.Page(copies)) {
                return tally.Damaged("too many pages", pos);
            }
            marked = false;
            ++pos;
            continue;
        }
        if (c == kEsc) {
            if (At(data, pos, kUel)) {
                break;  // back to PJL
            }
            if (At(data, pos,
                   "\x1b"
                   "4") ||
                At(data, pos, "\x1b ")) {
                pos += 2;
                continue;
            }
            if (pos + 1 >= size || data[pos + 1] != kDc2) {
                return tally.Uncountable("an escape sequence not read here at byte " +
                                         std::to_string(pos));
            }
            const std::size_t body = pos + 2;
            if (body < size && data[body] == 'G') {
                // G3,width,height,,[4],x,y[,bytes]@ and the image's bytes.
                const std::size_t at = ParametersEnd(data, body, "@");
                if (at == std::string_view::npos) {
                    return tally.Damaged("an image command without end", pos);
                }
                const auto f = Fields(data.substr(body + 1, at - body - 1));
                std::int64_t bytes = -1;
                if (f.size() == 7 && f[0] == 3 && f[1] >= 0 && f[1] % 8 == 0 && f[2] >= 0 &&
                    f[3] == -1 && f[4] == -1) {
                    bytes = f[1] / 8 * f[2];
                } else if (f.size() == 8 && f[0] == 3 && f[1] >= 0 && f[2] >= 0 && f[3] == -1 &&
                           f[4] == 4 && f[7] >= 0) {
                    bytes = f[7];
                }
                if (bytes < 0) {
                    return tally.Uncountable("an image command not read here at byte " +
                                             std::to_string(pos));
                }
                pos = at + 1;
                if (static_cast<std::uint64_t>(bytes) > size - pos) {
                    return tally.Damaged("image data cut short", pos);
                }
                pos += static_cast<std::size_t>(bytes);
                marked = marked || bytes > 0;
                continue;
            }
            // Parameters up to a space, ESC SP, or the next escape.
            const std::size_t end = ParametersEnd(data, body, std::string_view(" \x1b", 2));
            if (end == std::string_view::npos) {
                return tally.Uncountable("a command not read here at byte " + std::to_string(pos));
            }
            const std::string_view command = data.substr(body, end - body);
            if (command.empty()) {
                return tally.Uncountable("a command not read here at byte " + std::to_string(pos));
            }
            if (command[0] == 'N') {
                const auto f = Fields(command.substr(1));
                if (f.size() != 1 || f[0] < 0) {
                    return tally.Damaged("copies that are not a number", pos);
                }
                copies = Copies(f[0]);
            }
            pos = end;
            if (data[end] == ' ') {
                ++pos;
            } else if (At(data, end, "\x1b ")) {
                pos += 2;
            }
            continue;
        }
        if (Moves(c)) {
            ++pos;
            continue;
        }
        if (!Printable(c) && static_cast<unsigned char>(c) < 0xa0) {
            return tally.Uncountable("a control code not read here at byte " + std::to_string(pos));
        }
        marked = marked || c != ' ';  // text, Japanese text too
        ++pos;
    }
    if (marked && !tally.Page(copies)) {  // the end of the job prints what is on the page
        return tally.Damaged("too many pages", pos);
    }
    return tally.Done(pos);
}

Segment CountNpdl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    PageTally tally(seg, "NPDL", limits);
    const std::int64_t jobCopies = Copies(defaultCopies);
    std::int64_t copies = jobCopies;
    bool marked = false;
    std::size_t pos = start;
    const std::size_t size = data.size();
    const auto eject = [&] {
        marked = false;
        return tally.Page(copies);
    };
    while (pos < size) {
        if (!tally.InTime(pos)) {
            return seg;
        }
        const char c = data[pos];
        if (c == kFf) {
            if (!eject()) {
                return tally.Damaged("too many pages", pos);
            }
            ++pos;
            continue;
        }
        if (c == kEsc) {
            if (At(data, pos, kUel)) {
                break;  // back to PJL
            }
            if (At(data, pos,
                   "\x1b"
                   "c1")) {  // a reset prints what is on the page
                if (marked && !eject()) {
                    return tally.Damaged("too many pages", pos);
                }
                copies = jobCopies;
                pos += 3;
                continue;
            }
            return tally.Uncountable("an escape sequence not read here at byte " +
                                     std::to_string(pos));
        }
        if (c == kFs) {
            const std::size_t body = pos + 1;
            if (At(data, body, "Y")) {
                // The figure mode: printable commands up to FS Z.
                std::size_t p = body + 1;
                while (p < size && Printable(data[p])) {
                    if (!tally.InTime(p)) {
                        return seg;
                    }
                    ++p;
                }
                if (!At(data, p, "\x1cZ")) {
                    return tally.Uncountable("a figure not read here at byte " +
                                             std::to_string(pos));
                }
                marked = true;
                pos = p + 2;
                continue;
            }
            const std::size_t end = ParametersEnd(data, body, ".");
            if (end == std::string_view::npos || end == body) {
                return tally.Uncountable("a command not read here at byte " + std::to_string(pos));
            }
            const std::string_view command = data.substr(body, end - body);
            pos = end + 1;
            if (command[0] == 'x') {
                const auto f = Fields(command.substr(1));
                if (f.size() != 1 || f[0] < 0) {
                    return tally.Damaged("copies that are not a number", body);
                }
                copies = Copies(f[0]);
            } else if (command[0] == 'i') {
                // width,height,compression,scale,scale,bytes,dpi and the image's bytes.
                const auto f = Fields(command.substr(1));
                if (f.size() != 7 || f[0] < 0 || f[1] < 0 || (f[2] != 0 && f[2] != 1) || f[5] < 0) {
                    return tally.Uncountable("an image command not read here at byte " +
                                             std::to_string(body - 1));
                }
                const auto bytes = static_cast<std::uint64_t>(f[5]);
                if (bytes > size - pos) {
                    return tally.Damaged("image data cut short", pos);
                }
                pos += static_cast<std::size_t>(bytes);
                marked = marked || bytes > 0;
            }
            continue;
        }
        if (Moves(c)) {
            ++pos;
            continue;
        }
        if (!Printable(c) && static_cast<unsigned char>(c) < 0xa0) {
            return tally.Uncountable("a control code not read here at byte " + std::to_string(pos));
        }
        marked = marked || c != ' ';  // text, Japanese text too
        ++pos;
    }
    if (marked && !eject()) {
        return tally.Damaged("too many pages", pos);
    }
    return tally.Done(pos);
}

}  // namespace pagecount
