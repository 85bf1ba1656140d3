// The monitor: a resident tray program, one per logon session, or with --service the system
// service that counts every job of this computer's scheduler, one per machine.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>

#include "platform/EventPump.h"
#include "platform/Host.h"
#include "platform/InstanceLock.h"
#include "platform/SharedFile.h"
#include "platform/cups/CupsClient.h"
#include "platform/cups/CupsSpooler.h"
#include "storage/ServiceHandoff.h"
#include "ui/AboutBox.h"
#include "ui/OptionsDialog.h"
#include "ui/PasswordDialog.h"
#include "ui/PrintLogWindow.h"
#include "ui/PrintTotalsWindow.h"
#include "ui/ProgramIdentity.h"
#include "ui/QtMessageSink.h"
#include "ui/TrayController.h"

namespace {

constexpr const char* kApplicationTitle = "Tessaroven v1.0";

// Without any display (a print server with no desktop) the monitor still counts.
void ChooseHeadlessPlatformWithoutDisplay() {
    const bool hasDisplay = std::getenv("DISPLAY") != nullptr ||
                            std::getenv("WAYLAND_DISPLAY") != nullptr ||
                            std::getenv("QT_QPA_PLATFORM") != nullptr;
    if (!hasDisplay) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
}

// Without a runtime folder (a login without a session manager) Qt warns at every start. The
// private folder the single-instance lock then uses serves as one: the lock stays where
// tessaroven-ctl looks for it.
void UsePrivateRuntimeFolderWithoutOne() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') {
        return;
    }
    const std::string folder = platform::InstanceLock::PrivateRuntimeFolder();
    if (!folder.empty()) {
        setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
}

// SIGINT, SIGTERM and SIGHUP (a closed terminal, a logout) close the monitor as a stop request
// does: the jobs it follows are handed over and the status value still ends at 2.
int BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);  // before any thread starts, so all inherit it
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// --help and --version answer without a display, a lock or a settings store. Other arguments
// are Qt's (-platform, -style).
bool AnsweredCommandLine(int argc, char** argv, bool& service) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--service") == 0) {
            service = true;
            continue;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "tessaroven " << TESSAROVEN_VERSION << "\n";
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::cout
                << "Usage: tessaroven [--service] [--help | --version]\n"
                   "Counts the pages printed on every CUPS queue this user can see and\n"
                   "appends one record per job to the shared data directory. It lives in\n"
                   "the notification area; 'tessaroven-ctl stop', SIGINT, SIGTERM or SIGHUP\n"
                   "close it. Settings: tessaroven-ctl reg, or the tray menu. While the\n"
                   "system service runs, it shows its windows and leaves the counting to it.\n"
                   "\n"
                   "  --service   run as the system service (tessaroven.service): no tray\n"
                   "              icon, one per computer, every job recorded under its own\n"
                   "              owner and computer, messages on standard error\n"
                   "  --help      show this help\n"
                   "  --version   show the version\n";
            return true;
        }
    }
    return false;
}

// The system service runs at most once per computer; its lock also tells the desktop sessions'
// programs that it counts. False (and said why) when it cannot run.
bool TakeServiceLock(platform::InstanceLock& lock) {
    const std::string path = platform::ServiceLockPath();
    // systemd makes the folder; started by hand, the service makes it itself.
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        platform::MakeDirectoryPath(path.substr(0, slash));
    }
    // A desktop program looking whether the service runs holds the lock for an instant: only a
    // lock held for a second is another service.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (lock.AcquireMachineWide(path)) {
            return true;
        }
        if (lock.Error() != 0) {
            break;
        }
        usleep(50 * 1000);
    }
    if (lock.Error() != 0) {
        std::cerr << "tessaroven: " << path << ": " << platform::SystemErrorText(lock.Error())
                  << "\n";
    } else {
        std::cerr << "tessaroven: the system service already runs (" << path << ")\n";
    }
    return false;
}

bool ServiceRuns() {
    return platform::InstanceLock::ProbePath(platform::ServiceLockPath()) ==
           platform::InstanceLock::Holder::Someone;
}

// When the service counted, beside its lock for every desktop program to read.
std::string ServiceSpansPath() {
    const std::string lock = platform::ServiceLockPath();
    const auto slash = lock.rfind('/');
    return (slash == std::string::npos ? std::string(".") : lock.substr(0, slash)) +
           "/service-spans";
}

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

