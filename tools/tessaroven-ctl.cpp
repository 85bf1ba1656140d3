// tessaroven-ctl: the command-line companion of the monitor. It reads and writes the same
// settings stores as the program, with the same defaults and environment overrides.

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "admin/DataMaintenance.h"
#include "platform/Host.h"
#include "platform/InstanceLock.h"
#include "platform/MessageSink.h"
#include "reports/MonthlyReport.h"
#include "reports/PrintLogData.h"
#include "reports/PrintTotals.h"
#include "reports/TableExport.h"
#include "storage/PrintDataFiles.h"
#include "storage/Registry.h"

#include <clocale>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kStatusValue = "TessarovenStatus";

using Args = std::vector<std::string>;

const char* const kMainUsage =
    "Usage: tessaroven-ctl COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  reg get [--type] KEY NAME        print a stored value (with --type, its type first)\n"
    "  reg set KEY NAME TYPE VALUE      store a value (TYPE: --dword, --sz or --expand-sz)\n"
    "  stop [--wait SECONDS]            ask the running monitor to stop\n"
    "  status                           whether this session's monitor runs, and its status\n"
    "  log [--format F] [--data-dir DIR]\n"
    "                                   print every print record, oldest first\n"
    "  totals --printer NAME --month YYYY-MM [--by computer|user] [--format F]\n"
    "         [--data-dir DIR]          pages printed on a printer in a month, by group\n"
    "  report --from YYYY-MM --to YYYY-MM [--printer NAME] [--by computer|user|printer]\n"
    "         [--format F] [--data-dir DIR]\n"
    "                                   pages printed per group and month, with totals\n"
    "  stats [--data-dir DIR]           files, bytes and dates of the print data\n"
    "  purge --through YYYY-MM [--data-dir DIR]\n"
    "                                   delete every record of that month and before\n"
    "\n"
    "KEY starts with HKLM\\ (HKEY_LOCAL_MACHINE\\) or HKCU\\ (HKEY_CURRENT_USER\\), for example\n"
    "HKLM\\SOFTWARE\\Tessaroven\\Setting. F is text (the default), csv or json; csv with\n"
    "--excel is for spreadsheet programs. Run 'tessaroven-ctl COMMAND --help' for details,\n"
    "'tessaroven-ctl --version' for the version.\n"
    "\n"
    "Environment: TESSAROVEN_MACHINE_REGISTRY, TESSAROVEN_USER_REGISTRY and\n"
    "TESSAROVEN_COMMON_APPDATA move the stores as they do for the monitor.\n";

const char* const kRegUsage =
    "Usage: tessaroven-ctl reg get [--type | -v] KEY NAME\n"
    "       tessaroven-ctl reg set KEY NAME (--dword N | --sz TEXT | --expand-sz TEXT)\n"
    "\n"
    "get prints the value (a number in decimal, text as it is, binary data in hex) and exits 0;\n"
    "a missing value exits 1. With --type (or -v) the type comes first: REG_DWORD 1 and\n"
    "REG_SZ 1 look alike without it, but a value of the wrong type reads as missing to the\n"
    "monitor. set exits 1 when the store refuses the write.\n";

const char* const kStopUsage =
    "Usage: tessaroven-ctl stop [--wait SECONDS]\n"
    "\n"
    "Writes 1 to the status value, which every monitor of this computer checks every second.\n"
    "With --wait, waits until the monitor reports that it has stopped (exit 0) or the time runs\n"
    "out (exit 1). When no monitor runs in this session it says 'not running' and exits 0.\n";

const char* const kStatusUsage =
    "Usage: tessaroven-ctl status\n"
    "\n"
    "Prints 'not running' when no monitor runs in this session (as this user, with this\n"
    "XDG_RUNTIME_DIR); else running, stop requested, stopped or unknown, from the monitor's\n"
    "status value.\n";

#define FORMAT_HELP                                                                          \
    "--format csv writes CSV (RFC 4180, UTF-8, CRLF line ends, names quoted when needed);\n" \
    "--excel (csv implied) adds a UTF-8 byte order mark, by which spreadsheet programs on\n" \
    "Windows read Japanese names correctly, and an apostrophe before a name that would\n"    \
    "start a formula. --format json writes UTF-8 JSON.\n"

