#include <gtest/gtest.h>

#include <chrono>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"

using namespace testsupport;
using pagecount::CountDocument;
using pagecount::Format;

namespace {

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
    const auto result = CountDocument(doc, PrinterDataLimits());
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
    auto result =
        CountDocument(InPjl("PWGRASTER", pwg, "@PJL SET COPIES = 2\r\n"), PrinterDataLimits());
    EXPECT_EQ(result.pages, 3) << "NumCopies 1 is the page's own";
    EXPECT_EQ(result.counter, "PWG raster in PJL");
    for (const std::size_t cut : {pwg.size() - 10, std::size_t{4 + 1796 + 50}, std::size_t{900}}) {
        result = CountDocument(pwg.substr(0, cut), PrinterDataLimits());
        EXPECT_FALSE(result.counted);
        EXPECT_NE(result.error.find("damaged PWG raster"), std::string::npos) << result.error;
    }
    const std::string urf = GhostscriptDocument(dir, "urf", source, {"-r100"});
    result = CountDocument(urf.substr(0, urf.size() - 3), PrinterDataLimits());
    EXPECT_NE(result.error.find("damaged Apple raster"), std::string::npos) << result.error;
    std::string flat = urf;
    flat.replace(12 + 16, 4, std::string(4, '\0'));  // a first page without lines
    EXPECT_FALSE(CountDocument(flat, PrinterDataLimits()).counted);
    std::string wide = pwg;
    wide[4 + 392 + 2] = '\x7f';  // bytes per line that do not match the width
    EXPECT_FALSE(CountDocument(wide, PrinterDataLimits()).counted);
}

