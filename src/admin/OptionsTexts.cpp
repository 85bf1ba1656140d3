#include "admin/OptionsTexts.h"

#include "platform/MessageSink.h"
#include "storage/PrintDataFiles.h"

namespace {

// Fills in %1 with what, as the dialogs' texts are written.
std::string Fill(std::string text, const std::string& what) {
    const size_t at = text.find("%1");
    return at == std::string::npos ? text : text.replace(at, 2, what);
}

std::string GroupedDigits(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += ',';
        }
        grouped += digits[i];
    }
    return grouped;
}

}  // namespace

std::string GroupedNumber(std::int64_t n) {
    // The magnitude of the most negative number fits only unsigned.
    const std::uint64_t magnitude =
        n < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    return std::string(n < 0 ? "-" : "") + GroupedDigits(magnitude);
}

std::string DataSizeText(std::uint64_t bytes) {
    const std::string exact = GroupedDigits(bytes) + " バイト";
    constexpr std::uint64_t kMegabyte = 1024 * 1024;
    if (bytes < kMegabyte) {
        return exact;
    }
    // Megabytes to one decimal, halves rounded up; whole and remainder apart, so that no size
    // overflows on the way.
    std::uint64_t whole = bytes / kMegabyte;
    std::uint64_t tenths = ((bytes % kMegabyte) * 10 + kMegabyte / 2) / kMegabyte;
    if (tenths == 10) {
        ++whole;
        tenths = 0;
    }
    return GroupedDigits(whole) + "." + std::to_string(tenths) + " MB (" + exact + ")";
}

std::string PurgeTroubleText(const PurgedFile& file) {
    using T = PurgedFile::Trouble;
    switch (file.trouble) {
        case T::kInUse:
            return "他のプログラムが使用中です。";
        case T::kOwnerCannotWrite:
            return "書き直したファイルには持ち主のユーザーが書き込めなくなるため、そのままにしまし"
                   "た"
                   "。";
        case T::kPutBack:
            return "書き直しの間にファイルが消えたため、残すデータを元の名前で書き戻しました。";
        case T::kReplacedWhole:
            return "書き直しの間に他のプログラムが置き換えました。新しいファイルに残すデータはすべ"
                   "て"
                   "入っています。";
        case T::kReplacedKeptIn:
            return Fill(
                "書き直しの間に他のプログラムが置き換えました。残すデータは %1 にあります。",
                file.keptIn);
        case T::kVanishedKeptIn:
            return Fill("書き直しの間にファイルが消えました。残すデータは %1 にあります。",
                        file.keptIn);
        case T::kLost:
            return "書き直しの間にファイルが消え、残すデータをどこにも保存できませんでした。";
        case T::kSystem:
        case T::kNone:
            break;
    }
    return file.error;
}

std::string PurgeQuestion(int selectedMonth, std::int64_t records) {
    return FormatPurgeMonth(selectedMonth) + "までの印刷データ " + GroupedNumber(records) +
           " 件を削除します。よろしいですか?";
}

PurgeMessage PurgeReportMessage(const std::string& dir, const PurgeReport& report) {
    std::int64_t removed = 0;
    std::string troubles;
    auto addTrouble = [&troubles](const std::string& line) {
        troubles += std::string(troubles.empty() ? "" : "\n") + line;
    };
    for (const PurgedFile& f : report.files) {
        if (f.rewritten) {
            removed += f.removedRecords;
        }
        if (!f.error.empty()) {
            addTrouble(f.path + ": " + PurgeTroubleText(f));
        }
    }
    std::string text = GroupedNumber(removed) + " 件を削除しました。";
    if (report.folderError != 0) {
        addTrouble(UnreachableFolderMessage(dir, report.folderError));
    }
    if (troubles.empty() && !report.stopped) {
        return {text, "Tessaroven", platform::kIconInformation};
    }
    if (report.stopped) {
        text =
            std::string("DATA File open error\n") + text + "\n残りのファイルは処理していません。";
    }
    if (!troubles.empty()) {
        text += std::string("\n\n次のファイルの印刷データは削除できませんでした:\n") + troubles;
    }
    return {text, "error", platform::kIconStop};
}

std::string FileVersionText(const std::optional<std::array<int, 4>>& version) {
    if (!version) {
        return "(未定義)";
    }
    const auto& v = *version;
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}
