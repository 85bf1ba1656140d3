#pragma once

#include <chrono>
#include <string>

#include "pagecount/PageCount.h"
#include "support/TestSupport.h"

namespace testsupport {

// Limits for counting printer data: a deadline far enough for a loaded machine, and no
// interpreter (printer data never needs one).
inline pagecount::Limits PrinterDataLimits() {
    pagecount::Limits limits;
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    limits.interpreter.clear();
    return limits;
}

// A PostScript program without page comments that shows `pages` pages of text.
inline std::string PlainPostScript(int pages) {
    return "%!PS\n/Helvetica findfont 24 scalefont setfont\n1 1 " + std::to_string(pages) +
           " { /n exch def 72 700 moveto (Page ) show n 9 string cvs show 72 72 moveto "
           "(a line of text) show showpage } for\n";
}

// Three pages as drawing programs make them: text, a grey image and a mask on the first, the
// second blank, a filled box, a dashed line and small text on the third.
inline std::string DrawnPostScript() {
    return "%!PS\n/Times-Roman findfont 30 scalefont setfont 72 700 moveto (Text and images) show\n"
           "gsave 100 300 translate 200 200 scale 16 16 8 [16 0 0 16 0 0] "
           "{<00ff10ef20df30cf40bf50af609f708f807f906fa05fb04fc03fd02fe01ff00>} image grestore\n"
           "gsave 100 100 translate 100 100 scale 16 16 true [16 0 0 16 0 0] "
           "{<0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c>} imagemask "
           "grestore showpage\nshowpage\n"
           "0.5 setgray 50 50 400 400 rectfill 2 setlinewidth 0 setgray newpath 10 10 moveto "
           "500 700 lineto [4 2] 0 setdash stroke\n"
           "/Courier findfont 12 scalefont setfont 72 600 moveto (small text 12345) show "
           "showpage\n";
}

// The document Ghostscript's output device makes of `source` (pdfwrite, ps2write, pxlmono,
// pxlcolor, ljet4); extra options such as -dNumCopies=2 go to the device. Empty on failure.
inline std::string GhostscriptDocument(const TempDir& dir, const std::string& device,
                                       const std::string& source,
                                       const std::vector<std::string>& extra = {}) {
    static int serial = 0;
    const std::string in = dir / ("in" + std::to_string(++serial) + ".ps");
    const std::string out = dir / ("out" + std::to_string(serial) + "." + device);
    WriteFile(in, source);
    std::vector<std::string> argv{"/usr/bin/gs",        "-q",      "-dBATCH",
                                  "-dNOPAUSE",          "-dSAFER", "-sDEVICE=" + device,
                                  "-sOutputFile=" + out};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(in);
    if (RunCommand(argv).exitCode != 0 || !Exists(out)) {
        return {};
    }
    return ReadFile(out);
}

// The printer data a Debian printer driver makes of a PDF or PostScript file, as a print queue
// with that driver would send it: the PPD's whole filter chain, run by cupsfilter without a
// scheduler. ppd is a PPD file, or the URI of a PPD that a driver's generator writes
// ("foo2zjs:0/ppd/foo2zjs/HP-LaserJet_1020.ppd", "drv:///sample.drv/generic.ppd", as
// `lpinfo -m` lists them); options are
// cupsfilter's (-o copies=2). Empty when the driver is not installed or failed.
inline std::string DriverDocument(const TempDir& dir, const std::string& ppd,
                                  const std::string& inputFile,
                                  const std::vector<std::string>& options = {}) {
    static int serial = 0;
    std::string ppdFile = ppd;
    if (ppd.empty() || ppd[0] != '/') {
        // CUPS's own drivers (drv:///sample.drv/...) come from its driver daemon.
        const std::string scheme = ppd.substr(0, ppd.find(':'));
        const std::string generator = scheme == "drv" ? "/usr/lib/cups/daemon/cups-driverd"
                                                      : "/usr/lib/cups/driver/" + scheme;
        const auto made = RunCommand({generator, "cat", ppd});
        if (made.exitCode != 0 || made.out.empty()) {
            return {};
        }
        ppdFile = dir / ("driver" + std::to_string(++serial) + ".ppd");
        WriteFile(ppdFile, made.out);
    }
    std::vector<std::string> argv{"/usr/sbin/cupsfilter", "-e", "-p", ppdFile, "-m",
                                  "printer/test"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(inputFile);
    const auto run = RunCommand(argv);
    return run.exitCode == 0 ? run.out : std::string();
}

inline std::string InPjl(const std::string& language, const std::string& body,
                         const std::string& settings = "") {
    const std::string uel = "\x1b%-12345X";
    return uel + "@PJL JOB NAME = \"test\"\r\n" + settings + "@PJL ENTER LANGUAGE = " + language +
           "\r\n" + body + uel + "@PJL EOJ\r\n" + uel;
}

}  // namespace testsupport
