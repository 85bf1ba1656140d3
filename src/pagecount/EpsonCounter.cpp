#include <algorithm>

#include "pagecount/PageCount.h"

// Epson's inkjet and dot matrix printers take ESC/P (9 and 24 pins) and ESC/P2, its raster
// superset; ESC/P-R is a command set of its own that the same printers enter from ESC/P2.
//
// ESC/P: a page leaves the printer at a form feed. Text and control codes travel as they are,
// and raster data inside commands that say how much follows (ESC *, ESC K, ESC ., ESC i,
// ESC ( x nL nH...): their bytes hold form feeds and escapes too, so every command is walked
// with its own length, and a run-length compressed band is decoded far enough to know where it
// ends. Marks after the last form feed still come out on a page. Newer printers get an EJL line
// ("ESC SOH @EJL 1284.4") that takes them out of packet mode, and "remote mode" blocks between
// ESC ( R ... REMOTE1 and ESC NUL NUL NUL that set up the job.
//
// ESC/P-R starts with ESC ( R ... ESCPR: from there every command is ESC, a class letter, a
// 32-bit length, a four letter name and its data, until ESC @. A page ends with "endp"; a
// "setc" command asks the printer for copies of the job.
//
// Ghostscript's escp device sends two PCL resets of raster mode first ("ESC *rbC ESC *t360R")
// and then ESC/P with the Japanese ESC | J (feed) and ESC | B (a band of rows) commands.
//
// IBM Proprinter (and the Okidata and other printers that emulate it) shares the graphics
// commands and the form feed with ESC/P, but some commands take other parameters: ESC \ and
// ESC ^ print characters that follow them, ESC X takes two, ESC 5 and ESC P one, ESC R, ESC j
// and ESC : none. Drivers start it with DC1 (select the printer) or CAN (clear the buffer).

