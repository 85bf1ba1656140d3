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

}  // namespace

// foo2zjs's other drivers and splix, as a print queue with them sends a 3-page document. copies=2
// makes the filter chain repeat the pages; Copies=2 (the PPD's option) does that too and makes the
// driver ask for copies of each page: in LAVAFLOW's escapes, QPDL's and OAK's page records,
// DDST's page lines and PJL for HIPERC. The magicolor 2480 MF's text stream has no copies.
TEST(HostBasedPrinters, Foo2zjsOtherDriversAreCountedExactly) {
    TempDir dir;
    const std::string pdf = GhostscriptDocument(dir, "pdfwrite", PlainPostScript(3));
    ASSERT_FALSE(pdf.empty());
    const std::string input = dir / "in.pdf";
    WriteFile(input, pdf);
    const std::vector<std::string> copies = {"-o", "Copies=2"};
    const std::vector<DriverCase> cases = {
        {"KONICA_MINOLTA-magicolor_1600W", {}, Format::LavaFlow, 3, 3, "LAVAFLOW in PJL"},
        {"KONICA_MINOLTA-magicolor_2530_DL", copies, Format::LavaFlow, 12, 6, "LAVAFLOW in PJL"},
        {"KONICA_MINOLTA-magicolor_2480_MF", copies, Format::LavaFlow, 6, 6, "LAVAFLOW"},
        {"Oki-C3400",
         {"-o", "Compression=compressed", "-o", "Copies=2"},
         Format::Hiperc,
         12,
         6,
         "HIPERC in PJL"},
        {"Oki-C5600", {"-o", "copies=2"}, Format::Hiperc, 6, 6, "HIPERC in PJL"},
        {"Samsung-CLP-300", copies, Format::Qpdl, 12, 6, "QPDL in PJL"},
        {"Samsung-CLP-610", {}, Format::Qpdl, 3, 3, "QPDL in PJL"},
        {"Samsung-ML-1670", {"-o", "copies=2"}, Format::Qpdl, 6, 6, "QPDL in PJL"},
        {"HP-Color_LaserJet_1500", copies, Format::Oak, 12, 6, "OAK"},
        {"Kyocera-KM-1635", {}, Format::Oak, 3, 3, "OAK"},
        {"Ricoh-SP_112", copies, Format::Ddst, 12, 6, "DDST in PJL"},
        // splix asks for the copies in QPDL's page records itself.
        {"drv:///splix-samsung.drv/ml2550.ppd",
         {"-o", "copies=2"},
         Format::Qpdl,
         6,
         3,
         "QPDL in PJL"},
        {"drv:///splix-samsung.drv/clp600.ppd",
         {"-o", "copies=2"},
         Format::Qpdl,
         6,
         3,
         "QPDL in PJL"},
        {"drv:///splix-samsung.drv/clp315.ppd",
         {"-o", "copies=2"},
         Format::Qpdl,
         6,
         3,
         "QPDL in PJL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ppd) + (c.options.empty() ? "" : " " + c.options.back()));
        const std::string ppd = std::string_view(c.ppd).find(':') != std::string_view::npos
                                    ? std::string(c.ppd)
                                    : "foo2zjs:0/ppd/foo2zjs/" + std::string(c.ppd) + ".ppd";
        const std::string doc = DriverDocument(dir, ppd, input, c.options);
        ASSERT_FALSE(doc.empty());
        EXPECT_EQ(pagecount::DetectFormat(doc), c.format);
        const auto result = CountDocument(doc, PrinterDataLimits());
        EXPECT_TRUE(result.counted) << result.error;
        EXPECT_EQ(result.pages, c.pages);
        EXPECT_EQ(result.documentPages, c.documentPages);
        EXPECT_EQ(result.counter, c.counter);

        // A stream cut anywhere inside is not counted: its last record is gone, or cut short.
        for (const std::size_t cut : {doc.size() / 3, doc.size() / 2, doc.size() - 30}) {
            const auto cutShort = CountDocument(doc.substr(0, cut), PrinterDataLimits());
            EXPECT_FALSE(cutShort.counted) << cut;
        }
    }

    // splix's colour bands of QPDL version 1: a band's other colours follow without its header,
    // and a zero byte ends it.
    const std::string colour = dir / "colour.pdf";
    WriteFile(colour, GhostscriptDocument(dir, "pdfwrite",
                                          "%!PS\n1 1 3 { pop 1 0 0 setrgbcolor 100 100 200 200 "
                                          "rectfill 0 0 1 setrgbcolor 300 400 100 100 rectfill "
                                          "showpage } for\n"));
    const auto result = CountDocument(
        DriverDocument(dir, "drv:///splix-xerox.drv/ph6100.ppd", colour, {"-o", "copies=2"}),
        PrinterDataLimits());
    EXPECT_EQ(result.pages, 6) << result.error;
    EXPECT_EQ(result.documentPages, 3);
}
