#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pagecount/PageCount.h"
#include "pagecount/PrinterDocuments.h"
#include "platform/Sandbox.h"

using namespace testsupport;
using pagecount::CountDocument;
using pagecount::Format;

namespace {

bool HaveGhostscript() {
    return Exists("/usr/bin/gs");
}

#define REQUIRE_GS()                                           \
    if (!HaveGhostscript()) {                                  \
        GTEST_SKIP() << "needs Ghostscript (install-deps.sh)"; \
    }

pagecount::Limits Quick() {
    pagecount::Limits limits;
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    limits.interpreterTime = std::chrono::seconds(10);
    limits.interpreterMemory = 512ull * 1024 * 1024;
    return limits;
}

struct Expected {
    const char* device;
    std::vector<std::string> options;
    Format format;
    std::int64_t pages;
    const char* counter;
};

}  // namespace

// Every language as Ghostscript's own devices write it, with copies asked for by the device
// where the language has them, and the same documents inside PJL.
TEST(PageCount, DocumentsFromRealDriversAreCountedExactly) {
    REQUIRE_GS();
    TempDir dir;
    const std::string source = PlainPostScript(5);
    const std::vector<Expected> cases = {
        {"pdfwrite", {}, Format::Pdf, 5, "PDF"},
        {"ps2write", {}, Format::PostScript, 5, "PostScript page comments"},
        {"pxlmono", {}, Format::PclXl, 5, "PCL XL in PJL"},
        {"pxlcolor", {"-dNumCopies=3"}, Format::PclXl, 15, "PCL XL in PJL"},
        {"ljet4", {}, Format::Pcl5, 5, "PCL 5"},
        {"ljet4", {"-dNumCopies=2"}, Format::Pcl5, 10, "PCL 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + (c.options.empty() ? "" : " " + c.options[0]));
        const std::string doc = GhostscriptDocument(dir, c.device, source, c.options);
        ASSERT_FALSE(doc.empty());
        EXPECT_EQ(pagecount::DetectFormat(doc), c.format);
        const auto result = CountDocument(doc, Quick());
        ASSERT_TRUE(result.counted) << result.error;
        EXPECT_EQ(result.pages, c.pages);
        EXPECT_EQ(result.documentPages, 5);
        EXPECT_EQ(result.counter, c.counter);
    }

    // Wrapped in PJL: QTY prints the whole job again, COPIES is each page's default that the
    // language's own copy command overrides.
    const std::string pcl = GhostscriptDocument(dir, "ljet4", source);
    auto result = CountDocument(InPjl("PCL", pcl, "@PJL SET QTY = 2\r\n"), Quick());
    EXPECT_EQ(result.pages, 10);
    EXPECT_EQ(result.counter, "PCL 5 in PJL");
    const std::string pdf = GhostscriptDocument(dir, "pdfwrite", source);
    result = CountDocument(InPjl("PDF", pdf), Quick());
    EXPECT_EQ(result.pages, 5);
    EXPECT_EQ(result.counter, "PDF in PJL");
    result = CountDocument(InPjl("POSTSCRIPT", PlainPostScript(2), "@PJL SET QTY=3\n"), Quick());
    EXPECT_EQ(result.pages, 6);
    EXPECT_EQ(result.counter, "PostScript interpreter in PJL");
    // Two jobs in one stream.
    result = CountDocument(
        InPjl("PCL", pcl) + InPjl("PCLXL", GhostscriptDocument(dir, "pxlmono", PlainPostScript(1))),
        Quick());
    EXPECT_EQ(result.pages, 6);
}

// Other printer languages start their commands with ESC too, and their raster data is full of
// form feeds: none is ever counted as PCL 5. Each is counted exactly by its own counter, or not
// at all.
TEST(PageCount, OtherEscapeLanguagesAreNeverTakenForPcl5) {
    REQUIRE_GS();
    TempDir dir;
    const std::string source = PlainPostScript(3);
    // ESC/P 9-pin, ESC/P2, Canon BJ, LIPS IV, ESC/Page, Xerox XES.
    for (const char* device : {"epson", "stcolor", "bj10e", "lips4", "escpage", "xes"}) {
        SCOPED_TRACE(device);
        const std::string doc = GhostscriptDocument(dir, device, source, {"-r150"});
        ASSERT_FALSE(doc.empty());
        const auto result = CountDocument(doc, Quick());
        if (result.counted) {
            EXPECT_EQ(result.counter.find("PCL 5"), std::string::npos) << result.counter;
            EXPECT_EQ(result.documentPages, 3) << result.counter;
        }
    }
    // As Debian's drivers write them: Gutenprint's ESC/P2 and Canon raster.
    const std::string pdf = dir / "three.pdf";
    WriteFile(pdf, GhostscriptDocument(dir, "pdfwrite", source));
    for (const char* ppd :
         {"gutenprint.5.3://escp2-r300/expert", "gutenprint.5.3://bjc-iP4000/expert"}) {
        SCOPED_TRACE(ppd);
        const std::string doc = DriverDocument(dir, ppd, pdf, {"-o", "Resolution=360dpi"});
        ASSERT_GT(doc.size(), 1000u) << "is the driver installed? (install-deps.sh)";
        const auto result = CountDocument(doc, Quick());
        if (result.counted) {
            EXPECT_EQ(result.counter.find("PCL 5"), std::string::npos) << result.counter;
            EXPECT_EQ(result.documentPages, 3) << result.counter;
        }
    }
    // A reset as PCL starts, then another language's commands with a form feed in their data.
    const auto result = CountDocument(std::string("\x1b"
                                                  "E\x1b@\x1b(G\x01\x00\x01\x0c\x0c"),
                                      Quick());
    EXPECT_FALSE(result.counted);
    EXPECT_NE(result.error.find("not PCL 5"), std::string::npos) << result.error;
}

// PostScript asks for copies inside the document as Windows drivers write it, or sets them per
// page; page comments that do not match the pages make the interpreter count.
TEST(PageCount, PostScriptCopiesAndUntrustworthyCommentsAreInterpreted) {
    REQUIRE_GS();
    TempDir dir;
    std::string ps = GhostscriptDocument(dir, "ps2write", PlainPostScript(3));
    ASSERT_FALSE(ps.empty());
    const auto setup = ps.find("%%Page:");
    ASSERT_NE(setup, std::string::npos);
    std::string twice = ps;
    twice.insert(setup, "<< /NumCopies 2 >> setpagedevice\n");
    auto result = CountDocument(twice, Quick());
    EXPECT_EQ(result.pages, 6);
    EXPECT_EQ(result.counter, "PostScript page comments");
    EXPECT_EQ(pagecount::PostScriptCopies(twice, Quick()), 2);
    EXPECT_EQ(pagecount::PostScriptCopies(ps, Quick()), 1);

    // Without page comments: the interpreter, which sees the copies too.
    result = CountDocument("%!PS\n/#copies 3 def\n" + PlainPostScript(2).substr(5), Quick());
    EXPECT_EQ(result.counter, "PostScript interpreter");
    EXPECT_EQ(result.pages, 6);
    EXPECT_EQ(result.documentPages, 2);
    EXPECT_EQ(
        pagecount::PostScriptCopies("%!PS\n<< /NumCopies 4 >> setpagedevice\nshowpage\n", Quick()),
        4);

    // As the scheduler's filters send a PDF to a PostScript printer with two copies: the count
    // is handed to a procedure on the stack, only running it tells which ("3" is no count).
    const std::string pdf = dir / "three.pdf";
    WriteFile(pdf, GhostscriptDocument(dir, "pdfwrite", PlainPostScript(3)));
    const std::string filtered =
        DriverDocument(dir, "drv:///sample.drv/generic.ppd", pdf, {"-o", "copies=2"});
    ASSERT_NE(filtered.find("/#copies 3 -1 roll put"), std::string::npos);
    result = CountDocument(filtered, Quick());
    EXPECT_EQ(result.pages, 6) << result.counter;
    EXPECT_EQ(pagecount::PostScriptCopies(filtered, Quick()), 2);
    EXPECT_EQ(pagecount::PostScriptCopies("%!PS-Adobe-3.0\n/#copies 2 def\n%%Page: 1 1\nshowpage\n",
                                          Quick()),
              2);

    // Comments that announce more pages than there are, or copies that change between pages.
    const std::string liar =
        "%!PS-Adobe-3.0\n%%Pages: 9\n%%EndComments\n%%Page: 1 1\nshowpage\n"
        "%%Page: 2 2\nshowpage\n%%EOF\n";
    result = CountDocument(liar, Quick());
    EXPECT_EQ(result.counter, "PostScript interpreter");
    EXPECT_EQ(result.pages, 2);
    const std::string perPage =
        "%!PS-Adobe-3.0\n%%Pages: 2\n%%EndComments\n%%Page: 1 1\n"
        "showpage\n%%Page: 2 2\n<< /NumCopies 5 >> setpagedevice showpage\n";
    result = CountDocument(perPage, Quick());
    EXPECT_EQ(result.counter, "PostScript interpreter");
    EXPECT_EQ(result.pages, 6);
}

// Hostile and damaged documents: each ends with a reason, in bounded time, and the interpreter
// can neither loop for ever, nor eat memory, nor write files.
TEST(PageCount, HostileDocumentsAreRefusedInBoundedTime) {
    REQUIRE_GS();
    TempDir dir;
    const std::string pxl = GhostscriptDocument(dir, "pxlmono", PlainPostScript(2));
    const std::string pcl = GhostscriptDocument(dir, "ljet4", PlainPostScript(2));
    ASSERT_FALSE(pxl.empty());
    // Each page's copies as a real number (0x40000000 is 2.0) instead of the driver's uint16.
    std::string realCopies = pxl;
    for (std::size_t at = 0; (at = realCopies.find(std::string("\xc1\x01\x00\xf8\x31\x44", 6),
                                                   at)) != std::string::npos;) {
        realCopies.replace(at, 3, std::string("\xc5\x00\x00\x00\x40", 5));
    }
    ASSERT_NE(realCopies, pxl);
    const auto started = std::chrono::steady_clock::now();

    struct Bad {
        std::string name;
        std::string bytes;
        std::string error;
    };
    std::string loop =
        "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
        "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
        "3 0 obj << /Type /Pages /Kids [2 0 R] /Parent 2 0 R /Count 1 >> endobj\n"
        "trailer << /Root 1 0 R >>\n%%EOF\n";
    const std::vector<Bad> bad = {
        {"empty", "", "empty document"},
        {"text", "Hello, printer\n", "unknown document format"},
        {"PCL XL cut in its image data", pxl.substr(0, pxl.size() / 2), "damaged PCL XL"},
        {"PCL XL with a stray byte", pxl.substr(0, 200) + "\x01" + pxl.substr(200),
         "damaged PCL XL"},
        {"PCL XL asking for 2.0 copies (a real, not a count)", realCopies, "damaged PCL XL"},
        {"PCL 5 with a raster count past the end",
         "\x1b"
         "E\x1b*b99999999W" +
             pcl.substr(0, 100),
         "damaged PCL 5"},
        {"PJL naming no language", InPjl("KLINGON", "xyz"), "language that is not counted"},
        {"PDF whose page tree loops", loop, "PDF"},
        {"PostScript that never ends", "%!PS\n{ } loop\n", "took too long"},
        {"PostScript that eats memory", "%!PS\n/a [] def { /a [ a a ] def } loop\n",
         "PostScript interpreter"},
    };
    auto limits = Quick();
    limits.interpreterTime = std::chrono::seconds(3);
    for (const auto& b : bad) {
        SCOPED_TRACE(b.name);
        const auto result = CountDocument(b.bytes, limits);
        EXPECT_FALSE(result.counted && result.pages > 0) << result.counter << " " << result.pages;
        if (!result.counted) {
            EXPECT_NE(result.error.find(b.error), std::string::npos) << result.error;
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));

    // Past the deadline a long document stops being read.
    std::string endless =
        "\x1b"
        "E";
    while (endless.size() < (8u << 20)) {
        endless += "text\r\n";
    }
    limits.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_EQ(CountDocument(endless, limits).error, "counting took too long");

    // The interpreter may not write files, even where anyone may (Ghostscript's safe mode
    // alone allows its temporary folder).
    const std::string victim = "/tmp/tessaroven-victim-" + std::to_string(getpid());
    const auto result = CountDocument(
        "%!PS\n(" + victim + ") (w) file dup (x) writestring closefile showpage\n", Quick());
    EXPECT_FALSE(Exists(victim));
    unlink(victim.c_str());
    EXPECT_FALSE(result.counted && result.pages > 0);
}

// Root with CAP_SYS_ADMIN; the system service is root without it, and a chroot refuses the
// user namespace an unprivileged child would take instead.
static bool MayAdministerSystem() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> 21 & 1) != 0;
        }
    }
    return false;
}

