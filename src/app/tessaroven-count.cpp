// tessaroven-count: counts the pages of one print job's document, read from standard input, in
// the sandbox its parent (pagecount::CountDocumentIsolated) starts it in, and answers on
// standard output as pagecount/Isolated.h describes. Not meant to be run by hand.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "pagecount/Isolated.h"

namespace {

// A counter that runs out of memory ends here, before it could take the failed allocation for
// a damaged document.
[[noreturn]] void OutOfMemory() {
    _exit(pagecount::kOutOfMemory);
}

bool ToNumber(const char* text, std::int64_t& value) {
    const char* end = text + std::strlen(text);
    const auto [at, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && at == end && value >= 0;
}

// Error texts and counter names on one line each.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    return text.substr(0, 250);
}

// The document: the file itself when standard input is one (the parent gives it so that large
// documents are not copied), else everything read from standard input.
class Input {
  public:
    // False when there was not enough memory to have it.
    bool Read() {
        struct stat st {};
        if (fstat(0, &st) == 0 && S_ISREG(st.st_mode)) {
            m_size = static_cast<std::size_t>(st.st_size);
            if (m_size == 0) {
                return true;
            }
            void* p = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, 0, 0);
            if (p == MAP_FAILED) {
                return false;
            }
            m_mapped = p;
            return true;
        }
        char buf[65536];
        for (;;) {
            const ssize_t n = read(0, buf, sizeof buf);
            if (n > 0) {
                m_bytes.append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                return true;
            }
        }
    }

    std::string_view Data() const {
        if (m_mapped != nullptr) {
            return {static_cast<const char*>(m_mapped), m_size};
        }
        return m_bytes;
    }

  private:
    void* m_mapped = nullptr;
    std::size_t m_size = 0;
    std::string m_bytes;
};

}  // namespace

int main(int argc, char** argv) {
    std::set_new_handler(OutOfMemory);
    pagecount::Limits limits;
    std::int64_t milliseconds = 0;
    std::int64_t interpreterMilliseconds = 0;
    std::int64_t interpreterMemory = 0;
    if (argc != 7 || !ToNumber(argv[2], milliseconds) || !ToNumber(argv[3], limits.maxPages) ||
        !ToNumber(argv[4], interpreterMilliseconds) || !ToNumber(argv[5], interpreterMemory)) {
        std::fprintf(stderr,
                     "usage: tessaroven-count pages|copies MILLISECONDS MAX_PAGES "
                     "INTERPRETER_MS INTERPRETER_BYTES INTERPRETER < DOCUMENT\n");
        return 2;
    }
    limits.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    limits.interpreterTime = std::chrono::milliseconds(interpreterMilliseconds);
    limits.interpreterMemory = static_cast<std::uint64_t>(interpreterMemory);
    limits.interpreter = argv[6];
    const std::string_view mode = argv[1];
    Input input;
    if (!input.Read()) {
        OutOfMemory();
    }
    std::string reply(pagecount::kCountReplyHeader);
    reply += '\n';
    if (mode == "pages") {
        const pagecount::Result result = pagecount::CountDocument(input.Data(), limits);
        reply += "counted " + std::string(result.counted ? "1" : "0") + "\npages " +
                 std::to_string(result.pages) + "\ndocument-pages " +
                 std::to_string(result.documentPages) + "\ncounter " + OneLine(result.counter) +
                 "\nerror " + OneLine(result.error) + "\n";
    } else if (mode == "copies") {
        reply +=
            "copies " + std::to_string(pagecount::PostScriptCopies(input.Data(), limits)) + "\n";
    } else {
        return 2;
    }
    return std::fwrite(reply.data(), 1, reply.size(), stdout) == reply.size() &&
                   std::fflush(stdout) == 0
               ? 0
               : 1;
}
