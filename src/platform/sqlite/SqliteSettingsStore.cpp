#include "platform/sqlite/SqliteSettingsStore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <string_view>
#include <vector>

#include "platform/Host.h"

namespace platform {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_key("
    "  path TEXT NOT NULL COLLATE NOCASE PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS reg_value("
    "  key TEXT NOT NULL COLLATE NOCASE,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data,"
    "  PRIMARY KEY(key, name));";

// Backslash-separated path without empty segments: "\A\\B\" and "A\B" name the same key.
std::vector<std::string> KeySegments(const std::string& keyPath) {
    std::vector<std::string> segments;
    std::string current;
    for (char c : keyPath) {
        if (c == '\\') {
            if (!current.empty()) {
                segments.push_back(std::move(current));
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        segments.push_back(std::move(current));
    }
    return segments;
}

std::string JoinSegments(const std::vector<std::string>& segments, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            path += '\\';
        }
        path += segments[i];
    }
    return path;
}

class Db {
  public:
    ~Db() {
        if (m_db != nullptr) {
            sqlite3_close_v2(m_db);
        }
    }
    explicit Db(int busyWaitMs) : m_busyWaitMs(busyWaitMs) {}
    bool Open(const std::string& path, int flags) {
        if (m_db != nullptr) {
            sqlite3_close_v2(m_db);
            m_db = nullptr;
        }
        if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
            return false;
        }
        sqlite3_busy_timeout(m_db, m_busyWaitMs);
        return true;
    }
    bool Exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == 0; }
    sqlite3* get() const { return m_db; }

  private:
    int m_busyWaitMs;
    sqlite3* m_db = nullptr;
};

