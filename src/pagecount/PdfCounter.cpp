#include <qpdf/QPDF.hh>

#include <exception>

#include "pagecount/PageCount.h"

// PDF pages are counted by qpdf, which reads the cross-reference table and walks the page tree
// (a tree that loops or is broken makes it throw, which makes the document damaged). The
// document's own /NumCopies (a viewer preference) only presets a print dialog: printers do not
// act on it, so it is not counted.

namespace pagecount {

Segment CountPdf(std::string_view data, std::size_t start, const Limits& limits) {
    Segment seg;
    seg.counter = "PDF";
    std::size_t end = data.find(kUel, start);
    if (end == std::string_view::npos) {
        end = data.size();
    }
    seg.end = end;
    const std::string_view pdfData = data.substr(start, end - start);
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processMemoryFile("print job", pdfData.data(), pdfData.size());
        const auto pages = static_cast<std::int64_t>(pdf.getAllPages().size());
        if (pages > limits.maxPages) {
            seg.error = "damaged PDF (too many pages)";
            return seg;
        }
        if (std::chrono::steady_clock::now() > limits.deadline) {
            seg.error = "counting took too long";
            return seg;
        }
        seg.pages = pages;
        seg.documentPages = pages;
        seg.ok = true;
    } catch (const std::exception& e) {
        seg.error = std::string("damaged PDF (") + e.what() + ")";
    }
    return seg;
}

}  // namespace pagecount