TEST(Sandbox, KillsWhatRunsTooLongAndBoundsItsOutput) {
    platform::SandboxLimits limits;
    limits.time = std::chrono::milliseconds(300);
    const auto started = std::chrono::steady_clock::now();
    auto run = platform::RunSandboxed({"sleep", "30"}, "", limits);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    limits.time = std::chrono::seconds(10);
    limits.maxOutput = 1000;
    run = platform::RunSandboxed({"yes"}, "", limits);
    EXPECT_TRUE(run.outputCut);

    // It may start no process of its own, nor write files.
    run = platform::RunSandboxed(
        {"sh", "-c", "/bin/echo forked; echo x > /tmp/tessaroven-sandbox-$$ && echo wrote"}, "",
        limits);
    EXPECT_EQ(run.output.find("forked"), std::string::npos);
    EXPECT_EQ(run.output.find("wrote"), std::string::npos);
    // The network namespace on top of the filter (Sandbox.TheChildHasNoNetwork): such a root
    // may always make one.
    if (MayAdministerSystem()) {
        run = platform::RunSandboxed({"cat", "/proc/net/dev"}, "", limits);
        EXPECT_NE(run.output.find("lo:"), std::string::npos) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), ':'), 1) << run.output;
    }

    // Input larger than a pipe holds reaches it whole; a child that reads nothing does not
    // block us.
    run = platform::RunSandboxed({"wc", "-c"}, std::string(1 << 20, 'x'), limits);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "1048576\n");
    run = platform::RunSandboxed({"true"}, std::string(1 << 20, 'x'), limits);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_FALSE(platform::RunSandboxed({"no-such-program-here"}, "", limits).started);
}

