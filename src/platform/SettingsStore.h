#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

    enum class ReadResult {
        Found,
        Missing,  // no store, key or value: the caller may put its default there
        Failed,   // busy for too long, damaged or unreadable: nothing is known about the value
    };
    virtual ReadResult ReadValue(const std::string& keyPath, const std::string& name,
                                 StoredValue& out) const = 0;

    // Nothing when the store, the key or the value is missing or the store cannot be read.
    // Never creates anything.
    std::optional<StoredValue> Read(const std::string& keyPath, const std::string& name) const {
        StoredValue value;
        if (ReadValue(keyPath, name, value) != ReadResult::Found) {
            return std::nullopt;
        }
        return value;
    }

    virtual bool KeyExists(const std::string& keyPath) const = 0;

    // Creates the key path as needed and replaces the value whatever its former type.
    // False when the store refuses the write; the store is then unchanged.
    virtual bool Write(const std::string& keyPath, const std::string& name,
                       const StoredValue& value) = 0;

    using NamedValues = std::vector<std::pair<std::string, StoredValue>>;
    using Change =
        std::function<NamedValues(const std::vector<std::optional<StoredValue>>& current)>;
    // Reads the named values of one key and writes what change makes of them in one step, so
    // that no other process's update falls in between (a counter two processes add to loses
    // nothing). False when the store refuses; it is then unchanged.
    virtual bool Update(const std::string& keyPath, const std::vector<std::string>& names,
                        const Change& change) = 0;
};

}  // namespace platform
