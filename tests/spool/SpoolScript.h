#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/scripted/ScriptedSpooler.h"
#include "spool/SpoolWatchers.h"
#include "storage/PrintDataFixture.h"

namespace testsupport {

using platform::NotifyInfoData;
using Cycle = platform::ScriptedSpooler::Cycle;

inline NotifyInfoData JobText(std::uint32_t id, std::uint16_t field, std::string text) {
    NotifyInfoData d;
    d.type = platform::kJobNotifyType;
    d.field = field;
    d.id = id;
    d.text = std::move(text);
    return d;
}

inline NotifyInfoData JobNumber(std::uint32_t id, std::uint16_t field, std::uint32_t number) {
    NotifyInfoData d;
    d.type = platform::kJobNotifyType;
    d.field = field;
    d.id = id;
    d.number = number;
    return d;
}

inline NotifyInfoData DevMode(std::uint32_t id, std::int16_t copies) {
    NotifyInfoData d;
    d.type = platform::kJobNotifyType;
    d.field = platform::kJobNotifyFieldDevmode;
    d.id = id;
    d.copies = copies;
    return d;
}

inline NotifyInfoData JobCount(std::uint32_t jobs) {
    NotifyInfoData d;
    d.type = platform::kPrinterNotifyType;
    d.field = platform::kPrinterNotifyFieldCjobs;
    d.number = jobs;
    return d;
}

inline Cycle Block(std::uint32_t change, std::vector<NotifyInfoData> entries) {
    Cycle c;
    c.change = change;
    c.info = platform::NotifyInfo{0, std::move(entries)};
    return c;
}

// The cycle a spooler reports when a job arrives, as seen on Windows: names, counts, device mode.
inline Cycle AddJob(std::uint32_t id, const std::string& printer, const std::string& machine,
                    const std::string& user, std::uint32_t totalPages, std::int16_t copies = 1) {
    using namespace platform;
    return Block(kPrinterChangeAddJob,
                 {JobText(id, kJobNotifyFieldPrinterName, printer),
                  JobText(id, kJobNotifyFieldMachineName, machine),
                  JobText(id, kJobNotifyFieldUserName, user),
                  JobNumber(id, kJobNotifyFieldTotalPages, totalPages),
                  JobNumber(id, kJobNotifyFieldPagesPrinted, 0), DevMode(id, copies)});
}

inline Cycle Printed(std::uint32_t id, std::uint32_t pages) {
    return Block(platform::kPrinterChangeWriteJob,
                 {JobNumber(id, platform::kJobNotifyFieldPagesPrinted, pages)});
}

inline Cycle QueueLength(std::uint32_t jobs) {
    return Block(platform::kPrinterChangeDeleteJob, {JobCount(jobs)});
}

// A program with watchers over a scripted spooler, recording into a real data file as user alice
// on computer PC1.
struct SpoolWorld : PrintDataFixture {
    platform::ScriptedSpooler spooler;
    platform::ManualClock clock{{2026, 12, 1, 7, 9, 30, 15, 0}};
    DiagnosticLog log{clock};
    std::unique_ptr<SpoolWatchers> watchers;

    explicit SpoolWorld(std::vector<platform::PrinterInfo> printers = {{"P", ""}}) {
        spooler.SetPrinters(std::move(printers));
        log.SetFilePath(data / "log.txt");
        log.SetTag("PMON");
    }
    ~SpoolWorld() { watchers.reset(); }

    void Start() {
        watchers = std::make_unique<SpoolWatchers>(spooler, files, log, clock);
        watchers->Start();
    }
    void Stop() { watchers->Stop(); }

    // Plays the cycles on a printer and waits until its watcher has handled them all.
    bool Play(const std::string& printer, std::vector<Cycle> cycles) {
        for (auto& c : cycles) {
            spooler.AddCycle(printer, std::move(c));
        }
        return spooler.WaitUntilHandled(printer);
    }

    std::vector<PrintRecord> Records() {
        if (!Exists(files.DataFilePath())) {
            return {};
        }
        return ReadAll(files.DataFilePath());
    }

    // The log's lines without their time stamps.
    std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(data / "log.txt"));
        for (std::string line; std::getline(in, line);) {
            // A text stream ends lines with CR LF on Windows.
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line.size() > 12 ? line.substr(12) : line);
        }
        return lines;
    }
};

}  // namespace testsupport
