#include <algorithm>

#include "pagecount/PageCount.h"

// PCL XL is a stream of binary tokens: data values (each tagged with its type), attribute ids
// that name the value before them, operators that take the attributes gathered since the last
// operator, and embedded data blocks that follow an operator with their length. A page ends
// with the EndPage operator, whose PageCopies attribute asks for copies of it. Raster and font
// data contain every byte value, EndPage's too, so the stream is walked token by token.
// HP's JetReady printers (Color LaserJet 35xx-37xx) get their compressed raster through the
// VendorUnique operator, whose raw bytes follow it without a tag: VUDataLength says how many.

namespace pagecount {

namespace {

constexpr unsigned char kEndPage = 0x44;
constexpr unsigned kPageCopies = 49;
constexpr unsigned char kVendorUnique = 0x46;
constexpr unsigned kVUDataLength = 0x92;
constexpr std::int64_t kMaxCopies = 32767;

bool IsWhitespace(unsigned char b) {
    return b == 0x00 || (b >= 0x09 && b <= 0x0d) || b == 0x20;
}

// Size in bytes of one element of the scalar type a data tag names: ubyte, uint16, uint32,
// sint16, sint32, real32 in this order from 0xc0 (scalars), 0xc8 (arrays), 0xd0 (xy pairs),
// 0xe0 (boxes). 0 for a tag that is none of them.
int ElementSize(unsigned char tag) {
    static const int sizes[] = {1, 2, 4, 2, 4, 4};
    const int low = tag & 0x07;
    if (low > 5) {
        return 0;
    }
    const int kind = tag & 0xf8;
    if (kind == 0xc0 || kind == 0xc8 || kind == 0xd0 || kind == 0xe0) {
        return sizes[low];
    }
    return 0;
}

class Reader {
  public:
    Reader(std::string_view data, std::size_t pos, bool bigEndian)
        : m_data(data), m_pos(pos), m_bigEndian(bigEndian) {}

    bool Has(std::size_t n) const { return m_data.size() - m_pos >= n; }
    std::size_t Pos() const { return m_pos; }
    unsigned char Peek() const { return static_cast<unsigned char>(m_data[m_pos]); }
    unsigned char Byte() { return static_cast<unsigned char>(m_data[m_pos++]); }
    void Skip(std::size_t n) { m_pos += n; }
    bool AtEnd() const { return m_pos >= m_data.size(); }

    // An unsigned number of `size` bytes in the stream's byte order; false past the end.
    bool Unsigned(int size, std::uint64_t& value) {
        if (!Has(static_cast<std::size_t>(size))) {
            return false;
        }
        value = 0;
        for (int i = 0; i < size; ++i) {
            const std::uint64_t b = Byte();
            value = m_bigEndian ? (value << 8) | b : value | (b << (8 * i));
        }
        return true;
    }

