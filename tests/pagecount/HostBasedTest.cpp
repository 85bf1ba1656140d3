#include <gtest/gtest.h>

#include <chrono>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"

using namespace testsupport;
using pagecount::CountDocument;
using pagecount::Format;

namespace {

struct DriverCase {
    const char* ppd;
    std::vector<std::string> options;
    Format format;
    std::int64_t pages;
    std::int64_t documentPages;
    const char* counter;
};

std::string Ppd(const std::string& name) {
    return "foo2zjs:0/ppd/foo2zjs/" + name + ".ppd";
}

}  // namespace

// foo2zjs's drivers, as a print queue with them sends a 3-page document. copies=2 makes the
// filter chain repeat the pages. Copies=2 (the PPD's option) does that too, and also makes the
// driver ask for copies: of each page in ZjStream and SLX, of the job in PJL for HBPL; XQX has
// no copies of its own.
TEST(HostBasedPrinters, Foo2zjsDocumentsAreCountedExactly) {
    TempDir dir;
    const std::string pdf = GhostscriptDocument(dir, "pdfwrite", PlainPostScript(3));
    ASSERT_FALSE(pdf.empty());
    const std::string input = dir / "in.pdf";
    WriteFile(input, pdf);
    const std::vector<DriverCase> cases = {
        {"HP-LaserJet_1020", {}, Format::ZjStream, 3, 3, "ZjStream in PJL"},
        {"HP-LaserJet_1020", {"-o", "copies=2"}, Format::ZjStream, 6, 6, "ZjStream in PJL"},
        {"HP-LaserJet_1020", {"-o", "Copies=2"}, Format::ZjStream, 12, 6, "ZjStream in PJL"},
        {"Generic-ZjStream_Printer", {"-o", "Copies=2"}, Format::ZjStream, 12, 6, "ZjStream"},
        {"HP-Color_LaserJet_1600", {}, Format::ZjStream, 3, 3, "ZjStream"},
        {"Lexmark-C500", {"-o", "copies=2"}, Format::Slx, 6, 6, "SLX"},
        {"Lexmark-C500", {"-o", "Copies=2"}, Format::Slx, 12, 6, "SLX"},
        {"HP-LaserJet_M1005_MFP", {"-o", "copies=2"}, Format::Xqx, 6, 6, "XQX in PJL"},
        {"HP-LaserJet_M1005_MFP", {"-o", "Copies=2"}, Format::Xqx, 6, 6, "XQX in PJL"},
        {"Dell-1355", {}, Format::Hbpl, 3, 3, "HBPL in PJL"},
        {"Dell-1355", {"-o", "Copies=2"}, Format::Hbpl, 12, 6, "HBPL in PJL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ppd) + (c.options.empty() ? "" : " " + c.options[1]));
        const std::string doc = DriverDocument(dir, Ppd(c.ppd), input, c.options);
        ASSERT_FALSE(doc.empty());
        EXPECT_EQ(pagecount::DetectFormat(doc), c.format);
        const auto result = CountDocument(doc, PrinterDataLimits());
        ASSERT_TRUE(result.counted) << result.error;
        EXPECT_EQ(result.pages, c.pages);
        EXPECT_EQ(result.documentPages, c.documentPages);
        EXPECT_EQ(result.counter, c.counter);

        // A stream cut anywhere inside is not counted: its last record is gone, or cut short.
        for (const std::size_t cut : {doc.size() / 3, doc.size() / 2, doc.size() - 40}) {
            const auto cutShort = CountDocument(doc.substr(0, cut), PrinterDataLimits());
            EXPECT_FALSE(cutShort.counted) << cut;
        }
    }
}