namespace pagecount {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kFf = 0x0c;
constexpr std::int64_t kMaxCopies = 32767;
// How far into the data detection looks for the ESC/P-R switch past remote mode set-up.
constexpr std::size_t kDetectWindow = 64 * 1024;

unsigned Byte(std::string_view data, std::size_t pos) {
    return static_cast<unsigned char>(data[pos]);
}

bool At(std::string_view data, std::size_t pos, std::string_view what) {
    return pos <= data.size() && data.size() - pos >= what.size() &&
           data.compare(pos, what.size(), what) == 0;
}

std::size_t Le16(std::string_view data, std::size_t pos) {
    return Byte(data, pos) | Byte(data, pos + 1) << 8;
}

// Past the EJL lines at pos ("ESC SOH @EJL ..." and following "@EJL" lines, each to its line
// feed); pos itself when there are none, npos when a line has no end.
std::size_t SkipEjl(std::string_view data, std::size_t pos) {
    while (At(data, pos, "\x1b\x01@EJL")) {
        pos += 2;
        while (At(data, pos, "@EJL")) {
            const std::size_t lf = data.find('\n', pos);
            if (lf == std::string_view::npos) {
                return std::string_view::npos;
            }
            pos = lf + 1;
        }
    }
    return pos;
}

std::size_t SkipNuls(std::string_view data, std::size_t pos) {
    while (pos < data.size() && data[pos] == '\0') {
        ++pos;
    }
    return pos;
}

// Where remote mode that starts at pos (ESC ( R nL nH NUL REMOTE1) ends: after ESC NUL NUL NUL.
// Each remote command is two letters, a 16-bit length and its data. npos when cut short.
std::size_t SkipRemoteMode(std::string_view data, std::size_t pos) {
    pos += 5 + Le16(data, pos + 3);
    while (data.size() - std::min(pos, data.size()) >= 4) {
        if (At(data, pos, std::string_view("\x1b\0\0\0", 4))) {
            return pos + 4;
        }
        pos += 4 + Le16(data, pos + 2);
    }
    return std::string_view::npos;
}

bool AtSwitch(std::string_view data, std::size_t pos, std::string_view name) {
    if (!At(data, pos, "\x1b(R") || data.size() - pos < 5) {
        return false;
    }
    const std::size_t length = Le16(data, pos + 3);
    return length == name.size() + 1 && data.size() - pos - 5 >= length && data[pos + 5] == '\0' &&
           data.compare(pos + 6, name.size(), name) == 0;
}

// The bytes a run-length compressed band at pos takes to unpack to `unpacked` bytes: a count
// byte below 128 is followed by count + 1 bytes as they are, one above by a byte repeated
// 257 - count times. npos when the data ends first or a run overshoots the band.
std::size_t PackedLength(std::string_view data, std::size_t pos, std::uint64_t unpacked) {
    const std::size_t start = pos;
    std::uint64_t made = 0;
    while (made < unpacked) {
        if (pos >= data.size()) {
            return std::string_view::npos;
        }
        const unsigned count = Byte(data, pos++);
        const std::size_t literal = count < 128 ? count + 1 : 1;
        if (data.size() - pos < literal) {
            return std::string_view::npos;
        }
        pos += literal;
        made += count < 128 ? count + 1 : 257 - count;
    }
    return made == unpacked ? pos - start : std::string_view::npos;
}

// Bytes of ESC * graphics per column for each density m.
int BytesPerColumn(unsigned m) {
    if (m <= 7) {
        return 1;  // 8 dots
    }
    if (m == 32 || m == 33 || m == 38 || m == 39 || m == 40) {
        return 3;  // 24 dots
    }
    if (m >= 71 && m <= 73) {
        return 6;  // 48 dots
    }
    return 0;
}

// Parameter bytes of the ESC commands that take a fixed number; -1 for the ones handled on
// their own, -2 for the ones ESC/P does not have.
int FixedParameters(unsigned c) {
    switch (c) {
        case 0x19:  // cut sheet feeder
        case 0x0e:  // double width
        case 0x0f:  // condensed
        case '#':
        case '0':
        case '1':
        case '2':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
        case '<':
        case '=':
        case '>':
        case '@':
        case 'E':
        case 'F':
        case 'G':
        case 'H':
        case 'M':
        case 'O':
        case 'P':
        case 'T':
        case 'g':
            return 0;
        case ' ':
        case '!':
        case '%':
        case '+':
        case '-':
        case '/':
        case '3':
        case 'A':
        case 'I':
        case 'J':
        case 'N':
        case 'Q':
        case 'R':
        case 'S':
        case 'U':
        case 'W':
        case 'a':
        case 'h':
        case 'j':
        case 'k':
        case 'l':
        case 'm':
        case 'p':
        case 'q':
        case 'r':
        case 's':
        case 't':
        case 'w':
        case 'x':
            return 1;
        case '$':
        case '\\':
        case '?':
        case 'c':
        case 'e':
        case 'f':
            return 2;
        case ':':
        case 'X':
            return 3;
        case '(':
        case '*':
        case '.':
        case 'i':
        case 'K':
        case 'L':
        case 'Y':
        case 'Z':
        case '^':
        case 'C':
        case 'B':
        case 'D':
        case 'b':
        case 0x01:
        case '|':
            return -1;
        default:
            return -2;
    }
}

// The same for IBM Proprinter: -1 for those handled on their own.
int IbmParameters(unsigned c) {
    switch (c) {
        case '0':
        case '1':
        case '2':
        case '4':
        case '6':
        case '7':
        case '8':
        case '9':
        case ':':
        case 'E':
        case 'F':
        case 'G':
        case 'H':
        case 'O':
        case 'R':
        case 'T':
        case 'j':
            return 0;
        case '-':
        case '3':
        case '5':
        case 'A':
        case 'I':
        case 'J':
        case 'N':
        case 'P':
        case 'S':
        case 'U':
        case 'W':
        case '_':
            return 1;
        case 'X':
            return 2;
        case '*':
        case 'K':
        case 'L':
        case 'Y':
        case 'Z':
        case 'C':
        case 'B':
        case 'D':
        case '\\':
        case '^':
            return -1;
        default:
            return -2;
    }
}

// Past Ghostscript's escp device's PCL raster resets: ESC *rbC, ESC *t<dpi>R.
std::size_t SkipPclResets(std::string_view data, std::size_t pos) {
    if (!At(data, pos, "\x1b*rbC\x1b*t")) {
        return pos;
    }
    std::size_t end = pos + 9;
    while (end < data.size() && end - pos < 14 && data[end] >= '0' && data[end] <= '9') {
        ++end;
    }
    return end > pos + 9 && At(data, end, "R") ? end + 1 : pos;
}

class EpsonWalker {
  public:
    EpsonWalker(std::string_view data, std::size_t start, std::int64_t copies, const Limits& limits,
                bool ibm = false)
        : m_data(data), m_pos(start), m_copies(copies), m_limits(limits), m_ibm(ibm) {}