const char* const kLogUsage =
    "Usage: tessaroven-ctl log [--format text|csv|json] [--excel] [--data-dir DIR]\n"
    "\n"
    "Prints one line per print record of every user's file, oldest first:\n"
    "YYYY-MM-DD hh:mm:ss,printer,computer,user,pages (pages printed x copies).\n"
    "DIR defaults to the monitor's data directory. Exits 1 when there are data files but no\n"
    "record in them.\n"
    "\n" FORMAT_HELP
    "CSV columns: time,printer,computer,user,pages; JSON: an array of objects with those\n"
    "keys.\n";

const char* const kTotalsUsage =
    "Usage: tessaroven-ctl totals --printer NAME --month YYYY-MM [--by computer|user]\n"
    "                             [--format text|csv|json] [--excel] [--data-dir DIR]\n"
    "\n"
    "Adds up the pages printed x copies of the printer's records of that month, by computer\n"
    "(default) or by user, as the print totals window shows them. A NAME of the form\n"
    "\\\\server\\printer is a network printer. Exits 1 when no record matches.\n"
    "\n" FORMAT_HELP
    "CSV columns: printer,month,computer (or user),pages, one row per group; JSON: printer,\n"
    "month, by, total and groups (name, pages).\n";

const char* const kReportUsage =
    "Usage: tessaroven-ctl report --from YYYY-MM --to YYYY-MM [--printer NAME]\n"
    "                             [--by computer|user|printer] [--format text|csv|json]\n"
    "                             [--excel] [--data-dir DIR]\n"
    "\n"
    "Adds up the pages printed x copies of every month from --from to --to (at most 600\n"
    "months), per computer (default), user or printer: one row per group, largest total\n"
    "first, one column per month, with row and column totals. Without --printer every\n"
    "printer counts. Exits 1 when no record falls in the range, 2 on a malformed or\n"
    "inverted range.\n"
    "\n" FORMAT_HELP
    "CSV: the heading computer (user, printer),YYYY-MM...,total, one row per group and a\n"
    "last row named total. JSON: printer, by, from, to, months, rows (name, pages, total),\n"
    "monthTotals and total.\n";

const char* const kStatsUsage =
    "Usage: tessaroven-ctl stats [--data-dir DIR]\n"
    "\n"
    "Prints the number of print data files, their total size in bytes, the dates of the first\n"
    "and the last record and the first month, as the options dialog shows them.\n";

const char* const kPurgeUsage =
    "Usage: tessaroven-ctl purge --through YYYY-MM [--data-dir DIR]\n"
    "\n"
    "Deletes, from every user's print data file, every record of that month and all months\n"
    "before it, and every line that is no complete record; then prints what was removed and\n"
    "kept per file. Each file is replaced whole or not at all. Exits 1 when a file was left as\n"
    "it was. The rights to the files decide who may purge.\n";

int Usage(const char* text) {
    std::fputs(text, stderr);
    return kUsage;
}

bool WantsHelp(const Args& args) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

struct KeyRef {
    RegistryRoot root;
    std::string path;
};

std::optional<KeyRef> ParseKey(const std::string& text) {
    const auto slash = text.find('\\');
    const std::string head = text.substr(0, slash);
    const std::string rest = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    if (strcasecmp(head.c_str(), "HKLM") == 0 ||
        strcasecmp(head.c_str(), "HKEY_LOCAL_MACHINE") == 0) {
        return KeyRef{kHkeyLocalMachine, rest};
    }
    if (strcasecmp(head.c_str(), "HKCU") == 0 ||
        strcasecmp(head.c_str(), "HKEY_CURRENT_USER") == 0) {
        return KeyRef{kHkeyCurrentUser, rest};
    }
    return std::nullopt;
}

// A DWORD may be given signed or as its unsigned 32-bit pattern.
std::optional<std::int32_t> ParseDword(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -2147483648LL || v > 4294967295LL) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

// The program's own stores of the two roots, so that the same files and overrides apply.
platform::SettingsStore& StoreFor(RegistryRoot root) {
    return root == kHkeyLocalMachine ? DefaultMachineStore() : DefaultUserStore();
}

