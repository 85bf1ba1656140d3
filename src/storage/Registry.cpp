#include "storage/Registry.h"

#include "platform/SettingsRoots.h"

Registry* settingsRegistry = nullptr;

platform::SettingsStore& DefaultMachineStore() {
    return platform::MachineSettingsStore();
}

platform::SettingsStore& DefaultUserStore() {
    return platform::UserSettingsStore();
}

Registry::Registry() : Registry(DefaultMachineStore(), DefaultUserStore()) {}

Registry::Registry(platform::SettingsStore& machine, platform::SettingsStore& user)
    : m_machine(&machine), m_user(&user) {}

platform::SettingsStore* Registry::Store(RegistryRoot root) const {
    switch (root) {
        case kHkeyLocalMachine:
            return m_machine;
        case kHkeyCurrentUser:
            return m_user;
        default:
            return nullptr;
    }
}

std::string Registry::GetRegString(RegistryRoot root, const std::string& keyPath,
                                   const std::string& name) const {
    auto* store = Store(root);
    if (store == nullptr) {
        return {};
    }
    const auto value = store->Read(keyPath, name);
    if (!value || value->type != platform::ValueType::String) {
        return {};
    }
    return value->bytes;
}

std::int32_t Registry::GetRegInteger(RegistryRoot root, const std::string& keyPath,
                                     const std::string& name) const {
    auto* store = Store(root);
    if (store == nullptr) {
        return 0;
    }
    const auto value = store->Read(keyPath, name);
    if (!value || value->type != platform::ValueType::Dword) {
        return 0;
    }
    return value->dword;
}

void Registry::SetRegString(RegistryRoot root, const std::string& keyPath, const std::string& name,
                            const std::string& value) {
    if (auto* store = Store(root)) {
        store->Write(keyPath, name, platform::StoredValue::Sz(value));
    }
}

void Registry::SetRegInteger(RegistryRoot root, const std::string& keyPath, const std::string& name,
                             std::int32_t value) {
    if (auto* store = Store(root)) {
        store->Write(keyPath, name, platform::StoredValue::Dw(value));
    }
}

std::optional<std::string> Registry::TryGetRegString(RegistryRoot root, const std::string& keyPath,
                                                     const std::string& name) const {
    auto* store = Store(root);
    if (store == nullptr) {
        return std::string();
    }
    platform::StoredValue value;
    switch (store->ReadValue(keyPath, name, value)) {
        case platform::SettingsStore::ReadResult::Failed:
            return std::nullopt;
        case platform::SettingsStore::ReadResult::Missing:
            return std::string();
        case platform::SettingsStore::ReadResult::Found:
            break;
    }
    return value.type == platform::ValueType::String ? value.bytes : std::string();
}

void Registry::UpdateRegValues(RegistryRoot root, const std::string& keyPath,
                               const std::vector<std::string>& names,
                               const platform::SettingsStore::Change& change) {
    if (auto* store = Store(root)) {
        store->Update(keyPath, names, change);
    }
}
