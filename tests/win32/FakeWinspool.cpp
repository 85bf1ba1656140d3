// A stand-in for winspool.drv with the calls the monitor makes, playing a script, so that the
// conversion of the spooler's structures and the watch logic on top can be tried where the real
// spooler cannot be watched (Wine's change notifications are stubs). What it answers follows
// Microsoft's documentation of these calls; it shows that we read the structures as documented,
// not how a real spooler behaves.
//
// The script ($FAKE_WINSPOOL_SCRIPT, UTF-8, fields separated by tabs), read at the first call:
//   printer NAME [SERVER]                  listed by EnumPrintersW (level 4) in this order
//   cycle PRINTER CHANGE [discarded]       a fetch for PRINTER ("*" is the print server): the
//                                          change word (hex), its block cut short or not
//   entry job|printer FIELD ID number N    the cycle's block, in order
//   entry job|printer FIELD ID text TEXT
//   entry job 9 ID copies N                (the device mode, with dmCopies N)
//   refresh                                the block a refresh after the last cycle gets: the
//                                          entries that follow
//   listing NAME [SERVER]                  from the fetch of the last cycle on, the printers
//                                          listed are its listing lines (added or deleted ones)
// Calls are logged to $FAKE_WINSPOOL_LOG, one line each.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/Wide.h"

using platform::win32::Utf8;
using platform::win32::Wide;

namespace {

struct Entry {
    WORD type = 0;
    WORD field = 0;
    DWORD id = 0;
    enum { Number, Text, Copies } kind = Number;
    DWORD number = 0;
    std::wstring text;
};

struct Cycle {
    DWORD change = 0;
    bool discarded = false;
    std::vector<Entry> entries;
    std::vector<Entry> refresh;
    bool hasRefresh = false;
};

struct Printer {
    std::wstring name;
    std::wstring server;
};

// The printers listed from a cycle's fetch on (none: the listing stays).
std::map<const void*, std::vector<Printer>> listings;

struct Watch {
    std::wstring printer;
    HANDLE event = nullptr;
    std::vector<Entry> refresh;  // what a refresh request gets
};

std::mutex mutex;
std::string loadedScript;
std::vector<Printer> printers;
std::map<std::wstring, std::deque<Cycle>> cycles;
std::map<HANDLE, std::wstring> opened;  // printer handles
std::map<HANDLE, Watch> watches;        // change handles
UINT_PTR nextHandle = 0x5000;

void Log(const std::string& line) {
    const char* path = std::getenv("FAKE_WINSPOOL_LOG");
    if (path == nullptr) {
        return;
    }
    if (FILE* f = std::fopen(path, "ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) {
        fields.push_back(field);
    }
    return fields;
}

// (Again whenever the script named is another: each test of a test program has its own.)
void Load() {
    const char* path = std::getenv("FAKE_WINSPOOL_SCRIPT");
    if (path == nullptr || loadedScript == path) {
        return;
    }
    loadedScript = path;
    printers.clear();
    cycles.clear();
    listings.clear();
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return;
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
        text.append(buf, n);
    }
    std::fclose(f);
    std::istringstream in(text);
    Cycle* last = nullptr;
    bool inRefresh = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto f = Split(line);  // (the file is closed by now)
        if (f.empty()) {
            continue;
        }
        if (f[0] == "printer" && f.size() >= 2) {
            printers.push_back({Wide(f[1]), f.size() > 2 ? Wide(f[2]) : std::wstring()});
        } else if (f[0] == "cycle" && f.size() >= 3) {
            auto& queue = cycles[f[1] == "*" ? std::wstring() : Wide(f[1])];
            queue.push_back({static_cast<DWORD>(std::strtoul(f[2].c_str(), nullptr, 16)),
                             f.size() > 3 && f[3] == "discarded",
                             {},
                             {},
                             false});
            last = &queue.back();
            inRefresh = false;
        } else if (f[0] == "listing" && f.size() >= 2 && last != nullptr) {
            listings[last].push_back({Wide(f[1]), f.size() > 2 ? Wide(f[2]) : std::wstring()});
        } else if (f[0] == "refresh" && last != nullptr) {
            last->hasRefresh = true;
            inRefresh = true;
        } else if (f[0] == "entry" && f.size() >= 6 && last != nullptr) {
            Entry e;
            e.type = f[1] == "job" ? JOB_NOTIFY_TYPE : PRINTER_NOTIFY_TYPE;
            e.field = static_cast<WORD>(std::atoi(f[2].c_str()));
            e.id = static_cast<DWORD>(std::strtoul(f[3].c_str(), nullptr, 10));
            if (f[4] == "text") {
                e.kind = Entry::Text;
                e.text = Wide(f[5]);
            } else {
                e.kind = f[4] == "copies" ? Entry::Copies : Entry::Number;
                e.number = static_cast<DWORD>(std::strtoul(f[5].c_str(), nullptr, 10));
            }
            (inRefresh ? last->refresh : last->entries).push_back(e);
        }
    }
}