  private:
    std::string_view m_data;
    std::size_t m_pos;
    bool m_bigEndian;
};

}  // namespace

Segment CountPclXl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits) {
    Segment seg;
    seg.counter = "PCL XL";
    seg.end = data.size();
    // The stream header: a binding character, " HP-PCL XL;", versions and a comment to the end
    // of the line.
    const std::size_t lf = data.find('\n', start);
    if (data.size() - start < 11 || data.compare(start + 1, 10, " HP-PCL XL") != 0 ||
        lf == std::string_view::npos) {
        seg.error = "no PCL XL stream header";
        return seg;
    }
    const char binding = data[start];
    if (binding != '(' && binding != ')') {
        seg.error = "PCL XL in its ASCII binding is not supported";
        return seg;
    }
    Reader in(data, lf + 1, binding == '(');
    const auto damaged = [&](const char* what) {
        seg.error =
            std::string("damaged PCL XL (") + what + " at byte " + std::to_string(in.Pos()) + ")";
        return seg;
    };

    std::uint64_t lastValue = 0;
    bool lastIsScalar = false;
    std::int64_t pageCopies = -1;  // from the attributes of the coming operator
    std::int64_t vendorData = -1;  // likewise: the raw bytes after VendorUnique
    bool lastIsInteger = false;
    unsigned tokens = 0;
    while (!in.AtEnd()) {
        if ((++tokens & 0xfff) == 0 && std::chrono::steady_clock::now() > limits.deadline) {
            seg.error = "counting took too long";
            return seg;
        }
        const unsigned char tag = in.Peek();
        if (IsWhitespace(tag)) {
            in.Skip(1);
            continue;
        }
        if (tag == 0x1b) {
            // Back to PJL (a Universal Exit Language sequence), or nothing valid.
            if (data.compare(in.Pos(), kUel.size(), kUel) != 0) {
                return damaged("escape");
            }
            break;
        }
        in.Skip(1);
        if (tag >= 0x41 && tag <= 0xbf) {  // an operator
            if (tag == kEndPage) {
                const std::int64_t copies = pageCopies >= 0 ? pageCopies : defaultCopies;
                seg.pages += copies;
                ++seg.documentPages;
                if (seg.documentPages > limits.maxPages) {
                    return damaged("too many pages");
                }
            }
            if (tag == kVendorUnique && vendorData >= 0) {
                if (!in.Has(static_cast<std::uint64_t>(vendorData))) {
                    return damaged("vendor data cut short");
                }
                in.Skip(static_cast<std::size_t>(vendorData));
            }
            pageCopies = -1;
            vendorData = -1;
            continue;
        }
        if (tag == 0xf8 || tag == 0xf9) {  // attribute id of the value before it
            std::uint64_t id = 0;
            if (!in.Unsigned(tag == 0xf8 ? 1 : 2, id)) {
                return damaged("attribute cut short");
            }
            if (id == kPageCopies && lastIsScalar) {
                // A whole number of copies, as drivers write it (ubyte, uint16); a real or a
                // signed value is no copy count to take as it stands.
                if (!lastIsInteger) {
                    return damaged("page copies that are not a whole number");
                }
                pageCopies =
                    static_cast<std::int64_t>(std::min<std::uint64_t>(lastValue, kMaxCopies));
            }
            if (id == kVUDataLength && lastIsScalar && lastIsInteger) {
                vendorData = static_cast<std::int64_t>(lastValue);
            }
            continue;
        }
        if (tag == 0xfa || tag == 0xfb) {  // embedded data with its length
            std::uint64_t length = 0;
            if (!in.Unsigned(tag == 0xfa ? 4 : 1, length)) {
                return damaged("data length cut short");
            }
            if (!in.Has(length)) {
                return damaged("embedded data cut short");
            }
            in.Skip(length);
            continue;
        }
        const int size = ElementSize(tag);
        if (size == 0) {
            return damaged("unknown tag");
        }
        const int kind = tag & 0xf8;
        if (kind == 0xc0) {
            lastIsInteger = tag == 0xc0 || tag == 0xc1 || tag == 0xc2;
            lastIsScalar = in.Unsigned(size, lastValue);
            if (!lastIsScalar) {
                return damaged("value cut short");
            }
            continue;
        }
        lastIsScalar = false;
        std::uint64_t count = kind == 0xd0 ? 2 : 4;
        if (kind == 0xc8) {  // an array: its length is a ubyte or uint16 value
            if (in.AtEnd()) {
                return damaged("array cut short");
            }
            const unsigned char lengthTag = in.Byte();
            if ((lengthTag != 0xc0 && lengthTag != 0xc1) ||
                !in.Unsigned(lengthTag == 0xc0 ? 1 : 2, count)) {
                return damaged("array length");
            }
        }
        const std::uint64_t bytes = count * static_cast<std::uint64_t>(size);
        if (!in.Has(bytes)) {
            return damaged("value cut short");
        }
        in.Skip(bytes);
    }
    seg.end = in.Pos();
    seg.ok = true;
    return seg;
}

}  // namespace pagecount
