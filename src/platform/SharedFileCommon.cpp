#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "platform/SharedFile.h"
#include "platform/SharedFileNames.h"

namespace platform {

namespace {

constexpr const char* kReplacementPrefix = "prn";
constexpr size_t kReplacementSuffix = 6;

std::mutex refusedMutex;
std::string refusedDir;

}  // namespace

namespace detail {

bool IsReplacementName(std::string_view name) {
    if (name.size() != std::strlen(kReplacementPrefix) + kReplacementSuffix ||
        !name.starts_with(kReplacementPrefix)) {
        return false;
    }
    return std::all_of(name.begin() + 3, name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

std::string RandomReplacementName() {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
    std::string name = kReplacementPrefix;
    for (size_t i = 0; i < kReplacementSuffix; ++i) {
        name += kChars[pick(random)];
    }
    return name;
}

bool RefusesAppending(const std::string& path) {
    std::lock_guard lock(refusedMutex);
    return !refusedDir.empty() && path.starts_with(refusedDir);
}

SharedFile::LockResult RetryLock(std::chrono::milliseconds wait,
                                 const std::function<LockTry()>& tryOnce) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        switch (tryOnce()) {
            case LockTry::Locked:
                return SharedFile::LockResult::Locked;
            case LockTry::Failed:
                return SharedFile::LockResult::Unsupported;
            case LockTry::Busy:
                break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return SharedFile::LockResult::TimedOut;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace detail

void RefuseAppendingOpensIn(const std::string& dir) {
    std::lock_guard lock(refusedMutex);
    const char separator = dir.find('\\') != std::string::npos ? '\\' : '/';
    refusedDir = dir.empty() || dir.back() == separator ? dir : dir + separator;
}

SharedFile::~SharedFile() {
    Close();
}

SharedFile::SharedFile(SharedFile&& other) noexcept
    : m_fd(other.m_fd), m_seekToEnd(other.m_seekToEnd) {
    other.m_fd = -1;
}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        m_seekToEnd = other.m_seekToEnd;
        other.m_fd = -1;
    }
    return *this;
}

ReplacementFile::~ReplacementFile() {
    Discard();
}

}  // namespace platform
