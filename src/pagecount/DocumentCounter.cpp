#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "pagecount/PageCount.h"

// A document is one printer language, or a PJL job that switches between languages: PJL lines
// set defaults (COPIES for every page, QTY for the whole job) and ENTER LANGUAGE hands over to a
// language until the next Universal Exit Language sequence.

namespace pagecount {

namespace {

constexpr std::int64_t kMaxCopies = 32767;
constexpr std::size_t kMaxPjlLine = 64 * 1024;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0' || c == '\x04';
}

std::size_t SkipBlanks(std::string_view data, std::size_t pos) {
    while (pos < data.size() && IsBlank(data[pos])) {
        ++pos;
    }
    return pos;
}

bool At(std::string_view data, std::size_t pos, std::string_view what) {
    return data.size() - pos >= what.size() && data.compare(pos, what.size(), what) == 0;
}

bool AtNoCase(std::string_view data, std::size_t pos, std::string_view what) {
    if (data.size() - pos < what.size()) {
        return false;
    }
    for (std::size_t i = 0; i < what.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(data[pos + i])) != what[i]) {
            return false;
        }
    }
    return true;
}

// Where the PJL line at pos ends: at its line feed, or where an escape starts the next
// command (drivers end the last line with a NUL and the Universal Exit Language, with binary
// data right behind it).
std::size_t PjlLineEnd(std::string_view data, std::size_t pos) {
    const std::size_t eol = data.find_first_of("\n\x1b", pos);
    return eol == std::string_view::npos ? data.size() : eol;
}

// A printer language: how its data starts, the names PJL gives it, and its counter.
struct Language {
    Format format;
    const char* name;
    // ENTER LANGUAGE names, upper case, '|' between them; a name ending in '*' is a prefix.
    std::string_view pjlNames;
    bool (*starts)(std::string_view data, std::size_t pos);
    Segment (*count)(std::string_view data, std::size_t pos, std::int64_t copies,
                     const Limits& limits);
};

