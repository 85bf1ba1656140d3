#include "platform/win32/WinSpooler.h"

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <vector>

#include "platform/win32/Wide.h"

namespace platform {

namespace {

thread_local int lastError = 0;

// PRINTER_NOTIFY_OPTIONS with the storage its field lists point into.
class NativeOptions {
  public:
    explicit NativeOptions(const NotifyOptions& options) {
        m_fields.reserve(options.types.size());
        for (const auto& type : options.types) {
            m_fields.emplace_back(type.fields.begin(), type.fields.end());
        }
        for (size_t i = 0; i < options.types.size(); ++i) {
            PRINTER_NOTIFY_OPTIONS_TYPE native{};
            native.Type = options.types[i].type;
            native.Count = static_cast<DWORD>(m_fields[i].size());
            native.pFields = m_fields[i].data();
            m_types.push_back(native);
        }
        m_options.Version = options.version;
        m_options.Flags = options.flags;
        m_options.Count = static_cast<DWORD>(m_types.size());
        m_options.pTypes = m_types.data();
    }
    NativeOptions(const NativeOptions&) = delete;
    NativeOptions& operator=(const NativeOptions&) = delete;

    PRINTER_NOTIFY_OPTIONS* Get() { return &m_options; }

  private:
    std::vector<std::vector<WORD>> m_fields;
    std::vector<PRINTER_NOTIFY_OPTIONS_TYPE> m_types;
    PRINTER_NOTIFY_OPTIONS m_options{};
};

enum class DataKind { Number, Text, Devmode, Other };

// How the spooler delivers a field: by the tables of winspool's documentation.
DataKind KindOf(WORD type, WORD field) {
    if (type == JOB_NOTIFY_TYPE) {
        switch (field) {
            case JOB_NOTIFY_FIELD_PRINTER_NAME:
            case JOB_NOTIFY_FIELD_MACHINE_NAME:
            case JOB_NOTIFY_FIELD_PORT_NAME:
            case JOB_NOTIFY_FIELD_USER_NAME:
            case JOB_NOTIFY_FIELD_NOTIFY_NAME:
            case JOB_NOTIFY_FIELD_DATATYPE:
            case JOB_NOTIFY_FIELD_PRINT_PROCESSOR:
            case JOB_NOTIFY_FIELD_PARAMETERS:
            case JOB_NOTIFY_FIELD_DRIVER_NAME:
            case JOB_NOTIFY_FIELD_STATUS_STRING:
            case JOB_NOTIFY_FIELD_DOCUMENT:
                return DataKind::Text;
            case JOB_NOTIFY_FIELD_DEVMODE:
                return DataKind::Devmode;
            case JOB_NOTIFY_FIELD_SECURITY_DESCRIPTOR:
            case JOB_NOTIFY_FIELD_SUBMITTED:
                return DataKind::Other;
            default:
                return DataKind::Number;
        }
    }
    switch (field) {
        case PRINTER_NOTIFY_FIELD_SERVER_NAME:
        case PRINTER_NOTIFY_FIELD_PRINTER_NAME:
        case PRINTER_NOTIFY_FIELD_SHARE_NAME:
        case PRINTER_NOTIFY_FIELD_PORT_NAME:
        case PRINTER_NOTIFY_FIELD_DRIVER_NAME:
        case PRINTER_NOTIFY_FIELD_COMMENT:
        case PRINTER_NOTIFY_FIELD_LOCATION:
        case PRINTER_NOTIFY_FIELD_SEPFILE:
        case PRINTER_NOTIFY_FIELD_PRINT_PROCESSOR:
        case PRINTER_NOTIFY_FIELD_PARAMETERS:
        case PRINTER_NOTIFY_FIELD_DATATYPE:
        case PRINTER_NOTIFY_FIELD_STATUS_STRING:
            return DataKind::Text;
        case PRINTER_NOTIFY_FIELD_DEVMODE:
        case PRINTER_NOTIFY_FIELD_SECURITY_DESCRIPTOR:
            return DataKind::Other;
        default:
            return DataKind::Number;
    }
}

}  // namespace

NotifyInfo ConvertNotifyInfo(const PRINTER_NOTIFY_INFO& block) {
    NotifyInfo info;
    info.flags = block.Flags;
    info.entries.reserve(block.Count);
    for (DWORD i = 0; i < block.Count; ++i) {
        const PRINTER_NOTIFY_INFO_DATA& data = block.aData[i];
        NotifyInfoData entry;
        entry.type = data.Type;
        entry.field = data.Field;
        entry.id = data.Id;
        const void* buffer = data.NotifyData.Data.pBuf;
        const DWORD size = data.NotifyData.Data.cbBuf;
        switch (KindOf(data.Type, data.Field)) {
            case DataKind::Number:
                entry.number = data.NotifyData.adwData[0];
                break;
            case DataKind::Text:
                if (buffer != nullptr) {
                    // cbBuf counts bytes with the ending NUL; a text without one ends there.
                    const auto* text = static_cast<const wchar_t*>(buffer);
                    entry.text =
                        win32::Utf8(std::wstring_view(text, wcsnlen(text, size / sizeof(wchar_t))));
                }
                break;
            case DataKind::Devmode:
                if (buffer != nullptr && size >= offsetof(DEVMODEW, dmCopies) + sizeof(short)) {
                    entry.copies = static_cast<const DEVMODEW*>(buffer)->dmCopies;
                }
                break;
            case DataKind::Other:
                break;
        }
        info.entries.push_back(std::move(entry));
    }
    return info;
}

std::vector<std::pair<std::uint32_t, NotifyInfo>> SplitByJob(std::uint32_t changeWord,
                                                             NotifyInfo info,
                                                             const std::set<std::uint32_t>& seen) {
    std::vector<std::uint32_t> jobs;
    bool printerEntries = false;
    for (const NotifyInfoData& entry : info.entries) {
        if (entry.type != JOB_NOTIFY_TYPE) {
            printerEntries = true;
        } else if (std::find(jobs.begin(), jobs.end(), entry.id) == jobs.end()) {
            jobs.push_back(entry.id);
        }
    }
    std::vector<std::pair<std::uint32_t, NotifyInfo>> blocks;
    if (jobs.empty() || (jobs.size() == 1 && !printerEntries)) {
        blocks.emplace_back(changeWord, std::move(info));
        return blocks;
    }
    constexpr auto kAdded = static_cast<std::uint32_t>(PRINTER_CHANGE_ADD_JOB);
    constexpr auto kDeleted = static_cast<std::uint32_t>(PRINTER_CHANGE_DELETE_JOB);
    for (size_t i = 0; i < jobs.size(); ++i) {
        std::uint32_t word = changeWord;
        if (seen.count(jobs[i]) != 0) {
            word &= ~kAdded;
        }
        if (i + 1 != jobs.size()) {
            word &= ~kDeleted;
        }
        NotifyInfo part;
        part.flags = info.flags;
        for (const NotifyInfoData& entry : info.entries) {
            if (entry.type == JOB_NOTIFY_TYPE && entry.id == jobs[i]) {
                part.entries.push_back(entry);
            }
        }
        blocks.emplace_back(word, std::move(part));
    }
    if (printerEntries) {
        NotifyInfo part;
        part.flags = info.flags;
        for (NotifyInfoData& entry : info.entries) {
            if (entry.type != JOB_NOTIFY_TYPE) {
                part.entries.push_back(std::move(entry));
            }
        }
        blocks.emplace_back(changeWord & ~kAdded, std::move(part));
    }
    return blocks;
}

WinSpooler::WinSpooler(const std::wstring& module) {
    m_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_module = LoadLibraryW(module.c_str());
    if (m_module == nullptr) {
        return;
    }
    auto find = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
            reinterpret_cast<void*>(GetProcAddress(m_module, name)));
        return fn != nullptr;
    };
    m_loaded = find(m_enumPrinters, "EnumPrintersW") && find(m_openPrinter, "OpenPrinterW") &&
               find(m_closePrinter, "ClosePrinter") &&
               find(m_findFirst, "FindFirstPrinterChangeNotification") &&
               find(m_findNext, "FindNextPrinterChangeNotification") &&
               find(m_freeInfo, "FreePrinterNotifyInfo") &&
               find(m_findClose, "FindClosePrinterChangeNotification");
}

