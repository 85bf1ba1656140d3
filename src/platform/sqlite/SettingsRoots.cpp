#include "platform/SettingsRoots.h"

#include "platform/Host.h"
#include "platform/sqlite/SqliteSettingsStore.h"

namespace platform {

SettingsStore& MachineSettingsStore() {
    static SqliteSettingsStore store(MachineRegistryPath());
    return store;
}

SettingsStore& UserSettingsStore() {
    static SqliteSettingsStore store(UserRegistryPath());
    return store;
}

}  // namespace platform
