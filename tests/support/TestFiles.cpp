// The parts of the test support every system has: folders and files.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/TestSupport.h"

namespace testsupport {

namespace {

// Paths are UTF-8 throughout, also where the system's own narrow paths are not.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The folders of the running test (reset when the next test starts).
std::vector<std::string>& Folders() {
    static std::vector<std::string> folders;
    static const ::testing::TestInfo* test = nullptr;
    const auto* running = ::testing::UnitTest::GetInstance()->current_test_info();
    if (running != test) {
        test = running;
        folders.clear();
    }
    return folders;
}

}  // namespace

const std::vector<std::string>& detail::RunningTestFolders() {
    return Folders();
}

TempDir::TempDir() {
    auto& folders = Folders();
    if (const auto& inherited = detail::InheritedFolders(); folders.size() < inherited.size()) {
        m_path = inherited[folders.size()];
        m_inherited = true;
        folders.push_back(m_path);
        return;
    }
    std::mt19937 random{std::random_device{}()};
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = base / ("tessaroven-test-" + std::to_string(random() % 1000000000));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            // Tests that drop to an unprivileged user must still reach their files.
            std::filesystem::permissions(candidate, std::filesystem::perms::all, ec);
            const auto name = candidate.u8string();
            m_path.assign(name.begin(), name.end());
            folders.push_back(m_path);
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
    if (m_inherited) {
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(PathOf(m_path), ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::symlink_status(PathOf(path), ec).type() !=
           std::filesystem::file_type::not_found;
}

}  // namespace testsupport
