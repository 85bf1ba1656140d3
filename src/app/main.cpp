// The monitor process: holds the single-instance lock, announces itself through the status value,
// settles the data directory, watches every CUPS queue and runs until another program asks it
// to stop.

#include <signal.h>
#include <time.h>

#include <cstdio>

#include "app/SpoolWatchers.h"
#include "platform/Host.h"
#include "platform/InstanceLock.h"
#include "platform/MessageSink.h"
#include "platform/cups/CupsSpooler.h"
#include "storage/Dmlogging.h"
#include "storage/Dmregistry.h"
#include "storage/PrintDataFiles.h"

namespace {

constexpr const char* kStatusValue = "TessarovenStatus";

}  // namespace

int main() {
    platform::StderrMessageSink sink;
    platform::InstanceLock instance;
    if (!instance.Acquire("Tessaroven")) {
        sink.Show("Tessaroven already Start up", "Tessaroven", platform::MB_ICONSTOP);
        return 1;
    }

    // SIGINT and SIGTERM end the run as a stop request does, so the status value still says 2.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    TdmRegistryCtl registry;
    registry.SetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kStatusValue, 0);
    PrintDataFiles files(registry, sink);
    files.SetNames(platform::ComputerName(), platform::UserName());
    files.EstablishDataDirectory(platform::CommonAppDataFolder());

    // The diagnostic log stays switched off; nothing in the program turns it on.
    TdmLog log;
    log.SetFilePath(platform::ExecutableFolder() + "/log.txt");
    log.SetTag("PMON");
    platform::CupsSpooler spooler(files.ComputerName());
    SpoolWatchers watchers(spooler, files, log);
    watchers.Start();
    std::printf("Tessaroven v1.0 running: %d printer(s), data directory %s\n",
                watchers.Slots().Count(), files.DataDirectory().c_str());
    std::fflush(stdout);

    const timespec tick{1, 0};
    for (;;) {
        if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) {
            break;
        }
        if (registry.GetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kStatusValue) == 1) {
            break;
        }
    }
    watchers.Stop();
    registry.SetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kStatusValue, 2);
    return 0;
}
