#include "ui/win32/OptionsWindow.h"

#include <commctrl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "admin/DataMaintenance.h"
#include "admin/OptionsTexts.h"
#include "platform/Host.h"
#include "ui/win32/WinUi.h"

namespace winui {

namespace {

// Posted to itself when shown.
constexpr wchar_t kClassName[] = L"TessarovenOptions";
constexpr char kChooserTitle[] = "データファイル格納ディレクトリを選択してください。";
// Counts that seem too high for the number of users are explained by the naming.
constexpr wchar_t kFileCountTip[] =
    L"ユーザーごと、コンピュータごとに 1 ファイルあります: PrintData_<ユーザー>@<コンピュータ>"
    L".dat。以前のバージョンが書いた PrintData_<ユーザー>.dat も数えています。";
// The widest texts the figures take, in the font in use.
constexpr wchar_t kWidestCount[] = L"000,000";
constexpr wchar_t kWidestSize[] = L"000.0 MB (000,000,000 バイト)";
constexpr wchar_t kWidestDay[] = L"0000/00/00";
constexpr wchar_t kWidestMonth[] = L"0000年00月";

// The file dialog's class (uuid.lib is not linked for one identifier).
constexpr CLSID kFileOpenDialog = {
    0xdc1c5a9c, 0xe88a, 0x4dde, {0xa5, 0xa1, 0x60, 0xf8, 0x2a, 0x20, 0xae, 0xf7}};

// Takes the purge's messages off the screen: its report says the same, file by file.
class QuietSink final : public platform::MessageSink {
  public:
    void Show(const std::string&, const std::string&, int) override {}
};

bool Checked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// text with its middle replaced by "…" as far as needed to fit width; whole when it fits.
std::wstring ElideMiddle(HWND window, HFONT font, const std::wstring& text, int width) {
    if (TextExtent(window, font, text).cx <= width) {
        return text;
    }
    auto shortened = [&text](size_t keep) {
        size_t head = (keep + 1) / 2;
        size_t tail = keep - head;
        // A pair of UTF-16 units stays together.
        if (head > 0 && IS_HIGH_SURROGATE(text[head - 1])) {
            --head;
        }
        if (tail > 0 && IS_LOW_SURROGATE(text[text.size() - tail])) {
            --tail;
        }
        return text.substr(0, head) + L"…" + text.substr(text.size() - tail);
    };
    size_t low = 0;  // fits (the ellipsis alone, if anything)
    size_t high = text.size();
    while (low + 1 < high) {
        const size_t middle = (low + high) / 2;
        if (TextExtent(window, font, shortened(middle)).cx <= width) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return shortened(low);
}

int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM, LPARAM start) {
    if (message == BFFM_INITIALIZED && start != 0) {
        SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, start);
    }
    return 0;
}

// The system's folder chooser: the file dialog choosing folders, or the older folder browser
// where that cannot be had.
std::string BrowseForFolder(HWND owner, const std::string& title, const std::string& start) {
    IFileOpenDialog* dialog = nullptr;
    if (SUCCEEDED(CoCreateInstance(kFileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&dialog)))) {
        DWORD options = 0;
        dialog->GetOptions(&options);
        dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
        dialog->SetTitle(Wide(title).c_str());
        IShellItem* folder = nullptr;
        if (!start.empty() && SUCCEEDED(SHCreateItemFromParsingName(Wide(start).c_str(), nullptr,
                                                                    IID_PPV_ARGS(&folder)))) {
            dialog->SetFolder(folder);
            folder->Release();
        }
        std::string chosen;
        IShellItem* result = nullptr;
        if (SUCCEEDED(dialog->Show(owner)) && SUCCEEDED(dialog->GetResult(&result))) {
            PWSTR path = nullptr;
            if (SUCCEEDED(result->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
                chosen = Utf8(path);
                CoTaskMemFree(path);
            }
            result->Release();
        }
        dialog->Release();
        return chosen;
    }
    const std::wstring wideTitle = Wide(title);
    const std::wstring wideStart = Wide(start);
    BROWSEINFOW browse{};
    browse.hwndOwner = owner;
    browse.lpszTitle = wideTitle.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    browse.lpfn = &BrowseCallback;
    browse.lParam = wideStart.empty() ? 0 : reinterpret_cast<LPARAM>(wideStart.c_str());
    PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&browse);
    if (list == nullptr) {
        return {};
    }
    std::wstring path(32768, L'\0');
    const bool got =
        SHGetPathFromIDListEx(list, path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT);
    CoTaskMemFree(list);
    return got ? Utf8(path.c_str()) : std::string();
}

}  // namespace