    Segment Run() {
        m_seg.counter = "ESC/P";
        std::size_t nextClockCheck = m_pos + (1u << 20);
        while (m_pos < m_data.size() && m_seg.error.empty()) {
            if (m_pos >= nextClockCheck) {
                nextClockCheck = m_pos + (1u << 20);
                if (std::chrono::steady_clock::now() > m_limits.deadline) {
                    m_seg.error = "counting took too long";
                    return m_seg;
                }
            }
            if (At(m_data, m_pos, kUel)) {
                break;  // back to PJL
            }
            if (m_escpr) {
                EscprCommand();
            } else {
                EscpByte();
            }
        }
        if (!m_seg.error.empty()) {
            return m_seg;
        }
        if (m_marked) {
            Eject();  // the end of the job prints what is on the page
        }
        if (m_seg.documentPages > m_limits.maxPages) {
            return Fail("damaged " + Name() + " (too many pages)");
        }
        m_seg.pages = m_seg.documentPages * m_copies;
        m_seg.end = std::min(m_pos, m_data.size());
        m_seg.counter = Name();
        m_seg.ok = true;
        return m_seg;
    }

  private:
    std::string Name() const { return m_ibm ? "IBM Proprinter" : m_sawEscpr ? "ESC/P-R" : "ESC/P"; }

    Segment& Fail(const std::string& error) {
        m_seg.error = error;
        return m_seg;
    }

    void Damaged(const char* what) {
        Fail("damaged " + Name() + " (" + what + " at byte " + std::to_string(m_pos) + ")");
    }

    void Eject() {
        ++m_seg.documentPages;
        m_marked = false;
        if (m_seg.documentPages > m_limits.maxPages) {
            Fail("damaged " + Name() + " (too many pages)");
        }
    }

    std::size_t Left() const { return m_data.size() - m_pos; }

    // Skips `n` bytes of data that follow a command; false (damaged) when they are not there.
    bool SkipData(std::uint64_t n) {
        if (n > Left()) {
            Damaged("data cut short");
            return false;
        }
        m_pos += static_cast<std::size_t>(n);
        return true;
    }

    void EscpByte() {
        const unsigned b = Byte(m_data, m_pos);
        if (b == kFf) {
            ++m_pos;
            Eject();
            return;
        }
        if (b == kEsc) {
            EscCommand();
            return;
        }
        if (b == 0x1c) {
            FsCommand();
            return;
        }
        // NUL, BEL, BS, HT, LF, VT, CR, SO, SI, DC1 to DC4, CAN and DEL only move or select.
        constexpr std::uint32_t kControls = 1u << 0x00 | 1u << 0x07 | 1u << 0x08 | 1u << 0x09 |
                                            1u << 0x0a | 1u << 0x0b | 1u << 0x0d | 1u << 0x0e |
                                            1u << 0x0f | 1u << 0x11 | 1u << 0x12 | 1u << 0x13 |
                                            1u << 0x14 | 1u << 0x18;
        if (b < 0x20 && (kControls >> b & 1) == 0) {
            NotEscp();
            return;
        }
        m_marked = m_marked || (b > 0x20 && b != 0x7f);
        ++m_pos;
    }

