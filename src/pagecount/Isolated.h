#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pagecount/PageCount.h"

// Counting in a child process: the counters read documents anyone can send, and a fault in one
// of them must cost no more than that document's count. The child is the program
// tessaroven-count under platform::RunSandboxed (nobody when we are root, no network, no files,
// its address space bounded by the document's size plus limits.counterMemory, killed at
// limits.deadline and with this process); it starts the PostScript interpreter itself, in a
// sandbox of its own. What it answers is checked before it is believed.
namespace pagecount {

// `file` is the document's file opened read-only, given to the child as its standard input so
// that it maps the document instead of getting a copy; -1: `data` goes through a pipe.
Result CountDocumentIsolated(std::string_view data, int file, const Limits& limits);

// As PostScriptCopies: 0 when the copies could not be read.
std::int64_t PostScriptCopiesIsolated(std::string_view data, int file, const Limits& limits);

// Where tessaroven-count is: $TESSAROVEN_COUNT_PROGRAM when set, else in the libexec folder
// beside the running program's bin folder, else beside the running program (a build tree).
// Empty when it is in none of them.
std::string CountProgram();

// What the child and its parent say to each other. The child is run as
//   tessaroven-count pages|copies MILLISECONDS MAX_PAGES INTERPRETER_MS INTERPRETER_BYTES
//   INTERPRETER
// with the document on its standard input, and answers one "key value" line each, in this
// order: for pages "tessaroven-count 1", "counted 0|1", "pages N", "document-pages N",
// "counter TEXT", "error TEXT"; for copies "tessaroven-count 1", "copies N". It exits with 0,
// or with kOutOfMemory when it needed more memory than it may have.
inline constexpr std::string_view kCountReplyHeader = "tessaroven-count 1";
inline constexpr int kOutOfMemory = 3;

}  // namespace pagecount
