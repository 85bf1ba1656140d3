#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "pagecount/PageCount.h"

// Label printers. Each language ends a label with a command of its own, and carries raster
// lines whose bytes are anything: they are skipped by the length their command gives, never
// searched for commands.
//
// ZPL: a label format runs from ^XA to ^XZ and prints ^PQ labels when it has something to print
// (a field, a graphic, a stored format recalled); one that only stores a format (^DF) or deletes
// a graphic prints nothing. ^CC and ~CT change the command characters, ^CD the delimiter.
// EPL page mode: N clears the image buffer, GW draws raster lines, P prints it (sets and copies
// of each). EPL line mode: ESC g sends one line, ESC E and a form feed eject the label. CPCL: a
// session "! offset xdpi ydpi height quantity" ends with PRINT. DYMO LabelWriter: SYN sends one
// line (ESC D set its length), ESC E ejects. Brother P-touch and QL raster: G or g send a
// line, Z a blank one, and a form feed or Ctrl-Z prints the page.

namespace pagecount {

namespace {

constexpr std::int64_t kMaxCopies = 32767;
constexpr unsigned char kEsc = 0x1b;

std::int64_t Copies(std::int64_t n) {
    return std::clamp<std::int64_t>(n, 1, kMaxCopies);
}

bool At(std::string_view data, std::size_t pos, std::string_view what) {
    return data.size() - pos >= what.size() && data.compare(pos, what.size(), what) == 0;
}

// A decimal number at pos (digits only), at most a billion so that two multiply safely; -1
// when there is none. pos moves past it.
std::int64_t Number(std::string_view data, std::size_t& pos) {
    std::int64_t n = -1;
    while (pos < data.size() && std::isdigit(static_cast<unsigned char>(data[pos]))) {
        n = std::min<std::int64_t>(std::max<std::int64_t>(n, 0) * 10 + (data[pos] - '0'),
                                   1'000'000'000);
        ++pos;
    }
    return n;
}

// The line at pos without its end of line; pos moves to the next line.
std::string_view Line(std::string_view data, std::size_t& pos) {
    std::size_t eol = data.find('\n', pos);
    eol = eol == std::string_view::npos ? data.size() : eol;
    std::string_view line = data.substr(pos, eol - pos);
    pos = std::min(eol + 1, data.size());
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// The end of a label language's data: the end, or a UEL back to PJL.
bool AtEnd(std::string_view data, std::size_t pos) {
    return pos >= data.size() || At(data, pos, kUel);
}

class Progress {
  public:
    Progress(std::size_t start, const Limits& limits)
        : m_limits(limits), m_next(start + (1u << 20)) {}
    bool TooLong(std::size_t pos) {
        if (pos < m_next) {
            return false;
        }
        m_next = pos + (1u << 20);
        return std::chrono::steady_clock::now() > m_limits.deadline;
    }

  private:
    const Limits& m_limits;
    std::size_t m_next;
};

Segment Damaged(Segment seg, const std::string& why, std::size_t pos) {
    seg.ok = false;
    seg.error = "damaged " + seg.counter + " (" + why + " at byte " + std::to_string(pos) + ")";
    return seg;
}

Segment Uncountable(Segment seg, const std::string& why, std::size_t pos) {
    seg.ok = false;
    seg.error =
        seg.counter + " cannot be counted: " + why + " (at byte " + std::to_string(pos) + ")";
    return seg;
}

Segment TooLong(Segment seg) {
    seg.ok = false;
    seg.error = "counting took too long";
    return seg;
}

bool AddLabels(Segment& seg, std::int64_t copies, const Limits& limits) {
    seg.pages += Copies(copies);
    return ++seg.documentPages <= limits.maxPages;
}

// ZPL ------------------------------------------------------------------------------------

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// The parameters of a command from pos to the next command character, split at the
// delimiter.
std::vector<std::string_view> Parameters(std::string_view data, std::size_t pos, char caret,
                                         char tilde, char delimiter, std::size_t most) {
    std::vector<std::string_view> params;
    std::size_t begin = pos;
    while (params.size() < most) {
        std::size_t p = begin;
        while (p < data.size() && data[p] != delimiter && data[p] != caret && data[p] != tilde) {
            ++p;
        }
        params.push_back(data.substr(begin, p - begin));
        if (p >= data.size() || data[p] != delimiter) {
            break;
        }
        begin = p + 1;
    }
    return params;
}

// Where the data of a command starts: after `commas` delimiters from pos; npos if not there.
std::size_t AfterDelimiters(std::string_view data, std::size_t pos, char delimiter, int commas) {
    for (int i = 0; i < commas; ++i) {
        const std::size_t next = data.find(delimiter, pos);
        if (next == std::string_view::npos || next - pos > 256) {
            return std::string_view::npos;
        }
        pos = next + 1;
    }
    return pos;
}

std::int64_t ParamNumber(std::string_view param) {
    while (!param.empty() && param.front() == ' ') {
        param.remove_prefix(1);
    }
    std::size_t p = 0;
    return Number(param, p);
}

}  // namespace

bool StartsZpl(std::string_view data, std::size_t pos) {
    if (data.size() - pos < 3 || (data[pos] != '^' && data[pos] != '~') ||
        !std::isalpha(static_cast<unsigned char>(data[pos + 1])) ||
        !std::isalnum(static_cast<unsigned char>(data[pos + 2]))) {
        return false;
    }
    return data.find("^XA", pos) != std::string_view::npos ||
           data.find("^xa", pos) != std::string_view::npos;
}

Segment CountZpl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    Segment seg;
    seg.counter = "ZPL";
    char caret = '^';
    char tilde = '~';
    char delimiter = ',';
    bool inFormat = false;
    bool prints = false;
    bool stores = false;
    std::int64_t quantity = defaultCopies;
    Progress progress(start, limits);
    std::size_t pos = start;
    while (!AtEnd(data, pos)) {
        if (progress.TooLong(pos)) {
            return TooLong(seg);
        }
        const char c = data[pos];
        if (c != caret && c != tilde) {
            ++pos;  // parameters, field data, hexadecimal graphics, line ends
            continue;
        }
        const std::size_t at = pos;
        if (data.size() - pos < 3) {
            break;
        }
        const std::string command{c == caret ? '^' : '~', Upper(data[pos + 1]),
                                  Upper(data[pos + 2])};
        pos += 3;
        const auto params = [&](std::size_t most) {
            return Parameters(data, pos, caret, tilde, delimiter, most);
        };
        if (command == "^CC" || command == "~CC" || command == "^CT" || command == "~CT" ||
            command == "^CD" || command == "~CD") {
            if (pos >= data.size()) {
                break;
            }
            char& which = command[2] == 'C' ? caret : command[2] == 'T' ? tilde : delimiter;
            which = data[pos++];
        } else if (command == "^XA") {
            if (inFormat) {
                return Damaged(seg, "a label format inside another", at);
            }
            inFormat = true;
            prints = stores = false;
            quantity = defaultCopies;
        } else if (command == "^XZ") {
            if (inFormat && prints && !stores && !AddLabels(seg, quantity, limits)) {
                return Damaged(seg, "too many labels", at);
            }
            inFormat = false;
        } else if (command == "^PQ") {
            const std::int64_t n = ParamNumber(params(1).front());
            quantity = n > 0 ? n : 1;
        } else if (command == "^DF") {
            stores = true;
        } else if (command == "^IS") {
            const auto p = params(2);
            prints = prints || p.size() < 2 || Upper(p[1].empty() ? 'Y' : p[1].front()) != 'N';
        } else if (command == "^FD" || command == "^FV" || command == "^SN" || command == "^XG" ||
                   command == "^XF" || command == "^IM" || command == "^IL" || command == "^GB" ||
                   command == "^GC" || command == "^GD" || command == "^GE" || command == "^GS") {
            prints = true;
        } else if (command == "^GF" || command == "~DY") {
            // Binary graphics and objects carry a byte count; ASCII ones have no command
            // characters in them.
            const auto p = params(command == "^GF" ? 4 : 5);
            const std::size_t formatParam = command == "^GF" ? 0 : 1;
            const std::size_t countParam = command == "^GF" ? 1 : 3;
            prints = prints || command == "^GF";
            const char format = p.size() > formatParam && !p[formatParam].empty()
                                    ? Upper(p[formatParam].front())
                                    : 'A';
            if (format != 'A') {
                const std::int64_t bytes =
                    p.size() > countParam ? ParamNumber(p[countParam]) : std::int64_t{-1};
                const std::size_t dataAt =
                    AfterDelimiters(data, pos, delimiter, command == "^GF" ? 4 : 5);
                if (bytes < 0 || dataAt == std::string_view::npos) {
                    return Damaged(seg, "binary data without its size", at);
                }
                if (static_cast<std::uint64_t>(bytes) > data.size() - dataAt) {
                    return Damaged(seg, "data cut short", at);
                }
                pos = dataAt + static_cast<std::size_t>(bytes);
            }
        } else if (command == "^PH" || command == "~PH" || command == "~JA" || command == "~JX" ||
                   command == "^JB" || command == "~WC") {
            // A blank label fed, formats cancelled, or a label the printer makes itself.
            return Uncountable(seg, "command " + command, at);
        }
    }
    seg.end = std::min(pos, data.size());
    seg.ok = true;
    return seg;
}

// EPL page mode -----------------------------------------------------------------------------

bool StartsEpl(std::string_view data, std::size_t pos) {
    std::size_t p = pos;
    const std::string_view first = Line(data, p);
    if (first == "N") {
        return true;
    }
    // Settings that may come before the first N.
    static const std::string_view kSetup[] = {"q",  "Q", "OD", "ON", "I8,", "ZT",
                                              "ZB", "S", "D",  "R",  "JF",  "JB"};
    bool setup = false;
    for (std::string_view s : kSetup) {
        if (first.size() > s.size() && first.compare(0, s.size(), s) == 0 && first.size() <= 32) {
            setup = true;
        }
    }
    for (int lines = 0; setup && lines < 16 && p < data.size(); ++lines) {
        if (Line(data, p) == "N") {
            return true;
        }
    }
    return false;
}

Segment CountEpl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits) {
    Segment seg;
    seg.counter = "EPL";
    Progress progress(start, limits);
    std::size_t pos = start;
    while (!AtEnd(data, pos)) {
        if (progress.TooLong(pos)) {
            return TooLong(seg);
        }
        const std::size_t at = pos;
        const std::string_view line = Line(data, pos);
        if (line.size() >= 2 && (line.compare(0, 2, "GW") == 0 || line.compare(0, 2, "GM") == 0)) {
            // GWx,y,bytes,lines and GM"name",bytes: binary data follows the line.
            std::int64_t bytes = -1;
            std::size_t p = line.size();
            if (line[1] == 'W') {
                const std::size_t third = AfterDelimiters(line, 2, ',', 2);
                std::size_t q = third;
                const std::int64_t width = third == std::string_view::npos ? -1 : Number(line, q);
                std::int64_t height = -1;
                if (width >= 0 && q < line.size() && line[q] == ',') {
                    ++q;
                    height = Number(line, q);
                }
                bytes = width >= 0 && height >= 0 ? width * height : -1;
                p = q;
            } else {
                std::size_t q = line.rfind(',');
                if (q != std::string_view::npos) {
                    ++q;
                    bytes = Number(line, q);
                    p = q;
                }
            }
            if (bytes < 0 || p != line.size()) {
                return Damaged(seg, "graphics without their size", at);
            }
            // The data starts right after the command's line end.
            if (static_cast<std::uint64_t>(bytes) > data.size() - pos) {
                return Damaged(seg, "data cut short", at);
            }
            pos += static_cast<std::size_t>(bytes);
        } else if (line.size() >= 2 && line[0] == 'P' &&
                   std::isdigit(static_cast<unsigned char>(line[1]))) {
            std::size_t p = 1;
            const std::int64_t sets = Number(line, p);
            std::int64_t copies = 1;
            if (p < line.size() && line[p] == ',') {
                ++p;
                copies = std::max<std::int64_t>(Number(line, p), 1);
            }
            // Each set is a label; copies of a set repeat it.
            const std::int64_t n = std::clamp<std::int64_t>(sets, 1, kMaxCopies);
            seg.pages += n * Copies(copies) * defaultCopies;
            seg.documentPages += n;
            if (seg.documentPages > limits.maxPages) {
                return Damaged(seg, "too many labels", at);
            }
        } else if (line.size() >= 2 && line[0] == 'F' && (line[1] == 'S' || line[1] == 'R')) {
            return Uncountable(seg, "stored forms", at);
        }
    }
    seg.end = std::min(pos, data.size());
    seg.ok = true;
    return seg;
}

// EPL line mode -----------------------------------------------------------------------------

bool StartsEplLine(std::string_view data, std::size_t pos) {
    // Print rate, darkness and left margin (ESC S, D, M with digits), then ESC B.
    std::size_t p = pos;
    for (int n = 0; n < 4 && p + 1 < data.size() && data[p] == kEsc; ++n) {
        const char c = data[p + 1];
        if (c == 'B') {
            return n > 0 || (p + 2 < data.size() && data[p + 2] == kEsc && At(data, p + 3, "g"));
        }
        if (c != 'S' && c != 'D' && c != 'M') {
            return false;
        }
        p += 2;
        if (Number(data, p) < 0) {
            return false;
        }
    }
    return false;
}

Segment CountEplLine(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits) {
    Segment seg;
    seg.counter = "EPL line mode";
    Progress progress(start, limits);
    std::size_t pos = start;
    while (!AtEnd(data, pos)) {
        if (progress.TooLong(pos)) {
            return TooLong(seg);
        }
        const std::size_t at = pos;
        const auto byte = static_cast<unsigned char>(data[pos++]);
        if (byte == 0x0c) {
            if (!AddLabels(seg, defaultCopies, limits)) {
                return Damaged(seg, "too many labels", at);
            }
            continue;
        }
        if (byte != kEsc) {
            return Uncountable(seg, "a byte outside any command", at);
        }
        if (pos >= data.size()) {
            return Damaged(seg, "a command cut short", at);
        }
        const char c = data[pos++];
        if (c == 'g') {
            // ESC g and three digits: the bytes of the line that follow.
            if (data.size() - pos < 3) {
                return Damaged(seg, "a command cut short", at);
            }
            std::size_t p = pos;
            const std::int64_t bytes = Number(data.substr(0, pos + 3), p);
            if (bytes < 0 || p != pos + 3) {
                return Damaged(seg, "a line without its length", at);
            }
            if (static_cast<std::uint64_t>(bytes) > data.size() - p) {
                return Damaged(seg, "data cut short", at);
            }
            pos = p + static_cast<std::size_t>(bytes);
        } else if (c == 'S' || c == 'D' || c == 'M') {
            Number(data, pos);
        } else if (c != 'B' && c != 'E') {
            return Uncountable(seg, "an unknown command", at);
        }
    }
    seg.end = std::min(pos, data.size());
    seg.ok = true;
    return seg;
}

// CPCL --------------------------------------------------------------------------------------

bool StartsCpcl(std::string_view data, std::size_t pos) {
    // A label session, or a utility session (settings, which print nothing).
    return At(data, pos, "! U1 ") || At(data, pos, "! UTILITIES") ||
           (At(data, pos, "! ") && pos + 2 < data.size() &&
            std::isdigit(static_cast<unsigned char>(data[pos + 2])));
}

Segment CountCpcl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    seg.counter = "CPCL";
    Progress progress(start, limits);
    std::int64_t quantity = -1;  // inside a session: its quantity
    std::size_t pos = start;
    while (!AtEnd(data, pos)) {
        if (progress.TooLong(pos)) {
            return TooLong(seg);
        }
        const std::size_t at = pos;
        const std::string_view line = Line(data, pos);
        std::string word(line.substr(0, line.find(' ')));
        std::transform(word.begin(), word.end(), word.begin(), Upper);
        if (word == "!" && line.size() > 2 && line[2] != 'U') {
            // ! offset xdpi ydpi height quantity
            std::size_t p = 2;
            std::int64_t value = -1;
            for (int i = 0; i < 5; ++i) {
                while (p < line.size() && line[p] == ' ') {
                    ++p;
                }
                value = Number(line, p);
                if (value < 0) {
                    return Damaged(seg, "a session without its quantity", at);
                }
            }
            quantity = value;
        } else if (word == "!") {
            return Uncountable(seg, "utility sessions", at);
        } else if (word == "PRINT") {
            if (quantity < 0) {
                return Damaged(seg, "PRINT outside a session", at);
            }
            if (quantity > 0 && !AddLabels(seg, quantity * defaultCopies, limits)) {
                return Damaged(seg, "too many labels", at);
            }
            quantity = -1;
        } else if (word == "CG" || word == "COMPRESSED-GRAPHICS") {
            // CG bytes-wide height x y, then the binary lines on the same line.
            std::size_t p = word.size();
            std::int64_t values[4] = {-1, -1, -1, -1};
            for (auto& v : values) {
                while (p < line.size() && line[p] == ' ') {
                    ++p;
                }
                v = Number(line, p);
            }
            if (values[3] < 0 || p >= line.size() || line[p] != ' ') {
                return Damaged(seg, "graphics without their size", at);
            }
            const std::size_t dataAt = at + p + 1;
            const std::int64_t bytes = values[0] * values[1];
            if (static_cast<std::uint64_t>(bytes) > data.size() - dataAt) {
                return Damaged(seg, "data cut short", at);
            }
            pos = dataAt + static_cast<std::size_t>(bytes);
        } else if (word == "PCX" || word == "LOADPCX") {
            return Uncountable(seg, "PCX images", at);
        }
    }
    seg.end = std::min(pos, data.size());
    seg.ok = true;
    return seg;
}

