#include <algorithm>
#include <cctype>

#include "pagecount/PageCount.h"

// Epson's page printers take ESC/Page after EJL lines ("ESC SOH @EJL", then "@EJL SET ...
// QT=n CO=n" and "@EJL EN LA=ESC/PAGE"). An ESC/Page command is GS, decimal parameters parted
// by ';', a lower-case name and an upper-case class letter ("GS 0;300;300drE"); a name with '{'
// carries as many bytes as its first parameter says (raster images, downloaded characters),
// and those bytes hold every value. A page leaves at a form feed, or at a hard reset
// (GS rhE) or the end of the job when an image or text is on it. GS n coO sets the copies of
// each page from then on; EJL's CO does the same for the job and QT prints the whole job again.

namespace pagecount {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kGs = 0x1d;
constexpr unsigned char kFf = 0x0c;
constexpr std::int64_t kMaxCopies = 32767;
// Longer parameters than any command has: the data is damaged.
constexpr std::size_t kMaxParameters = 256;
// Sends a printer that may be in another mode to ESC/Page (ESC z 0 0 last).
constexpr std::string_view kModeSwitch("\x1bS\x1b\x1bS\x1c\x1bz\0\0", 10);

bool At(std::string_view data, std::size_t pos, std::string_view what) {
    return pos <= data.size() && data.size() - pos >= what.size() &&
           data.compare(pos, what.size(), what) == 0;
}

bool IsParameterByte(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == ';' || c == '.' || c == '-' ||
           c == '+';
}

std::int64_t Number(std::string_view text) {
    std::int64_t n = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        n = std::min<std::int64_t>(n * 10 + (c - '0'), 1'000'000'000'000);
    }
    return n;
}

struct EjlSettings {
    std::int64_t copies = 1;    // CO
    std::int64_t quantity = 1;  // QT
    bool escPage = false;       // a line named ESC/Page as the language
};

// Reads the EJL lines at pos (after ESC SOH); returns where they end, npos when a line has no
// end.
std::size_t ReadEjl(std::string_view data, std::size_t pos, EjlSettings& settings) {
    while (At(data, pos, "\x1b\x01@EJL")) {
        pos += 2;
        while (At(data, pos, "@EJL")) {
            const std::size_t lf = data.find('\n', pos);
            if (lf == std::string_view::npos) {
                return lf;
            }
            std::string_view line = data.substr(pos, lf - pos);
            pos = lf + 1;
            // Words parted by blanks; "KEY=value" sets.
            while (!line.empty()) {
                const std::size_t blank = std::min(line.find_first_of(" \t\r"), line.size());
                const std::string_view word = line.substr(0, blank);
                line.remove_prefix(std::min(blank + 1, line.size()));
                const auto value = [&](std::string_view key) {
                    return Number(word.substr(key.size()));
                };
                if (word.rfind("QT=", 0) == 0) {
                    settings.quantity = std::clamp<std::int64_t>(value("QT="), 1, kMaxCopies);
                } else if (word.rfind("CO=", 0) == 0) {
                    settings.copies = std::clamp<std::int64_t>(value("CO="), 1, kMaxCopies);
                } else if (word.rfind("LA=ESC/PAGE", 0) == 0 ||
                           word.rfind("LANGUAGE=ESC/PAGE", 0) == 0) {
                    settings.escPage = true;
                }
            }
        }
    }
    return pos;
}

}  // namespace

bool StartsEscPage(std::string_view data, std::size_t start) {
    EjlSettings settings;
    const std::size_t pos = ReadEjl(data, start, settings);
    if (pos == std::string_view::npos) {
        return false;
    }
    return settings.escPage || At(data, pos, kModeSwitch) || At(data, pos, "\x1drhE");
}

Segment CountEscPage(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits) {
    Segment seg;
    seg.counter = "ESC/Page";
    EjlSettings ejl;
    ejl.copies = std::clamp<std::int64_t>(defaultCopies, 1, kMaxCopies);
    std::int64_t copies = ejl.copies;  // GS n coO, or EJL's CO until one comes
    bool pageCopies = false;           // a coO command set them
    bool marked = false;
    bool tooMany = false;
    const auto eject = [&] {
        seg.pages += copies * ejl.quantity;
        ++seg.documentPages;
        marked = false;
        tooMany = tooMany || seg.documentPages > limits.maxPages;
    };
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
        if (tooMany) {
            seg.error = "damaged ESC/Page (too many pages)";
            return seg;
        }
        const auto b = static_cast<unsigned char>(data[pos]);
        if (b == kFf) {
            eject();
            ++pos;
            continue;
        }
        if (b == kEsc) {
            if (At(data, pos, kUel)) {
                break;  // back to PJL
            }
            if (At(data, pos, "\x1b\x01@EJL")) {
                const std::size_t next = ReadEjl(data, pos, ejl);
                if (next == std::string_view::npos) {
                    return fail("damaged ESC/Page (EJL line without end");
                }
                if (!pageCopies) {
                    copies = ejl.copies;
                }
                pos = next;
                continue;
            }
            if (At(data, pos, kModeSwitch)) {
                pos += kModeSwitch.size();
                continue;
            }
            return fail("not ESC/Page (an escape sequence it does not have");
        }
        if (b != kGs) {
            // Text marks the page; NUL, BS, CR and LF only move.
            if (b < 0x20 && b != 0x00 && b != 0x08 && b != '\r' && b != '\n') {
                return fail("not ESC/Page (a code it does not have");
            }
            marked = marked || b > 0x20;
            ++pos;
            continue;
        }
        // GS parameters name class
        const std::size_t command = pos;
        std::size_t p = pos + 1;
        while (p < size && IsParameterByte(data[p]) && p - command <= kMaxParameters) {
            ++p;
        }
        const std::string_view parameters = data.substr(command + 1, p - command - 1);
        const std::size_t nameStart = p;
        while (p < size && ((data[p] >= 'a' && data[p] <= 'z') || data[p] == '{') &&
               p - nameStart <= 16) {
            ++p;
        }
        if (p >= size) {
            return fail("damaged ESC/Page (command cut short");
        }
        const char cls = data[p];
        if (cls < 'A' || cls > 'Z') {
            return fail("not ESC/Page (a command it does not have");
        }
        const std::string_view name = data.substr(nameStart, p - nameStart);
        pos = p + 1;
        if (name.find('{') != std::string_view::npos) {
            const auto length = static_cast<std::uint64_t>(Number(parameters));
            if (length > size - pos) {
                return fail("damaged ESC/Page (data cut short");
            }
            pos += static_cast<std::size_t>(length);
            marked = marked || (cls == 'I' && length > 0);  // an image
        } else if (name == "rh" && cls == 'E') {            // hard reset
            if (marked) {
                eject();
            }
            copies = ejl.copies;
            pageCopies = false;
        } else if (name == "co" && cls == 'O') {
            copies = std::clamp<std::int64_t>(Number(parameters), 1, kMaxCopies);
            pageCopies = true;
        }
    }
    if (marked) {
        eject();  // the end of the job prints what is on the page
    }
    if (tooMany) {
        seg.error = "damaged ESC/Page (too many pages)";
        return seg;
    }
    seg.end = std::min(pos, size);
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
