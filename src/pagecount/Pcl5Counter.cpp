#include <algorithm>
#include <cctype>

#include "pagecount/PageCount.h"

// PCL 5 prints text and raster data between escape sequences. A page leaves the printer at a
// form feed, or when a reset, a paper source, page size, orientation or duplex command (or the
// end of the job) finds marks on it. Raster rows, fonts and patterns travel inside commands that
// carry a byte count (ESC *b#W and the like): their bytes include form feeds and escapes, so
// they are skipped by their count. Copies (ESC &l#X) hold for every page that leaves after them
// until a reset. Other printer languages also start their commands with ESC (ESC/P, LIPS,
// Canon's...) and carry raster data full of form feeds; an escape sequence that PCL does not
// have ends the count: such a document is not PCL 5.
//
// Printers whose reset does not eject (PaintJet) are sent a reset and a form feed at the end of
// each page: a form feed right after a reset that ejected the page is that same page.
//
// HP-GL/2 (ESC %#B up to ESC %#A, and on its own behind PJL) is read as instructions: only
// those that draw mark the page (setting up the plot, moving the pen up, do not), and PG or FR
// advance a marked page. Its label text runs to the label terminator, which may be anything.

namespace pagecount {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr std::int64_t kMaxCopies = 32767;

struct Command {
    char parameterized = 0;  // '&', '*', '(', ... (33..47)
    char group = 0;          // 'l', 'b', 's', ... or 0
    char parameter = 0;      // upper case
    double value = 0;
};

// Whether the command carries `value` bytes of data after it.
bool CarriesData(const Command& c) {
    if (c.parameter == 'W') {
        return true;  // raster rows, fonts, symbol sets, patterns, palettes, configuration
    }
    if (c.parameterized == '*' && c.group == 'b' && c.parameter == 'V') {
        return true;  // one plane of a raster row
    }
    return c.parameterized == '&' && c.group == 'p' && c.parameter == 'X';  // transparent print
}

bool Ejects(const Command& c) {
    if (c.parameterized != '&' || c.group != 'l') {
        return false;
    }
    return c.parameter == 'H' || c.parameter == 'A' || c.parameter == 'O' || c.parameter == 'S';
}

bool Marks(const Command& c) {
    if (c.parameterized == '*' && c.group == 'b' && (c.parameter == 'W' || c.parameter == 'V')) {
        return c.value > 0;
    }
    if (c.parameterized == '*' && c.group == 'c' && c.parameter == 'P') {
        return true;  // a filled rectangle
    }
    return c.parameterized == '&' && c.group == 'p' && c.parameter == 'X' && c.value > 0;
}

// PCL's two-character escapes: reset, clear margins, half line feed, display functions on and
// off, self test.
bool IsTwoCharacterCommand(unsigned char c) {
    return c == 'E' || c == '9' || c == '=' || c == 'Y' || c == 'Z' || c == 'z';
}

enum class Parsed { Command, Last, NotPcl, CutShort };

// One parameter of a parameterized escape sequence at pos (a value field and its parameter
// character); pos moves past it. Last: the parameter ended the sequence (upper case).
Parsed ParseParameter(std::string_view data, std::size_t& pos, Command& cmd) {
    const std::size_t size = data.size();
    std::size_t p = pos;
    bool negative = false;
    if (p < size && (data[p] == '+' || data[p] == '-')) {
        negative = data[p] == '-';
        ++p;
    }
    double value = 0;
    while (p < size && std::isdigit(static_cast<unsigned char>(data[p]))) {
        if (value < 1e15) {
            value = value * 10 + (data[p] - '0');
        }
        ++p;
    }
    if (p < size && data[p] == '.') {
        ++p;
        while (p < size && std::isdigit(static_cast<unsigned char>(data[p]))) {
            ++p;
        }
    }
    if (p >= size) {
        pos = p;
        return Parsed::CutShort;
    }
    const auto param = static_cast<unsigned char>(data[p]);
    Parsed parsed = Parsed::Command;
    if (param >= 96 && param <= 126) {
        cmd.parameter = static_cast<char>(param - 32);
    } else if (param >= 64 && param <= 94) {
        cmd.parameter = static_cast<char>(param);
        parsed = Parsed::Last;
    } else {
        return Parsed::NotPcl;
    }
    pos = p + 1;
    cmd.value = negative ? -value : value;
    return parsed;
}

// Instructions that put marks on the page, two letters each.
bool Draws(char a, char b) {
    static const char* const kDrawing[] = {"PD", "PE", "LB", "CI", "AA", "AR", "AT",
                                           "BR", "BZ", "EA", "ER", "EP", "EW", "FP",
                                           "RA", "RR", "WG", "PR", "PA"};
    for (const char* d : kDrawing) {
        if (d[0] == a && d[1] == b) {
            return true;
        }
    }
    return false;
}

enum class HpglEnd { Pcl, Escape, End, TooLong };

// Reads HP-GL/2 from pos until ESC %#A (PCL follows it), another escape (a reset or a UEL,
// left for the caller), or the end. eject() is called for a marked page that PG or FR advance.
template <typename Eject>
HpglEnd ReadHpgl(std::string_view data, std::size_t& pos, bool& marked, bool& penDown,
                 char& terminator, const Limits& limits, Eject eject) {
    const std::size_t size = data.size();
    std::size_t nextClockCheck = pos + (1u << 20);
    const auto upper = [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    };
    while (pos < size) {
        if (pos >= nextClockCheck) {
            nextClockCheck = pos + (1u << 20);
            if (std::chrono::steady_clock::now() > limits.deadline) {
                return HpglEnd::TooLong;
            }
        }
        const auto byte = static_cast<unsigned char>(data[pos]);
        if (byte == kEsc) {
            // ESC %#A: back to PCL; anything else is PCL's to read.
            std::size_t p = pos + 1;
            if (p < size && data[p] == '%') {
                ++p;
                if (p < size && (data[p] == '-' || data[p] == '+')) {
                    ++p;
                }
                while (p < size && std::isdigit(static_cast<unsigned char>(data[p]))) {
                    ++p;
                }
                if (p < size && data[p] == 'A') {
                    pos = p + 1;
                    return HpglEnd::Pcl;
                }
            }
            return HpglEnd::Escape;
        }
        if (!std::isalpha(byte) || pos + 1 >= size ||
            !std::isalpha(static_cast<unsigned char>(data[pos + 1]))) {
            ++pos;  // separators, terminators, stray bytes
            continue;
        }
        const char a = upper(data[pos]);
        const char b = upper(data[pos + 1]);
        pos += 2;
        if ((a == 'L' && b == 'B') || (a == 'B' && b == 'L')) {
            // Label text up to the terminator.
            const std::size_t start = pos;
            while (pos < size && data[pos] != terminator) {
                ++pos;
            }
            marked = marked || (a == 'L' && pos > start);
            pos = std::min(pos + 1, size);
            continue;
        }
        if (a == 'D' && b == 'T') {
            if (pos < size && data[pos] != ';') {
                terminator = data[pos++];
            } else {
                terminator = '\x03';
            }
        } else if ((a == 'S' && b == 'M') || (a == 'C' && b == 'O')) {
            // A symbol character, or a quoted comment.
            if (a == 'S' && pos < size && data[pos] != ';') {
                ++pos;
            }
        } else if (a == 'P' && b == 'E') {
            // Encoded polyline: its coordinates are letters and digits up to ';'.
            const std::size_t start = pos;
            while (pos < size && data[pos] != ';' &&
                   static_cast<unsigned char>(data[pos]) != kEsc) {
                ++pos;
            }
            marked = marked || pos > start;
            continue;
        }
        // The parameters: numbers, separators and quoted strings, up to the next instruction.
        bool parameters = false;
        while (pos < size) {
            const char c = data[pos];
            if (c == '"') {
                const std::size_t close = data.find('"', pos + 1);
                pos = close == std::string_view::npos ? size : close + 1;
                parameters = true;
            } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' ||
                       c == '.') {
                parameters = true;
                ++pos;
            } else if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++pos;
            } else {
                break;
            }
        }
        if (a == 'P' && (b == 'U' || b == 'D')) {
            penDown = b == 'D';
            marked = marked || (penDown && parameters);
        } else if ((a == 'I' && b == 'N') || (a == 'D' && b == 'F')) {
            penDown = false;
            terminator = '\x03';
        } else if (a == 'P' && (b == 'A' || b == 'R')) {
            marked = marked || (penDown && parameters);
        } else if ((a == 'P' && b == 'G') || (a == 'F' && b == 'R')) {
            if (marked) {
                eject();
            }
        } else if (Draws(a, b)) {
            marked = true;
        }
    }
    return HpglEnd::End;
}

}  // namespace

