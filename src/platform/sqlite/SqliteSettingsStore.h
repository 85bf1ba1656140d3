#pragma once

#include <string>

#include "platform/SettingsStore.h"

namespace platform {

// A settings root kept in one SQLite file. Several processes may use the same file at once:
// every write is its own transaction, and a busy file is waited for.
class SqliteSettingsStore final : public SettingsStore {
  public:
    explicit SqliteSettingsStore(std::string path) : m_path(std::move(path)) {}

    std::optional<StoredValue> Read(const std::string& keyPath,
                                    const std::string& name) const override;
    bool KeyExists(const std::string& keyPath) const override;
    bool Write(const std::string& keyPath, const std::string& name,
               const StoredValue& value) override;

    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

}  // namespace platform