namespace {

// The probe, where every user may run it (the sandbox runs it as nobody when we are root).
std::string Probe(const TempDir& dir) {
    const std::string probe = dir / "sandbox_probe";
    std::filesystem::copy_file(SANDBOX_PROBE, probe);
    std::filesystem::permissions(probe, std::filesystem::perms(0755));
    return probe;
}

// What the probe found on each line, "what=result", as "what=result;" in one string.
std::string SocketsIn(const platform::SandboxRun& run) {
    std::string all;
    std::istringstream in(run.output);
    for (std::string line; std::getline(in, line);) {
        all += line + ";";
    }
    return all;
}

constexpr const char* kNoSocket =
    "unix=13;inet=13;inet-udp=13;inet6=13;packet=13;netlink=13;io_uring=13;socketpair=13;";

}  // namespace

// Whatever the sandbox is allowed besides, the child gets no socket: the system-call filter
// refuses them with EACCES. Checked as this process runs (root drops the child to nobody), with
// no network namespace as under the service's unit (RestrictNamespaces=yes), and from an
// ordinary user. unit-capabilities.sh runs this again with only the unit's capabilities.
TEST(Sandbox, TheChildHasNoNetwork) {
    TempDir dir;
    const std::string probe = Probe(dir);
    platform::SandboxLimits limits;
    limits.time = std::chrono::seconds(10);

    auto run = platform::RunSandboxed({probe, "sockets"}, "", limits);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(SocketsIn(run), kNoSocket) << "with a network namespace where one can be made";

    limits.networkNamespace = false;
    run = platform::RunSandboxed({probe, "sockets"}, "", limits);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(SocketsIn(run), kNoSocket) << "with the filter alone";

    if (geteuid() == 0) {
        for (const bool ns : {true, false}) {
            EXPECT_EQ(RunInChild(
                          [&] {
                              if (geteuid() == 0) {
                                  return 98;
                              }
                              platform::SandboxLimits asUser = limits;
                              asUser.networkNamespace = ns;
                              const auto r = platform::RunSandboxed({probe, "sockets"}, "", asUser);
                              return r.exitCode == 0 && SocketsIn(r) == kNoSocket ? 0 : 1;
                          },
                          true),
                      0)
                << "from an ordinary user, network namespace " << (ns ? "tried" : "not tried");
        }
    }

#if defined(__x86_64__)
    // A call through another ABI of the kernel, which the filter's numbers do not describe,
    // ends the child.
    for (const char* abi : {"int80", "x32"}) {
        run = platform::RunSandboxed({probe, abi}, "", limits);
        EXPECT_EQ(run.output, "start\n") << abi;
        EXPECT_EQ(run.exitCode, -1) << abi;
    }
#endif
}