std::string StorePath(RegistryRoot root) {
    return root == kHkeyLocalMachine ? platform::MachineRegistryPath()
                                     : platform::UserRegistryPath();
}

std::string HexBytes(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, out.empty() ? "%02x" : " %02x", c);
        out += buf;
    }
    return out;
}

const char* TypeName(platform::ValueType type) {
    switch (type) {
        case platform::ValueType::String:
            return "REG_SZ";
        case platform::ValueType::ExpandString:
            return "REG_EXPAND_SZ";
        case platform::ValueType::Binary:
            return "REG_BINARY";
        case platform::ValueType::Dword:
            return "REG_DWORD";
    }
    return "REG_NONE";
}

int RegGet(Args args) {
    const auto typeFlag = std::find_if(
        args.begin(), args.end(), [](const std::string& a) { return a == "--type" || a == "-v"; });
    const bool withType = typeFlag != args.end();
    if (withType) {
        args.erase(typeFlag);
    }
    if (args.size() != 2) {
        return Usage(kRegUsage);
    }
    const auto key = ParseKey(args[0]);
    if (!key) {
        std::fprintf(stderr, "tessaroven-ctl: unknown root in key '%s' (use HKLM\\ or HKCU\\)\n",
                     args[0].c_str());
        return kUsage;
    }
    const auto value = StoreFor(key->root).Read(key->path, args[1]);
    if (!value) {
        std::fprintf(stderr, "tessaroven-ctl: no value '%s' under %s\n", args[1].c_str(),
                     args[0].c_str());
        return kFailed;
    }
    if (withType) {
        std::printf("%s ", TypeName(value->type));
    }
    switch (value->type) {
        case platform::ValueType::Dword:
            std::printf("%d\n", value->dword);
            break;
        case platform::ValueType::Binary:
            std::printf("%s\n", HexBytes(value->bytes).c_str());
            break;
        default:
            std::fwrite(value->bytes.data(), 1, value->bytes.size(), stdout);
            std::fputc('\n', stdout);
            break;
    }
    return kOk;
}

int RefusedWrite(RegistryRoot root) {
    std::fprintf(stderr, "tessaroven-ctl: the settings store %s refused the write\n",
                 StorePath(root).c_str());
    return kFailed;
}

int RegSet(const Args& args) {
    if (args.size() != 4) {
        return Usage(kRegUsage);
    }
    const auto key = ParseKey(args[0]);
    if (!key) {
        std::fprintf(stderr, "tessaroven-ctl: unknown root in key '%s' (use HKLM\\ or HKCU\\)\n",
                     args[0].c_str());
        return kUsage;
    }
    platform::StoredValue value;
    if (args[2] == "--dword") {
        const auto n = ParseDword(args[3]);
        if (!n) {
            std::fprintf(stderr, "tessaroven-ctl: '%s' is not a 32-bit number\n", args[3].c_str());
            return kUsage;
        }
        value = platform::StoredValue::Dw(*n);
    } else if (args[2] == "--sz") {
        value = platform::StoredValue::Sz(args[3]);
    } else if (args[2] == "--expand-sz") {
        value = platform::StoredValue::ExpandSz(args[3]);
    } else {
        return Usage(kRegUsage);
    }
    return StoreFor(key->root).Write(key->path, args[1], value) ? kOk : RefusedWrite(key->root);
}

int Reg(const Args& args) {
    if (WantsHelp(args)) {
        std::fputs(kRegUsage, stdout);
        return kOk;
    }
    if (args.empty()) {
        return Usage(kRegUsage);
    }
    const Args rest(args.begin() + 1, args.end());
    if (args[0] == "get") {
        return RegGet(rest);
    }
    if (args[0] == "set") {
        return RegSet(rest);
    }
    return Usage(kRegUsage);
}

std::optional<std::int32_t> ReadStatus(platform::SettingsStore& store) {
    const auto value = store.Read(kSettingsKey, kStatusValue);
    if (!value || value->type != platform::ValueType::Dword) {
        return std::nullopt;
    }
    return value->dword;
}

// The monitor of this session holds the single-instance lock while it runs.
platform::InstanceLock::Holder MonitorHolder() {
    return platform::InstanceLock::Probe("Tessaroven");
}

