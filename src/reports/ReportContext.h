#pragma once

#include "app/PrinterSlots.h"
#include "platform/Clock.h"
#include "platform/MessageSink.h"
#include "storage/Dmlogging.h"
#include "storage/Dmregistry.h"
#include "storage/PrintDataFiles.h"

// What the report windows take from the main form.
struct ReportContext {
    PrintDataFiles& files;
    PrinterSlots& printerSlots;
    TdmRegistryCtl& registry;
    TdmLog& log;
    platform::MessageSink& sink;
    const platform::Clock& clock;
};