// DYMO LabelWriter --------------------------------------------------------------------------

bool StartsDymo(std::string_view data, std::size_t pos) {
    // Escapes that clear a half-sent command, then a reset and a page setting.
    std::size_t p = pos;
    while (p < data.size() && static_cast<unsigned char>(data[p]) == kEsc) {
        ++p;
    }
    return p - pos >= 8 && At(data, p, "@\x1b") && p + 2 < data.size() &&
           std::string_view("LDBqcdefgh").find(data[p + 2]) != std::string_view::npos;
}

Segment CountDymo(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    seg.counter = "DYMO LabelWriter";
    Progress progress(start, limits);
    std::size_t lineBytes = 0;
    std::size_t pos = start;
    while (!AtEnd(data, pos)) {
        if (progress.TooLong(pos)) {
            return TooLong(seg);
        }
        const std::size_t at = pos;
        const auto byte = static_cast<unsigned char>(data[pos++]);
        if (byte == 0x16) {  // SYN: one line
            if (lineBytes > data.size() - pos) {
                return Damaged(seg, "data cut short", at);
            }
            pos += lineBytes;
            continue;
        }
        if (byte != kEsc) {
            return Uncountable(seg, "a byte outside any command", at);
        }
        if (pos >= data.size()) {
            break;
        }
        const char c = data[pos];
        std::size_t operands = 0;
        switch (c) {
            case kEsc:  // a lone escape
                continue;
            case '@':
            case '*':
            case 'A':
            case 'G':
            case 'h':
            case 'i':
            case 'c':
            case 'd':
            case 'e':
            case 'g':
                break;
            case 'E':  // form feed: the label is printed
                if (!AddLabels(seg, defaultCopies, limits)) {
                    return Damaged(seg, "too many labels", at);
                }
                break;
            case 'B':
            case 'q':
                operands = 1;
                break;
            case 'D':
                operands = 1;
                if (pos + 1 < data.size()) {
                    lineBytes = static_cast<unsigned char>(data[pos + 1]);
                }
                break;
            case 'L':
                operands = 2;
                break;
            case 'f':  // ESC f 1 n skips lines; ESC f alone is a darkness
                operands = pos + 1 < data.size() && data[pos + 1] == '\x01' ? 2 : 0;
                break;
            default:
                return Uncountable(seg, "an unknown command", at);
        }
        if (operands + 1 > data.size() - pos) {
            return Damaged(seg, "a command cut short", at);
        }
        pos += 1 + operands;
    }
    seg.end = std::min(pos, data.size());
    seg.ok = true;
    return seg;
}