int Stop(const Args& args) {
    if (WantsHelp(args)) {
        std::fputs(kStopUsage, stdout);
        return kOk;
    }
    std::optional<double> wait;
    if (args.size() == 2 && args[0] == "--wait") {
        char* end = nullptr;
        const double secs = std::strtod(args[1].c_str(), &end);
        if (args[1].empty() || *end != '\0' || !(secs >= 0) || secs > 86400 * 365) {
            std::fprintf(stderr, "tessaroven-ctl: --wait needs a number of seconds\n");
            return kUsage;
        }
        wait = secs;
    } else if (!args.empty()) {
        return Usage(kStopUsage);
    }
    platform::SettingsStore& store = StoreFor(kHkeyLocalMachine);
    // The request is written even so: it stops the monitors of every session of this computer.
    if (!store.Write(kSettingsKey, kStatusValue, platform::StoredValue::Dw(1))) {
        return RefusedWrite(kHkeyLocalMachine);
    }
    if (MonitorHolder() == platform::InstanceLock::Holder::Nobody) {
        // Nothing here to wait for: its status value could only say it never stopped.
        std::puts("not running");
        return kOk;
    }
    if (!wait) {
        return kOk;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(*wait);
    for (;;) {
        if (ReadStatus(store) == 2) {
            std::puts("stopped");
            return kOk;
        }
        if (Clock::now() >= deadline) {
            std::fprintf(stderr, "tessaroven-ctl: the monitor did not stop within %g s\n", *wait);
            return kFailed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int Status(const Args& args) {
    if (WantsHelp(args)) {
        std::fputs(kStatusUsage, stdout);
        return kOk;
    }
    if (!args.empty()) {
        return Usage(kStatusUsage);
    }
    if (MonitorHolder() == platform::InstanceLock::Holder::Nobody) {
        // Whatever the value says (a crashed monitor leaves 0), nothing runs here.
        std::puts("not running");
        return kOk;
    }
    const auto status = ReadStatus(StoreFor(kHkeyLocalMachine));
    const char* text = "unknown";
    if (status == 0) {
        text = "running";
    } else if (status == 1) {
        text = "stop requested";
    } else if (status == 2) {
        text = "stopped";
    }
    std::puts(text);
    return kOk;
}

// The options of a command: "--name value" pairs; false when one is unknown or lacks its value.
bool ParseOptions(const Args& args, const std::vector<std::string>& known,
                  std::map<std::string, std::string>& values) {
    for (size_t i = 0; i < args.size(); i += 2) {
        if (std::find(known.begin(), known.end(), args[i]) == known.end() || i + 1 >= args.size()) {
            return false;
        }
        values[args[i]] = args[i + 1];
    }
    return true;
}

// The data directory the monitor uses, without creating or storing anything.
std::string MonitorDataDirectory() {
    const auto stored =
        Registry().TryGetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory");
    if (!stored) {
        // Guessing the default here would show or purge another folder's files.
        std::fprintf(stderr,
                     "tessaroven-ctl: the settings store could not be read (busy or damaged); "
                     "give the folder with --data-dir\n");
        std::exit(kFailed);
    }
    if (!stored->empty()) {
        return *stored;
    }
    return platform::CommonAppDataFolder() + "/Tessaroven";
}

// The print data files of a command: the directory given with --data-dir, else the monitor's;
// the reader's complaints go to standard error.
struct DataFiles {
    explicit DataFiles(std::map<std::string, std::string>& options)
        : dir(options.count("--data-dir") ? options["--data-dir"] : MonitorDataDirectory()) {
        if (options.count("--data-dir")) {
            CheckReadableFolder(dir);
        }
        files.SetDataDirectory(dir);
    }
    // A mistyped --data-dir must not read as a folder without records (or purge nothing and
    // report success).
    static void CheckReadableFolder(const std::string& folder) {
        struct stat st {};
        int error = 0;
        if (stat(folder.c_str(), &st) != 0) {
            error = errno;
        } else if (!S_ISDIR(st.st_mode)) {
            error = ENOTDIR;
        } else if (access(folder.c_str(), R_OK | X_OK) != 0) {
            error = errno;
        }
        if (error != 0) {
            std::fprintf(stderr, "tessaroven-ctl: cannot read the data directory %s: %s\n",
                         folder.c_str(), std::strerror(error));
            std::exit(kFailed);
        }
    }
    platform::StderrMessageSink sink;
    Registry registry;
    PrintDataFiles files{registry, sink};
    std::string dir;
};

int FolderUnreachable(const std::string& dir, int error) {
    std::fprintf(stderr, "tessaroven-ctl: %s\n", UnreachableFolderText(dir, error).c_str());
    return kFailed;
}

enum class OutputFormat { Text, Csv, Json };

// Takes --format F and --excel out of args; false (after saying why) when they make no sense.
bool TakeFormat(Args& args, OutputFormat& format, CsvStyle& style) {
    std::optional<std::string> given;
    for (size_t i = 0; i < args.size();) {
        if (args[i] == "--excel") {
            style.excel = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (args[i] == "--format" && i + 1 < args.size()) {
            given = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i + 2));
        } else {
            i += 2;  // an option and its value
        }
    }
    format = style.excel ? OutputFormat::Csv : OutputFormat::Text;
    if (given) {
        if (*given == "text") {
            format = OutputFormat::Text;
        } else if (*given == "csv") {
            format = OutputFormat::Csv;
        } else if (*given == "json") {
            format = OutputFormat::Json;
        } else {
            std::fprintf(stderr, "tessaroven-ctl: --format takes text, csv or json, not '%s'\n",
                         given->c_str());
            return false;
        }
    }
    if (style.excel && format != OutputFormat::Csv) {
        std::fprintf(stderr, "tessaroven-ctl: --excel goes with --format csv only\n");
        return false;
    }
    return true;
}

void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int NoRecords() {
    std::fprintf(stderr, "%s\n", "印刷データがありません。");
    return kFailed;
}

int Log(const Args& given) {
    if (WantsHelp(given)) {
        std::fputs(kLogUsage, stdout);
        return kOk;
    }
    Args args = given;
    OutputFormat format = OutputFormat::Text;
    CsvStyle style;
    if (!TakeFormat(args, format, style)) {
        return kUsage;
    }
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--data-dir"}, options)) {
        return Usage(kLogUsage);
    }
    DataFiles data(options);
    PrintDataFiles& files = data.files;
    PrintLogTable table;
    const auto loaded = table.Load(files);
    if (loaded == PrintLogTable::LoadResult::Unreachable) {
        return FolderUnreachable(data.dir, table.FolderError());
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(stdout, buffer.data(), _IOFBF, buffer.size());
    if (format == OutputFormat::Csv) {
        Write(LogCsvHeading(style));
    } else if (format == OutputFormat::Json) {
        Write("[");
    }
    for (size_t i = 0; i < table.Size(); ++i) {
        const std::string_view line = table.Line(i);
        if (format == OutputFormat::Csv) {
            Write(LogCsvRow(line, style));
        } else if (format == OutputFormat::Json) {
            Write(i > 0 ? ",\n" : "\n");
            Write(LogJsonObject(line));
        } else {
            std::fwrite(line.data(), 1, line.size() - 1, stdout);  // without the closing comma
            std::fputc('\n', stdout);
        }
    }
    if (format == OutputFormat::Json) {
        Write("]\n");
    }
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return loaded == PrintLogTable::LoadResult::NoRecords ? NoRecords() : kOk;
}

// "YYYY-MM" with a month from 1 to 12.
bool ParseMonth(const std::string& text, int& year, int& month) {
    if (text.size() != 7 || text[4] != '-') {
        return false;
    }
    for (size_t i : {0, 1, 2, 3, 5, 6}) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    year = std::stoi(text.substr(0, 4));
    month = std::stoi(text.substr(5, 2));
    return month >= 1 && month <= 12;
}

int Totals(const Args& given) {
    if (WantsHelp(given)) {
        std::fputs(kTotalsUsage, stdout);
        return kOk;
    }
    Args args = given;
    OutputFormat format = OutputFormat::Text;
    CsvStyle style;
    if (!TakeFormat(args, format, style)) {
        return kUsage;
    }
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--printer", "--month", "--by", "--data-dir"}, options)) {
        return Usage(kTotalsUsage);
    }
    if (!options.count("--printer") || !options.count("--month")) {
        std::fprintf(stderr, "tessaroven-ctl: totals needs --printer and --month\n\n");
        return Usage(kTotalsUsage);
    }
    TotalsQuery query;
    if (!ParseMonth(options["--month"], query.year, query.month)) {
        std::fprintf(stderr, "tessaroven-ctl: '%s' is no month of the form YYYY-MM\n",
                     options["--month"].c_str());
        return kUsage;
    }
    const std::string by = options.count("--by") ? options["--by"] : "computer";
    if (by != "computer" && by != "user") {
        std::fprintf(stderr, "tessaroven-ctl: --by takes computer or user, not '%s'\n", by.c_str());
        return kUsage;
    }
    query.byComputer = by == "computer";
    query.printerText = options["--printer"];
    query.serverName = ServerOfPrinterName(query.printerText);

    DataFiles data(options);
    PrintDataFiles& files = data.files;
    files.AcquireRecordLock();
    const TotalsResult result = SumPrintedPages(files, query);
    files.ReleaseRecordLock();
    if (result.folderError != 0) {
        return FolderUnreachable(data.dir, result.folderError);
    }
    if (format == OutputFormat::Csv) {
        Write(TotalsCsv(query, result, style));
    } else if (format == OutputFormat::Json) {
        Write(TotalsJson(query, result));
    } else if (!result.groups.empty()) {
        for (const auto& line : FormatTotals(query.printerText, result)) {
            std::printf("%s\n", line.c_str());
        }
    }
    return result.groups.empty() ? NoRecords() : kOk;
}

int Report(const Args& given) {
    if (WantsHelp(given)) {
        std::fputs(kReportUsage, stdout);
        return kOk;
    }
    Args args = given;
    OutputFormat format = OutputFormat::Text;
    CsvStyle style;
    if (!TakeFormat(args, format, style)) {
        return kUsage;
    }
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--from", "--to", "--printer", "--by", "--data-dir"}, options)) {
        return Usage(kReportUsage);
    }
    if (!options.count("--from") || !options.count("--to")) {
        std::fprintf(stderr, "tessaroven-ctl: report needs --from and --to\n\n");
        return Usage(kReportUsage);
    }
    ReportQuery query;
    for (const auto& [name, month] :
         {std::pair{"--from", &query.fromMonth}, std::pair{"--to", &query.toMonth}}) {
        *month = ParseMonthLabel(options[name]);
        if (*month == 0) {
            std::fprintf(stderr, "tessaroven-ctl: %s '%s' is no month of the form YYYY-MM\n", name,
                         options[name].c_str());
            return kUsage;
        }
    }
    if (query.fromMonth > query.toMonth) {
        std::fprintf(stderr, "tessaroven-ctl: the range ends before it starts (%s to %s)\n",
                     options["--from"].c_str(), options["--to"].c_str());
        return kUsage;
    }
    if (query.toMonth - query.fromMonth + 1 > kMaxReportMonths) {
        std::fprintf(stderr, "tessaroven-ctl: a report covers at most %d months\n",
                     kMaxReportMonths);
        return kUsage;
    }
    const std::string by = options.count("--by") ? options["--by"] : "computer";
    if (by == "computer") {
        query.by = ReportGrouping::Computer;
    } else if (by == "user") {
        query.by = ReportGrouping::User;
    } else if (by == "printer") {
        query.by = ReportGrouping::Printer;
    } else {
        std::fprintf(stderr, "tessaroven-ctl: --by takes computer, user or printer, not '%s'\n",
                     by.c_str());
        return kUsage;
    }
    if (options.count("--printer")) {
        query.everyPrinter = false;
        query.printerText = options["--printer"];
        query.serverName = ServerOfPrinterName(query.printerText);
    }

    DataFiles data(options);
    PrintDataFiles& files = data.files;
    files.AcquireRecordLock();
    const MonthlyReport report = SumMonthlyPages(files, query);
    files.ReleaseRecordLock();
    if (report.folderError != 0) {
        return FolderUnreachable(data.dir, report.folderError);
    }
    if (format == OutputFormat::Csv) {
        Write(ReportCsv(report, style));
    } else if (format == OutputFormat::Json) {
        Write(ReportJson(report));
    } else if (!report.rows.empty()) {
        std::string text;
        for (const auto& line : FormatReportTable(report)) {
            text += line + "\n";
        }
        Write(text);
    }
    return report.rows.empty() ? NoRecords() : kOk;
}

int Stats(const Args& args) {
    if (WantsHelp(args)) {
        std::fputs(kStatsUsage, stdout);
        return kOk;
    }
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--data-dir"}, options)) {
        return Usage(kStatsUsage);
    }
    DataFiles data(options);
    PrintDataFiles& files = data.files;
    const std::string& dir = data.dir;
    files.AcquireRecordLock();
    const DataStatistics stats = ScanDataStatistics(files, dir);
    files.ReleaseRecordLock();
    if (stats.folderError != 0) {
        return FolderUnreachable(dir, stats.folderError);
    }
    std::printf("directory: %s\nfiles: %d\nbytes: %llu\n", dir.c_str(), stats.fileCount,
                static_cast<unsigned long long>(stats.totalBytes));
    if (stats.hasRecords) {
        std::printf("first record: %s\nlast record: %s\nfirst month: %04d-%02d\n",
                    FormatRecordDay(stats.earliest).c_str(), FormatRecordDay(stats.latest).c_str(),
                    YearOf(stats.firstMonth), MonthOf(stats.firstMonth));
    } else {
        std::printf("first record: -\nlast record: -\nfirst month: -\n");
    }
    return kOk;
}

