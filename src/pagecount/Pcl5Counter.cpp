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

Segment CountPcl5(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    seg.counter = "PCL 5";
    std::int64_t copies = defaultCopies;
    bool marked = false;
    bool tooMany = false;
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
            seg.error = "damaged PCL 5 (too many pages)";
            return seg;
        }
        const auto byte = static_cast<unsigned char>(data[pos]);
        if (byte == 0x0c) {
            eject();
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
                }
                copies = defaultCopies;
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
        seg.error = "damaged PCL 5 (too many pages)";
        return seg;
    }
    seg.end = std::min(pos, size);
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