WinSpooler::~WinSpooler() {
    if (m_module != nullptr) {
        FreeLibrary(m_module);
    }
    if (m_wake != nullptr) {
        CloseHandle(m_wake);
    }
}

void WinSpooler::Failed() {
    lastError = static_cast<int>(GetLastError());
}

bool WinSpooler::EnumPrinters(std::vector<PrinterInfo>& printers) {
    printers.clear();
    if (!m_loaded) {
        lastError = ERROR_MOD_NOT_FOUND;
        return false;
    }
    constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0;
    DWORD count = 0;
    std::vector<BYTE> buffer;
    // The list may grow between asking for its size and fetching it: ask again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (m_enumPrinters(kFlags, nullptr, 4, buffer.empty() ? nullptr : buffer.data(),
                           static_cast<DWORD>(buffer.size()), &needed, &count)) {
            const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
            for (DWORD i = 0; i < count; ++i) {
                PrinterInfo printer;
                if (info[i].pPrinterName != nullptr) {
                    printer.printerName = win32::Utf8(info[i].pPrinterName);
                }
                if (info[i].pServerName != nullptr) {
                    printer.serverName = win32::Utf8(info[i].pServerName);
                }
                printers.push_back(std::move(printer));
            }
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) {
            break;
        }
        buffer.assign(needed, 0);
    }
    Failed();
    return false;
}

