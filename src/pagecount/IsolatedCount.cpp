#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "pagecount/Isolated.h"
#include "platform/Host.h"
#include "platform/Sandbox.h"

#ifndef TESSAROVEN_LIBEXEC_FROM_BIN
#define TESSAROVEN_LIBEXEC_FROM_BIN "../libexec"
#endif

namespace pagecount {

namespace {

constexpr std::int64_t kMaxCopies = 32767;
// Longer than any error text a counter writes; the rest of a longer one is not kept.
constexpr std::size_t kMaxText = 300;

const char* const kNotFound = "the page counter program tessaroven-count was not found";
const char* const kNotStarted = "the page counter could not be started";
const char* const kFailed = "the page counter failed";
const char* const kTooLong = "counting took too long";
const char* const kNoMemory = "the document needs more memory than allowed to be counted";

// The child's answer, line by line; every read is checked against what must come next.
class Reply {
  public:
    explicit Reply(std::string_view text) : m_text(text) {}

    // The next line, which must be `expected`.
    bool Exact(std::string_view expected) {
        const auto line = Line();
        return line && *line == expected;
    }

    // The value of the next line, which must be "key value".
    std::optional<std::string_view> Next(std::string_view key) {
        const auto line = Line();
        if (!line) {
            return std::nullopt;
        }
        if (line->size() < key.size() + 1 || line->substr(0, key.size()) != key ||
            (*line)[key.size()] != ' ') {
            return std::nullopt;
        }
        return line->substr(key.size() + 1);
    }

    std::optional<std::int64_t> Number(std::string_view key, std::int64_t max) {
        const auto value = Next(key);
        if (!value || value->empty() || value->size() > 18) {
            return std::nullopt;
        }
        std::int64_t n = 0;
        for (const char c : *value) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            n = n * 10 + (c - '0');
        }
        if (n > max) {
            return std::nullopt;
        }
        return n;
    }

    // Text for the journal: printable, no control characters.
    std::optional<std::string> Text(std::string_view key) {
        const auto value = Next(key);
        if (!value || value->size() > kMaxText) {
            return std::nullopt;
        }
        for (const char c : *value) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7f) {
                return std::nullopt;
            }
        }
        return std::string(*value);
    }

    bool AtEnd() const { return m_at == m_text.size(); }

  private:
    std::optional<std::string_view> Line() {
        const std::size_t eol = m_text.find('\n', m_at);
        if (eol == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view line = m_text.substr(m_at, eol - m_at);
        m_at = eol + 1;
        return line;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

bool Executable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

// Runs the counting program in `mode`; an error text when it did not end well.
std::string Run(const char* mode, std::string_view data, int file, const Limits& limits,
                platform::SandboxRun& run) {
    const std::string program = CountProgram();
    if (program.empty()) {
        return kNotFound;
    }
    // A deadline far off (none given) must not overflow the clock's arithmetic.
    const auto left =
        std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(
                       limits.deadline - std::chrono::steady_clock::now()),
                   std::chrono::milliseconds(0), std::chrono::milliseconds(std::chrono::hours(24)));
    if (left.count() == 0) {
        return kTooLong;
    }
    const std::vector<std::string> argv = {program,
                                           mode,
                                           std::to_string(left.count()),
                                           std::to_string(limits.maxPages),
                                           std::to_string(limits.interpreterTime.count()),
                                           std::to_string(limits.interpreterMemory),
                                           limits.interpreter};
    platform::SandboxLimits sandbox;
    sandbox.time = left;
    // The document is mapped (or read) whole, the rest is what counting needs.
    sandbox.memoryBytes = data.size() + limits.counterMemory;
    sandbox.maxOutput = 4096;
    sandbox.inputFile = file;
    sandbox.startsPrograms = !limits.interpreter.empty();
    sandbox.cancel = limits.cancel;  // a stop gives the count up (the interpreter dies with it)
    run = platform::RunSandboxed(argv, data, sandbox);
    if (!run.started || run.exitCode == 126 || run.exitCode == 127) {
        return kNotStarted;
    }
    if (run.timedOut) {
        return kTooLong;
    }
    if (run.exitCode == kOutOfMemory) {
        return kNoMemory;
    }
    if (run.outputCut || run.exitCode != 0) {
        return kFailed;
    }
    return {};
}

}  // namespace

std::string CountProgram() {
    if (const char* set = std::getenv("TESSAROVEN_COUNT_PROGRAM"); set != nullptr && *set != 0) {
        return Executable(set) ? std::string(set) : std::string();
    }
    const std::string folder = platform::ExecutableFolder();
    if (folder.empty() || folder[0] != '/') {
        return {};  // never relative to wherever we happen to be
    }
    for (const std::string& path :
         {folder + "/" TESSAROVEN_LIBEXEC_FROM_BIN "/tessaroven/tessaroven-count",
          folder + "/tessaroven-count"}) {
        if (Executable(path)) {
            return path;
        }
    }
    return {};
}

Result CountDocumentIsolated(std::string_view data, int file, const Limits& limits) {
    Result result;
    platform::SandboxRun run;
    result.error = Run("pages", data, file, limits, run);
    if (!result.error.empty()) {
        return result;
    }
    Reply reply(run.output);
    const bool header = reply.Exact(kCountReplyHeader);
    const auto counted = reply.Number("counted", 1);
    const std::int64_t maxPages = std::max<std::int64_t>(limits.maxPages, 0);
    const auto pages = reply.Number(
        "pages", maxPages > INT64_MAX / kMaxCopies ? INT64_MAX : maxPages * kMaxCopies);
    const auto documentPages = reply.Number("document-pages", limits.maxPages);
    auto counter = reply.Text("counter");
    auto error = reply.Text("error");
    if (!header || !counted || !pages || !documentPages || !counter || !error || !reply.AtEnd() ||
        (*counted == 1 && counter->empty()) || (*counted == 0 && error->empty())) {
        result.error = kFailed;
        return result;
    }
    result.counter = std::move(*counter);
    if (*counted == 0) {
        result.error = std::move(*error);
        return result;
    }
    result.counted = true;
    result.pages = *pages;
    result.documentPages = *documentPages;
    return result;
}

std::int64_t PostScriptCopiesIsolated(std::string_view data, int file, const Limits& limits) {
    platform::SandboxRun run;
    if (!Run("copies", data, file, limits, run).empty()) {
        return 0;
    }
    Reply reply(run.output);
    const bool header = reply.Exact(kCountReplyHeader);
    const auto copies = reply.Number("copies", kMaxCopies);
    if (!header || !copies || !reply.AtEnd()) {
        return 0;
    }
    return *copies;
}

}  // namespace pagecount