int Purge(const Args& args) {
    if (WantsHelp(args)) {
        std::fputs(kPurgeUsage, stdout);
        return kOk;
    }
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--through", "--data-dir"}, options) || !options.count("--through")) {
        return Usage(kPurgeUsage);
    }
    int year = 0;
    int month = 0;
    if (!ParseMonth(options["--through"], year, month)) {
        std::fprintf(stderr, "tessaroven-ctl: '%s' is no month of the form YYYY-MM\n",
                     options["--through"].c_str());
        return kUsage;
    }
    DataFiles data(options);
    PrintDataFiles& files = data.files;
    const std::string& dir = data.dir;
    files.AcquireRecordLock();
    const PurgeReport report = PurgePrintData(files, dir, SelectedMonth(year, month), data.sink);
    files.ReleaseRecordLock();
    if (report.folderError != 0) {
        return FolderUnreachable(dir, report.folderError);
    }
    bool allDone = !report.stopped;
    for (const auto& f : report.files) {
        const std::string name = f.path.substr(f.path.rfind('/') + 1);
        if (f.orphaned) {
            std::printf("%s: %s\n", name.c_str(), f.error.c_str());
            allDone = allDone && f.rewritten;
        } else if (f.rewritten) {
            std::printf("%s: removed %ld, kept %ld\n", name.c_str(), f.removed, f.kept);
        } else {
            std::printf("%s: left as it was (%s)\n", name.c_str(), f.error.c_str());
            allDone = false;
        }
    }
    if (report.stopped) {
        std::fprintf(
            stderr,
            "tessaroven-ctl: stopped; the files after the last one listed were not touched\n");
    }
    return allDone ? kOk : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    platform::UseBinaryStandardStreams();
    const std::vector<std::string> all = platform::ProgramArguments(argc, argv);
    const Args args(all.begin() + (all.empty() ? 0 : 1), all.end());
    if (args.empty()) {
        return Usage(kMainUsage);
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kMainUsage, stdout);
        return kOk;
    }
    if (args[0] == "--version") {
        std::printf("tessaroven-ctl %s\n", TESSAROVEN_VERSION);
        return kOk;
    }
    const std::map<std::string, std::function<int(const Args&)>> commands = {
        {"reg", Reg},       {"stop", Stop},     {"status", Status}, {"log", Log},
        {"totals", Totals}, {"report", Report}, {"stats", Stats},   {"purge", Purge},
    };
    const auto command = commands.find(args[0]);
    if (command == commands.end()) {
        std::fprintf(stderr, "tessaroven-ctl: unknown command '%s'\n\n", args[0].c_str());
        return Usage(kMainUsage);
    }
    return command->second(Args(args.begin() + 1, args.end()));
}
