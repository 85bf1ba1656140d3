#include <gtest/gtest.h>

#include <chrono>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"

using namespace testsupport;
using pagecount::CountDocument;
using pagecount::Format;

namespace {

pagecount::Limits Quick() {
    pagecount::Limits limits;
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    limits.interpreter.clear();
    return limits;
}

// A PPD that CUPS compiles from its driver files ("sample.drv/zebra.ppd"), as the scheduler
// does for drv:/// printers.
std::string CompiledPpd(const TempDir& dir, const std::string& name) {
    const auto made = RunCommand({"/usr/lib/cups/daemon/cups-driverd", "cat", "drv:///" + name});
    const std::string file = dir / (name.substr(name.find('/') + 1));
    WriteFile(file, made.out);
    return made.exitCode == 0 && !made.out.empty() ? file : std::string();
}

struct Case {
    std::string producer;  // a Ghostscript device, or a PPD
    std::vector<std::string> options;
    Format format;
    std::int64_t pages;
    std::int64_t documentPages;
    const char* counter;
};

void ExpectCounted(const std::string& doc, const Case& c) {
    SCOPED_TRACE(c.producer + (c.options.empty() ? "" : " " + c.options.back()));
    ASSERT_GT(doc.size(), 100u) << "is the driver installed? (install-deps.sh)";
    EXPECT_EQ(pagecount::DetectFormat(doc), c.format);
    const auto result = CountDocument(doc, Quick());
    ASSERT_TRUE(result.counted) << result.error;
    EXPECT_EQ(result.pages, c.pages);
    EXPECT_EQ(result.documentPages, c.documentPages);
    EXPECT_EQ(result.counter, c.counter);
}

}  // namespace

// Raster made by Ghostscript's raster devices and by CUPS's driverless chain: every page is
// walked through its compressed data, and the copies a page header asks for are counted.
TEST(RasterFormats, DriverRasterIsCountedWithItsCopies) {
    TempDir dir;
    const std::string source = PlainPostScript(3);
    const std::vector<Case> gs = {
        {"pwgraster", {}, Format::PwgRaster, 3, 3, "PWG raster"},
        {"pwgraster", {"-dNumCopies=2"}, Format::PwgRaster, 6, 3, "PWG raster"},
        {"urf", {}, Format::AppleRaster, 3, 3, "Apple raster"},
        {"appleraster", {"-dNumCopies=2"}, Format::AppleRaster, 3, 3, "Apple raster"},
        {"cups", {"-dNumCopies=2"}, Format::CupsRaster, 6, 3, "CUPS raster"},
        {"cups",
         {"-dcupsColorSpace=6", "-dcupsColorOrder=2"},
         Format::CupsRaster,
         3,
         3,
         "CUPS raster"},
        {"cups",
         {"-dcupsColorSpace=6", "-dcupsBitsPerColor=2", "-dcupsColorOrder=1"},
         Format::CupsRaster,
         3,
         3,
         "CUPS raster"},
        {"cups",
         {"-dcupsColorSpace=1", "-dcupsBitsPerColor=16"},
         Format::CupsRaster,
         3,
         3,
         "CUPS raster"},
    };
    std::string pwg;
    for (const auto& c : gs) {
        auto options = c.options;
        options.push_back("-r100");
        const std::string doc = GhostscriptDocument(dir, c.producer, source, options);
        ExpectCounted(doc, c);
        if (c.format == Format::PwgRaster && c.options.empty()) {
            pwg = doc;
        }
    }

    // The driverless queue makes the copies itself: six pages, one copy each, in colour.
    const std::string pdf = dir / "three.pdf";
    WriteFile(pdf, GhostscriptDocument(dir, "pdfwrite", source));
    const std::string ppd = CompiledPpd(dir, "cupsfilters.drv/pwgrast.ppd");
    ASSERT_FALSE(ppd.empty());
    ExpectCounted(DriverDocument(dir, ppd, pdf, {"-o", "copies=2", "-o", "Resolution=150dpi"}),
                  {"pwgrast.ppd", {"copies=2"}, Format::PwgRaster, 6, 6, "PWG raster"});

    // In PJL, and damaged: cut inside a page or in its header, or a header no driver accepts.
    auto result = CountDocument(InPjl("PWGRASTER", pwg, "@PJL SET COPIES = 2\r\n"), Quick());
    EXPECT_EQ(result.pages, 3) << "NumCopies 1 is the page's own";
    EXPECT_EQ(result.counter, "PWG raster in PJL");
    for (const std::size_t cut : {pwg.size() - 10, std::size_t{4 + 1796 + 50}, std::size_t{900}}) {
        result = CountDocument(pwg.substr(0, cut), Quick());
        EXPECT_FALSE(result.counted);
        EXPECT_NE(result.error.find("damaged PWG raster"), std::string::npos) << result.error;
    }
    std::string wide = pwg;
    wide[4 + 392 + 2] = '\x7f';  // bytes per line that do not match the width
    EXPECT_FALSE(CountDocument(wide, Quick()).counted);
}
