#include "app/PrinterSlots.h"

#include "spool/Trdspoolwatch.h"

PrinterSlot::PrinterSlot() = default;
PrinterSlot::~PrinterSlot() = default;