    void NotEscp() {
        Fail("not " + Name() + " (a code ESC/P does not have at byte " + std::to_string(m_pos) +
             ")");
    }

    // The NEC and Kanji FS commands the 24-pin drivers send.
    void FsCommand() {
        if (Left() < 2) {
            return Damaged("command cut short");
        }
        const unsigned c = Byte(m_data, m_pos + 1);
        std::size_t parameters = 0;
        if (c == '&' || c == '.') {
            parameters = 0;
        } else if (c == '!' || c == '-' || c == '3' || c == 'W' || c == 'k' || c == 'r' ||
                   c == 'x') {
            parameters = 1;
        } else if (c == 'S' || c == 'T') {
            parameters = 2;
        } else {
            return NotEscp();
        }
        if (Left() < 2 + parameters) {
            return Damaged("command cut short");
        }
        m_pos += 2 + parameters;
    }

    void EscCommand() {
        if (Left() < 2) {
            return Damaged("command cut short");
        }
        const unsigned c = Byte(m_data, m_pos + 1);
        const int fixed = m_ibm ? IbmParameters(c) : FixedParameters(c);
        if (fixed == -2) {
            return NotEscp();
        }
        if (fixed >= 0) {
            if (Left() < 2 + static_cast<std::size_t>(fixed)) {
                return Damaged("command cut short");
            }
            if (c == '@') {
                m_graphics = false;
            }
            m_pos += 2 + static_cast<std::size_t>(fixed);
            return;
        }
        switch (c) {
            case 0x01:
                return Ejl();
            case '(':
                return ExtendedCommand();
            case '*':
                // Ghostscript's escp device starts each page with PCL's raster resets.
                if (const std::size_t next = SkipPclResets(m_data, m_pos); next != m_pos) {
                    m_pos = next;
                    return;
                }
                return BitImage();
            case '.':
                return Raster();
            case 'i':
                return m_graphics ? RasterWithColour() : Simple(1);
            case 'K':
            case 'L':
            case 'Y':
            case 'Z':
                return Columns(2, 1);
            case '^':  // IBM: one character from the all-characters set
                return m_ibm ? Simple(1) : Columns(3, 2);
            case 'C':  // page length in lines, or in inches after a NUL
                return Simple(Left() >= 3 && m_data[m_pos + 2] == '\0' ? 2 : 1);
            case 'B':
            case 'D':
                return TabList(2);
            case 'b':
                return TabList(3);
            case '|':
                return JapaneseCommand();
            case '\\':
                return Columns(2, 1);  // IBM: characters from the all-characters set
            default:
                return NotEscp();
        }
    }

    void Simple(std::size_t parameters) {
        if (Left() < 2 + parameters) {
            return Damaged("command cut short");
        }
        m_pos += 2 + parameters;
    }

    // ESC | J n1 n2: feed; ESC | B r nL nH: a band of r rows of n bytes.
    void JapaneseCommand() {
        if (Left() < 5) {
            return Damaged("command cut short");
        }
        const unsigned c = Byte(m_data, m_pos + 2);
        if (c == 'J') {
            m_pos += 5;
        } else if (c == 'B') {
            Columns(4, 1);
        } else {
            NotEscp();
        }
    }

    // Tab stops: up to 32 bytes ended by NUL.
    void TabList(std::size_t header) {
        for (std::size_t i = header; i < header + 33 && m_pos + i < m_data.size(); ++i) {
            if (m_data[m_pos + i] == '\0') {
                m_pos += i + 1;
                return;
            }
        }
        Damaged("tab stops without end");
    }

    void Ejl() {
        const std::size_t next = SkipEjl(m_data, m_pos);
        if (next == m_pos) {
            return NotEscp();
        }
        if (next == std::string_view::npos) {
            return Damaged("EJL line without end");
        }
        m_pos = next;
    }

