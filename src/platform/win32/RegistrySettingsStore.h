#pragma once

#include <windows.h>

#include "platform/SettingsStore.h"

namespace platform {

// One root of the real registry (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER), below an optional
// base key (tests keep to a key of their own). Strings are UTF-8 here and UTF-16 in the registry.
class RegistrySettingsStore final : public SettingsStore {
  public:
    RegistrySettingsStore(HKEY root, std::string baseKey = {});

    ReadResult ReadValue(const std::string& keyPath, const std::string& name,
                         StoredValue& out) const override;
    bool KeyExists(const std::string& keyPath) const override;
    bool Write(const std::string& keyPath, const std::string& name,
               const StoredValue& value) override;
    // The registry has no transactions: a named mutex of the whole computer keeps every
    // process's updates apart (all of them go through this class).
    bool Update(const std::string& keyPath, const std::vector<std::string>& names,
                const Change& change) override;

  private:
    std::wstring KeyName(const std::string& keyPath) const;

    HKEY m_root;
    std::string m_baseKey;
};

}  // namespace platform
