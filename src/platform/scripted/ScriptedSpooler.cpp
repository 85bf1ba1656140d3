#include "platform/scripted/ScriptedSpooler.h"

#include <algorithm>
#include <cstdio>

namespace platform {

namespace {

thread_local int t_lastError = 0;

}  // namespace

void ScriptedSpooler::SetPrinters(std::vector<PrinterInfo> printers) {
    std::lock_guard lock(m_mutex);
    m_printers = std::move(printers);
}

void ScriptedSpooler::FailEnumeration(int error) {
    std::lock_guard lock(m_mutex);
    m_enumError = error;
}

void ScriptedSpooler::FailOpen(const std::string& printer, int error, int times) {
    std::lock_guard lock(m_mutex);
    m_scripts[printer].open = {error, times};
}

void ScriptedSpooler::FailFirst(const std::string& printer, int error, int times) {
    std::lock_guard lock(m_mutex);
    m_scripts[printer].first = {error, times};
}

void ScriptedSpooler::AddCycle(const std::string& printer, Cycle cycle) {
    {
        std::lock_guard lock(m_mutex);
        m_scripts[printer].cycles.push_back(std::move(cycle));
    }
    m_changed.notify_all();
}

void ScriptedSpooler::SetIdleWait(std::chrono::milliseconds idle) {
    std::lock_guard lock(m_mutex);
    m_idleWait = idle;
}

bool ScriptedSpooler::WaitUntilHandled(const std::string& printer,
                                       std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        const Script& s = m_scripts[printer];
        return s.cycles.empty() && s.waitsAfterFetch > 0;
    });
}

std::vector<std::string> ScriptedSpooler::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

NotifyOptions ScriptedSpooler::LastOptions(const std::string& printer) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_scripts.find(printer);
    return it == m_scripts.end() ? NotifyOptions{} : it->second.lastOptions;
}

int ScriptedSpooler::WaitCount(const std::string& printer) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_scripts.find(printer);
    return it == m_scripts.end() ? 0 : it->second.waits;
}

bool ScriptedSpooler::Consume(Failure& f) {
    if (f.times == 0) {
        return false;
    }
    if (f.times > 0) {
        --f.times;
    }
    return true;
}

void ScriptedSpooler::Record(std::string call) {
    m_calls.push_back(std::move(call));
}

const std::string* ScriptedSpooler::PrinterOf(const std::map<std::intptr_t, std::string>& handles,
                                              std::intptr_t h) const {
    const auto it = handles.find(h);
    return it == handles.end() ? nullptr : &it->second;
}

bool ScriptedSpooler::EnumPrinters(std::vector<PrinterInfo>& printers) {
    std::lock_guard lock(m_mutex);
    Record("EnumPrinters");
    if (m_enumError != 0) {
        t_lastError = m_enumError;
        printers.clear();
        return false;
    }
    printers = m_printers;
    return true;
}

bool ScriptedSpooler::OpenPrinter(const std::string& printerName, PrinterHandle& printer) {
    std::lock_guard lock(m_mutex);
    Record("OpenPrinter " + printerName);
    Script& s = m_scripts[printerName];
    bool known = false;
    for (const auto& p : m_printers) {
        known = known || p.printerName == printerName;
    }
    if (!known || Consume(s.open)) {
        t_lastError = known ? s.open.error : 1801;  // the spooler's "invalid printer name"
        return false;
    }
    printer = m_nextHandle++;
    m_printerHandles[printer] = printerName;
    return true;
}

bool ScriptedSpooler::OpenPrintServer(PrinterHandle& server) {
    std::lock_guard lock(m_mutex);
    Record("OpenPrintServer");
    server = m_nextHandle++;
    m_printerHandles[server] = kServer;
    return true;
}

void ScriptedSpooler::ClosePrinter(PrinterHandle printer) {
    std::lock_guard lock(m_mutex);
    const std::string* name = PrinterOf(m_printerHandles, printer);
    Record("ClosePrinter " + (name != nullptr ? *name : std::to_string(printer)));
    m_printerHandles.erase(printer);
}

ChangeHandle ScriptedSpooler::FindFirstPrinterChangeNotification(
    PrinterHandle printer, std::uint32_t filter, std::uint32_t options,
    const NotifyOptions& notifyOptions) {
    std::lock_guard lock(m_mutex);
    const std::string* name = PrinterOf(m_printerHandles, printer);
    char buf[64];
    std::snprintf(buf, sizeof buf, " filter=0x%08x options=%u", filter, options);
    Record("FindFirst " + (name != nullptr ? *name : std::to_string(printer)) + buf);
    if (name == nullptr) {
        t_lastError = 6;  // invalid handle
        return kInvalidChangeHandle;
    }
    Script& s = m_scripts[*name];
    s.lastOptions = notifyOptions;
    if (Consume(s.first)) {
        t_lastError = s.first.error;
        return kInvalidChangeHandle;
    }
    const ChangeHandle change = m_nextHandle++;
    m_changeHandles[change] = *name;
    return change;
}

bool ScriptedSpooler::FindNextPrinterChangeNotification(ChangeHandle change,
                                                        std::uint32_t& changeWord,
                                                        const NotifyOptions& /*notifyOptions*/,
                                                        std::unique_ptr<NotifyInfo>& info) {
    std::lock_guard lock(m_mutex);
    info.reset();
    changeWord = 0;
    const std::string* name = PrinterOf(m_changeHandles, change);
    Record("FindNext " + (name != nullptr ? *name : std::to_string(change)));
    if (name == nullptr) {
        t_lastError = 6;
        return false;
    }
    Script& s = m_scripts[*name];
    if (s.cycles.empty()) {
        return true;
    }
    Cycle cycle = std::move(s.cycles.front());
    s.cycles.pop_front();
    s.waitsAfterFetch = 0;
    changeWord = cycle.change;
    if (cycle.info) {
        info = std::make_unique<NotifyInfo>(std::move(*cycle.info));
    }
    if (cycle.fetchFails) {
        t_lastError = cycle.error;
        return false;
    }
    return true;
}

void ScriptedSpooler::FindClosePrinterChangeNotification(ChangeHandle change) {
    std::lock_guard lock(m_mutex);
    const std::string* name = PrinterOf(m_changeHandles, change);
    Record("FindClose " + (name != nullptr ? *name : std::to_string(change)));
    m_changeHandles.erase(change);
}

WaitResult ScriptedSpooler::WaitForChange(ChangeHandle change, std::uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    const std::string* name = PrinterOf(m_changeHandles, change);
    if (name == nullptr) {
        t_lastError = 6;
        return WaitResult::Failed;
    }
    Script& s = m_scripts[*name];
    ++s.waits;
    ++s.waitsAfterFetch;
    m_changed.notify_all();
    const auto limit = std::min(std::chrono::milliseconds(timeoutMs), m_idleWait);
    const bool ready = m_changed.wait_for(lock, limit, [&] { return !s.cycles.empty(); });
    return ready ? WaitResult::Signalled : WaitResult::TimedOut;
}

void ScriptedSpooler::JobSettled(const std::string& printerName, std::uint32_t jobId) {
    std::lock_guard lock(m_mutex);
    Record("Settled " + printerName + " " + std::to_string(jobId));
}

int ScriptedSpooler::LastError() const {
    return t_lastError;
}

}  // namespace platform
