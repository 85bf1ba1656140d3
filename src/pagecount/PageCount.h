#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Counting the pages of a print job from its document: the printer language is told from the
// bytes, and each language has its own counter. Every counter treats the document as hostile:
// it reads only within the given bytes, stops at the deadline, and never runs anything from the
// document except through the sandboxed PostScript interpreter.
namespace pagecount {

// The printer languages told apart. A language without a counter of its own is never counted
// as another one: its documents are not counted at all.
enum class Format {
    Unknown,
    // Page description languages
    Pdf,
    PostScript,
    PclXl,
    Pcl5,
    // Host-based ("GDI") laser printers
    ZjStream,
    Slx,
    Xqx,
    Hbpl,
    // More host-based printers: foo2zjs's other drivers, splix
    LavaFlow,
    Hiperc,
    Qpdl,
    Oak,
    Ddst,
    // Epson, Canon and Japanese page printer languages
    EscP,
    EscPr,
    CanonBj,
    EscPage,
    Lips,
    // Raster formats, label printers and HP's other languages
    PwgRaster,
    AppleRaster,
    CupsRaster,
    Zpl,
    Epl,
    EplLine,
    Cpcl,
    Dymo,
    PTouch,
    Hpgl2,
    Lidil,
    KodakEsp,
    // Older host-based printers: Ghostscript's devices and small Debian drivers
    SamsungGdi,
    Hbp,
    SagGdi,
    MinoltaGdi,
    // Ricoh and NEC page printer languages
    Rpdl,
    Npdl,
    // Older dot matrix, inkjet and page printers that Ghostscript's own devices drive
    IbmProprinter,
    OkiMicroline,
    Jj100,
    DecSixel,
    Xes,
    Ricoh4081,
    Tek4693,
    FujitsuFm,
    OkiMl600,
    Lexmark5700,
    DecLj250,
    Tek4696,
    // Files for fax software, HP's LaserJet 3100 software and Imagen printers (Ghostscript's
    // cfax, lj3100sw and imagen devices)
    Sff,
    Lj3100,
    Impress,
};

const char* FormatName(Format format);

// How far counting may go.
struct Limits {
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // More pages than this is no real print job: the document is taken as damaged.
    std::int64_t maxPages = 1'000'000;
    // The PostScript interpreter, run as a separate process under these limits; empty: none.
    std::string interpreter = "gs";
    std::chrono::milliseconds interpreterTime{30'000};
    std::uint64_t interpreterMemory = 1024ull * 1024 * 1024;
    // Set (by another thread): a count that runs in another process is given up at once.
    const std::atomic<bool>* cancel = nullptr;
    // What the counting process (CountDocumentIsolated) may use besides the document's own
    // size: qpdf's objects, the counters' tables, the program and its libraries.
    std::uint64_t counterMemory = 1024ull * 1024 * 1024;
};

struct Result {
    bool counted = false;
    // Pages as the printer prints them: copies the document asks for included.
    std::int64_t pages = 0;
    // Pages of the document once.
    std::int64_t documentPages = 0;
    // Which counter counted it, e.g. "PCL XL in PJL" or "PostScript interpreter".
    std::string counter;
    // Why the document could not be counted.
    std::string error;
};

// Counts any of the supported documents, also wrapped in PJL.
Result CountDocument(std::string_view data, const Limits& limits = {});

// The language the document is written in, looking past a PJL header.
Format DetectFormat(std::string_view data);

// Only the copies a PostScript document asks for itself (1 when it asks for none), for a job
// whose pages the scheduler has counted already: counting them again would only cost time.
// 0 when the document cannot be read.
std::int64_t PostScriptCopies(std::string_view data, const Limits& limits = {});

// What one language counter found in its part of the document.
struct Segment {
    bool ok = false;
    std::int64_t pages = 0;          // copies included
    std::int64_t documentPages = 0;  // each page once
    std::size_t end = 0;             // where the language's data ended (a UEL, or the end)
    std::string error;
    std::string counter;
};

// Each counter starts at `start` and ends at the end of the data or at a Universal Exit
// Language sequence, which hands control back to PJL. defaultCopies is what PJL set.
Segment CountPclXl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits);
Segment CountPcl5(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
Segment CountPostScript(std::string_view data, std::size_t start, const Limits& limits);
Segment CountPdf(std::string_view data, std::size_t start, const Limits& limits);

// Epson, Canon and Japanese page printer languages. ESC/P covers ESC/P2 and the 24-pin
// commands; EJL lines before the data are skipped.
Segment CountEscP(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
bool StartsEscP(std::string_view data, std::size_t start);
// ESC/P-R is counted by CountEscP too: it switches to it from ESC/P2.
bool StartsEscPr(std::string_view data, std::size_t start);
Segment CountCanonBj(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits);
bool StartsCanonBj(std::string_view data, std::size_t start);
Segment CountEscPage(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits);
bool StartsEscPage(std::string_view data, std::size_t start);
Segment CountLips(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
bool StartsLips(std::string_view data, std::size_t start);
// Raster formats, label printers and HP's other languages. CUPS raster and PWG raster share one
// counter, which names the one it found.
Segment CountCupsRaster(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                        const Limits& limits);
Segment CountAppleRaster(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                         const Limits& limits);
bool StartsPwgRaster(std::string_view data, std::size_t start);
bool StartsCupsRaster(std::string_view data, std::size_t start);
bool StartsAppleRaster(std::string_view data, std::size_t start);
Segment CountZpl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountEpl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountEplLine(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits);
Segment CountCpcl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
Segment CountDymo(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
Segment CountPtouch(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                    const Limits& limits);
bool StartsZpl(std::string_view data, std::size_t start);
bool StartsEpl(std::string_view data, std::size_t start);
bool StartsEplLine(std::string_view data, std::size_t start);
bool StartsCpcl(std::string_view data, std::size_t start);
bool StartsDymo(std::string_view data, std::size_t start);
bool StartsPtouch(std::string_view data, std::size_t start);
// HP-GL/2 on its own (plotters, behind PJL); inside PCL 5 the PCL 5 counter reads it.
Segment CountHpgl2(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits);
bool StartsHpgl2(std::string_view data, std::size_t start);
Segment CountLidil(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits);
bool StartsLidil(std::string_view data, std::size_t start);
Segment CountKodakEsp(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits);
bool StartsKodakEsp(std::string_view data, std::size_t start);

// Whether the data at `start` is PCL 5: its first escape sequence is one PCL has.
bool StartsPcl5(std::string_view data, std::size_t start);

// Host-based laser printers' streams (foo2zjs's drivers and the Windows drivers they follow).
bool StartsZjStream(std::string_view data, std::size_t start);
bool StartsSlx(std::string_view data, std::size_t start);
bool StartsXqx(std::string_view data, std::size_t start);
bool StartsHbpl(std::string_view data, std::size_t start);
Segment CountZjStream(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits);
Segment CountSlx(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountXqx(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountHbpl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);

// More host-based printers' streams: LAVAFLOW (Konica Minolta magicolor, foo2lava), HIPERC (Oki,
// foo2hiperc), QPDL (Samsung, foo2qpdl and splix), OAK (HP Color LaserJet 1500, foo2oak) and
// DDST (Ricoh SP, foo2ddst; its pages are PJL lines with their bitmaps).
bool StartsLavaFlow(std::string_view data, std::size_t start);
bool StartsHiperc(std::string_view data, std::size_t start);
bool StartsQpdl(std::string_view data, std::size_t start);
bool StartsOak(std::string_view data, std::size_t start);
bool StartsDdst(std::string_view data, std::size_t start);
Segment CountLavaFlow(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits);
Segment CountHiperc(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                    const Limits& limits);
Segment CountQpdl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
Segment CountOak(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountDdst(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);

// Older host-based printers' streams: Samsung GDI (PJL's SMART; Ghostscript's gdi and
// samsunggdi devices), HBP (Brother HL-720/730, Ghostscript's hl7x0) and SAG-GDI (Ricoh Aficio
// SP 1000S/1100S, rastertosag-gdi) and Minolta GDI (PagePro 1200W-1400W by min12xxw, magicolor
// 2300W/2400W by m2300w).
bool StartsMinoltaGdi(std::string_view data, std::size_t start);
bool StartsSamsungGdi(std::string_view data, std::size_t start);
bool StartsHbp(std::string_view data, std::size_t start);
bool StartsSagGdi(std::string_view data, std::size_t start);
Segment CountSamsungGdi(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                        const Limits& limits);
Segment CountHbp(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountSagGdi(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                    const Limits& limits);
Segment CountMinoltaGdi(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                        const Limits& limits);

// Ricoh's RPDL and NEC's NPDL page printers (Ghostscript's rpdl and npdl devices).
bool StartsRpdl(std::string_view data, std::size_t start);
bool StartsNpdl(std::string_view data, std::size_t start);
Segment CountRpdl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
Segment CountNpdl(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                  const Limits& limits);
// Older dot matrix, inkjet and page printers that Ghostscript's own devices drive: IBM
// Proprinter (ibmpro, okiibm; counted by the ESC/P walker with IBM's parameters), Oki Microline
// (oki182), Star JJ-100 (jj100), DEC sixel printers (la50, la70, la75, la75plus, ln03, dl2100),
// Xerox XES (xes), Ricoh 4081 (r4081), Tektronix 4693D (t4693d2/4/8), Fujitsu FM (fmpr,
// fmlbp), Oki ML600 (ml600), Lexmark 5700/7000 (lex5700, lex7000, lex3200, lex2050,
// lxm5700m), DEC LJ250 (declj250: PCL inside ESC %8 ... ESC %@) and Tektronix 4696 (tek4696).
bool StartsIbmProprinter(std::string_view data, std::size_t start);
bool StartsOkiMicroline(std::string_view data, std::size_t start);
bool StartsJj100(std::string_view data, std::size_t start);
bool StartsDecSixel(std::string_view data, std::size_t start);
bool StartsXes(std::string_view data, std::size_t start);
bool StartsRicoh4081(std::string_view data, std::size_t start);
bool StartsTek4693(std::string_view data, std::size_t start);
bool StartsFujitsuFm(std::string_view data, std::size_t start);
bool StartsOkiMl600(std::string_view data, std::size_t start);
bool StartsLexmark5700(std::string_view data, std::size_t start);
bool StartsDecLj250(std::string_view data, std::size_t start);
bool StartsTek4696(std::string_view data, std::size_t start);
Segment CountIbmProprinter(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                           const Limits& limits);
Segment CountOkiMicroline(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                          const Limits& limits);
Segment CountJj100(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                   const Limits& limits);
Segment CountDecSixel(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits);
Segment CountXes(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountRicoh4081(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                       const Limits& limits);
Segment CountTek4693(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits);
Segment CountFujitsuFm(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                       const Limits& limits);
Segment CountOkiMl600(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits);
Segment CountLexmark5700(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                         const Limits& limits);
Segment CountDecLj250(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                      const Limits& limits);
Segment CountTek4696(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits);

// Files for fax software, HP's LaserJet 3100 software and Imagen printers, as Ghostscript's
// cfax, lj3100sw and imagen devices write them: SFF, the LaserJet 3100's sections and imPRESS.
bool StartsSff(std::string_view data, std::size_t start);
bool StartsLj3100(std::string_view data, std::size_t start);
bool StartsImpress(std::string_view data, std::size_t start);
Segment CountSff(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                 const Limits& limits);
Segment CountLj3100(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                    const Limits& limits);
Segment CountImpress(std::string_view data, std::size_t start, std::int64_t defaultCopies,
                     const Limits& limits);

// The Universal Exit Language sequence that starts and ends PJL jobs.
inline constexpr std::string_view kUel = "\x1b%-12345X";

}  // namespace pagecount