bool WinSpooler::OpenPrinter(const std::string& printerName, PrinterHandle& printer) {
    if (!m_loaded) {
        lastError = ERROR_MOD_NOT_FOUND;
        return false;
    }
    std::wstring name = win32::Wide(printerName);
    HANDLE handle = nullptr;
    if (!m_openPrinter(name.data(), &handle, nullptr)) {
        Failed();
        return false;
    }
    printer = reinterpret_cast<PrinterHandle>(handle);
    return true;
}

bool WinSpooler::OpenPrintServer(PrinterHandle& server) {
    if (!m_loaded) {
        lastError = ERROR_MOD_NOT_FOUND;
        return false;
    }
    HANDLE handle = nullptr;
    if (!m_openPrinter(nullptr, &handle, nullptr)) {  // no name: this computer's print server
        Failed();
        return false;
    }
    server = reinterpret_cast<PrinterHandle>(handle);
    return true;
}

void WinSpooler::ClosePrinter(PrinterHandle printer) {
    if (m_loaded) {
        m_closePrinter(reinterpret_cast<HANDLE>(printer));
    }
}

ChangeHandle WinSpooler::FindFirstPrinterChangeNotification(PrinterHandle printer,
                                                            std::uint32_t filter,
                                                            std::uint32_t options,
                                                            const NotifyOptions& notifyOptions) {
    if (!m_loaded) {
        lastError = ERROR_MOD_NOT_FOUND;
        return kInvalidChangeHandle;
    }
    NativeOptions native(notifyOptions);
    HANDLE change = m_findFirst(reinterpret_cast<HANDLE>(printer), filter, options,
                                notifyOptions.types.empty() ? nullptr : native.Get());
    if (change == INVALID_HANDLE_VALUE || change == nullptr) {
        Failed();
        return kInvalidChangeHandle;
    }
    return reinterpret_cast<ChangeHandle>(change);
}

