#pragma once

#include <atomic>
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
    // Also give it a network namespace of its own where the kernel allows one. Tests turn it off
    // to see the child as the service's unit leaves it (RestrictNamespaces=yes): with the
    // system-call filter alone.
    bool networkNamespace = true;
    // Set (by another thread): the child is killed as at the deadline (a stop of the program).
    const std::atomic<bool>* cancel = nullptr;
    // When not negative: a regular file the child reads as its standard input in place of
    // `input`, so that a large document reaches it without a copy. Shared with the child, so
    // opened read-only.
    int inputFile = -1;
    // It may start programs of its own (each through RunSandboxed in turn). Running as nobody it
    // then shares a bound on the processes of that account; otherwise it may start none.
    bool startsPrograms = false;
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
// environment, no other open files, no network (a seccomp filter refuses every socket with
// EACCES, on top of a network namespace where one can be made; a child that would keep the
// network does not run), the rights of nobody when we run as root, no further processes (unless
// limits.startsPrograms), may create no file larger than nothing, runs at low priority, is killed
// with its group when the time is up, and is killed when the thread that started it ends (so
// also with this process). Returns once the child has ended.
SandboxRun RunSandboxed(const std::vector<std::string>& argv, std::string_view input,
                        const SandboxLimits& limits);

}  // namespace platform
