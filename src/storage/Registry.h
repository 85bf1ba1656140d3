#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/SettingsStore.h"

// Handles of the two settings roots.
using RegistryRoot = std::uint32_t;
inline constexpr RegistryRoot kHkeyCurrentUser = 0x80000001u;
inline constexpr RegistryRoot kHkeyLocalMachine = 0x80000002u;

// Where the program keeps its machine-wide settings and its per-user counters.
inline constexpr const char* kSettingsKey = "SOFTWARE\\Tessaroven\\Setting";
inline constexpr const char* kPerUserKey = "Software\\Tessaroven";

// Reads and writes single values. Nothing ever fails towards the caller: a missing value, or one
// of another type, reads as "" or 0, and a refused write simply leaves the old value in place.
class Registry {
  public:
    // Uses the process-wide stores of the two roots (files after environment overrides).
    Registry();
    Registry(platform::SettingsStore& machine, platform::SettingsStore& user);

    std::string GetRegString(RegistryRoot root, const std::string& keyPath,
                             const std::string& name) const;
    std::int32_t GetRegInteger(RegistryRoot root, const std::string& keyPath,
                               const std::string& name) const;
    void SetRegString(RegistryRoot root, const std::string& keyPath, const std::string& name,
                      const std::string& value);
    void SetRegInteger(RegistryRoot root, const std::string& keyPath, const std::string& name,
                       std::int32_t value);

    // As GetRegString, but nothing when the store could not be read (busy or damaged), which is
    // not the same as a missing value: a default must not be written over a value merely unread.
    std::optional<std::string> TryGetRegString(RegistryRoot root, const std::string& keyPath,
                                               const std::string& name) const;

    // Reads the named values of a key and writes what change makes of them in one step of the
    // store, so that updates by other processes in between are not lost. Failures are ignored,
    // as for every write.
    void UpdateRegValues(RegistryRoot root, const std::string& keyPath,
                         const std::vector<std::string>& names,
                         const platform::SettingsStore::Change& change);

    // The store behind a root; nullptr for a handle that names no root.
    platform::SettingsStore* Store(RegistryRoot root) const;

  private:
    platform::SettingsStore* m_machine;
    platform::SettingsStore* m_user;
};

// The stores of the two roots for this process, opened from their default paths once.
platform::SettingsStore& DefaultMachineStore();
platform::SettingsStore& DefaultUserStore();

// The global instance, used by the options dialog.
extern Registry* settingsRegistry;
