#include <algorithm>

#include "pagecount/PageCount.h"

// The raster formats of driverless printing and of CUPS: each page is a header that gives its
// size in lines and bytes per line, then its pixels. Nothing tells where a page's data ends, so
// compressed pages are decoded (without keeping the pixels) to find the next header.
//
// CUPS raster starts with a sync word that tells its byte order and version: "RaS2" (or "2SaR"
// when little-endian) is compressed, "RaS3" and "RaSt" are not. PWG raster is "RaS2" whose page
// headers name the class "PwgRaster", always big-endian. Each page header has NumCopies: the
// copies of that page to print, 0 for the job's default. Drivers that make the copies
// themselves repeat the pages and leave it at 1.
//
// Apple's URF is "UNIRAST\0", a page count that nobody keeps to, then per page a 32-byte
// header and data compressed like CUPS raster. It carries no copies: the job ticket has them.
//
// The compression: each group of identical lines starts with a byte, the lines it stands for
// less one; the line follows as runs of pixels: 0..127 repeats the next pixel that many times
// plus one, 129..255 copies 257 less that many pixels, 128 fills the rest of the line.

namespace pagecount {

namespace {

constexpr std::int64_t kMaxCopies = 32767;
constexpr std::size_t kCupsHeader = 1796;
constexpr std::size_t kCupsHeaderV1 = 420;
constexpr std::size_t kAppleHeader = 32;
constexpr std::uint32_t kMaxDimension = 0x00ffffff;
constexpr std::uint32_t kMaxBytesPerLine = 16u << 20;

std::uint32_t Read32(std::string_view data, std::size_t pos, bool bigEndian) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const auto b = static_cast<std::uint32_t>(static_cast<unsigned char>(data[pos + i]));
        value = bigEndian ? (value << 8) | b : value | (b << (8 * i));
    }
    return value;
}

// Colours of a CUPS colour space, 0 for one CUPS does not know.
std::uint32_t ColorsOf(std::uint32_t space, std::uint32_t bitsPerPixel) {
    switch (space) {
        case 0:   // W
        case 3:   // K
        case 12:  // white, gold, silver
        case 13:
        case 14:
        case 18:  // sGray
            return 1;
        case 1:   // RGB
        case 4:   // CMY
        case 5:   // YMC
        case 15:  // CIE XYZ
        case 16:  // CIE Lab
        case 19:  // sRGB
        case 20:  // Adobe RGB
            return 3;
        case 2:   // RGBA
        case 6:   // CMYK
        case 7:   // YMCK
        case 8:   // KCMY
        case 10:  // GMCK
        case 11:  // GMCS
        case 17:  // RGBW
            return 4;
        case 9:  // KCMYcm
            return bitsPerPixel < 8 ? 6 : 4;
        default:
            if (space >= 32 && space <= 46) {
                return 3;  // ICC1..ICCF
            }
            if (space >= 48 && space <= 62) {
                return space - 47;  // DEVICE1..DEVICEF
            }
            return 0;
    }
}

// What a page's data looks like.
struct Page {
    std::uint64_t rows = 0;          // lines of data, planes counted apart
    std::uint32_t bytesPerLine = 0;  // after decompression
    std::uint32_t unit = 1;          // bytes a run repeats or copies at a time
};

class Walker {
  public:
    Walker(std::string_view data, std::size_t pos, const Limits& limits)
        : m_data(data), m_pos(pos), m_limits(limits), m_nextClockCheck(pos + (1u << 20)) {}

    std::size_t Pos() const { return m_pos; }
    std::size_t Left() const { return m_data.size() - m_pos; }
    void Skip(std::size_t n) { m_pos += n; }