bool StartsPcl5(std::string_view data, std::size_t start) {
    if (data.size() - start < 3 || static_cast<unsigned char>(data[start]) != kEsc) {
        return false;
    }
    const auto first = static_cast<unsigned char>(data[start + 1]);
    if (IsTwoCharacterCommand(first)) {
        return true;
    }
    if (first < 33 || first > 47) {
        return false;
    }
    std::size_t pos = start + 2;
    Command cmd;
    if (data[pos] >= 96 && data[pos] <= 126) {
        ++pos;
    }
    // The first parameters of the first sequence decide; raster data may follow.
    for (int n = 0; n < 8; ++n) {
        switch (ParseParameter(data, pos, cmd)) {
            case Parsed::Command:
                continue;
            case Parsed::Last:
                return true;
            case Parsed::NotPcl:
            case Parsed::CutShort:
                return false;
        }
    }
    return false;
}

namespace {

// PCL 5 from start, or HP-GL/2 when the data starts in it.
Segment CountPclOrHpgl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                       const Limits& limits, bool hpgl) {
    Segment seg;
    seg.counter = hpgl ? "HP-GL/2" : "PCL 5";
    std::int64_t copies = defaultCopies;
    bool marked = false;
    bool tooMany = false;
    bool penDown = false;
    char terminator = '\x03';
    std::size_t afterEjectingReset = std::string_view::npos;
    const auto eject = [&] {
        seg.pages += copies;
        ++seg.documentPages;
        marked = false;
        tooMany = tooMany || seg.documentPages > limits.maxPages;
    };
    std::size_t pos = start;
    const std::size_t size = data.size();
    std::size_t nextClockCheck = pos + (1u << 20);
    while (pos < size) {
        if (pos >= nextClockCheck) {
            nextClockCheck = pos + (1u << 20);
            if (std::chrono::steady_clock::now() > limits.deadline) {
                seg.error = "counting took too long";
                return seg;
            }
        }
        if (tooMany) {
            seg.error = "damaged " + seg.counter + " (too many pages)";
            return seg;
        }
        if (hpgl) {
            const HpglEnd ended = ReadHpgl(data, pos, marked, penDown, terminator, limits, eject);
            if (ended == HpglEnd::TooLong) {
                seg.error = "counting took too long";
                return seg;
            }
            hpgl = false;
            continue;
        }
        const auto byte = static_cast<unsigned char>(data[pos]);
        if (byte == 0x0c) {
            if (pos != afterEjectingReset) {
                eject();
            }
            ++pos;
            continue;
        }
        if (byte != kEsc) {
            // Printable characters mark the page; control codes and spaces only move.
            marked = marked || byte > 0x20;
            ++pos;
            continue;
        }
        if (data.compare(pos, kUel.size(), kUel) == 0) {
            break;  // the end of the job, back to PJL
        }
        if (data.compare(pos, kUel.size() - 1, kUel.substr(0, kUel.size() - 1)) == 0 &&
            data.find_first_not_of("\r\n ", pos + kUel.size() - 1) == std::string_view::npos) {
            pos = size;  // a UEL without its X at the very end, as OKI's driver ends its jobs
            break;
        }
        if (pos + 1 >= size) {
            ++pos;
            break;
        }
        const auto first = static_cast<unsigned char>(data[pos + 1]);
        const std::size_t escape = pos;
        const auto notPcl = [&] {
            seg.error = "not PCL 5 (an escape sequence PCL does not have at byte " +
                        std::to_string(escape) + ")";
            return seg;
        };
        pos += 2;
        if (first >= 48 && first <= 126) {  // a two-character escape
            if (!IsTwoCharacterCommand(first)) {
                return notPcl();
            }
            if (first == 'E') {  // reset
                if (marked) {
                    eject();
                    afterEjectingReset = pos;
                }
                copies = defaultCopies;
                penDown = false;
                terminator = '\x03';
            }
            continue;
        }
        if (first < 33 || first > 47) {
            return notPcl();
        }
        Command cmd;
        cmd.parameterized = static_cast<char>(first);
        if (pos < size && data[pos] >= 96 && data[pos] <= 126) {
            cmd.group = data[pos++];
        }
        // Value fields and parameters; a lower-case parameter continues the sequence.
        for (bool more = true; more && pos < size;) {
            const Parsed parsed = ParseParameter(data, pos, cmd);
            if (parsed == Parsed::CutShort) {
                break;
            }
            if (parsed == Parsed::NotPcl) {
                return notPcl();
            }
            more = parsed == Parsed::Command;
            if (Ejects(cmd) && marked) {
                eject();
            }
            if (cmd.parameterized == '&' && cmd.group == 'l' && cmd.parameter == 'X') {
                copies =
                    std::clamp<std::int64_t>(static_cast<std::int64_t>(cmd.value), 1, kMaxCopies);
            }
            marked = marked || Marks(cmd);
            hpgl = hpgl || (cmd.parameterized == '%' && cmd.parameter == 'B');
            if (CarriesData(cmd)) {
                const auto length = static_cast<std::size_t>(std::max(0.0, cmd.value));
                if (length > size - pos) {
                    seg.error =
                        "damaged PCL 5 (data cut short at byte " + std::to_string(pos) + ")";
                    return seg;
                }
                pos += length;
            }
        }
    }
    if (marked) {
        eject();  // the end of the job prints what is on the page
    }
    if (tooMany) {
        seg.error = "damaged " + seg.counter + " (too many pages)";
        return seg;
    }
    seg.end = std::min(pos, size);
    seg.ok = true;
    return seg;
}

}  // namespace

Segment CountPcl5(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    return CountPclOrHpgl(data, start, defaultCopies, limits, false);
}

Segment CountHpgl2(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits) {
    return CountPclOrHpgl(data, start, defaultCopies, limits, true);
}

bool StartsHpgl2(std::string_view data, std::size_t start) {
    // A plot starts with IN (initialize) or BP (begin plot).
    const std::string_view head = data.substr(start, 3);
    return head == "IN;" || head == "BP;" || head == "BPI" ||
           (head.size() == 3 && head.compare(0, 2, "BP") == 0 &&
            std::isdigit(static_cast<unsigned char>(head[2])));
}

}  // namespace pagecount
