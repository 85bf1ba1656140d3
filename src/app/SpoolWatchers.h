#pragma once

#include <string>

#include "app/PrinterSlots.h"
#include "spool/Trdspoolwatch.h"

// The main form's side of spool watching: finds the printers, gives each a slot and a watcher,
// started one after another, and stops them again in slot order. Both waits keep the calling
// thread's events flowing.
class SpoolWatchers {
  public:
    SpoolWatchers(platform::Spooler& spooler, PrintDataFiles& files, TdmLog& log,
                  const platform::Clock& clock = platform::SystemClock::Instance());
    ~SpoolWatchers();

    // The number of printers the spooler lists; 0 when it cannot list them.
    int PrinterCount();
    // The printer at a 1-based position of a fresh listing, with its server name; both empty
    // when there is no such position.
    std::string PrinterAt(int position, std::string& serverName);

    // Fills the slots and starts every watcher; returns once each has taken its slot.
    void Start();
    // Asks every watcher to stop, in slot order, and waits for each.
    void Stop();

    PrinterSlots& Slots() { return m_slots; }

  private:
    SpoolWatchContext m_context;
    PrinterSlots m_slots;
};
