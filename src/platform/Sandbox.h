#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Limits for a program that handles untrusted input.
struct SandboxLimits {
    std::chrono::milliseconds time{30'000};  // wall clock; the process group is killed after it
    std::uint64_t memoryBytes = 1024ull * 1024 * 1024;  // address space
    std::size_t maxOutput = 16 * 1024 * 1024;           // standard output kept; the rest ends it
};

struct SandboxRun {
    bool started = false;
    bool timedOut = false;
    bool outputCut = false;
    int exitCode = -1;   // -1 when it was killed by a signal
    std::string output;  // standard output
};

// Runs argv[0] (searched in PATH) in a process group of its own with `input` on its standard
// input and its standard output captured; standard error goes nowhere. The child gets a bare
// environment, no other open files, no network where the kernel lets us take it away, the
// rights of nobody when we run as root, no further processes, may create no file larger than
// nothing, runs at low priority, and is killed with its group when the time is up.
SandboxRun RunSandboxed(const std::vector<std::string>& argv, std::string_view input,
                        const SandboxLimits& limits);

}  // namespace platform
