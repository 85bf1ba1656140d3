#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "pagecount/PageCount.h"

// Canon's LIPS page printers: a job is ESC % @ and a device control string (DCS "31;300;0J
// ..." ST) that opens it; DCS "0J" ST closes it. Commands are ISO 6429 control sequences (CSI,
// 0x9b or ESC [, parameters, intermediate bytes and a final byte). Raster images (CSI n;... .r)
// and downloaded characters (CSI n;... .p and .q) carry as many bytes as their first parameter
// says, form feeds among them. A page leaves at a form feed, or at a reset or the end of the
// job when there is text or an image on it; CSI n v sets the copies of each page.
//
// LIPS IV's vector mode (CSI 0 & }) has commands of printable bytes, each ended by IS2 (0x1e),
// whose numbers are written in bytes of 0x40-0x7f (six bits each) ended by one of 0x20-0x3f
// (four bits and the sign). An image's data (}Q and four numbers, the last its length) is
// followed by that many bytes; }p goes back to the text mode above, where the page leaves at
// its form feed. Any other byte in a vector command is something not read here: such a
// document is not counted.

namespace pagecount {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kFf = 0x0c;
constexpr unsigned char kCsi = 0x9b;
constexpr unsigned char kDcs = 0x90;
constexpr unsigned char kSt = 0x9c;
constexpr std::int64_t kMaxCopies = 32767;
constexpr std::size_t kMaxParameters = 256;
constexpr char kIs2 = 0x1e;

// The numbers of a vector mode command's parameters; false when the text is not made of them.
bool VectorNumbers(std::string_view text, std::vector<std::int64_t>& numbers) {
    std::int64_t n = 0;
    std::size_t digits = 0;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (++digits > 6) {
            return false;
        }
        if (c >= 0x40 && c <= 0x7f) {
            n = n << 6 | (c & 0x3f);
        } else if (c >= 0x20 && c <= 0x3f) {
            n = n << 4 | (c & 0x0f);
            numbers.push_back((c & 0x10) != 0 ? n : -n);
            n = 0;
            digits = 0;
            if (numbers.size() > 16) {
                return false;
            }
        } else {
            return false;
        }
    }
    return digits == 0;
}

bool At(std::string_view data, std::size_t pos, std::string_view what) {
    return pos <= data.size() && data.size() - pos >= what.size() &&
           data.compare(pos, what.size(), what) == 0;
}

std::int64_t FirstNumber(std::string_view text) {
    std::int64_t n = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        n = std::min<std::int64_t>(n * 10 + (c - '0'), 1'000'000'000'000);
    }
    return n;
}

// The device control string at pos (DCS or ESC P) up to its ST (0x9c or ESC \): where it ends,
// npos when it has none.
std::size_t SkipControlString(std::string_view data, std::size_t pos, std::string_view& body) {
    const std::size_t start = pos + (static_cast<unsigned char>(data[pos]) == kDcs ? 1 : 2);
    for (std::size_t p = start; p < data.size(); ++p) {
        const auto b = static_cast<unsigned char>(data[p]);
        if (b == kSt || (b == kEsc && At(data, p, "\x1b\\"))) {
            body = data.substr(start, p - start);
            return p + (b == kSt ? 1 : 2);
        }
    }
    return std::string_view::npos;
}

}  // namespace

bool StartsLips(std::string_view data, std::size_t start) {
    if (!At(data, start, "\x1b%@")) {
        return false;
    }
    const std::size_t pos = start + 3;
    return pos < data.size() &&
           (static_cast<unsigned char>(data[pos]) == kDcs || At(data, pos, "\x1bP"));
}