// A block laid out as the spooler's: the entries, then the texts and device modes they point to.
PRINTER_NOTIFY_INFO* MakeBlock(const std::vector<Entry>& entries, DWORD flags) {
    const size_t head = offsetof(PRINTER_NOTIFY_INFO, aData) +
                        sizeof(PRINTER_NOTIFY_INFO_DATA) * (entries.empty() ? 1 : entries.size());
    size_t size = head;
    for (const auto& e : entries) {
        size += e.kind == Entry::Text     ? (e.text.size() + 1) * sizeof(wchar_t)
                : e.kind == Entry::Copies ? sizeof(DEVMODEW)
                                          : 0;
    }
    auto* bytes = static_cast<BYTE*>(std::calloc(1, size));
    auto* block = reinterpret_cast<PRINTER_NOTIFY_INFO*>(bytes);
    block->Version = 2;
    block->Flags = flags;
    block->Count = static_cast<DWORD>(entries.size());
    BYTE* extra = bytes + head;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        PRINTER_NOTIFY_INFO_DATA& d = block->aData[i];
        d.Type = e.type;
        d.Field = e.field;
        d.Id = e.id;
        if (e.kind == Entry::Number) {
            d.NotifyData.adwData[0] = e.number;
        } else if (e.kind == Entry::Text) {
            const DWORD n = static_cast<DWORD>((e.text.size() + 1) * sizeof(wchar_t));
            std::memcpy(extra, e.text.c_str(), n);
            d.NotifyData.Data.cbBuf = n;
            d.NotifyData.Data.pBuf = extra;
            extra += n;
        } else {
            auto* devmode = reinterpret_cast<DEVMODEW*>(extra);
            devmode->dmSize = sizeof(DEVMODEW);
            devmode->dmFields = DM_COPIES;
            devmode->dmCopies = static_cast<short>(e.number);
            d.NotifyData.Data.cbBuf = sizeof(DEVMODEW);
            d.NotifyData.Data.pBuf = devmode;
            extra += sizeof(DEVMODEW);
        }
    }
    return block;
}

std::string Describe(const PRINTER_NOTIFY_OPTIONS* options) {
    if (options == nullptr) {
        return "no options";
    }
    std::string text = std::string("version ") + std::to_string(options->Version) + " flags " +
                       std::to_string(options->Flags);
    for (DWORD t = 0; t < options->Count; ++t) {
        text += std::string(" type ") + std::to_string(options->pTypes[t].Type) + ":";
        for (DWORD i = 0; i < options->pTypes[t].Count; ++i) {
            if (i > 0) {
                text += ',';
            }
            text += std::to_string(options->pTypes[t].pFields[i]);
        }
    }
    return text;
}

void Signal(const std::wstring& printer) {
    for (auto& [handle, watch] : watches) {
        if (watch.printer == printer) {
            if (cycles[printer].empty()) {
                ResetEvent(watch.event);
            } else {
                SetEvent(watch.event);
            }
        }
    }
}

}  // namespace

