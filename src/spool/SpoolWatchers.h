#pragma once

#include <string>

#include "spool/PageCountThread.h"
#include "spool/PrinterSlots.h"
#include "spool/SpoolWatchThread.h"

// The tray controller's side of spool watching: finds the printers, gives each a slot and a
// watcher, started one after another, follows printers that the spooler adds or deletes later, and
// stops the watchers again, all at once. Every wait keeps the calling thread's events flowing, so
// the calls below may be re-entered from those events; a stop asked for meanwhile is deferred (see
// Busy).
class SpoolWatchers {
  public:
    SpoolWatchers(platform::Spooler& spooler, PrintDataFiles& files, DiagnosticLog& log,
                  const platform::Clock& clock = platform::SystemClock::Instance());
    ~SpoolWatchers();

    // The number of printers the spooler lists; 0 when it cannot list them.
    int PrinterCount();
    // The printer at a 1-based position of a fresh listing, with its server name; both empty
    // when there is no such position.
    std::string PrinterAt(int position, std::string& serverName);

    // Fills the slots and starts every watcher; returns once each has taken its slot, or early
    // when CancelStart was called meanwhile.
    void Start();
    // Cheap unless the spooler reported printers added or deleted: then the slots follow the
    // spooler's list (a new printer gets a slot and a watcher, a deleted one is no longer
    // listed once its watcher has handed over its jobs). Called on the interface thread.
    void FollowPrinters();
    // True while Start or FollowPrinters waits for a watcher: Stop must not run then.
    bool Busy() const { return m_busy; }
    // No further watcher is started; a running Start or FollowPrinters returns soon.
    void CancelStart() { m_cancelled = true; }
    // Waits until the spooler has delivered what happened before the stop, asks every watcher
    // to stop at once (each hands over the jobs that have ended) and waits for them, then for
    // the page counter to hand over the jobs it was given. Not while Busy.
    void Stop();

    PrinterSlots& Slots() { return m_slots; }
    PageCountThread& PageCounter() { return m_pageCounter; }

  private:
    // Starts the watcher of a slot and waits until it has taken it (or has ended).
    void StartWatcher(int index);
    void LogPrinter(const PrinterSlot& slot);
    void OpenServerWatch();
    void Reconcile();

    PageCountThread m_pageCounter;
    SpoolWatchContext m_context;
    PrinterSlots m_slots;
    platform::PrinterHandle m_server = 0;
    platform::ChangeHandle m_serverChange = platform::kInvalidChangeHandle;
    bool m_busy = false;
    bool m_cancelled = false;
};