Segment CountLips(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits) {
    Segment seg;
    seg.counter = "LIPS";
    const std::int64_t jobCopies = std::clamp<std::int64_t>(defaultCopies, 1, kMaxCopies);
    std::int64_t copies = jobCopies;
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
            seg.error = "damaged LIPS (too many pages)";
            return seg;
        }
        const auto b = static_cast<unsigned char>(data[pos]);
        if (b == kFf) {
            eject();
            ++pos;
            continue;
        }
        const bool csi = b == kCsi || At(data, pos, "\x1b[");
        const bool dcs = b == kDcs || At(data, pos, "\x1bP");
        if (dcs) {
            std::string_view body;
            const std::size_t next = SkipControlString(data, pos, body);
            if (next == std::string_view::npos) {
                return fail("damaged LIPS (control string without end");
            }
            if (body == "0J") {  // the end of the job
                if (marked) {
                    eject();
                }
                copies = jobCopies;
            }
            pos = next;
            continue;
        }
        if (csi) {
            std::size_t p = pos + (b == kCsi ? 1 : 2);
            const std::size_t parametersStart = p;
            while (p < size && data[p] >= 0x30 && data[p] <= 0x3f &&
                   p - parametersStart < kMaxParameters) {
                ++p;
            }
            const std::string_view parameters = data.substr(parametersStart, p - parametersStart);
            const std::size_t intermediatesStart = p;
            while (p < size && data[p] >= 0x20 && data[p] <= 0x2f && p - intermediatesStart < 4) {
                ++p;
            }
            const std::string_view intermediates =
                data.substr(intermediatesStart, p - intermediatesStart);
            if (p >= size) {
                return fail("damaged LIPS (control sequence cut short");
            }
            const char final = data[p];
            if (final < 0x40 || final > 0x7e) {
                return fail("not LIPS (a control sequence it does not have");
            }
            pos = p + 1;
            if (intermediates == "&" && final == '}') {
                // LIPS IV's vector mode, up to }p.
                marked = true;
                for (bool vector = true; vector;) {
                    std::size_t end = pos;
                    while (end < size && data[end] != kIs2) {
                        const auto c = static_cast<unsigned char>(data[end]);
                        if (c < 0x20 || c > 0x7f) {
                            seg.error =
                                "LIPS cannot be counted: a vector mode command not read "
                                "here at byte " +
                                std::to_string(end);
                            return seg;
                        }
                        if (end >= nextClockCheck) {
                            nextClockCheck = end + (1u << 20);
                            if (std::chrono::steady_clock::now() > limits.deadline) {
                                seg.error = "counting took too long";
                                return seg;
                            }
                        }
                        ++end;
                    }
                    if (end >= size) {
                        return fail("damaged LIPS (vector mode cut short");
                    }
                    const std::string_view command = data.substr(pos, end - pos);
                    pos = end + 1;
                    if (command.substr(0, 2) == "}p") {
                        vector = false;
                    } else if (command.substr(0, 2) == "}Q") {
                        // Image data: two numbers, its compression and its length.
                        std::vector<std::int64_t> numbers;
                        if (!VectorNumbers(command.substr(2), numbers) || numbers.size() != 4) {
                            seg.error =
                                "LIPS cannot be counted: image data not read here at "
                                "byte " +
                                std::to_string(end - command.size());
                            return seg;
                        }
                        if (numbers[3] < 0 || static_cast<std::uint64_t>(numbers[3]) > size - pos) {
                            return fail("damaged LIPS (image data cut short");
                        }
                        pos += static_cast<std::size_t>(numbers[3]);
                    }
                }
                continue;
            }
            if (intermediates == "." && (final == 'r' || final == 'p' || final == 'q')) {
                // An image, a character set or a character and its bytes.
                const auto length = static_cast<std::uint64_t>(FirstNumber(parameters));
                if (length > size - pos) {
                    return fail("damaged LIPS (data cut short");
                }
                pos += static_cast<std::size_t>(length);
                marked = marked || (final == 'r' && length > 0);
            } else if (intermediates == "." && final == 'v') {
                // The next bytes print as characters, control codes too.
                const auto length = static_cast<std::uint64_t>(FirstNumber(parameters));
                if (length > size - pos) {
                    return fail("damaged LIPS (data cut short");
                }
                pos += static_cast<std::size_t>(length);
                marked = marked || length > 0;
            } else if (intermediates.empty() && final == 'v') {
                copies = std::clamp<std::int64_t>(FirstNumber(parameters), 1, kMaxCopies);
            }
            continue;
        }
        if (b == kEsc) {
            if (At(data, pos, kUel)) {
                break;  // back to PJL
            }
            if (At(data, pos, "\x1b%@")) {
                pos += 3;
                continue;
            }
            if (At(data, pos, "\x1b<") || At(data, pos,
                                             "\x1b"
                                             "c")) {  // soft and full reset
                if (marked) {
                    eject();
                }
                copies = jobCopies;
                pos += 2;
                continue;
            }
            if (At(data, pos, "\x1b\\")) {
                pos += 2;
                continue;
            }
            return fail("not LIPS (an escape sequence it does not have");
        }
        // Text marks the page; NUL, BS, HT, LF, VT, CR, SO, SI, IND, NEL and RI only move. The
        // other C0 codes but BEL print downloaded characters (lips4v sends them so).
        if (b == 0x07 ||
            (b >= 0x80 && b < 0xa0 && b != 0x84 && b != 0x85 && b != 0x8d && b != kSt)) {
            return fail("not LIPS (a code it does not have");
        }
        marked = marked || (b > 0x20 && b != 0x7f && (b < 0x80 || b >= 0xa0)) ||
                 (b > 0x00 && b < 0x20 && (b < 0x08 || b > 0x0f));
        ++pos;
    }
    if (marked) {
        eject();  // the end of the job prints what is on the page
    }
    if (tooMany) {
        seg.error = "damaged LIPS (too many pages)";
        return seg;
    }
    seg.end = std::min(pos, size);
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
