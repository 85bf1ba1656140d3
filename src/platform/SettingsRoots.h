#pragma once

#include "platform/SettingsStore.h"

namespace platform {

// The program's two settings roots: the machine's (kHkeyLocalMachine) and the user's
// (kHkeyCurrentUser). On Windows the registry itself; elsewhere a store file per root
// (MachineRegistryPath, UserRegistryPath). Made at the first call; they live until the end.
SettingsStore& MachineSettingsStore();
SettingsStore& UserSettingsStore();

}  // namespace platform
