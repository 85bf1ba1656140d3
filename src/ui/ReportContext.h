#pragma once

#include "spool/PrinterSlots.h"
#include "platform/Clock.h"
#include "platform/MessageSink.h"
#include "storage/DiagnosticLog.h"
#include "storage/Registry.h"
#include "storage/PrintDataFiles.h"

// What the report windows take from the main form.
struct ReportContext {
    PrintDataFiles& files;
    PrinterSlots& printerSlots;
    Registry& registry;
    DiagnosticLog& log;
    platform::MessageSink& sink;
    const platform::Clock& clock;
};