OptionsWindow::OptionsWindow(PrintDataFiles& files, Registry& registry, platform::MessageSink& sink)
    : chooseFolder(&BrowseForFolder),
      confirmPurge([](HWND owner, const std::string& text) {
          return Win32MessageSink::AskYesNo(owner, text, "Tessaroven", MB_ICONWARNING);
      }),
      m_files(files),
      m_registry(registry),
      m_sink(sink) {}

OptionsWindow::~OptionsWindow() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
}

HWND OptionsWindow::Create(HWND owner) {
    if (m_window != nullptr) {
        return m_window;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    RegisterWindowClass(kClassName, &OptionsWindow::Procedure);
    // A dialog frame without system menu or close box, as its counterpart on Linux.
    CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kClassName, L"オプション",
                    WS_POPUP | WS_CAPTION, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, owner, nullptr,
                    GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) {
        return nullptr;
    }
    // In tab order; the frames last, beneath the controls they hold.
    auto text = [this](const wchar_t* t, int id, DWORD style = SS_LEFT, DWORD exStyle = 0) {
        Control(m_window, L"STATIC", t, style | SS_NOPREFIX | SS_CENTERIMAGE, id, exStyle);
    };
    auto figure = [this](int id, DWORD extra = 0) {
        // Read-only and no tab stop: the figures change only with the folder.
        Control(m_window, L"EDIT", L"", ES_READONLY | ES_AUTOHSCROLL | extra, id, WS_EX_CLIENTEDGE);
    };
    text(L"データファイル格納ディレクトリ", kDirectoryCaption);
    figure(kDirectory);
    Control(m_window, L"BUTTON", L"変更", WS_TABSTOP | BS_PUSHBUTTON, kChangeFolder);
    text(L"ファイル数", kFileCountCaption, SS_RIGHT);
    figure(kFileCount);
    text(L"ファイル総容量", kFileSizeCaption, SS_RIGHT);
    figure(kFileSize);
    text(L"データ日付", kDaysCaption, SS_RIGHT);
    figure(kFirstDay);
    text(L"～", kDaysBetween, SS_CENTER);
    figure(kLastDay);
    Control(m_window, L"BUTTON", L"印刷データを削除", WS_TABSTOP | BS_AUTOCHECKBOX, kPurge);
    Control(m_window, L"BUTTON", L"", WS_TABSTOP | BS_OWNERDRAW, kPreviousMonth);
    text(L"", kMonth, SS_CENTER, WS_EX_STATICEDGE);
    Control(m_window, L"BUTTON", L"", WS_TABSTOP | BS_OWNERDRAW, kNextMonth);
    text(L"以前のデータを消去する。", kPurgeCaption);
    Control(m_window, L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, kOk);
    Control(m_window, L"BUTTON", L"キャンセル", WS_TABSTOP | BS_PUSHBUTTON, kCancel);
    Control(m_window, L"BUTTON", L"", BS_GROUPBOX, kDataGroup);
    Control(m_window, L"STATIC", L"", SS_ETCHEDFRAME, kBevel);

    // The whole folder and what the count counts, in tooltips.
    m_tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                            WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, 0, 0, 0, 0, m_window, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    for (int id : {kDirectory, kFileCount}) {
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = m_window;
        tool.uId = reinterpret_cast<UINT_PTR>(Item(id));
        tool.lpszText =
            id == kFileCount ? const_cast<wchar_t*>(kFileCountTip) : LPSTR_TEXTCALLBACKW;
        SendMessageW(m_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    m_focus = Item(kChangeFolder);
    Layout();
    return m_window;
}

int OptionsWindow::Run(HWND owner) {
    if (Create(owner) == nullptr) {
        return IDCANCEL;
    }
    Refresh();
    CenterOnScreen(m_window);
    return RunModal(m_window);
}

void OptionsWindow::Layout() {
    const HWND w = m_window;
    const HFONT font = UiFont(w);
    ApplyFont(w, font);
    SendMessageW(m_tip, TTM_SETMAXTIPWIDTH, 0, Scale(w, 400));
    auto s = [w](int designed) { return Scale(w, designed); };
    auto width = [w, font](const wchar_t* text) {
        return static_cast<int>(TextExtent(w, font, text).cx);
    };
    const int line = static_cast<int>(TextExtent(w, font, L"").cy);
    const int edge = GetSystemMetricsForDpi(SM_CXEDGE, GetDpiForWindow(w));
    const int margin = s(3);  // between an edit's frame and its text
    for (int id : {kDirectory, kFileCount, kFileSize, kFirstDay, kLastDay}) {
        SendMessageW(Item(id), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN,
                     MAKELPARAM(margin, margin));
    }
    const int editHeight = std::max(s(21), line + 2 * edge + s(4));
    const int buttonHeight = std::max(s(25), line + s(10));
    auto editWidth = [&](const wchar_t* widest) {
        return width(widest) + 2 * (margin + edge) + s(4);
    };
    auto buttonWidth = [&](const wchar_t* text, int designed) {
        return std::max(s(designed), width(text) + s(20));
    };

    // Across: the bevel's margins, inside them the folder row and the group, inside that the
    // captions and the figures.
    const int outer = s(8);
    const int inside = outer + s(23);
    const int groupPadding = s(12);
    const int captionWidth =
        std::max({s(60), width(L"ファイル数"), width(L"ファイル総容量"), width(L"データ日付")});
    const int figureX = inside + groupPadding + captionWidth + s(6);
    const int countWidth = editWidth(kWidestCount);
    const int sizeWidth = editWidth(kWidestSize);
    const int dayWidth = editWidth(kWidestDay);
    const int betweenWidth = width(L"～") + s(12);
    const int checkWidth = GetSystemMetricsForDpi(SM_CXMENUCHECK, GetDpiForWindow(w)) + s(6) +
                           width(L"印刷データを削除") + s(4);
    const int arrowWidth = s(17);
    const int monthWidth = std::max(s(121) - 2 * arrowWidth, width(kWidestMonth) + s(12));
    const int monthX = inside + groupPadding + s(20);
    const int purgeCaptionX = monthX + 2 * arrowWidth + monthWidth + s(8);
    const int changeWidth = buttonWidth(L"変更", 41);
    const int okWidth = buttonWidth(L"OK", 75);
    const int cancelWidth = buttonWidth(L"キャンセル", 75);
    int right = std::max({inside + s(337) + s(6) + changeWidth,
                          figureX + std::max(sizeWidth, 2 * dayWidth + betweenWidth),
                          inside + groupPadding + checkWidth,
                          purgeCaptionX + width(L"以前のデータを消去する。")}) +
                groupPadding;
    // At least the designed size, the extra going to the folder and the group.
    const int clientWidth = std::max(s(447), right + s(23) + outer);
    right = clientWidth - outer - s(23);

    // Down.
    int y = outer + s(14);
    Place(Item(kDirectoryCaption), inside, y, right - inside, line);
    y += line + s(2);
    Place(Item(kDirectory), inside, y, right - inside - changeWidth - s(6), editHeight);
    Place(Item(kChangeFolder), right - changeWidth, y, changeWidth, editHeight);
    y += editHeight + s(20);
    const int groupTop = y;
    y += line + s(6);
    const int rowGap = s(3);
    Place(Item(kFileCountCaption), inside + groupPadding, y, captionWidth, editHeight);
    Place(Item(kFileCount), figureX, y, countWidth, editHeight);
    y += editHeight + rowGap;
    Place(Item(kFileSizeCaption), inside + groupPadding, y, captionWidth, editHeight);
    Place(Item(kFileSize), figureX, y, sizeWidth, editHeight);
    y += editHeight + rowGap;
    Place(Item(kDaysCaption), inside + groupPadding, y, captionWidth, editHeight);
    Place(Item(kFirstDay), figureX, y, dayWidth, editHeight);
    Place(Item(kDaysBetween), figureX + dayWidth, y, betweenWidth, editHeight);
    Place(Item(kLastDay), figureX + dayWidth + betweenWidth, y, dayWidth, editHeight);
    y += editHeight + s(10);
    const int checkHeight = std::max(line, s(13)) + s(4);
    Place(Item(kPurge), inside + groupPadding, y, checkWidth, checkHeight);
    y += checkHeight + rowGap;
    const int monthHeight = std::max(s(21), line + s(6));
    Place(Item(kPreviousMonth), monthX, y, arrowWidth, monthHeight);
    Place(Item(kMonth), monthX + arrowWidth, y, monthWidth, monthHeight);
    Place(Item(kNextMonth), monthX + arrowWidth + monthWidth, y, arrowWidth, monthHeight);
    Place(Item(kPurgeCaption), purgeCaptionX, y, right - groupPadding - purgeCaptionX, monthHeight);
    y += monthHeight + groupPadding;
    const int naturalHeight = y + s(14) + s(19) + buttonHeight + s(12);
    // What the designed height has over, the group takes.
    y += std::max(0, s(329) - naturalHeight);
    Place(Item(kDataGroup), inside, groupTop, right - inside, y - groupTop);
    y += s(14);
    Place(Item(kBevel), outer, outer, clientWidth - 2 * outer, y - outer);
    y += s(19);
    const int buttonsX = (clientWidth - okWidth - s(6) - cancelWidth) / 2;
    Place(Item(kOk), buttonsX, y, okWidth, buttonHeight);
    Place(Item(kCancel), buttonsX + okWidth + s(6), y, cancelWidth, buttonHeight);
    y += buttonHeight + s(12);

    RECT frame{0, 0, clientWidth, y};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(w, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongPtrW(w, GWL_EXSTYLE)),
                             GetDpiForWindow(w));
    SetWindowPos(w, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The shortened folder follows the width.
    ShowFolderInTitle();
    ShowDirectoryText();
}

void OptionsWindow::ShowDirectoryText() {
    RECT room;
    GetClientRect(Item(kDirectory), &room);
    const int margins = 2 * Scale(m_window, 3) + Scale(m_window, 2);
    SetWindowTextW(
        Item(kDirectory),
        ElideMiddle(m_window, UiFont(m_window), Wide(m_directory), room.right - margins).c_str());
}

void OptionsWindow::Refresh() {
    m_ended = 0;
    m_savedDirectory = m_files.DataDirectory();
    ShowDirectory(m_savedDirectory);
    m_titleFolder = m_savedDirectory;
    ShowFolderInTitle();
    m_folderValid = true;
    ShowDataStatistics();
    SendMessageW(Item(kPurge), BM_SETCHECK, BST_UNCHECKED, 0);
    UpdateEnabled();
}

void OptionsWindow::ShowDirectory(const std::string& dir) {
    if (dir == m_directory) {
        return;
    }
    m_directory = dir;
    ShowDirectoryText();
    DirectoryChanged();
}

void OptionsWindow::ShowFolderInTitle() {
    // The title runs along the frame's top edge: it must end before the frame does.
    RECT group;
    GetClientRect(Item(kDataGroup), &group);
    SetWindowTextW(Item(kDataGroup), ElideMiddle(m_window, UiFont(m_window), Wide(m_titleFolder),
                                                 group.right - Scale(m_window, 24))
                                         .c_str());
}

void OptionsWindow::ChooseFolder() {
    const std::string current = m_files.DataDirectory();
    const std::string chosen = chooseFolder(
        m_window, kChooserTitle, platform::IsDirectory(current) ? current : std::string());
    if (!chosen.empty()) {
        ShowDirectory(chosen);
    }
}

void OptionsWindow::DirectoryChanged() {
    m_files.AcquireRecordLock();
    if (platform::IsDirectory(m_directory)) {
        m_folderValid = true;
        // From now on finished jobs are recorded in the chosen folder.
        m_files.SetDataDirectory(m_directory);
        m_titleFolder = m_directory;
        ShowFolderInTitle();
        m_files.ReleaseRecordLock();
        ShowDataStatistics();
        return;
    }
    m_files.ReleaseRecordLock();
    m_sink.Show("ディレクトリが正しくない。", "ERROR", platform::kIconStop);
    m_folderValid = false;
    UpdateEnabled();
}

void OptionsWindow::ShowDataStatistics() {
    m_files.AcquireRecordLock();
    const DataStatistics stats = ScanDataStatistics(m_files, m_directory);
    m_files.ReleaseRecordLock();
    if (stats.folderError != 0) {
        m_sink.Show(UnreachableFolderMessage(m_directory, stats.folderError), "Tessaroven Error",
                    platform::kIconStop);
    }
    SetWindowTextW(Item(kFileCount), std::to_wstring(stats.fileCount).c_str());
    SetWindowTextW(Item(kFileSize), Wide(DataSizeText(stats.totalBytes)).c_str());
    m_hasRecords = stats.hasRecords;
    m_selectedMonth = stats.hasRecords ? stats.firstMonth : 0;
    SetWindowTextW(Item(kFirstDay),
                   stats.hasRecords ? Wide(FormatRecordDay(stats.earliest)).c_str() : L"");
    SetWindowTextW(Item(kLastDay),
                   stats.hasRecords ? Wide(FormatRecordDay(stats.latest)).c_str() : L"");
    SetWindowTextW(Item(kMonth),
                   stats.hasRecords ? Wide(FormatPurgeMonth(m_selectedMonth)).c_str() : L"");
    UpdateEnabled();
}

void OptionsWindow::UpdateEnabled() {
    // A folder that is no directory leaves nothing but the change button and キャンセル.
    for (int id : {kOk, kDataGroup, kFileCountCaption, kFileCount, kFileSizeCaption, kFileSize,
                   kDaysCaption, kFirstDay, kDaysBetween, kLastDay}) {
        EnableWindow(Item(id), m_folderValid);
    }
    const bool purgeable = m_folderValid && m_hasRecords;
    const bool purging = purgeable && Checked(Item(kPurge));
    EnableWindow(Item(kPurge), purgeable);
    for (int id : {kPreviousMonth, kMonth, kNextMonth, kPurgeCaption}) {
        EnableWindow(Item(id), purging);
    }
}

void OptionsWindow::StepMonth(int delta) {
    m_selectedMonth += delta;
    SetWindowTextW(Item(kMonth), Wide(FormatPurgeMonth(m_selectedMonth)).c_str());
}

void OptionsWindow::OkClicked() {
    const std::string dir = m_directory;
    const bool purge = IsWindowEnabled(Item(kPurge)) && Checked(Item(kPurge));
    // Deleted records cannot be brought back: say what goes first. No, the default, leaves the
    // window open with nothing stored and nothing deleted.
    if (purge && !ConfirmPurge(dir)) {
        return;
    }
    m_files.AcquireRecordLock();
    if (dir != m_savedDirectory) {
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory", dir);
        platform::MakeDirectoryPath(dir);
    }
    PurgeReport report;
    if (purge) {
        // Each file's trouble is in the report, told in one box once the lock is free.
        QuietSink quiet;
        report = PurgePrintData(m_files, dir, m_selectedMonth, quiet);
    }
    m_files.ReleaseRecordLock();
    m_savedDirectory = m_files.DataDirectory();
    if (purge) {
        const PurgeMessage message = PurgeReportMessage(dir, report);
        m_sink.Show(message.text, message.caption, message.icon);
    }
    End(IDOK);
}

bool OptionsWindow::ConfirmPurge(const std::string& dir) {
    m_files.AcquireRecordLock();
    const std::int64_t count = CountPurgeableRecords(m_files, dir, m_selectedMonth);
    m_files.ReleaseRecordLock();
    return confirmPurge(m_window, PurgeQuestion(m_selectedMonth, count));
}

void OptionsWindow::Cancel() {
    // The folder chosen meanwhile was in use at once; the one from before comes back.
    if (m_files.DataDirectory() != m_savedDirectory) {
        m_files.AcquireRecordLock();
        m_files.SetDataDirectory(m_savedDirectory);
        m_files.ReleaseRecordLock();
    }
    End(IDCANCEL);
}

void OptionsWindow::End(int result) {
    m_ended = result;
    EndModal(m_window, result);
}

void OptionsWindow::Command(int id) {
    switch (id) {
        case kChangeFolder:
            ChooseFolder();
            break;
        case kPurge:
            UpdateEnabled();
            break;
        case kPreviousMonth:
        case kNextMonth:
            StepMonth(id == kNextMonth ? +1 : -1);
            break;
        case kOk:
            // Enter comes here too: not while OK is disabled.
            if (IsWindowEnabled(Item(kOk))) {
                OkClicked();
            }
            break;
        case kCancel:
            Cancel();
            break;
        default:
            break;
    }
}

void OptionsWindow::DrawArrow(const DRAWITEMSTRUCT& item) {
    const bool next = item.CtlID == kNextMonth;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    RECT box = item.rcItem;
    FillRect(item.hDC, &box, GetSysColorBrush(COLOR_BTNFACE));
    if (HTHEME theme = OpenThemeData(item.hwndItem, L"SCROLLBAR")) {
        const int state = next ? (disabled  ? ABS_RIGHTDISABLED
                                  : pressed ? ABS_RIGHTPRESSED
                                            : ABS_RIGHTNORMAL)
                               : (disabled  ? ABS_LEFTDISABLED
                                  : pressed ? ABS_LEFTPRESSED
                                            : ABS_LEFTNORMAL);
        DrawThemeBackground(theme, item.hDC, SBP_ARROWBTN, state, &box, nullptr);
        CloseThemeData(theme);
    } else {
        DrawFrameControl(item.hDC, &box, DFC_SCROLL,
                         (next ? DFCS_SCROLLRIGHT : DFCS_SCROLLLEFT) |
                             (disabled ? DFCS_INACTIVE : 0) | (pressed ? DFCS_PUSHED : 0));
    }
    if ((item.itemState & ODS_FOCUS) != 0) {
        InflateRect(&box, -Scale(m_window, 3), -Scale(m_window, 3));
        DrawFocusRect(item.hDC, &box);
    }
}

LRESULT CALLBACK OptionsWindow::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    OptionsWindow* self = WindowOwner(window, message, l, &OptionsWindow::m_window);
    return self != nullptr ? self->Handle(message, w, l) : DefWindowProcW(window, message, w, l);
}

LRESULT OptionsWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    // The control that had the focus gets it back, as in a dialog.
    if (KeepDialogFocus(m_window, m_focus, message, w)) {
        return 0;
    }
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(w) == BN_CLICKED) {
                Command(LOWORD(w));
            }
            return 0;
        case WM_DRAWITEM:
            DrawArrow(*reinterpret_cast<const DRAWITEMSTRUCT*>(l));
            return TRUE;
        case WM_NOTIFY: {
            auto* tip = reinterpret_cast<NMTTDISPINFOW*>(l);
            if (tip->hdr.code == TTN_GETDISPINFOW &&
                reinterpret_cast<HWND>(tip->hdr.idFrom) == Item(kDirectory)) {
                m_tipText = Wide(m_directory);
                tip->lpszText = m_tipText.data();
            }
            return 0;
        }
        case DM_GETDEFID:
            return MAKELRESULT(kOk, DC_HASDEFID);
        case WM_CLOSE:
            Cancel();
            return 0;
        case WM_DPICHANGED:
            MoveToSuggested(m_window, l);
            Layout();
            return 0;
        default:
            return DefWindowProcW(m_window, message, w, l);
    }
}

}  // namespace winui