// CUPS's label driver in each of its languages, and Brother's P-touch and QL driver: one label
// per page, with the copies the language carries (ZPL ^PQ, CPCL's quantity, Intellitech's
// PCL), or the pages repeated where the driver makes them. EPL page mode prints P1 whatever
// the copies: the printer prints three labels.
TEST(LabelPrinters, LabelDriversAreCountedPerLabel) {
    TempDir dir;
    const std::string pdf = dir / "three.pdf";
    WriteFile(pdf, GhostscriptDocument(dir, "pdfwrite", PlainPostScript(3)));
    struct Label {
        std::string ppd;
        Format format;
        std::int64_t twice;  // pages with copies=2
        std::int64_t documentTwice;
        const char* counter;
    };
    const std::vector<Label> labels = {
        {"sample.drv/zebra.ppd", Format::Zpl, 6, 3, "ZPL"},
        {"sample.drv/zebraep2.ppd", Format::Epl, 3, 3, "EPL"},
        {"sample.drv/zebraep1.ppd", Format::EplLine, 3, 3, "EPL line mode"},
        {"sample.drv/zebracpl.ppd", Format::Cpcl, 6, 3, "CPCL"},
        {"sample.drv/dymo.ppd", Format::Dymo, 6, 6, "DYMO LabelWriter"},
        {"sample.drv/intelbar.ppd", Format::Pcl5, 6, 3, "PCL 5"},
        {"ptouch:0/ppd/ptouch-driver/Brother-QL-570-ptouch-ql.ppd", Format::PTouch, 6, 6,
         "Brother P-touch raster"},
        {"ptouch:0/ppd/ptouch-driver/Brother-PT-1950-ptouch-pt.ppd", Format::PTouch, 6, 6,
         "Brother P-touch raster"},
    };
    for (const auto& l : labels) {
        const std::string ppd = l.ppd.rfind("ptouch:", 0) == 0 ? l.ppd : CompiledPpd(dir, l.ppd);
        ASSERT_FALSE(ppd.empty()) << l.ppd;
        ExpectCounted(DriverDocument(dir, ppd, pdf), {l.ppd, {}, l.format, 3, 3, l.counter});
        ExpectCounted(DriverDocument(dir, ppd, pdf, {"-o", "copies=2"}),
                      {l.ppd, {"copies=2"}, l.format, l.twice, l.documentTwice, l.counter});
    }

    // ZPL as applications write it: a stored format prints nothing, a recalled one prints,
    // binary graphics may hold any byte, and a blank label feed is not guessed at.
    const std::string zpl =
        "^XA^DFR:F.ZPL^FO10,10^FDname^FS^FO10,40^FN1^FS^XZ\n"
        "^XA^XFR:F.ZPL^FN1^FDone^FS^PQ3^XZ\n"
        "^XA^IDR:X.GRF^FS^XZ\n"
        "^XA^FO0,0^GFB,12,12,1,^XZ^XA^FDx^FS^XZ\n"
        "^CC!!XA!FO0,0!FDtwo!FS!PQ2,0,1,Y!XZ";
    auto result = CountDocument(zpl, PrinterDataLimits());
    ASSERT_TRUE(result.counted) << result.error;
    EXPECT_EQ(result.pages, 6);
    EXPECT_EQ(result.documentPages, 3);
    result = CountDocument("^XA^FDx^FS^XZ~PH", PrinterDataLimits());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("ZPL cannot be counted"), std::string::npos) << result.error;
    EXPECT_FALSE(CountDocument("^XA^GFB,999,999,1,abc^XZ", PrinterDataLimits()).counted);
    // EPL sets and copies of each; CPCL's quantity.
    result = CountDocument("\nN\nq816\nGW0,0,2,1\n\nP\n\nA10,10,0,1,1,1,N,\"x\"\nP2,3\n",
                           PrinterDataLimits());
    EXPECT_EQ(result.pages, 6);
    result = CountDocument("! 0 200 200 100 4\r\nTEXT 4 0 0 0 x\r\nFORM\r\nPRINT\r\n",
                           PrinterDataLimits());
    EXPECT_EQ(result.pages, 4);
    result = CountDocument("! 0 200 200 100 1\r\nCG 99999999999 99999999999 0 0 x\r\nPRINT\r\n",
                           PrinterDataLimits());
    EXPECT_NE(result.error.find("damaged CPCL"), std::string::npos) << result.error;

    // What a label language does not say exactly is refused, with its reason; damaged data too.
    const std::string esc = "\x1b";
    const std::string escapes(10, '\x1b');
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"\nN\nFR\"form\"\n?\nP1\n", "EPL cannot be counted: stored forms"},
        {"! U1 SETVAR \"x\" \"y\"\r\n", "CPCL cannot be counted: utility sessions"},
        {"! 0 200 200 100 1\r\nPCX 0 0 \x0a\x05\r\nPRINT\r\n", "CPCL cannot be counted: PCX"},
        {escapes + "@" + esc + "D\x04" + esc + "X" + esc + "E",
         "DYMO LabelWriter cannot be counted"},
        {escapes + "@" + esc +
             "D\x08\x16"
             "abc",
         "damaged DYMO LabelWriter (data cut short"},
        {esc + "M01" + esc + "B" + esc + "g0x2ab" + esc + "E\x0c", "damaged EPL line mode"},
        {std::string(4, '\0') + esc + "@" + esc + "ia\x01G\x10" + std::string(1, '\0') + "abc",
         "damaged Brother P-touch"},
        {std::string(4, '\0') + esc + "@" + esc + "iz0123456789Q\x1a",
         "Brother P-touch raster cannot be counted"},
    };
    for (const auto& [bytes, error] : refused) {
        result = CountDocument(bytes, PrinterDataLimits());
        EXPECT_FALSE(result.counted) << error;
        EXPECT_NE(result.error.find(error), std::string::npos) << error << ": " << result.error;
    }
}

