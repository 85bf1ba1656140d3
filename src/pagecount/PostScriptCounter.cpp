#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "pagecount/PageCount.h"
#include "platform/Sandbox.h"

// PostScript is a program: only running it says for sure how many pages it shows. Documents
// that follow the document structuring conventions announce their pages (%%Pages: and one
// %%Page: per page); when the announcement and the page comments agree and copies are set only
// before the first page, the comments are taken. Otherwise the document runs in Ghostscript,
// sandboxed, and a page-end hook of ours reports every page it prints with its copies.

namespace pagecount {

namespace {

constexpr std::int64_t kMaxCopies = 32767;
constexpr std::string_view kMarker = "\n%TessarovenPage ";

struct Conventions {
    bool conforming = false;      // starts with %!PS-Adobe-
    std::int64_t announced = -1;  // %%Pages:
    std::int64_t pageComments = 0;
    std::int64_t copies = 1;
    bool copiesInPages = false;  // a copy count set after the first page began
    bool copiesSet = false;
    bool copiesUnreadable = false;  // set in a way only the interpreter can follow
};

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// A non-negative integer at the start of s after blanks; -1 when there is none.
std::int64_t LeadingNumber(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) {
        ++i;
    }
    std::int64_t value = -1;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        value = std::min<std::int64_t>((value < 0 ? 0 : value) * 10 + (s[i] - '0'), 1'000'000'000);
    }
    return value;
}

constexpr std::string_view kDelimiters = " \t\r\n/{}[]<>()%";

// The PostScript token at the start of s after blanks: a name with its slashes, a number, ">>",
// or one delimiter.
std::string_view NextToken(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) {
        ++i;
    }
    s.remove_prefix(i);
    if (s.empty()) {
        return s;
    }
    if (s.substr(0, 2) == ">>" || s.substr(0, 2) == "<<") {
        return s.substr(0, 2);
    }
    std::size_t end = 0;
    while (end < s.size() && s[end] == '/') {
        ++end;
    }
    if (end == 0 && kDelimiters.find(s[0]) != std::string_view::npos) {
        return s.substr(0, 1);
    }
    while (end < s.size() && kDelimiters.find(s[end]) == std::string_view::npos) {
        ++end;
    }
    return s.substr(0, end);
}

// "/#copies 2 def" or "<< /NumCopies 2 >> setpagedevice" anywhere in a line: the copy count it
// sets. A copy count taken from the stack or computed ("userdict /#copies 3 -1 roll put") is
// left to the interpreter; one that is only read ("/NumCopies get") changes nothing.
void FindCopies(std::string_view line, bool inPages, Conventions& dsc) {
    for (std::string_view key : {std::string_view("/NumCopies"), std::string_view("/#copies")}) {
        for (std::size_t at = line.find(key); at != std::string_view::npos;
             at = line.find(key, at + key.size())) {
            std::string_view rest = line.substr(at + key.size());
            if (!rest.empty() && kDelimiters.find(rest[0]) == std::string_view::npos) {
                continue;  // a longer name: /NumCopiesX
            }
            const std::int64_t n = LeadingNumber(rest);
            const std::string_view value = NextToken(rest);
            const std::string_view after =
                NextToken(rest.substr(value.data() - rest.data() + value.size()));
            if (n >= 0 && value.find_first_not_of("0123456789") == std::string_view::npos &&
                (after == "def" || after == "put" || after == "store" || after == ">>" ||
                 (!after.empty() && after[0] == '/'))) {
                dsc.copies = std::clamp<std::int64_t>(n, 1, kMaxCopies);
            } else if (value == "get" || value == "known" || value == "knownget" ||
                       value == "//knownget" || value == "load" || value == "where" ||
                       value.empty()) {
                continue;  // read, not set
            } else {
                dsc.copiesUnreadable = true;
            }
            dsc.copiesSet = true;
            dsc.copiesInPages = dsc.copiesInPages || inPages;
        }
    }
}

bool ScanConventions(std::string_view ps, const Limits& limits, Conventions& dsc) {
    std::size_t skip = 0;
    while (skip < ps.size() && (ps[skip] == '\x04' || ps[skip] == '\n' || ps[skip] == '\r')) {
        ++skip;
    }
    dsc.conforming = StartsWith(ps.substr(skip), "%!PS-Adobe-");
    int embedded = 0;
    std::size_t lines = 0;
    for (std::size_t pos = skip; pos < ps.size();) {
        const std::size_t eol = ps.find_first_of("\r\n", pos);
        const std::size_t end = eol == std::string_view::npos ? ps.size() : eol;
        const std::string_view line = ps.substr(pos, end - pos);
        pos = end + 1;
        if ((++lines & 0xffff) == 0 && std::chrono::steady_clock::now() > limits.deadline) {
            return false;
        }
        if (StartsWith(line, "%%")) {
            if (StartsWith(line, "%%BeginDocument")) {
                ++embedded;
            } else if (StartsWith(line, "%%EndDocument")) {
                embedded = std::max(0, embedded - 1);
            } else if (embedded == 0 && StartsWith(line, "%%Pages:")) {
                const std::int64_t n = LeadingNumber(line.substr(8));
                if (n >= 0) {
                    dsc.announced = n;  // the trailer's, after "(atend)"
                }
            } else if (embedded == 0 && StartsWith(line, "%%Page:")) {
                ++dsc.pageComments;
            }
            continue;
        }
        FindCopies(line, dsc.pageComments > 0, dsc);
    }
    return true;
}

