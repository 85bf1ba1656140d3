#pragma once

// What the options dialog and the about box say, whichever toolkit draws them: UTF-8 texts, with
// paths put in as the system gave them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "admin/DataMaintenance.h"

// 15021 as "15,021".
std::string GroupedNumber(std::int64_t n);

// 58828961 as "56.1 MB (58,828,961 バイト)"; below a megabyte the bytes alone, "4,096 バイト".
std::string DataSizeText(std::uint64_t bytes);

// Why the purge left a file as it was, in the dialog's words; the system's own text as it comes.
std::string PurgeTroubleText(const PurgedFile& file);

// What the purge asks before it deletes: "2006年03月までの印刷データ 1,202 件を削除します。
// よろしいですか?"
std::string PurgeQuestion(int selectedMonth, std::int64_t records);

// What the purge did, told in one message box.
struct PurgeMessage {
    std::string text;
    std::string caption;  // "Tessaroven" when all went well, "error" otherwise
    int icon;             // platform::kIconInformation or platform::kIconStop
};
// The records removed, and when not all went well why not, file by file; dir is the folder the
// purge worked on.
PurgeMessage PurgeReportMessage(const std::string& dir, const PurgeReport& report);

// The four numbers of a file version as "%d.%d.%d.%d"; "(未定義)" without one.
std::string FileVersionText(const std::optional<std::array<int, 4>>& version);