// In the order their first bytes are tried.
const Language kLanguages[] = {
    // Page description languages
    {Format::Pdf, "PDF", "PDF", [](std::string_view d, std::size_t p) { return At(d, p, "%PDF-"); },
     [](std::string_view d, std::size_t p, std::int64_t, const Limits& l) {
         return CountPdf(d, p, l);
     }},
    {Format::PostScript, "PostScript", "POSTSCRIPT|PS",
     [](std::string_view d, std::size_t p) { return At(d, p, "%!"); },
     [](std::string_view d, std::size_t p, std::int64_t, const Limits& l) {
         return CountPostScript(d, p, l);
     }},
    {Format::PclXl, "PCL XL", "PCLXL|PCL6|PCL XL",
     [](std::string_view d, std::size_t p) {
         return (d[p] == '(' || d[p] == ')' || d[p] == '\'') && At(d, p + 1, " HP-PCL XL");
     },
     CountPclXl},
    // Host-based ("GDI") laser printers
    {Format::ZjStream, "ZjStream", "ZJS", StartsZjStream, CountZjStream},
    {Format::Slx, "SLX", "SLX", StartsSlx, CountSlx},
    {Format::Xqx, "XQX", "XQX", StartsXqx, CountXqx},
    {Format::Hbpl, "HBPL", "HBPL", StartsHbpl, CountHbpl},
    // More host-based printers' streams (foo2zjs's other drivers, splix)
    {Format::Hiperc, "HIPERC", "HIPERC", StartsHiperc, CountHiperc},
    {Format::Qpdl, "QPDL", "QPDL", StartsQpdl, CountQpdl},
    {Format::Oak, "OAK", "OAK", StartsOak, CountOak},
    {Format::Ddst, "DDST", "", StartsDdst, CountDdst},
    // Brother's label raster starts as ESC/P does (ESC @), then its own commands follow.
    {Format::PTouch, "Brother P-touch raster", "", StartsPtouch, CountPtouch},
    // Epson, Canon and Japanese page printer languages
    {Format::EscPr, "ESC/P-R", "", StartsEscPr, CountEscP},
    {Format::EscP, "ESC/P", "", StartsEscP, CountEscP},
    {Format::CanonBj, "Canon BJ", "", StartsCanonBj, CountCanonBj},
    {Format::EscPage, "ESC/Page", "", StartsEscPage, CountEscPage},
    {Format::Lips, "LIPS", "LIPS*", StartsLips, CountLips},
    // Raster formats, label printers and HP's other languages
    {Format::PwgRaster, "PWG raster", "PWGRASTER|PWG", StartsPwgRaster, CountCupsRaster},
    {Format::AppleRaster, "Apple raster", "URF|UNIRAST", StartsAppleRaster, CountAppleRaster},
    {Format::CupsRaster, "CUPS raster", "CUPSRASTER", StartsCupsRaster, CountCupsRaster},
    {Format::Zpl, "ZPL", "ZPL|ZPLII", StartsZpl, CountZpl},
    {Format::Epl, "EPL", "EPL|EPL2", StartsEpl, CountEpl},
    {Format::Cpcl, "CPCL", "CPCL", StartsCpcl, CountCpcl},
    {Format::EplLine, "EPL line mode", "", StartsEplLine, CountEplLine},
    {Format::Dymo, "DYMO LabelWriter", "", StartsDymo, CountDymo},
    {Format::Hpgl2, "HP-GL/2", "HPGL2|HPGL|HP-GL/2|RTL", StartsHpgl2, CountHpgl2},
    {Format::Lidil, "LIDIL", "LIDIL", StartsLidil, CountLidil},
    {Format::KodakEsp, "Kodak ESP", "", StartsKodakEsp, CountKodakEsp},
    // Older host-based printers (Ghostscript's devices, small Debian drivers)
    {Format::SamsungGdi, "Samsung GDI", "SMART", StartsSamsungGdi, CountSamsungGdi},
    {Format::Hbp, "HBP", "HBP", StartsHbp, CountHbp},
    {Format::SagGdi, "SAG-GDI", "", StartsSagGdi, CountSagGdi},
    {Format::MinoltaGdi, "Minolta GDI", "", StartsMinoltaGdi, CountMinoltaGdi},
    // Ricoh and NEC page printer languages
    {Format::Rpdl, "RPDL", "", StartsRpdl, CountRpdl},
    {Format::Npdl, "NPDL", "", StartsNpdl, CountNpdl},
    // Older dot matrix, inkjet and page printers (Ghostscript's own devices)
    {Format::IbmProprinter, "IBM Proprinter", "", StartsIbmProprinter, CountIbmProprinter},
    {Format::OkiMicroline, "Oki Microline", "", StartsOkiMicroline, CountOkiMicroline},
    {Format::Jj100, "Star JJ-100", "", StartsJj100, CountJj100},
    {Format::DecSixel, "DEC sixel", "", StartsDecSixel, CountDecSixel},
    {Format::Xes, "XES", "", StartsXes, CountXes},
    {Format::Ricoh4081, "Ricoh 4081", "", StartsRicoh4081, CountRicoh4081},
    {Format::Tek4693, "Tektronix 4693D", "", StartsTek4693, CountTek4693},
    {Format::FujitsuFm, "Fujitsu FM", "", StartsFujitsuFm, CountFujitsuFm},
    {Format::OkiMl600, "Oki ML600", "", StartsOkiMl600, CountOkiMl600},
    {Format::Lexmark5700, "Lexmark 5700", "", StartsLexmark5700, CountLexmark5700},
    {Format::DecLj250, "DEC LJ250", "", StartsDecLj250, CountDecLj250},
    {Format::Tek4696, "Tektronix 4696", "", StartsTek4696, CountTek4696},
    // Files for fax software, HP's LaserJet 3100 software and Imagen printers
    {Format::Sff, "SFF", "", StartsSff, CountSff},
    {Format::Lj3100, "HP LaserJet 3100", "", StartsLj3100, CountLj3100},
    {Format::Impress, "imPRESS", "", StartsImpress, CountImpress},
    // Any other escape-led language (ESC/P, LIPS, Canon's...) must not reach PCL 5 by its
    // first byte: PCL 5 is taken only when its first escape sequence is one PCL has.
    {Format::Pcl5, "PCL 5", "PCL*", StartsPcl5, CountPcl5},
    // PCL-shaped, so after PCL 5: reached when PJL names it, or by its text form.
    {Format::LavaFlow, "LAVAFLOW", "LAVAFLOW", StartsLavaFlow, CountLavaFlow},
};