class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            m_stmt = nullptr;
        }
    }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    explicit operator bool() const { return m_stmt != nullptr; }
    void Bind(int i, const std::string& s) {
        sqlite3_bind_text(m_stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    int Step() { return sqlite3_step(m_stmt); }
    sqlite3_stmt* get() const { return m_stmt; }

  private:
    sqlite3_stmt* m_stmt = nullptr;
};

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool WriteValue(Db& db, const std::vector<std::string>& segments, const std::string& name,
                const StoredValue& value) {
    for (size_t n = 1; n <= segments.size(); ++n) {
        Stmt insertKey(db.get(), "INSERT OR IGNORE INTO reg_key(path) VALUES(?)");
        if (!insertKey) {
            return false;
        }
        insertKey.Bind(1, JoinSegments(segments, n));
        if (insertKey.Step() != SQLITE_DONE) {
            return false;
        }
    }
    Stmt put(db.get(), "INSERT OR REPLACE INTO reg_value(key, name, type, data) VALUES(?,?,?,?)");
    if (!put) {
        return false;
    }
    put.Bind(1, JoinSegments(segments, segments.size()));
    put.Bind(2, name);
    sqlite3_bind_int(put.get(), 3, static_cast<int>(value.type));
    switch (value.type) {
        case ValueType::Dword:
            sqlite3_bind_int(put.get(), 4, value.dword);
            break;
        case ValueType::Binary:
            sqlite3_bind_blob(put.get(), 4, value.bytes.data(),
                              static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT);
            break;
        default:
            put.Bind(4, value.bytes);
            break;
    }
    return put.Step() == SQLITE_DONE;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

SettingsStore::ReadResult ReadIn(Db& db, const std::string& key, const std::string& name,
                                 StoredValue& out) {
    Stmt get(db.get(), "SELECT type, data FROM reg_value WHERE key = ? AND name = ?");
    if (!get) {
        // A store that never had a value written has no tables yet.
        const char* message = sqlite3_errmsg(db.get());
        return sqlite3_errcode(db.get()) == SQLITE_ERROR && message != nullptr &&
                       std::string_view(message).starts_with("no such table")
                   ? SettingsStore::ReadResult::Missing
                   : SettingsStore::ReadResult::Failed;
    }
    get.Bind(1, key);
    get.Bind(2, name);
    const int step = get.Step();
    if (step == SQLITE_DONE) {
        return SettingsStore::ReadResult::Missing;
    }
    if (step != SQLITE_ROW) {
        return SettingsStore::ReadResult::Failed;
    }
    out = StoredValue{};
    out.type = static_cast<ValueType>(sqlite3_column_int(get.get(), 0));
    if (out.type == ValueType::Dword) {
        out.dword = static_cast<std::int32_t>(sqlite3_column_int64(get.get(), 1));
    } else {
        const void* data = sqlite3_column_blob(get.get(), 1);
        const int size = sqlite3_column_bytes(get.get(), 1);
        if (data != nullptr && size > 0) {
            out.bytes.assign(static_cast<const char*>(data), static_cast<size_t>(size));
        }
    }
    return SettingsStore::ReadResult::Found;
}

}  // namespace

SettingsStore::ReadResult SqliteSettingsStore::ReadValue(const std::string& keyPath,
                                                         const std::string& name,
                                                         StoredValue& out) const {
    if (!Exists(m_path)) {
        return ReadResult::Missing;
    }
    // Only a connection that may write can roll back what a killed writer left half done;
    // without that right, such a store cannot be read at all, which is no missing value.
    Db db(m_busyWaitMs);
    if (!db.Open(m_path, SQLITE_OPEN_READWRITE) && !db.Open(m_path, SQLITE_OPEN_READONLY)) {
        return ReadResult::Failed;
    }
    return ReadIn(db, JoinSegments(KeySegments(keyPath), KeySegments(keyPath).size()), name, out);
}

bool SqliteSettingsStore::KeyExists(const std::string& keyPath) const {
    Db db(m_busyWaitMs);
    if (!Exists(m_path) ||
        (!db.Open(m_path, SQLITE_OPEN_READWRITE) && !db.Open(m_path, SQLITE_OPEN_READONLY))) {
        return false;
    }
    const auto segments = KeySegments(keyPath);
    Stmt get(db.get(), "SELECT 1 FROM reg_key WHERE path = ?");
    if (!get) {
        return false;
    }
    if (segments.empty()) {
        // The root exists as soon as the store holds its tables.
        return true;
    }
    get.Bind(1, JoinSegments(segments, segments.size()));
    return get.Step() == SQLITE_ROW;
}

bool SqliteSettingsStore::Write(const std::string& keyPath, const std::string& name,
                                const StoredValue& value) {
    return Update(keyPath, {}, [&](const std::vector<std::optional<StoredValue>>&) {
        return NamedValues{{name, value}};
    });
}

bool SqliteSettingsStore::Update(const std::string& keyPath, const std::vector<std::string>& names,
                                 const Change& change) {
    const std::string dir = DirectoryOf(m_path);
    if (!dir.empty() && !IsDirectory(dir)) {
        MakeDirectoryPath(dir);
    }
    Db db(m_busyWaitMs);
    if (!db.Open(m_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
        return false;
    }
    if (sqlite3_db_readonly(db.get(), "main") != 0) {
        return false;
    }
    if (!db.Exec("BEGIN IMMEDIATE")) {
        return false;
    }
    // A damaged file fails here (SQLite refuses to write into a malformed image) and the rollback
    // leaves it exactly as it was.
    const auto segments = KeySegments(keyPath);
    const std::string key = JoinSegments(segments, segments.size());
    bool ok = db.Exec(kSchema);
    std::vector<std::optional<StoredValue>> current;
    for (size_t i = 0; ok && i < names.size(); ++i) {
        StoredValue value;
        const auto result = ReadIn(db, key, names[i], value);
        ok = result != ReadResult::Failed;
        current.push_back(result == ReadResult::Found ? std::optional(value) : std::nullopt);
    }
    if (ok) {
        for (const auto& [name, value] : change(current)) {
            ok = ok && WriteValue(db, segments, name, value);
        }
    }
    if (ok && db.Exec("COMMIT")) {
        return true;
    }
    db.Exec("ROLLBACK");
    return false;
}

}  // namespace platform