bool WinSpooler::FindNextPrinterChangeNotification(ChangeHandle change, std::uint32_t& changeWord,
                                                   const NotifyOptions& notifyOptions,
                                                   std::unique_ptr<NotifyInfo>& info) {
    info.reset();
    if (!m_loaded) {
        lastError = ERROR_MOD_NOT_FOUND;
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(m_watchesLock);
        Watch& watch = m_watches[change];
        if (!watch.queued.empty()) {
            changeWord = watch.queued.front().first;
            info = std::make_unique<NotifyInfo>(std::move(watch.queued.front().second));
            watch.queued.pop_front();
            return true;
        }
    }
    NativeOptions native(notifyOptions);
    DWORD word = 0;
    PRINTER_NOTIFY_INFO* block = nullptr;
    if (!m_findNext(reinterpret_cast<HANDLE>(change), &word,
                    notifyOptions.types.empty() ? nullptr : native.Get(),
                    reinterpret_cast<LPVOID*>(&block))) {
        Failed();
        return false;
    }
    changeWord = word;
    if (block != nullptr && (block->Flags & PRINTER_NOTIFY_INFO_DISCARDED) != 0) {
        // The spooler lost changes: ask it for the whole state of the printer and its jobs (the
        // change word of the first fetch stands).
        m_freeInfo(block);
        block = nullptr;
        NotifyOptions refresh = notifyOptions;
        refresh.flags |= PRINTER_NOTIFY_OPTIONS_REFRESH;
        NativeOptions again(refresh);
        DWORD ignored = 0;
        if (!m_findNext(reinterpret_cast<HANDLE>(change), &ignored, again.Get(),
                        reinterpret_cast<LPVOID*>(&block))) {
            Failed();
            return false;
        }
    }
    if (block != nullptr) {
        NotifyInfo whole = ConvertNotifyInfo(*block);
        m_freeInfo(block);
        std::lock_guard<std::mutex> hold(m_watchesLock);
        Watch& watch = m_watches[change];
        auto blocks = SplitByJob(changeWord, std::move(whole), watch.seen);
        for (const auto& [word, part] : blocks) {
            for (const NotifyInfoData& entry : part.entries) {
                if (entry.type == JOB_NOTIFY_TYPE && watch.seen.insert(entry.id).second) {
                    watch.seenOrder.push_back(entry.id);
                }
            }
        }
        // Enough to know the jobs a watcher may still follow (its table holds 200).
        while (watch.seenOrder.size() > 4096) {
            watch.seen.erase(watch.seenOrder.front());
            watch.seenOrder.pop_front();
        }
        changeWord = blocks.front().first;
        info = std::make_unique<NotifyInfo>(std::move(blocks.front().second));
        for (size_t i = 1; i < blocks.size(); ++i) {
            watch.queued.push_back(std::move(blocks[i]));
        }
    }
    return true;
}

void WinSpooler::FindClosePrinterChangeNotification(ChangeHandle change) {
    {
        std::lock_guard<std::mutex> hold(m_watchesLock);
        m_watches.erase(change);
    }
    if (m_loaded) {
        m_findClose(reinterpret_cast<HANDLE>(change));
    }
}

bool WinSpooler::HasQueued(ChangeHandle change) {
    std::lock_guard<std::mutex> hold(m_watchesLock);
    const auto it = m_watches.find(change);
    return it != m_watches.end() && !it->second.queued.empty();
}

WaitResult WinSpooler::WaitForChange(ChangeHandle change, std::uint32_t timeoutMs) {
    if (HasQueued(change)) {
        return WaitResult::Signalled;
    }
    switch (WaitForSingleObject(reinterpret_cast<HANDLE>(change), timeoutMs)) {
        case WAIT_OBJECT_0:
            return WaitResult::Signalled;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            Failed();
            return WaitResult::Failed;
    }
}

WaitResult WinSpooler::WaitForChangeOrWake(ChangeHandle change, std::uint32_t timeoutMs,
                                           std::uint64_t wakeCount) {
    if (HasQueued(change)) {
        return WaitResult::Signalled;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    HANDLE both[2] = {reinterpret_cast<HANDLE>(change), m_wake};
    for (;;) {
        if (m_wakeCount.load() != wakeCount) {
            return WaitResult::TimedOut;
        }
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        switch (WaitForMultipleObjects(2, both, FALSE, left)) {
            case WAIT_OBJECT_0:
                return WaitResult::Signalled;
            case WAIT_OBJECT_0 + 1:
                // Set for an earlier wake: clear it and look at the count again (a wake that
                // comes meanwhile has raised the count before it sets the event).
                if (m_wakeCount.load() != wakeCount) {
                    return WaitResult::TimedOut;
                }
                ResetEvent(m_wake);
                break;
            case WAIT_TIMEOUT:
                return WaitResult::TimedOut;
            default:
                Failed();
                return WaitResult::Failed;
        }
    }
}

void WinSpooler::WakeWaiters() {
    ++m_wakeCount;
    SetEvent(m_wake);
}

int WinSpooler::LastError() const {
    return lastError;
}

}  // namespace platform
