#include <gtest/gtest.h>

#include <chrono>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"

using namespace testsupport;
using pagecount::CountDocument;
using pagecount::Format;

namespace {

// Three pages of text over a grey area: the raster data holds every byte value, form feeds
// and escapes included, so a counter that does not skip it by its length counts too many.
const std::string kGreyPages =
    "%!PS\n/Times-Roman findfont 30 scalefont setfont\n1 1 3 { /n exch def\n"
    "0.5 setgray 50 50 500 300 rectfill 0 setgray\n"
    "0 1 12 { 40 exch 780 exch 30 mul sub moveto (Page ) show n 9 string cvs show } for\n"
    "showpage } for\n";

struct Case {
    const char* device;
    std::vector<std::string> options;
    Format format;
    std::int64_t pages;
    const char* counter;
};

void ExpectCounted(const TempDir& dir, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        std::string name = c.device;
        for (const auto& option : c.options) {
            name += " " + option;
        }
        SCOPED_TRACE(name);
        const std::string doc = GhostscriptDocument(dir, c.device, kGreyPages, c.options);
        ASSERT_FALSE(doc.empty());
        EXPECT_EQ(pagecount::DetectFormat(doc), c.format);
        const auto result = CountDocument(doc, PrinterDataLimits());
        EXPECT_TRUE(result.counted) << result.error;
        EXPECT_EQ(result.pages, c.pages);
        EXPECT_EQ(result.documentPages, c.pages);
        EXPECT_EQ(result.counter, c.counter);

        // Half of the document is never all of its pages.
        const auto half = CountDocument(doc.substr(0, doc.size() / 2), PrinterDataLimits());
        EXPECT_TRUE(!half.counted || half.documentPages < c.pages) << half.documentPages;
    }
}

}  // namespace

// Ghostscript's dot matrix devices repeat the pages for -dNumCopies. ibmpro and okiibm write
// IBM Proprinter, escp ESC/P behind PCL raster resets; the others have languages of their own.
TEST(OldPrinters, DotMatrixDevicesAreCountedExactly) {
    TempDir dir;
    const std::vector<std::string> copies = {"-dNumCopies=2"};
    ExpectCounted(dir, {
                           {"ibmpro", copies, Format::IbmProprinter, 6, "IBM Proprinter"},
                           {"okiibm", {"-r120x144"}, Format::IbmProprinter, 3, "IBM Proprinter"},
                           {"escp", copies, Format::EscP, 6, "ESC/P"},
                           {"oki182", {"-r144"}, Format::OkiMicroline, 3, "Oki Microline"},
                           {"oki182", copies, Format::OkiMicroline, 6, "Oki Microline"},
                           {"jj100", copies, Format::Jj100, 6, "Star JJ-100"},
                           {"la50", copies, Format::DecSixel, 6, "DEC sixel"},
                           {"la75plus", {}, Format::DecSixel, 3, "DEC sixel"},
                           {"fmpr", copies, Format::FujitsuFm, 6, "Fujitsu FM"},
                           {"tek4696", {}, Format::Tek4696, 3, "Tektronix 4696"},
                       });

    // IBM's ESC \ prints the characters that follow it, form feeds among them.
    const std::string ibm = std::string(
                                "\x11\x1b"
                                "30\x1b\\\x02\x00\x0c\x0c",
                                10) +
                            "\f";
    EXPECT_EQ(CountDocument(ibm, PrinterDataLimits()).pages, 1);
}

TEST(OldPrinters, PagePrinterDevicesAreCountedExactly) {
    TempDir dir;
    const std::vector<std::string> copies = {"-dNumCopies=2"};
    ExpectCounted(dir, {
                           {"ln03", copies, Format::DecSixel, 6, "DEC sixel"},
                           {"xes", copies, Format::Xes, 6, "XES"},
                           {"r4081", copies, Format::Ricoh4081, 6, "Ricoh 4081"},
                           {"t4693d2", {}, Format::Tek4693, 3, "Tektronix 4693D"},
                           {"t4693d4", copies, Format::Tek4693, 6, "Tektronix 4693D"},
                           {"fmlbp", {"-r400"}, Format::FujitsuFm, 3, "Fujitsu FM"},
                           {"ml600", copies, Format::OkiMl600, 6, "Oki ML600"},
                           {"lex5700", copies, Format::Lexmark5700, 6, "Lexmark 5700"},
                           {"lex7000", {"-r1200"}, Format::Lexmark5700, 3, "Lexmark 5700"},
                           {"lxm5700m", {}, Format::Lexmark5700, 3, "Lexmark 5700"},
                           {"declj250", copies, Format::DecLj250, 6, "DEC LJ250"},
                       });

    // A print request that asks for a number of prints of its own is not counted.
    std::string tek = GhostscriptDocument(dir, "t4693d2", PlainPostScript(1));
    ASSERT_GT(tek.size(), 22u);
    tek[7] = '\xc2';
    EXPECT_FALSE(CountDocument(tek, PrinterDataLimits()).counted);
}

