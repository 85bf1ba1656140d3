#include <gtest/gtest.h>

#include <filesystem>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"

using namespace testsupport;
using pagecount::CountDocument;
using pagecount::Format;

namespace {

struct Case {
    std::string producer;  // a Ghostscript device, or a PPD (file or driver URI)
    std::vector<std::string> options;
    std::int64_t pages;
    std::int64_t documentPages = 0;  // 0: as many as pages, the copies came as pages again
};

// Counts each case's document, made of `source` (PostScript for Ghostscript's devices) or
// `pdf` (for a PPD's filter chain), as `format` with `counter`.
void ExpectCounted(const TempDir& dir, const std::vector<Case>& cases, Format format,
                   const std::string& counter, const std::string& pdf) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.producer + (c.options.empty() ? "" : " " + c.options.back()));
        const bool ppd = c.producer.find(':') != std::string::npos || c.producer[0] == '/';
        const std::string doc =
            ppd ? DriverDocument(dir, c.producer, pdf, c.options)
                : GhostscriptDocument(dir, c.producer, PlainPostScript(3), c.options);
        ASSERT_GT(doc.size(), 1000u) << "is the driver installed? (install-deps.sh)";
        EXPECT_EQ(pagecount::DetectFormat(doc), format);
        const auto result = CountDocument(doc, PrinterDataLimits());
        ASSERT_TRUE(result.counted) << result.error;
        EXPECT_EQ(result.pages, c.pages);
        EXPECT_EQ(result.documentPages, c.documentPages != 0 ? c.documentPages : c.pages);
        EXPECT_EQ(result.counter, counter);
    }
}

std::string ThreePagePdf(const TempDir& dir) {
    const std::string pdf = dir / "three.pdf";
    WriteFile(pdf, GhostscriptDocument(dir, "pdfwrite", PlainPostScript(3)));
    return pdf;
}

// epson-escpr-wrapper asks the scheduler for its queue's PPD. libcups takes it from
// $CUPS_SERVERROOT/ppd/<queue>.ppd when that file exists, and cupsfilter's queue is named
// "cupsfilter": so the whole filter chain runs without a scheduler.
std::string EscprDocument(const TempDir& dir, const std::string& pdf,
                          const std::vector<std::string>& options = {}) {
    const auto ppd = RunCommand({"/usr/lib/cups/driver/escpr", "cat",
                                 "escpr:0/cups/model/epson-inkjet-printer-escpr/"
                                 "Epson-Artisan_1430-epson-escpr-en.ppd"});
    const std::string root = dir / "escpr-root";
    std::filesystem::create_directories(root + "/ppd");
    WriteFile(root + "/ppd/cupsfilter.ppd", ppd.out);
    std::vector<std::string> argv{"/usr/sbin/cupsfilter",       "-e", "-p",
                                  root + "/ppd/cupsfilter.ppd", "-m", "printer/test"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(pdf);
    const auto run = RunCommand(argv, {"CUPS_SERVERROOT=" + root});
    return run.exitCode == 0 ? run.out : std::string();
}

}  // namespace

// ESC/P and ESC/P2 as Ghostscript, CUPS's own rastertoepson and Gutenprint write them: raster
// data full of form feeds and escapes, EJL and remote mode before the pages, and copies made
// by the filter chain as pages again. ESC/P-R as Epson's own driver writes it.
TEST(EpsonCanonPageCount, EpsonLanguagesFromRealDrivers) {
    TempDir dir;
    const std::string pdf = ThreePagePdf(dir);
    // CUPS's sample drivers, compiled to PPDs.
    const std::string ppds = dir / "ppd";
    ASSERT_EQ(RunCommand({"/usr/bin/ppdc", "-d", ppds, "/usr/share/cups/drv/sample.drv"}).exitCode,
              0);
    ExpectCounted(dir,
                  {
                      {"epson", {}, 3},
                      {"eps9high", {}, 3},
                      {"epsonc", {"-dNumCopies=2"}, 6},
                      {"lq850", {"-r360"}, 3},
                      {"necp6", {}, 3},
                      {"stcolor", {}, 3},
                      {ppds + "/epson9.ppd", {}, 3},
                      {ppds + "/epson24.ppd", {"-o", "copies=2"}, 6},
                      {"gutenprint.5.3://escp2-r300/expert", {"-o", "copies=2"}, 6},
                      {"gutenprint.5.3://escp2-c80/expert", {"-o", "StpQuality=High"}, 3},
                  },
                  Format::EscP, "ESC/P", pdf);

    const std::string escpr = EscprDocument(dir, pdf);
    ASSERT_GT(escpr.size(), 1000u) << "is printer-driver-escpr installed?";
    EXPECT_EQ(pagecount::DetectFormat(escpr), Format::EscPr);
    auto result = CountDocument(escpr, PrinterDataLimits());
    EXPECT_EQ(result.pages, 3) << result.error;
    EXPECT_EQ(result.counter, "ESC/P-R");
    result = CountDocument(EscprDocument(dir, pdf, {"-o", "copies=2"}), PrinterDataLimits());
    EXPECT_EQ(result.pages, 6) << result.error;

    // Copies the printer would make itself are not known to be counted right.
    const std::string escprSwitch("\x1b(R\x06\0\0ESCPR", 11);
    std::string copies = escpr;
    copies.insert(copies.find(escprSwitch) + escprSwitch.size(), std::string("\x1b"
                                                                             "c\x01\0\0\0setc\x02",
                                                                             11));
    result = CountDocument(copies, PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("copies"), std::string::npos) << result.error;

    // Cut inside compressed raster data, or a command ESC/P does not have: not counted.
    const std::string gutenprint = DriverDocument(dir, "gutenprint.5.3://escp2-r300/expert", pdf);
    const std::size_t band = gutenprint.find("\x1bi", gutenprint.size() / 2);
    ASSERT_NE(band, std::string::npos);
    result = CountDocument(gutenprint.substr(0, band + 40), PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("damaged ESC/P"), std::string::npos) << result.error;
    result = CountDocument(std::string("\x1b@\x1b&\x00\x41\x41\x0c", 8), PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("not ESC/P"), std::string::npos) << result.error;
}

