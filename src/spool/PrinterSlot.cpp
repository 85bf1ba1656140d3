#include "spool/PrinterSlot.h"

#include "spool/SpoolWatchThread.h"

PrinterSlot::PrinterSlot() = default;
PrinterSlot::~PrinterSlot() = default;