const Language* LanguageOf(Format format) {
    for (const Language& language : kLanguages) {
        if (language.format == format) {
            return &language;
        }
    }
    return nullptr;
}

Format FormatAt(std::string_view data, std::size_t pos) {
    pos = SkipBlanks(data, pos);
    if (pos >= data.size() || At(data, pos, kUel)) {
        return Format::Unknown;
    }
    for (const Language& language : kLanguages) {
        if (language.starts(data, pos)) {
            return language.format;
        }
    }
    return Format::Unknown;
}

Format LanguageNamed(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const Language& language : kLanguages) {
        std::string_view names = language.pjlNames;
        while (!names.empty()) {
            const std::size_t bar = std::min(names.find('|'), names.size());
            const std::string_view one = names.substr(0, bar);
            names.remove_prefix(std::min(bar + 1, names.size()));
            if (!one.empty() && one.back() == '*'
                    ? name.compare(0, one.size() - 1, one.substr(0, one.size() - 1)) == 0
                    : name == one) {
                return language.format;
            }
        }
    }
    return Format::Unknown;
}

// "@PJL SET COPIES = 2": the words of a PJL line, upper case, '=' as a word of its own.
std::vector<std::string> PjlWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    const auto flush = [&] {
        if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    };
    for (char c : line) {
        if (c == '=') {
            flush();
            words.emplace_back("=");
        } else if (IsBlank(c)) {
            flush();
        } else {
            word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    flush();
    return words;
}

Segment CountAs(Format format, std::string_view data, std::size_t pos, std::int64_t copies,
                const Limits& limits) {
    if (const Language* language = LanguageOf(format)) {
        return language->count(data, pos, copies, limits);
    }
    Segment seg;
    seg.error = "unknown document format";
    return seg;
}

}  // namespace

const char* FormatName(Format format) {
    const Language* language = LanguageOf(format);
    return language != nullptr ? language->name : "unknown";
}

Format DetectFormat(std::string_view data) {
    std::size_t pos = 0;
    Format named = Format::Unknown;
    for (;;) {
        pos = SkipBlanks(data, pos);
        if (At(data, pos, kUel)) {
            pos += kUel.size();
            continue;
        }
        if (AtNoCase(data, pos, "@PJL") && !StartsDdst(data, pos)) {
            const std::size_t eol = PjlLineEnd(data, pos);
            const auto words = PjlWords(data.substr(pos, std::min(eol - pos, kMaxPjlLine)));
            if (words.size() >= 4 && words[1] == "ENTER" && words[2] == "LANGUAGE" &&
                words[3] == "=") {
                named = words.size() >= 5 ? LanguageNamed(words[4]) : Format::Unknown;
            }
            pos = eol;
            if (named != Format::Unknown) {
                const std::size_t next = pos < data.size() && data[pos] == '\n' ? pos + 1 : pos;
                if (next < data.size() && LanguageOf(named)->starts(data, next)) {
                    return named;
                }
                const Format found = FormatAt(data, pos);
                return found != Format::Unknown ? found : named;
            }
            continue;
        }
        return FormatAt(data, pos);
    }
}