// Files that other programs print: SFF for fax software (cfax), HP's LaserJet 3100 software
// (lj3100sw, whose pages carry their copies) and Imagen imPRESS (imagen). cfax and imagen
// repeat the pages for -dNumCopies.
TEST(OldPrinters, FilesForOtherSoftwareAreCountedExactly) {
    TempDir dir;
    struct File {
        const char* device;
        std::vector<std::string> options;
        Format format;
        std::int64_t pages;
        std::int64_t documentPages;
        const char* counter;
    };
    const std::vector<std::string> copies = {"-dNumCopies=2"};
    for (const File& f : std::vector<File>{
             {"cfax", {}, Format::Sff, 3, 3, "SFF"},
             {"cfax", copies, Format::Sff, 6, 6, "SFF"},
             {"lj3100sw", {}, Format::Lj3100, 3, 3, "HP LaserJet 3100"},
             {"lj3100sw", copies, Format::Lj3100, 6, 3, "HP LaserJet 3100"},
             {"imagen", {"-r150"}, Format::Impress, 3, 3, "imPRESS"},
             {"imagen", copies, Format::Impress, 6, 6, "imPRESS"},
         }) {
        SCOPED_TRACE(std::string(f.device) + (f.options.empty() ? "" : " " + f.options[0]));
        const std::string doc = GhostscriptDocument(dir, f.device, kGreyPages, f.options);
        ASSERT_FALSE(doc.empty());
        EXPECT_EQ(pagecount::DetectFormat(doc), f.format);
        const auto result = CountDocument(doc, PrinterDataLimits());
        EXPECT_TRUE(result.counted) << result.error;
        EXPECT_EQ(result.pages, f.pages);
        EXPECT_EQ(result.documentPages, f.documentPages);
        EXPECT_EQ(result.counter, f.counter);
        // None of them is counted without its end.
        EXPECT_FALSE(CountDocument(doc.substr(0, doc.size() - 1), PrinterDataLimits()).counted);
    }

    // SFF's header may give the number of pages: it must be the number that follow.
    std::string sff = GhostscriptDocument(dir, "cfax", kGreyPages);
    ASSERT_GT(sff.size(), 20u);
    sff[8] = '\x03';
    EXPECT_EQ(CountDocument(sff, PrinterDataLimits()).pages, 3);
    sff[8] = '\x04';
    EXPECT_FALSE(CountDocument(sff, PrinterDataLimits()).counted);
    // A coded line whose bytes look like page headers is no page.
    sff[8] = '\0';
    std::string line = "\x13";
    for (int i = 0; i < 9; ++i) {
        line += "\xfe\x10";
    }
    sff.insert(38, line + "\xfe");
    EXPECT_EQ(CountDocument(sff, PrinterDataLimits()).pages, 3);

    // A page that is never ended is not taken for one.
    std::string impress = GhostscriptDocument(dir, "imagen", PlainPostScript(1), {"-r75"});
    ASSERT_TRUE(impress.size() > 2 && impress.substr(impress.size() - 2) == "\xdb\xff");
    EXPECT_FALSE(
        CountDocument(impress.substr(0, impress.size() - 2) + "\xff", PrinterDataLimits()).counted);

    // An imPRESS header that may ask for copies is not counted.
    const std::size_t option = impress.find("jobheader onerror");
    ASSERT_NE(option, std::string::npos);
    impress.replace(option, 17, "copies 2");
    const auto refused = CountDocument(impress, PrinterDataLimits());
    EXPECT_FALSE(refused.counted);
    EXPECT_NE(refused.error.find("imPRESS cannot be counted"), std::string::npos) << refused.error;
}