// Brother P-touch and QL raster ---------------------------------------------------------

bool StartsPtouch(std::string_view data, std::size_t pos) {
    std::size_t p = pos;
    while (p < data.size() && data[p] == '\0') {
        ++p;
    }
    return At(data, p, "\x1b@\x1bi") && p + 4 < data.size() &&
           std::string_view("aAzMKdRSUk").find(data[p + 4]) != std::string_view::npos;
}

Segment CountPtouch(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                    const Limits& limits) {
    Segment seg;
    seg.counter = "Brother P-touch raster";
    Progress progress(start, limits);
    std::size_t pos = start;
    while (!AtEnd(data, pos)) {
        if (progress.TooLong(pos)) {
            return TooLong(seg);
        }
        const std::size_t at = pos;
        const auto byte = static_cast<unsigned char>(data[pos++]);
        std::size_t skip = 0;
        switch (byte) {
            case 0x00:  // invalidate
            case 'Z':   // a blank line
                break;
            case 0x0c:  // print, more pages follow
            case 0x1a:  // print and feed: the last page
                if (!AddLabels(seg, defaultCopies, limits)) {
                    return Damaged(seg, "too many pages", at);
                }
                break;
            case 'M':  // compression
                skip = 1;
                break;
            case 'G':  // a line: two length bytes, low first
            case 'g':  // QL: a zero byte, then one length byte
            {
                if (data.size() - pos < 2) {
                    return Damaged(seg, "a command cut short", at);
                }
                const auto b0 = static_cast<unsigned char>(data[pos]);
                const auto b1 = static_cast<unsigned char>(data[pos + 1]);
                skip = 2 + (byte == 'G' ? b0 + 256u * b1 : b1 + 256u * b0);
                break;
            }
            case 'w': {  // QL two colours: plane, length, data
                if (data.size() - pos < 2) {
                    return Damaged(seg, "a command cut short", at);
                }
                skip = 2 + static_cast<unsigned char>(data[pos + 1]);
                break;
            }
            case kEsc: {
                if (pos >= data.size()) {
                    return Damaged(seg, "a command cut short", at);
                }
                const char c = data[pos];
                if (c == '@') {
                    skip = 1;
                } else if (c == 'i' && pos + 1 < data.size()) {
                    // ESC i and a letter: its operands.
                    switch (data[pos + 1]) {
                        case 'S':
                            skip = 2;
                            break;
                        case 'a':
                        case 'A':
                        case 'M':
                        case 'K':
                        case 'R':
                        case 'k':
                            skip = 3;
                            break;
                        case 'd':
                            skip = 4;
                            break;
                        case 'z':
                            skip = 12;
                            break;
                        default:
                            return Uncountable(seg, "an unknown command", at);
                    }
                } else {
                    return Uncountable(seg, "an unknown command", at);
                }
                break;
            }
            default:
                return Uncountable(seg, "a byte outside any command", at);
        }
        if (skip > data.size() - pos) {
            return Damaged(seg, "data cut short", at);
        }
        pos += skip;
    }
    seg.end = std::min(pos, data.size());
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
