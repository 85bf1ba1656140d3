#pragma once

#include <string>

#include "platform/SettingsStore.h"

namespace platform {

// A settings root kept in one SQLite file. Several processes may use the same file at once:
// every write is its own transaction, and a busy file is waited for. A transaction a killed
// process left behind is rolled back by the next reader or writer that may write the file.
class SqliteSettingsStore final : public SettingsStore {
  public:
    // busyWaitMs: how long one call waits for a store another process keeps busy.
    explicit SqliteSettingsStore(std::string path, int busyWaitMs = 10000)
        : m_path(std::move(path)), m_busyWaitMs(busyWaitMs) {}

    ReadResult ReadValue(const std::string& keyPath, const std::string& name,
                         StoredValue& out) const override;
    bool KeyExists(const std::string& keyPath) const override;
    bool Write(const std::string& keyPath, const std::string& name,
               const StoredValue& value) override;
    bool Update(const std::string& keyPath, const std::vector<std::string>& names,
                const Change& change) override;

    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
    int m_busyWaitMs;
};

}  // namespace platform