// HP's plotters and inkjets: HP-GL/2 that sets up the plot marks no page, PG after a page a
// reset ejected advances nothing, and the PaintJet's reset and form feed end one page.
TEST(HpLanguages, PlotterAndInkjetPagesAreCountedOnce) {
    TempDir dir;
    for (const char* device : {"dnj650c", "oce9050", "pj", "pjetxl", "cdj550"}) {
        ExpectCounted(GhostscriptDocument(dir, device, PlainPostScript(3), {"-r75"}),
                      {device, {}, Format::Pcl5, 3, 3, "PCL 5"});
    }
    // HP-GL/2 behind PJL: drawn pages advance with PG; label text is not read as instructions.
    const std::string plot =
        "BP;IN;SP1;PU0,0;PD100,100;PG;PU;PA0,0;PG;DT*;LBPG;PD1,1;*PG;CO\"PD1;\";PG;"
        "PD;PA5,5;\x1b%1A\x1b*r1A\x1b*b1W\x01\x1b*rC\x1b%1BPG;";
    auto result = CountDocument(InPjl("HPGL2", plot), PrinterDataLimits());
    ASSERT_TRUE(result.counted) << result.error;
    EXPECT_EQ(result.pages, 3);
    EXPECT_EQ(result.counter, "HP-GL/2 in PJL");
    result = CountDocument(
        "\x1b"
        "E\x1b%0BINPUPA10,10;SP1;\x1b%0A\x1b"
        "E",
        PrinterDataLimits());
    EXPECT_EQ(result.pages, 0);
    // Debian's drivers for HP's inkjets (LIDIL) and JetReady lasers, Brother's lasers, OKI's
    // (which ends its jobs with a UEL that lacks its X) and Kodak's ESP inkjets: the pages,
    // repeated by the driver or copied by PCL.
    const std::string pdf = dir / "three.pdf";
    WriteFile(pdf, GhostscriptDocument(dir, "pdfwrite", PlainPostScript(3)));
    const std::vector<Case> drivers = {
        {"hpcups.drv/hp-deskjet_3320.ppd", {}, Format::Lidil, 6, 6, "LIDIL"},
        {"hpcups.drv/hp-laserjet_1320.ppd", {}, Format::Pcl5, 6, 6, "PCL 5 in PJL"},
        {"brlaser.drv/br1510.ppd", {}, Format::Pcl5, 6, 3, "PCL 5 in PJL"},
        {"/usr/share/ppd/okidata/B2200PCL.ppd", {}, Format::Pcl5, 6, 3, "PCL 5 in PJL"},
        // JetReady: PCL XL whose VendorUnique operator is followed by raw raster bytes.
        {"pxljr:0/ppd/pxljr/HP-Color_LaserJet_3550-pxljr.ppd",
         {},
         Format::PclXl,
         6,
         6,
         "PCL XL in PJL"},
        {"hpcups.drv/hp-color_laserjet_3500.ppd", {}, Format::Pcl5, 6, 6, "PCL 5 + PCL XL in PJL"},
        {"c2esp.drv/KESP9.ppd", {}, Format::KodakEsp, 6, 6, "Kodak ESP"},
    };
    for (const auto& c : drivers) {
        const std::string ppd = c.producer[0] == '/' || c.producer.find(':') != std::string::npos
                                    ? c.producer
                                    : CompiledPpd(dir, c.producer);
        ASSERT_FALSE(ppd.empty()) << c.producer;
        ExpectCounted(DriverDocument(dir, ppd, pdf, {"-o", "copies=2"}), c);
    }
    const std::string lidil =
        DriverDocument(dir, CompiledPpd(dir, "hpcups.drv/hp-deskjet_3320.ppd"), pdf);
    EXPECT_EQ(CountDocument(lidil, PrinterDataLimits()).pages, 3);
    EXPECT_FALSE(CountDocument(lidil.substr(0, lidil.size() / 2), PrinterDataLimits()).counted);
    // A raster band holds any bytes, an end of page too.
    result = CountDocument(
        "LockPrinterWait?Event=StartOfJob;RasterObject.Data#16=Event=EndOfPage;;"
        "Event=EndOfPage;Event=EndOfJob;UnlockPrinter?",
        PrinterDataLimits());
    EXPECT_EQ(result.pages, 1);
    EXPECT_EQ(result.counter, "Kodak ESP");
}
