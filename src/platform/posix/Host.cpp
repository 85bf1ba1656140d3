#include "platform/Host.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr) {
        return result->pw_dir;
    }
    return "/";
}

}  // namespace

std::string ServiceLockPath() {
    return EnvOr("TESSAROVEN_SERVICE_LOCK", "/run/tessaroven/service.lock");
}

std::string ComputerName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) {
        return {};
    }
    std::string name(buf);
    if (auto dot = name.find('.'); dot != std::string::npos) {
        name.resize(dot);
    }
    return name;
}

std::string UserName() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr) {
        return result->pw_name;
    }
    return {};
}

std::string CommonAppDataFolder() {
    return EnvOr("TESSAROVEN_COMMON_APPDATA", "/var/lib");
}

std::string ExecutableFolder() {
    std::vector<char> buf(4096);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) {
        return ".";
    }
    std::string path(buf.data(), static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return {argv, argv + argc};
}

void UseBinaryStandardStreams() {}

std::string SystemErrorText(int error) {
    char buf[256] = {};
    // The GNU strerror_r returns the text, which may or may not be in buf.
    const char* text = strerror_r(error, buf, sizeof buf);
    return text != nullptr ? std::string(text) : std::string();
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectoryPath(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        const size_t next = path.find('/', pos);
        const size_t end = next == std::string::npos ? path.size() : next;
        partial = path.substr(0, end);
        if (!partial.empty() && !IsDirectory(partial)) {
            if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
        }
        if (next == std::string::npos) {
            break;
        }
        pos = next + 1;
    }
    return IsDirectory(path);
}

std::string MachineRegistryPath() {
    return EnvOr("TESSAROVEN_MACHINE_REGISTRY", CommonAppDataFolder() + "/tessaroven/registry.db");
}

std::string UserRegistryPath() {
    const std::string config = EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config");
    return EnvOr("TESSAROVEN_USER_REGISTRY", config + "/tessaroven/registry.db");
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

}  // namespace platform
