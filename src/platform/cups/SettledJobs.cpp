#include "platform/cups/SettledJobs.h"

#include <cerrno>
#include <charconv>
#include <sstream>

#include "platform/SharedFile.h"

namespace platform::cups {

namespace {

constexpr const char* kMagic = "tessaroven-settled-jobs 1";
// A file this long is no file of ours.
constexpr std::int64_t kMaxFileBytes = 4 * 1024 * 1024;

bool ParseInt(const std::string& word, int& out) {
    const auto* end = word.data() + word.size();
    const auto r = std::from_chars(word.data(), end, out);
    return r.ec == std::errc() && r.ptr == end && out >= 0;
}

// Only what a scheduler can send as a uuid: nothing that could split the file's lines.
std::string Clean(const std::string& uuid) {
    std::string out;
    for (char c : uuid) {
        if (c > ' ' && c < 0x7f && out.size() < 64) {
            out += c;
        }
    }
    return out;
}

}  // namespace

void SettledJobs::Add(int id, const std::string& uuid) {
    if (id <= 0 || Contains(id)) {
        return;
    }
    m_above.insert(id);
    if (id >= m_lastId) {
        m_lastId = id;
        m_lastUuid = Clean(uuid);
    }
    Compact();
}

void SettledJobs::Clear() {
    *this = SettledJobs{};
}

void SettledJobs::RaiseFloor(int floor) {
    if (floor <= m_floor) {
        return;
    }
    m_floor = floor;
    m_above.erase(m_above.begin(), m_above.upper_bound(floor));
    Compact();
}

void SettledJobs::Compact() {
    while (!m_above.empty() && *m_above.begin() == m_floor + 1) {
        m_floor = *m_above.begin();
        m_above.erase(m_above.begin());
    }
    while (m_above.size() > kMaxAboveFloor) {
        RaiseFloor(*m_above.begin());
    }
    if (m_floor > m_lastId) {
        m_lastId = m_floor;
        m_lastUuid.clear();
    }
}

bool SettledJobs::Load(const std::string& path, const std::string& scheduler) {
    Clear();
    SharedFile file;
    if (!file.OpenForReading(path)) {
        return false;
    }
    const std::int64_t size = file.Size();
    if (size <= 0 || size > kMaxFileBytes) {
        return false;
    }
    std::string text(static_cast<size_t>(size), '\0');
    if (file.Read(text.data(), text.size()) != size) {
        return false;
    }
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic || !std::getline(in, line) ||
        line != "scheduler " + scheduler) {
        return false;
    }
    SettledJobs loaded;
    bool complete = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, word;
        words >> key;
        if (key == "floor" && words >> word && ParseInt(word, loaded.m_floor)) {
            continue;
        }
        if (key == "last" && words >> word && ParseInt(word, loaded.m_lastId)) {
            words >> loaded.m_lastUuid;
            loaded.m_lastUuid = loaded.m_lastUuid == "-" ? "" : Clean(loaded.m_lastUuid);
            continue;
        }
        if (key == "settled") {
            int id = 0;
            while (words >> word) {
                if (!ParseInt(word, id)) {
                    return false;
                }
                if (id > loaded.m_floor) {
                    loaded.m_above.insert(id);
                }
            }
            continue;
        }
        if (key == "end") {
            complete = true;
            break;
        }
        return false;
    }
    if (!complete) {
        return false;  // cut short: not to be trusted
    }
    loaded.Compact();
    *this = std::move(loaded);
    return true;
}

bool SettledJobs::Save(const std::string& path, const std::string& scheduler) const {
    std::ostringstream out;
    out << kMagic << "\nscheduler " << scheduler << "\nfloor " << m_floor << "\nlast " << m_lastId
        << ' ' << (m_lastUuid.empty() ? "-" : m_lastUuid) << '\n';
    int onLine = 0;
    for (int id : m_above) {
        out << (onLine == 0 ? "settled" : "") << ' ' << id;
        if (++onLine == 20) {
            out << '\n';
            onLine = 0;
        }
    }
    out << (onLine != 0 ? "\n" : "") << "end\n";
    const auto slash = path.rfind('/');
    ReplacementFile file;
    if (!file.Create(slash == std::string::npos ? "." : path.substr(0, slash)) ||
        !file.WriteAll(out.str()) || !file.Replace(path)) {
        const int error = errno;
        file.Discard();
        errno = error;
        return false;
    }
    return true;
}

}  // namespace platform::cups