Result CountDocument(std::string_view data, const Limits& limits) {
    Result result;
    std::int64_t copies = 1;    // PJL COPIES: each page, unless the language says otherwise
    std::int64_t quantity = 1;  // PJL QTY: the whole job
    bool pjl = false;
    std::set<std::string> counters;
    std::vector<std::string> order;
    std::size_t pos = 0;
    Format entered = Format::Unknown;
    while (pos < data.size()) {
        // The language PJL entered is looked for where its line ended: a binary stream may
        // start with bytes that would be skipped as blanks.
        const bool enteredHere = entered != Format::Unknown && pos < data.size() &&
                                 LanguageOf(entered)->starts(data, pos);
        if (!enteredHere) {
            pos = SkipBlanks(data, pos);
        }
        if (pos >= data.size()) {
            break;
        }
        if (!enteredHere && At(data, pos, kUel)) {
            pjl = true;
            pos += kUel.size();
            continue;
        }
        // DDST's pages are PJL lines with their bitmaps between them: its counter reads them.
        if (!enteredHere && AtNoCase(data, pos, "@PJL") && !StartsDdst(data, pos)) {
            pjl = true;
            const std::size_t eol = PjlLineEnd(data, pos);
            if (eol - pos > kMaxPjlLine) {
                result.error = "damaged PJL (a line without end)";
                return result;
            }
            const auto words = PjlWords(data.substr(pos, eol - pos));
            pos = eol < data.size() && data[eol] == '\n' ? eol + 1 : eol;
            const auto number = [&](std::size_t i) {
                if (words.size() <= i + 1 || words[i] != "=") {
                    return std::int64_t{-1};
                }
                char* end = nullptr;
                const long long n = std::strtoll(words[i + 1].c_str(), &end, 10);
                return *end == '\0' ? std::clamp<std::int64_t>(n, 1, kMaxCopies) : -1;
            };
            if (words.size() >= 3 && words[1] == "SET" && words[2] == "COPIES" && number(3) > 0) {
                copies = number(3);
            } else if (words.size() >= 3 && words[1] == "SET" && words[2] == "QTY" &&
                       number(3) > 0) {
                quantity = number(3);
            } else if (words.size() >= 4 && words[1] == "ENTER" && words[2] == "LANGUAGE" &&
                       words[3] == "=") {
                entered = words.size() >= 5 ? LanguageNamed(words[4]) : Format::Unknown;
                if (entered == Format::Unknown) {
                    result.error = "a printer language that is not counted (PJL: " +
                                   (words.size() >= 5 ? words[4] : std::string("none")) + ")";
                    return result;
                }
            }
            continue;
        }
        // Printer language data: as PJL announced it, or as its first bytes say.
        Format format = enteredHere ? entered : FormatAt(data, pos);
        if (format == Format::Unknown) {
            format = entered;
        }
        entered = Format::Unknown;
        if (format == Format::Unknown) {
            result.error = "unknown document format";
            return result;
        }
        Segment seg = CountAs(format, data, pos, copies, limits);
        if (!seg.ok) {
            result.error = seg.error;
            return result;
        }
        result.pages += seg.pages * quantity;
        result.documentPages += seg.documentPages;
        if (counters.insert(seg.counter).second) {
            order.push_back(seg.counter);
        }
        if (seg.end <= pos || result.documentPages > limits.maxPages) {
            if (result.documentPages > limits.maxPages) {
                result.error = "too many pages";
                return result;
            }
            break;
        }
        pos = seg.end;
    }
    if (order.empty()) {
        result.error = pjl ? "PJL without printer language data" : "empty document";
        return result;
    }
    for (const auto& c : order) {
        result.counter += (result.counter.empty() ? "" : " + ") + c;
    }
    if (pjl) {
        result.counter += " in PJL";
    }
    result.counted = true;
    return result;
}

}  // namespace pagecount