    // ESC ( c nL nH and nL + 256 nH bytes.
    void ExtendedCommand() {
        if (Left() < 5) {
            return Damaged("command cut short");
        }
        const unsigned c = Byte(m_data, m_pos + 2);
        if (c == 'R' && AtSwitch(m_data, m_pos, "REMOTE1")) {
            const std::size_t next = SkipRemoteMode(m_data, m_pos);
            if (next == std::string_view::npos) {
                return Damaged("remote mode without end");
            }
            m_pos = next;
            return;
        }
        if (c == 'R' && (AtSwitch(m_data, m_pos, "ESCPR") || AtSwitch(m_data, m_pos, "ESCPRJ"))) {
            m_escpr = true;
            m_sawEscpr = true;
        }
        if (c == 'G') {
            m_graphics = true;
        }
        const std::size_t length = Le16(m_data, m_pos + 3);
        m_pos += 5;
        SkipData(length);
    }

    // ESC * m nL nH: columns of 8, 24 or 48 dots.
    void BitImage() {
        if (Left() < 5) {
            return Damaged("command cut short");
        }
        const int perColumn = BytesPerColumn(Byte(m_data, m_pos + 2));
        if (perColumn == 0) {
            return NotEscp();
        }
        const std::uint64_t columns = Le16(m_data, m_pos + 3);
        m_pos += 5;
        m_marked = m_marked || columns > 0;
        SkipData(columns * static_cast<std::uint64_t>(perColumn));
    }

    // ESC K nL nH and the like: `perColumn` bytes for each of n columns after `header` bytes.
    void Columns(std::size_t header, int perColumn) {
        if (Left() < header + 2) {
            return Damaged("command cut short");
        }
        const std::uint64_t columns = Le16(m_data, m_pos + header);
        m_pos += header + 2;
        m_marked = m_marked || columns > 0;
        SkipData(columns * static_cast<std::uint64_t>(perColumn));
    }

    // The data of a band of `bytes` bytes, as it is or run-length compressed.
    void Band(unsigned compression, std::uint64_t bytes) {
        m_marked = m_marked || bytes > 0;
        if (compression == 0) {
            SkipData(bytes);
            return;
        }
        if (compression != 1) {
            Fail(Name() + " cannot be counted: raster compression " + std::to_string(compression) +
                 " at byte " + std::to_string(m_pos));
            return;
        }
        const std::size_t packed = PackedLength(m_data, m_pos, bytes);
        if (packed == std::string_view::npos) {
            return Damaged("compressed raster data cut short or overlong");
        }
        m_pos += packed;
    }

    // ESC . c v h m nL nH: m rows of n dots, one bit each.
    void Raster() {
        if (Left() < 8) {
            return Damaged("command cut short");
        }
        const unsigned compression = Byte(m_data, m_pos + 2);
        const std::uint64_t rows = Byte(m_data, m_pos + 5);
        const std::uint64_t dots = Le16(m_data, m_pos + 6);
        m_pos += 8;
        Band(compression, rows * ((dots + 7) / 8));
    }

    // ESC i r c b nL nH mL mH: m rows of n bytes in colour r.
    void RasterWithColour() {
        if (Left() < 9) {
            return Damaged("command cut short");
        }
        const unsigned compression = Byte(m_data, m_pos + 3);
        const std::uint64_t bytes = Le16(m_data, m_pos + 5);
        const std::uint64_t rows = Le16(m_data, m_pos + 7);
        m_pos += 9;
        Band(compression, rows * bytes);
    }