// Canon's Bubble Jet raster as Ghostscript's devices and Gutenprint write it, with the XML job
// commands of newer PIXMA models; copies come as the pages again.
TEST(EpsonCanonPageCount, CanonBubbleJetFromRealDrivers) {
    TempDir dir;
    const std::string pdf = ThreePagePdf(dir);
    ExpectCounted(dir,
                  {
                      {"bj10e", {}, 3},
                      {"bj200", {"-r180"}, 3},
                      {"bjc600", {"-dNumCopies=2"}, 6},
                      {"bjccmyk", {}, 3},
                      {"gutenprint.5.3://bjc-iP4000/expert", {"-o", "copies=2"}, 6},
                      {"gutenprint.5.3://bjc-PIXMA-iX6850/expert", {}, 3},
                  },
                  Format::CanonBj, "Canon BJ", pdf);

    // Cut inside raster data: not counted.
    const std::string doc = GhostscriptDocument(dir, "bjc600", PlainPostScript(2));
    const std::size_t band = doc.find("\x1b(A", doc.size() / 2);
    ASSERT_NE(band, std::string::npos);
    const auto result = CountDocument(doc.substr(0, band + 6), PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("damaged Canon BJ"), std::string::npos) << result.error;
}

// ESC/Page after EJL, as Ghostscript's raster and vector devices write it: copies asked for by
// EJL (CO, or QT when collated) or by the language (GS n coO), pages that leave at a form feed
// or at a hard reset.
TEST(EpsonCanonPageCount, EscPageFromRealDrivers) {
    TempDir dir;
    ExpectCounted(dir,
                  {
                      {"escpage", {}, 3},
                      {"lp2000", {"-dNumCopies=2"}, 6, 3},
                      {"lp8000", {"-dNumCopies=2"}, 6},
                      {"epl2050", {"-dNumCopies=3"}, 9, 3},
                      {"epl5800", {"-dCollate", "-dNumCopies=2"}, 6, 3},
                      {"alc1900", {}, 3},
                  },
                  Format::EscPage, "ESC/Page", "");

    // An image whose byte count runs past the end is damaged.
    const std::string doc = GhostscriptDocument(dir, "escpage", PlainPostScript(1));
    const std::size_t image = doc.find("bi{I");
    ASSERT_NE(image, std::string::npos);
    const auto result = CountDocument(doc.substr(0, image + 10), PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("damaged ESC/Page"), std::string::npos) << result.error;
}

// LIPS as Ghostscript's raster devices and LIPS IV's vector mode (lips4v) write it, with
// copies asked for by the language and inside PJL.
TEST(EpsonCanonPageCount, LipsFromRealDrivers) {
    TempDir dir;
    ExpectCounted(dir,
                  {
                      {"lips2p", {}, 3},
                      {"lips3", {"-dNumCopies=2"}, 6, 3},
                      {"lips4", {}, 3},
                      {"bjc880j", {"-dNumCopies=3"}, 9, 3},
                      {"lips4v", {}, 3},
                      {"lips4v", {"-dNumCopies=2", "-r300"}, 6, 3},
                  },
                  Format::Lips, "LIPS", "");
    auto result = CountDocument(
        GhostscriptDocument(dir, "lips4", PlainPostScript(2), {"-dPJL", "-dNumCopies=2"}),
        PrinterDataLimits());
    EXPECT_EQ(result.pages, 4) << result.error;
    EXPECT_EQ(result.counter, "LIPS in PJL");

    // Vector mode with images (their data full of form feeds), a blank page and downloaded
    // characters (some sent as control codes), in PJL.
    const std::string vector = GhostscriptDocument(dir, "lips4v", DrawnPostScript(),
                                                   {"-dPJL", "-dNumCopies=3", "-dFontDL=true"});
    EXPECT_EQ(pagecount::DetectFormat(vector), Format::Lips);
    result = CountDocument(vector, PrinterDataLimits());
    EXPECT_EQ(result.pages, 9) << result.error;
    EXPECT_EQ(result.documentPages, 3);
    EXPECT_EQ(result.counter, "LIPS in PJL");
    // Image data cut short, or a control code in a vector command: not counted.
    const std::size_t data = vector.find("}Q");
    ASSERT_NE(data, std::string::npos);
    result = CountDocument(vector.substr(0, vector.find('\x1e', data) + 20), PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("damaged LIPS"), std::string::npos) << result.error;
    std::string controlled = vector;
    controlled.insert(data, 1, '\x0c');
    result = CountDocument(controlled, PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("vector mode"), std::string::npos) << result.error;

    const std::string doc = GhostscriptDocument(dir, "lips3", PlainPostScript(1));
    const std::size_t image = doc.find(".r");
    ASSERT_NE(image, std::string::npos);
    result = CountDocument(doc.substr(0, image + 10), PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("damaged LIPS"), std::string::npos) << result.error;
}
