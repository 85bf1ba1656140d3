#include "platform/win32/RegistrySettingsStore.h"

#include <cstring>

#include "platform/SettingsRoots.h"
#include "platform/win32/Wide.h"

namespace platform {

namespace {

// Closes a key when it goes out of scope.
struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle != nullptr) {
            RegCloseKey(handle);
        }
    }
};

// Reads one value; Missing for a value of a type the program does not keep.
SettingsStore::ReadResult ReadFrom(HKEY key, const std::wstring& name, StoredValue& out) {
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::string bytes;
    // The value may grow between the two calls: ask again until it fits.
    for (int attempt = 0; attempt < 4 && status == ERROR_SUCCESS; ++attempt) {
        bytes.resize(size);
        DWORD got = size;
        status = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(bytes.data()), &got);
        if (status == ERROR_SUCCESS) {
            bytes.resize(got);
            break;
        }
        if (status == ERROR_MORE_DATA) {
            size = got;
            status = ERROR_SUCCESS;
        }
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return SettingsStore::ReadResult::Missing;
    }
    if (status != ERROR_SUCCESS) {
        return SettingsStore::ReadResult::Failed;
    }
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
            std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
            // Stored with or without its terminator; the text ends at the first NUL.
            text.resize(std::wcslen(text.c_str()));
            out = {type == REG_SZ ? ValueType::String : ValueType::ExpandString, win32::Utf8(text),
                   0};
            return SettingsStore::ReadResult::Found;
        }
        case REG_BINARY:
            out = {ValueType::Binary, std::move(bytes), 0};
            return SettingsStore::ReadResult::Found;
        case REG_DWORD:
            if (bytes.size() != sizeof(std::int32_t)) {
                return SettingsStore::ReadResult::Failed;
            }
            out = {ValueType::Dword, {}, 0};
            std::memcpy(&out.dword, bytes.data(), sizeof out.dword);
            return SettingsStore::ReadResult::Found;
        default:
            return SettingsStore::ReadResult::Missing;
    }
}

bool WriteTo(HKEY key, const std::wstring& name, const StoredValue& value) {
    LSTATUS status = ERROR_INVALID_PARAMETER;
    switch (value.type) {
        case ValueType::String:
        case ValueType::ExpandString: {
            const std::wstring text = win32::Wide(value.bytes);
            status = RegSetValueExW(key, name.c_str(), 0,
                                    value.type == ValueType::String ? REG_SZ : REG_EXPAND_SZ,
                                    reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
            break;
        }
        case ValueType::Binary:
            status = RegSetValueExW(key, name.c_str(), 0, REG_BINARY,
                                    reinterpret_cast<const BYTE*>(value.bytes.data()),
                                    static_cast<DWORD>(value.bytes.size()));
            break;
        case ValueType::Dword:
            status =
                RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&value.dword), sizeof value.dword);
            break;
    }
    return status == ERROR_SUCCESS;
}

// Held while one process reads, changes and writes values (see Update).
class UpdateLock {
  public:
    UpdateLock() {
        m_mutex = CreateMutexW(nullptr, FALSE, L"Global\\TessarovenSettingsUpdate");
        if (m_mutex == nullptr) {
            // Without the right to the global namespace: the session's own.
            m_mutex = CreateMutexW(nullptr, FALSE, L"Local\\TessarovenSettingsUpdate");
        }
        if (m_mutex != nullptr) {
            const DWORD r = WaitForSingleObject(m_mutex, 10000);
            m_held = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        }
    }
    ~UpdateLock() {
        if (m_held) {
            ReleaseMutex(m_mutex);
        }
        if (m_mutex != nullptr) {
            CloseHandle(m_mutex);
        }
    }
    bool Held() const { return m_held; }

  private:
    HANDLE m_mutex = nullptr;
    bool m_held = false;
};

}  // namespace

RegistrySettingsStore::RegistrySettingsStore(HKEY root, std::string baseKey)
    : m_root(root), m_baseKey(std::move(baseKey)) {}

std::wstring RegistrySettingsStore::KeyName(const std::string& keyPath) const {
    std::string path = m_baseKey;
    if (!path.empty() && !keyPath.empty()) {
        path += '\\';
    }
    return win32::Wide(path + keyPath);
}

SettingsStore::ReadResult RegistrySettingsStore::ReadValue(const std::string& keyPath,
                                                           const std::string& name,
                                                           StoredValue& out) const {
    Key key;
    const LSTATUS status =
        RegOpenKeyExW(m_root, KeyName(keyPath).c_str(), 0, KEY_QUERY_VALUE, &key.handle);
    if (status == ERROR_FILE_NOT_FOUND) {
        return ReadResult::Missing;
    }
    if (status != ERROR_SUCCESS) {
        return ReadResult::Failed;
    }
    return ReadFrom(key.handle, win32::Wide(name), out);
}

bool RegistrySettingsStore::KeyExists(const std::string& keyPath) const {
    Key key;
    return RegOpenKeyExW(m_root, KeyName(keyPath).c_str(), 0, KEY_QUERY_VALUE, &key.handle) ==
           ERROR_SUCCESS;
}

bool RegistrySettingsStore::Write(const std::string& keyPath, const std::string& name,
                                  const StoredValue& value) {
    Key key;
    return RegCreateKeyExW(m_root, KeyName(keyPath).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_SET_VALUE, nullptr, &key.handle, nullptr) == ERROR_SUCCESS &&
           WriteTo(key.handle, win32::Wide(name), value);
}

bool RegistrySettingsStore::Update(const std::string& keyPath,
                                   const std::vector<std::string>& names, const Change& change) {
    UpdateLock lock;
    if (!lock.Held()) {
        return false;
    }
    Key key;
    if (RegCreateKeyExW(m_root, KeyName(keyPath).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key.handle,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<std::optional<StoredValue>> current;
    for (const auto& name : names) {
        StoredValue value;
        switch (ReadFrom(key.handle, win32::Wide(name), value)) {
            case ReadResult::Found:
                current.emplace_back(std::move(value));
                break;
            case ReadResult::Missing:
                current.emplace_back();
                break;
            case ReadResult::Failed:
                return false;
        }
    }
    // What each written value was before, to put back when a later write fails.
    std::vector<std::pair<std::wstring, std::optional<StoredValue>>> before;
    for (const auto& [name, value] : change(current)) {
        const std::wstring wideName = win32::Wide(name);
        StoredValue old;
        const ReadResult had = ReadFrom(key.handle, wideName, old);
        before.emplace_back(wideName, had == ReadResult::Found ? std::optional(old) : std::nullopt);
        if (!WriteTo(key.handle, wideName, value)) {
            for (const auto& [written, was] : before) {
                if (was) {
                    WriteTo(key.handle, written, *was);
                } else {
                    RegDeleteValueW(key.handle, written.c_str());
                }
            }
            return false;
        }
    }
    return true;
}

SettingsStore& MachineSettingsStore() {
    static RegistrySettingsStore store(HKEY_LOCAL_MACHINE);
    return store;
}

SettingsStore& UserSettingsStore() {
    static RegistrySettingsStore store(HKEY_CURRENT_USER);
    return store;
}

}  // namespace platform
