#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Type tags of stored values, numbered as the registry numbers them.
enum class ValueType : std::int32_t {
    String = 1,        // REG_SZ
    ExpandString = 2,  // REG_EXPAND_SZ
    Binary = 3,        // REG_BINARY
    Dword = 4,         // REG_DWORD
};

struct StoredValue {
    ValueType type = ValueType::String;
    std::string bytes;     // String, ExpandString, Binary
    std::int32_t dword{};  // Dword

    static StoredValue Sz(std::string text) { return {ValueType::String, std::move(text), 0}; }
    static StoredValue ExpandSz(std::string text) {
        return {ValueType::ExpandString, std::move(text), 0};
    }
    static StoredValue Dw(std::int32_t n) { return {ValueType::Dword, {}, n}; }
};

// One root of the settings: a tree of keys, addressed by backslash-separated paths, each holding
// named, typed values. Key and value names compare without case. Every call stands alone: it opens
// the store, does its one thing and closes it again.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;

    // Nothing when the store, the key or the value is missing or the store cannot be read.
    // Never creates anything.
    virtual std::optional<StoredValue> Read(const std::string& keyPath,
                                            const std::string& name) const = 0;

    virtual bool KeyExists(const std::string& keyPath) const = 0;

    // Creates the key path as needed and replaces the value whatever its former type.
    // False when the store refuses the write; the store is then unchanged.
    virtual bool Write(const std::string& keyPath, const std::string& name,
                       const StoredValue& value) = 0;
};

}  // namespace platform