    // Past a page's data; an error when it is cut short or counting took too long.
    std::string SkipPage(const Page& page, bool compressed) {
        if (!compressed) {
            const std::uint64_t bytes = page.rows * page.bytesPerLine;
            if (bytes > Left()) {
                return "data cut short";
            }
            m_pos += static_cast<std::size_t>(bytes);
            return {};
        }
        std::uint64_t rows = page.rows;
        while (rows > 0) {
            if (m_pos >= m_nextClockCheck) {
                m_nextClockCheck = m_pos + (1u << 20);
                if (std::chrono::steady_clock::now() > m_limits.deadline) {
                    return "counting took too long";
                }
            }
            if (Left() < 1) {
                return "data cut short";
            }
            const std::uint64_t lines = static_cast<unsigned char>(m_data[m_pos++]) + 1u;
            std::uint64_t bytes = page.bytesPerLine;
            while (bytes > 0) {
                if (Left() < 1) {
                    return "data cut short";
                }
                const unsigned run = static_cast<unsigned char>(m_data[m_pos++]);
                if (run == 128) {
                    break;
                }
                if (run > 128) {
                    const std::uint64_t n =
                        std::min<std::uint64_t>((257u - run) * page.unit, bytes);
                    if (n > Left()) {
                        return "data cut short";
                    }
                    m_pos += static_cast<std::size_t>(n);
                    bytes -= n;
                } else {
                    if (page.unit > Left()) {
                        return "data cut short";
                    }
                    m_pos += page.unit;
                    bytes -= std::min<std::uint64_t>((run + 1u) * page.unit, bytes);
                }
            }
            rows -= std::min(lines, rows);
        }
        return {};
    }

  private:
    std::string_view m_data;
    std::size_t m_pos;
    const Limits& m_limits;
    std::size_t m_nextClockCheck;
};

bool SyncIs(std::string_view data, std::size_t pos, std::string_view sync) {
    return data.size() - pos >= 4 && data.compare(pos, 4, sync) == 0;
}

bool IsPwgHeader(std::string_view data, std::size_t pos) {
    return data.size() - pos >= 14 &&
           data.compare(pos, 10, std::string_view("PwgRaster\0", 10)) == 0;
}

// The end of the raster data: the end of the document, or a UEL back to PJL.
bool AtEnd(std::string_view data, std::size_t pos) {
    return pos >= data.size() || data.compare(pos, kUel.size(), kUel) == 0;
}

Segment Damaged(Segment seg, const std::string& what, std::size_t pos) {
    seg.error = what == "counting took too long" ? what
                                                 : "damaged " + seg.counter + " (" + what +
                                                       " at byte " + std::to_string(pos) + ")";
    return seg;
}

}  // namespace

bool StartsCupsRaster(std::string_view data, std::size_t pos) {
    for (std::string_view sync : {"RaS2", "RaS3", "RaSt", "2SaR", "3SaR", "tSaR"}) {
        if (SyncIs(data, pos, sync)) {
            return !(sync == "RaS2" && IsPwgHeader(data, pos + 4));
        }
    }
    return false;
}

bool StartsPwgRaster(std::string_view data, std::size_t pos) {
    return SyncIs(data, pos, "RaS2") && IsPwgHeader(data, pos + 4);
}

bool StartsAppleRaster(std::string_view data, std::size_t pos) {
    return data.size() - pos >= 8 && data.compare(pos, 8, std::string_view("UNIRAST\0", 8)) == 0;
}

