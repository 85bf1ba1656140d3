#include <gtest/gtest.h>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"

using namespace testsupport;
using pagecount::CountDocument;
using pagecount::Format;

namespace {

struct Case {
    std::string producer;  // a Ghostscript device, or a Foomatic PPD's driver URI
    std::vector<std::string> options;
    std::int64_t pages;
    std::int64_t documentPages;
    bool drawn = false;  // DrawnPostScript() instead of plain text pages
};

// Counts each case's three pages as `format`; returns the first document made.
std::string ExpectCounted(const TempDir& dir, const std::vector<Case>& cases, Format format,
                          const std::string& counter) {
    const std::string pdf = dir / "three.pdf";
    WriteFile(pdf, GhostscriptDocument(dir, "pdfwrite", PlainPostScript(3)));
    std::string first;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.producer + (c.options.empty() ? "" : " " + c.options.back()));
        const std::string doc =
            c.producer.find(':') != std::string::npos
                ? DriverDocument(dir, c.producer, pdf, c.options)
                : GhostscriptDocument(dir, c.producer,
                                      c.drawn ? DrawnPostScript() : PlainPostScript(3), c.options);
        EXPECT_GT(doc.size(), 1000u) << "is the driver installed? (install-deps.sh)";
        EXPECT_EQ(pagecount::DetectFormat(doc), format);
        const auto result = CountDocument(doc, PrinterDataLimits());
        EXPECT_TRUE(result.counted) << result.error;
        EXPECT_EQ(result.pages, c.pages);
        EXPECT_EQ(result.documentPages, c.documentPages);
        EXPECT_EQ(result.counter, counter);
        if (first.empty()) {
            first = doc;
        }
    }
    return first;
}

// Not counted, with an error that says `why`.
void ExpectRefused(const std::string& doc, const std::string& why) {
    const auto result = CountDocument(doc, PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find(why), std::string::npos) << result.error;
}

const std::string kFoomatic = "foomatic-db-compressed-ppds:0/ppd/foomatic-ppd/";

}  // namespace

// RPDL and NPDL as Ghostscript's devices write them, alone and through the Foomatic PPDs:
// copies asked for by the language (each page once in the document) or made by the filter
// chain as the pages again; raster images full of form feeds between the pages.
TEST(RicohNecPageCount, RpdlAndNpdlFromRealDrivers) {
    TempDir dir;
    const std::string rpdl = ExpectCounted(
        dir,
        {
            {"rpdl", {}, 3, 3},
            {"rpdl", {"-r600", "-dNumCopies=2"}, 6, 3},
            {"rpdl", {"-dNumCopies=3"}, 9, 3, true},
            {kFoomatic + "Ricoh-RPDL_IV_Laser_Printer-rpdl.ppd", {"-o", "copies=2"}, 6, 6},
        },
        Format::Rpdl, "RPDL");
    const std::string npdl =
        ExpectCounted(dir,
                      {
                          {"npdl", {}, 3, 3},
                          {"npdl", {"-dNumCopies=2"}, 6, 3},
                          {"npdl", {"-r400", "-dNumCopies=3"}, 9, 3, true},
                          {kFoomatic + "NEC-MultiWriter-npdl.ppd", {"-o", "copies=2"}, 6, 6},
                      },
                      Format::Npdl, "NPDL");

    // Cut inside an image, or a command not read here: not counted.
    std::size_t image = rpdl.find("\x1b\x12G3,");
    ASSERT_NE(image, std::string::npos);
    ExpectRefused(rpdl.substr(0, image + 40), "damaged RPDL");
    ExpectRefused(std::string(rpdl).insert(image, "\x1b\x12W1,\x01 "), "RPDL cannot be counted");
    image = npdl.find("\x1ci");
    ASSERT_NE(image, std::string::npos);
    ExpectRefused(npdl.substr(0, image + 40), "damaged NPDL");
    ExpectRefused(std::string(npdl).insert(image, "\x1bK"), "NPDL cannot be counted");
}
