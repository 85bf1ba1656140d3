#pragma once

#include "platform/Clock.h"
#include "platform/MessageSink.h"
#include "spool/PrinterSlots.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"
#include "storage/Registry.h"

// What the report windows take from the tray controller.
struct ReportContext {
    PrintDataFiles& files;
    PrinterSlots& printerSlots;
    Registry& registry;
    DiagnosticLog& log;
    platform::MessageSink& sink;
    const platform::Clock& clock;
};