    void EscprCommand() {
        if (Left() < 2 || Byte(m_data, m_pos) != kEsc) {
            return Damaged("not an ESC/P-R command");
        }
        if (m_data[m_pos + 1] == '@') {  // back to ESC/P
            m_escpr = false;
            m_pos += 2;
            return;
        }
        if (Left() < 10) {
            return Damaged("command cut short");
        }
        const char cls = m_data[m_pos + 1];
        const std::uint64_t length = Byte(m_data, m_pos + 2) | Byte(m_data, m_pos + 3) << 8 |
                                     Byte(m_data, m_pos + 4) << 16 |
                                     std::uint64_t{Byte(m_data, m_pos + 5)} << 24;
        const std::string_view name = m_data.substr(m_pos + 6, 4);
        m_pos += 10;
        if (length > Left()) {
            return Damaged("data cut short");
        }
        if (name == "endp") {
            Eject();
        } else if (name == "dsnd") {
            m_marked = true;
        } else if (cls == 'c' && name == "setc") {
            // The printer makes the copies; only one of each page is asked for here.
            const unsigned copies = length > 0 ? Byte(m_data, m_pos) : 0;
            if (length != 1 || copies > 1) {
                return (void)Fail(
                    "ESC/P-R cannot be counted: the printer is asked to make copies itself");
            }
        }
        m_pos += static_cast<std::size_t>(length);
    }

    std::string_view m_data;
    std::size_t m_pos;
    std::int64_t m_copies;
    const Limits& m_limits;
    Segment m_seg;
    bool m_marked = false;
    bool m_graphics = false;  // ESC ( G: ESC i is raster data
    bool m_escpr = false;
    bool m_sawEscpr = false;
    bool m_ibm;
};

// Past the EJL preamble and the NULs around it.
std::size_t SkipPreamble(std::string_view data, std::size_t pos) {
    pos = SkipPclResets(data, SkipNuls(data, pos));
    const std::size_t next = SkipEjl(data, pos);
    return next == std::string_view::npos ? data.size() : SkipNuls(data, next);
}

}  // namespace

bool StartsEscP(std::string_view data, std::size_t start) {
    const std::size_t pos = SkipPreamble(data, start);
    if (pos != start && SkipPclResets(data, SkipNuls(data, start)) != SkipNuls(data, start)) {
        // Ghostscript's escp device: a feed, a band or the end of the page follows.
        return At(data, pos, "\x1b|J") || At(data, pos, "\x1b|B") || At(data, pos, "\x1bJ") ||
               At(data, pos, "\r") || At(data, pos, "\f") || At(data, pos, "\x1b@");
    }
    if (!At(data, pos, "\x1b@")) {
        return false;
    }
    // What follows the reset must be ESC/P too: a command, a control code or text.
    if (pos + 2 >= data.size()) {
        return true;
    }
    const unsigned next = Byte(data, pos + 2);
    return next == kEsc || next == '\r' || next == '\n' || next == kFf || next == 0x11 ||
           next == 0x12 || next == 0x1c || next >= 0x20;
}

bool StartsEscPr(std::string_view data, std::size_t start) {
    std::size_t pos = SkipPreamble(data, start);
    const std::size_t end = std::min(data.size(), pos + kDetectWindow);
    while (pos < end) {
        if (At(data, pos, "\x1b@")) {
            pos += 2;
        } else if (AtSwitch(data, pos, "REMOTE1")) {
            pos = SkipRemoteMode(data, pos);
        } else {
            return AtSwitch(data, pos, "ESCPR") || AtSwitch(data, pos, "ESCPRJ");
        }
    }
    return false;
}

Segment CountEscP(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    return EpsonWalker(data, SkipPclResets(data, SkipNuls(data, start)),
                       std::clamp<std::int64_t>(defaultCopies, 1, kMaxCopies), limits)
        .Run();
}

bool StartsIbmProprinter(std::string_view data, std::size_t start) {
    if (data.size() - start < 3 || (data[start] != '\x11' && data[start] != '\x18') ||
        Byte(data, start + 1) != kEsc) {
        return false;
    }
    const unsigned c = Byte(data, start + 2);
    return IbmParameters(c) != -2;
}

Segment CountIbmProprinter(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                           const Limits& limits) {
    return EpsonWalker(data, start, std::clamp<std::int64_t>(defaultCopies, 1, kMaxCopies), limits,
                       true)
        .Run();
}

}  // namespace pagecount
