// The monitor on Windows: a resident program in the notification area, one per logon session,
// that watches every printer through the spooler and records each finished job.

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <exception>
#include <string>

#include "platform/EventPump.h"
#include "platform/Host.h"
#include "platform/InstanceLock.h"
#include "platform/win32/WinSpooler.h"
#include "ui/ReportContext.h"
#include "ui/win32/AboutWindow.h"
#include "ui/win32/LogWindow.h"
#include "ui/win32/OptionsWindow.h"
#include "ui/win32/PasswordWindow.h"
#include "ui/win32/TotalsWindow.h"
#include "ui/win32/TrayWindow.h"
#include "ui/win32/WinUi.h"

namespace {

constexpr const char* kApplicationTitle = "Tessaroven v1.0";

int RunMonitor(winui::Win32MessageSink& sink) {
    platform::WinSpooler spooler;
    if (!spooler.Loaded()) {
        sink.Show("プリンタのスプーラーを使えません (winspool.drv)。", "Tessaroven Error",
                  platform::kIconStop);
        return 1;
    }
    winui::TrayWindow tray(
        MonitorServices{spooler, sink, DefaultMachineStore(), DefaultUserStore()});
    Monitor& monitor = tray.Core();
    const ReportContext reports{monitor.Files(), monitor.Slots(), monitor.Settings(),
                                monitor.Log(),   monitor.Sink(),  monitor.Clock()};
    winui::LogWindow logWindow(reports);
    winui::TotalsWindow totalsWindow(reports);
    winui::OptionsWindow optionsWindow(monitor.Files(), monitor.Settings(), sink);
    winui::PasswordWindow passwordWindow;
    winui::AboutWindow aboutWindow;
    const HWND owner = tray.Window();
    tray.SetCommands(winui::TrayCommands{
        [&] { totalsWindow.Run(owner); },
        [&] { logWindow.Run(owner); },
        [&] { optionsWindow.Run(owner); },
        [&] { aboutWindow.Run(owner); },
        [&](int mode, PasswordEntries& entries) {
            return passwordWindow.Ask(owner, mode, entries);
        },
    });
    // Waits on the shared files' lock keep the windows and the tray answering.
    platform::SetThreadEventPump(winui::PumpPendingMessages);
    tray.Start();
    if (!monitor.IsClosed()) {
        tray.RunMessageLoop();
    }
    monitor.Shutdown();
    // Nothing waits past the stop: a job whose owner is not known yet is written here.
    monitor.Files().FinishUndecided();
    platform::SetThreadEventPump({});
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // The folder browser is a COM object.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    winui::Win32MessageSink sink;

    platform::InstanceLock instance;
    if (!instance.Acquire("Tessaroven")) {
        if (instance.Error() != 0) {
            // Nobody may hold it, but we cannot tell: say so rather than blame another copy.
            sink.Show(std::string("ほかに起動しているか確かめられませんでした。\n") +
                          platform::SystemErrorText(instance.Error()),
                      "Tessaroven Error", platform::kIconStop);
        } else {
            sink.Show("Tessaroven already Start up", "Tessaroven", platform::kIconStop);
        }
        return 1;
    }
    int status = 0;
    try {
        status = RunMonitor(sink);
    } catch (const std::exception& e) {
        sink.Show(e.what(), kApplicationTitle, platform::kIconStop);
    } catch (...) {
        sink.Show("", kApplicationTitle, platform::kIconStop);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return status;
}