void Journal(const std::string& text) {
    std::fprintf(stderr, "tessaroven: %s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    bool service = false;
    if (AnsweredCommandLine(argc, argv, service)) {
        return 0;
    }
    platform::InstanceLock serviceLock;
    if (service) {
        // No session, no tray: a display that happens to be set is not ours.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!TakeServiceLock(serviceLock)) {
            return 1;
        }
    }
    ChooseHeadlessPlatformWithoutDisplay();
    UsePrivateRuntimeFolderWithoutOne();
    const int stopSignals = BlockStopSignals();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(tessaroven);  // the icon, compiled into a static library
    IntroduceProgramToDesktop();
    // Every caption is Japanese whatever the locale: Qt's own dialogs and buttons (the folder
    // chooser, OK, Cancel) must not answer in English next to them.
    QTranslator qtJapanese;
    if (qtJapanese.load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtJapanese);
    }
    QtMessageSink sink;

    platform::InstanceLock instance;
    if (!service && !instance.Acquire("Tessaroven")) {
        if (instance.Error() != 0) {
            // Nobody may hold it, but we cannot tell: say so rather than blame another copy.
            sink.Show(std::string("ほかに起動しているか確かめられませんでした。\n") +
                          platform::InstanceLock::PathFor("Tessaroven") + ": " +
                          platform::SystemErrorText(instance.Error()),
                      "Tessaroven Error", platform::kIconStop);
        } else {
            sink.Show("Tessaroven already Start up", "Tessaroven", platform::kIconStop);
        }
        return 1;
    }

    // Declared before the windows: watch threads use the spooler until the tray controller has
    // stopped them, whichever way the code below is left.
    std::unique_ptr<platform::CupsSpooler> spooler;
    std::unique_ptr<ServiceHandoff> handoff;
    try {
        // The program lives in the notification area: no window of its own keeps it running.
        QApplication::setQuitOnLastWindowClosed(false);
        platform::SetThreadEventPump([] { QCoreApplication::processEvents(); });

        platform::CupsSpooler::Options options;
        if (service) {
            // The jobs that ended while the service was away are taken at its start, as far as
            // they are its own (see ServiceHandoff); the settled ones are kept across runs.
            const std::string state = platform::UserStateFolder();
            platform::MakeDirectoryPath(state);
            handoff =
                std::make_unique<ServiceHandoff>(ServiceSpansPath(), state + "/service-spans");
            options.takesEndedJob = handoff->Begin(Now());
            options.settledJobsFile = state + "/settled-jobs";
            options.note = Journal;
        }
        spooler = std::make_unique<platform::CupsSpooler>(platform::ComputerName(), options);
        trayController = new TrayController(
            TrayServices{*spooler, sink, DefaultMachineStore(), DefaultUserStore()});
        if (service) {
            trayController->Files().SetRecordJobOwners(true);
            trayController->Files().SetJournalAll(true);
        } else {
            // One job, one record: a job that ended while the service counted is the service's.
            trayController->Files().SetRecordOwner([](std::int32_t jobId, std::int64_t endedAt) {
                return ServiceHandoff::Owner(ServiceHandoff::Read(ServiceSpansPath()), jobId,
                                             endedAt, Now(), ServiceRuns());
            });
            if (ServiceRuns()) {
                std::cerr << "tessaroven: the system service counts the jobs of this computer\n";
            }
        }
        // Connected before the watchers start: a stop may come while they do.
        QObject::connect(trayController, &TrayController::Closed, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        QSocketNotifier stopNotifier(stopSignals, QSocketNotifier::Read);
        QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
            signalfd_siginfo info;
            while (read(stopSignals, &info, sizeof info) == sizeof info) {
            }
            trayController->Shutdown();
        });
        trayController->Start();
        QTimer aliveTimer;
        if (service) {
            const std::string server = platform::cups::CupsClient::ServerName();
            Journal(std::string("version ") + TESSAROVEN_VERSION + ", counting every job of the " +
                    "scheduler at " + (server.empty() ? "(default)" : server) + " on " +
                    std::to_string(trayController->Watchers().Slots().Count()) +
                    " queue(s), records in " + trayController->Files().DataDirectory());
            QObject::connect(&aliveTimer, &QTimer::timeout, [&] { handoff->Alive(Now()); });
            aliveTimer.start(5000);
        }
        settingsRegistry = new Registry();
        diagnosticLog = new DiagnosticLog();
        optionsDialog =
            new OptionsDialog(OptionsContext{trayController->Files(), *settingsRegistry, sink, {}});
        aboutBox = new AboutBox();
        printTotalsWindow = new PrintTotalsWindow(trayController->Reports());
        printLogWindow = new PrintLogWindow(trayController->Reports());
        passwordDialog = new PasswordDialog([] { return trayController->PasswordDialogMode(); });

        if (!trayController->IsClosed()) {
            app.exec();
        }
        trayController->Shutdown();
        // Nothing waits past the stop: a job whose owner is not known yet is written here.
        trayController->Files().FinishUndecided();
        if (service) {
            Journal("stopped: " + std::to_string(trayController->Files().RecordsWritten()) +
                    " job(s) recorded since the start");
            // Jobs that end from now on are the desktop programs' again (unless the service is
            // back within the restart window).
            const std::int64_t stopped = trayController->StopStartedAt();
            handoff->End(stopped, trayController->Files().RecordedEndingAfter(
                                      stopped - ServiceHandoff::kSettleSeconds));
        }
        serviceLock.Release();
    } catch (const std::exception& e) {
        sink.Show(e.what(), kApplicationTitle, platform::kIconStop);
    } catch (...) {
        sink.Show("", kApplicationTitle, platform::kIconStop);
    }
    delete passwordDialog;
    delete printLogWindow;
    delete printTotalsWindow;
    delete aboutBox;
    delete optionsDialog;
    delete diagnosticLog;
    delete settingsRegistry;
    delete trayController;  // stops the watchers before the spooler goes
    trayController = nullptr;
    spooler.reset();
    platform::SetThreadEventPump({});
    return 0;
}