bool Trustworthy(const Conventions& dsc) {
    return dsc.conforming && dsc.announced > 0 && dsc.announced == dsc.pageComments &&
           !dsc.copiesInPages && !dsc.copiesUnreadable;
}

// Runs the document and reads the hook's report: the pages it printed and their copies.
Segment Interpret(std::string_view ps, const Limits& limits) {
    Segment seg;
    seg.counter = "PostScript interpreter";
    if (limits.interpreter.empty()) {
        seg.error = "no PostScript interpreter";
        return seg;
    }
    // EndPage gets the page count and a reason (0 showpage, 1 copypage, 2 the device goes) and
    // says whether the page is printed.
    const std::string hook =
        "<< /EndPage { exch pop dup 2 ne { (" + std::string("\\n%TessarovenPage ") +
        ") print currentpagedevice /NumCopies known { currentpagedevice /NumCopies get } "
        "{ null } ifelse dup type /integertype ne { pop /#copies where { /#copies get } "
        "{ 1 } ifelse } if dup type /integertype ne { pop 1 } if = flush } if 2 ne } bind >> "
        "setpagedevice";
    const std::vector<std::string> argv = {
        limits.interpreter,  "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT",
        "-sDEVICE=nullpage", "-c", hook,      "-f",      "-_"};
    platform::SandboxLimits sandbox;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        limits.deadline - std::chrono::steady_clock::now());
    sandbox.time = std::max(std::chrono::milliseconds(0), std::min(limits.interpreterTime, left));
    sandbox.memoryBytes = limits.interpreterMemory;
    sandbox.cancel = limits.cancel;
    const platform::SandboxRun run = platform::RunSandboxed(argv, ps, sandbox);
    if (!run.started) {
        seg.error = "the PostScript interpreter could not be started";
        return seg;
    }
    if (run.timedOut) {
        seg.error = "the PostScript interpreter took too long";
        return seg;
    }
    if (run.outputCut) {
        seg.error = "the PostScript interpreter wrote too much";
        return seg;
    }
    if (run.exitCode == 127) {
        seg.error = "the PostScript interpreter could not be started";
        return seg;
    }
    for (std::size_t at = run.output.find(kMarker); at != std::string::npos;
         at = run.output.find(kMarker, at + kMarker.size())) {
        const std::int64_t copies =
            LeadingNumber(std::string_view(run.output).substr(at + kMarker.size()));
        seg.pages += std::clamp<std::int64_t>(copies, 1, kMaxCopies);
        ++seg.documentPages;
    }
    if (seg.documentPages > limits.maxPages) {
        seg.error = "damaged PostScript (too many pages)";
        return seg;
    }
    seg.ok = true;
    return seg;
}

// Where the PostScript that starts at START ends: at a PJL escape back to the job, or at the
// end of the data.
std::size_t EndOfPostScript(std::string_view data, std::size_t start) {
    const std::size_t end = data.find(kUel, start);
    return end == std::string_view::npos ? data.size() : end;
}

}  // namespace

Segment CountPostScript(std::string_view data, std::size_t start, const Limits& limits) {
    const std::size_t end = EndOfPostScript(data, start);
    const std::string_view ps = data.substr(start, end - start);
    Conventions dsc;
    if (!ScanConventions(ps, limits, dsc)) {
        Segment seg;
        seg.error = "counting took too long";
        return seg;
    }
    Segment seg;
    if (Trustworthy(dsc)) {
        seg.ok = true;
        seg.counter = "PostScript page comments";
        seg.documentPages = dsc.announced;
        seg.pages = dsc.announced * dsc.copies;
    } else {
        seg = Interpret(ps, limits);
    }
    seg.end = end;
    return seg;
}

std::int64_t PostScriptCopies(std::string_view data, const Limits& limits) {
    std::size_t start = 0;
    if (DetectFormat(data) != Format::PostScript) {
        return 0;
    }
    // Past a PJL header, if any.
    if (const std::size_t ps = data.find("%!"); ps != std::string_view::npos) {
        start = ps;
    }
    const std::string_view ps = data.substr(start, EndOfPostScript(data, start) - start);
    Conventions dsc;
    if (!ScanConventions(ps, limits, dsc)) {
        return 0;
    }
    if (dsc.conforming && !dsc.copiesInPages && !dsc.copiesUnreadable) {
        return dsc.copies;
    }
    const Segment seg = Interpret(ps, limits);
    if (!seg.ok) {
        return 0;
    }
    return seg.documentPages == 0 ? 1 : std::max<std::int64_t>(1, seg.pages / seg.documentPages);
}

}  // namespace pagecount