Segment CountCupsRaster(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                        const Limits& limits) {
    Segment seg;
    seg.counter = StartsPwgRaster(data, start) ? "PWG raster" : "CUPS raster";
    if (data.size() - start < 4) {
        return Damaged(seg, "no sync word", start);
    }
    const std::string_view sync = data.substr(start, 4);
    const bool bigEndian = sync[0] == 'R';
    const char version = bigEndian ? sync[3] : sync[0];
    const bool compressed = version == '2';
    const std::size_t headerSize = version == 't' ? kCupsHeaderV1 : kCupsHeader;
    Walker walker(data, start + 4, limits);
    while (!AtEnd(data, walker.Pos())) {
        const std::size_t at = walker.Pos();
        if (walker.Left() < headerSize) {
            return Damaged(seg, "page header cut short", at);
        }
        const auto field = [&](std::size_t offset) { return Read32(data, at + offset, bigEndian); };
        const std::uint32_t copies = field(340);
        const std::uint32_t width = field(372);
        const std::uint32_t height = field(376);
        const std::uint32_t bitsPerColor = field(384);
        const std::uint32_t bitsPerPixel = field(388);
        const std::uint32_t bytesPerLine = field(392);
        const std::uint32_t order = field(396);  // 0 chunky, 1 banded, 2 planar
        std::uint32_t colors = headerSize == kCupsHeader ? field(420) : 0;
        if (colors == 0) {
            colors = ColorsOf(field(400), bitsPerPixel);
        }
        // What CUPS checks before it reads a page: a driver refuses anything else.
        Page page;
        page.unit =
            std::max<std::uint32_t>(1, ((order == 0 ? bitsPerPixel : bitsPerColor) + 7) / 8);
        page.bytesPerLine = bytesPerLine;
        page.rows = order == 2 ? std::uint64_t{height} * colors : height;
        std::uint64_t expected = (std::uint64_t{width} * bitsPerPixel + 7) / 8;
        if (order == 1) {
            expected *= colors;
        }
        const bool bitsOk =
            (bitsPerColor == 1 || bitsPerColor == 2 || bitsPerColor == 4 || bitsPerColor == 8 ||
             bitsPerColor == 16) &&
            (order == 0 ? std::uint64_t{bitsPerPixel} == std::uint64_t{bitsPerColor} * colors
                        : bitsPerPixel == bitsPerColor);
        if (colors == 0 || order > 2 || !bitsOk || width == 0 || width > kMaxDimension ||
            height == 0 || height > kMaxDimension || bytesPerLine == 0 ||
            bytesPerLine > kMaxBytesPerLine || bytesPerLine % page.unit != 0 ||
            bytesPerLine != expected) {
            return Damaged(seg, "a page header CUPS refuses", at);
        }
        walker.Skip(headerSize);
        if (const std::string error = walker.SkipPage(page, compressed); !error.empty()) {
            return Damaged(seg, error, walker.Pos());
        }
        seg.pages += copies == 0 ? defaultCopies : std::min<std::int64_t>(copies, kMaxCopies);
        if (++seg.documentPages > limits.maxPages) {
            return Damaged(seg, "too many pages", walker.Pos());
        }
    }
    seg.end = walker.Pos();
    seg.ok = true;
    return seg;
}

Segment CountAppleRaster(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                         const Limits& limits) {
    Segment seg;
    seg.counter = "Apple raster";
    if (!StartsAppleRaster(data, start) || data.size() - start < 12) {
        return Damaged(seg, "file header cut short", start);
    }
    Walker walker(data, start + 12, limits);
    while (!AtEnd(data, walker.Pos())) {
        const std::size_t at = walker.Pos();
        if (walker.Left() < kAppleHeader) {
            return Damaged(seg, "page header cut short", at);
        }
        const unsigned bitsPerPixel = static_cast<unsigned char>(data[at]);
        const std::uint32_t width = Read32(data, at + 12, true);
        const std::uint32_t height = Read32(data, at + 16, true);
        Page page;
        page.unit = std::max(1u, (bitsPerPixel + 7) / 8);
        page.rows = height;
        const std::uint64_t bytesPerLine = (std::uint64_t{width} * bitsPerPixel + 7) / 8;
        if (bitsPerPixel == 0 || width == 0 || width > kMaxDimension || height == 0 ||
            height > kMaxDimension || bytesPerLine > kMaxBytesPerLine) {
            return Damaged(seg, "a page header without a size", at);
        }
        page.bytesPerLine = static_cast<std::uint32_t>(bytesPerLine);
        walker.Skip(kAppleHeader);
        if (const std::string error = walker.SkipPage(page, true); !error.empty()) {
            return Damaged(seg, error, walker.Pos());
        }
        seg.pages += defaultCopies;
        if (++seg.documentPages > limits.maxPages) {
            return Damaged(seg, "too many pages", walker.Pos());
        }
    }
    seg.end = walker.Pos();
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