extern "C" {

BOOL WINAPI FakeEnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                              LPDWORD needed, LPDWORD returned) {
    std::lock_guard lock(mutex);
    Load();
    Log(std::string("EnumPrinters flags ") + std::to_string(flags) + " level " +
        std::to_string(level) + (name != nullptr ? " named" : ""));
    if (level != 4) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    DWORD total = static_cast<DWORD>(sizeof(PRINTER_INFO_4W) * printers.size());
    for (const auto& p : printers) {
        total += static_cast<DWORD>((p.name.size() + 1 + p.server.size() + 1) * sizeof(wchar_t));
    }
    *needed = total;
    if (size < total) {
        *returned = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_4W*>(buffer);
    auto* text = reinterpret_cast<wchar_t*>(buffer + sizeof(PRINTER_INFO_4W) * printers.size());
    for (size_t i = 0; i < printers.size(); ++i) {
        info[i].pPrinterName = text;
        text = std::wcscpy(text, printers[i].name.c_str()) + printers[i].name.size() + 1;
        info[i].pServerName = nullptr;
        if (!printers[i].server.empty()) {
            info[i].pServerName = text;
            text = std::wcscpy(text, printers[i].server.c_str()) + printers[i].server.size() + 1;
        }
        info[i].Attributes =
            printers[i].server.empty() ? PRINTER_ATTRIBUTE_LOCAL : PRINTER_ATTRIBUTE_NETWORK;
    }
    *returned = static_cast<DWORD>(printers.size());
    return TRUE;
}

BOOL WINAPI FakeOpenPrinterW(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW) {
    std::lock_guard lock(mutex);
    Load();
    const std::wstring printer = name != nullptr ? name : L"";
    Log(std::string("OpenPrinter ") + (name != nullptr ? Utf8(printer) : std::string("*")));
    bool known = name == nullptr;
    for (const auto& p : printers) {
        known = known || p.name == printer;
    }
    if (!known) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *handle = reinterpret_cast<HANDLE>(nextHandle++);
    opened[*handle] = printer;
    return TRUE;
}

BOOL WINAPI FakeClosePrinter(HANDLE handle) {
    std::lock_guard lock(mutex);
    Log("ClosePrinter");
    return opened.erase(handle) > 0;
}

HANDLE WINAPI FakeFindFirstPrinterChangeNotification(HANDLE printer, DWORD filter, DWORD options,
                                                     LPVOID notifyOptions) {
    std::lock_guard lock(mutex);
    const auto it = opened.find(printer);
    if (it == opened.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    Log(std::string("FindFirst ") + (it->second.empty() ? std::string("*") : Utf8(it->second)) +
        " filter " + std::to_string(filter) + " options " + std::to_string(options) + " " +
        Describe(static_cast<PRINTER_NOTIFY_OPTIONS*>(notifyOptions)));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    watches[event] = {it->second, event, {}};
    Signal(it->second);
    return event;
}

BOOL WINAPI FakeFindNextPrinterChangeNotification(HANDLE change, PDWORD changeWord,
                                                  LPVOID notifyOptions, LPVOID* info) {
    std::lock_guard lock(mutex);
    const auto it = watches.find(change);
    if (it == watches.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Watch& watch = it->second;
    const auto* options = static_cast<const PRINTER_NOTIFY_OPTIONS*>(notifyOptions);
    Log(std::string("FindNext ") +
        (watch.printer.empty() ? std::string("*") : Utf8(watch.printer)) + " " + Describe(options));
    if (info != nullptr) {
        *info = nullptr;
    }
    if (options != nullptr && (options->Flags & PRINTER_NOTIFY_OPTIONS_REFRESH) != 0) {
        *changeWord = 0;
        if (info != nullptr) {
            *info = MakeBlock(watch.refresh, 0);
        }
        return TRUE;
    }
    auto& queue = cycles[watch.printer];
    if (queue.empty()) {
        *changeWord = 0;
        return TRUE;
    }
    if (const auto listing = listings.find(&queue.front()); listing != listings.end()) {
        printers = listing->second;
    }
    Cycle cycle = std::move(queue.front());
    queue.pop_front();
    Signal(watch.printer);
    *changeWord = cycle.change;
    watch.refresh = cycle.refresh;
    if (info != nullptr && options != nullptr && (!cycle.entries.empty() || cycle.discarded)) {
        *info = MakeBlock(cycle.entries, cycle.discarded ? PRINTER_NOTIFY_INFO_DISCARDED : 0);
    }
    return TRUE;
}

BOOL WINAPI FakeFreePrinterNotifyInfo(PPRINTER_NOTIFY_INFO info) {
    std::free(info);
    return TRUE;
}

BOOL WINAPI FakeFindClosePrinterChangeNotification(HANDLE change) {
    std::lock_guard lock(mutex);
    Log("FindClose");
    const auto it = watches.find(change);
    if (it == watches.end()) {
        return FALSE;
    }
    CloseHandle(it->second.event);
    watches.erase(it);
    return TRUE;
}

}  // extern "C"
