#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/Host.h"
#include "storage/PrintDataFixture.h"
#include "ui/win32/AboutWindow.h"
#include "ui/win32/OptionsWindow.h"
#include "ui/win32/PasswordWindow.h"
#include "ui/win32/WinUi.h"

using namespace testsupport;
using winui::OptionsWindow;
using winui::Utf8;
using winui::Wide;

namespace {

const std::string kMarch = "1,20060305101010,P,\\\\PC1,u,2,2\r\r\n";
const std::string kEndOfMarch = "2,20060331235959,P,\\\\PC1,u,3,3\r\r\n";
const std::string kApril = "3,20060401000000,P,\\\\PC1,u,4,4\r\r\n";
const std::string kOctober = "9,20061015080000,経理部カラー,\\\\営業PC,山田太郎,5,5\r\r\n";

std::string Text(HWND window) {
    return Utf8(winui::WindowText(window));
}

// Clicks a control as the mouse would: nothing when it is disabled; a check box turns over.
void Click(HWND dialog, int id) {
    const HWND control = GetDlgItem(dialog, id);
    if (!IsWindowEnabled(control)) {
        return;
    }
    if ((GetWindowLongPtrW(control, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
        const bool checked = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(control, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
    }
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
}

// Presses a key in a window's modal loop, where the focus is.
void Press(HWND window, WPARAM key) {
    HWND target = GetFocus();
    if (target == nullptr || (target != window && !IsChild(window, target))) {
        target = window;
    }
    PostMessageW(target, WM_KEYDOWN, key, 0);
}

// Runs a step once the modal loop that follows is running; ends that loop with -1 should the
// step not end it within a few seconds.
std::function<void()> pendingStep;
HWND guarded = nullptr;

void CALLBACK RunStep(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    auto step = std::move(pendingStep);
    pendingStep = nullptr;
    if (step) {
        step();
    }
}

void CALLBACK EndGuarded(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (guarded != nullptr && winui::IsModalRunning(guarded)) {
        winui::EndModal(guarded, -1);
    }
}

UINT_PTR guardTimer = 0;

void WhenShown(HWND window, std::function<void()> step) {
    pendingStep = std::move(step);
    guarded = window;
    SetTimer(nullptr, 0, 10, &RunStep);
    KillTimer(nullptr, guardTimer);
    guardTimer = SetTimer(nullptr, 0, 10000, &EndGuarded);
}

// The options window over real files in a private data folder, with the folder chooser and the
// purge's question answered by the test.
struct OptionsWorld : PrintDataFixture {
    TempDir other;
    std::string chosen;
    std::vector<std::string> questions;
    bool yes = false;
    OptionsWindow window{files, reg, sink};
    HWND hwnd = window.Create(nullptr);

    OptionsWorld() {
        window.chooseFolder = [this](HWND owner, const std::string& title, const std::string&) {
            EXPECT_EQ(owner, hwnd);
            EXPECT_EQ(title, "データファイル格納ディレクトリを選択してください。");
            return chosen;
        };
        window.confirmPurge = [this](HWND owner, const std::string& text) {
            EXPECT_EQ(owner, hwnd);
            questions.push_back(text);
            return yes;
        };
    }
    void File(const std::string& user, const std::string& lines) {
        WriteFile(data / ("PrintData_" + user + ".dat"), lines);
    }
    std::string Item(int id) { return Text(GetDlgItem(hwnd, id)); }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(hwnd, id)) != FALSE; }
    std::string Stored() {
        return reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory");
    }
};

}  // namespace

// Another folder is in use from the moment it is chosen, and its statistics show; the month
// steps without bounds while the purge box is checked. A folder that is no directory is refused.
TEST(OptionsWindow, ShowsTheStatisticsOfTheChosenFolder) {
    OptionsWorld w;
    w.window.Refresh();
    EXPECT_EQ(Text(w.hwnd), "オプション");
    EXPECT_EQ(w.Item(OptionsWindow::kFileCount), "0");
    EXPECT_EQ(w.Item(OptionsWindow::kFileSize), "0 バイト");
    EXPECT_FALSE(w.Enabled(OptionsWindow::kPurge));
    EXPECT_EQ(GetWindowLongPtrW(w.hwnd, GWL_STYLE) & WS_SYSMENU, 0);  // no close box

    const std::string folder = w.other / "経理部";
    ASSERT_TRUE(platform::MakeDirectoryPath(folder));
    WriteFile(folder + "/PrintData_山田太郎@営業PC.dat", kApril + kOctober);
    WriteFile(folder + "/PrintData_佐藤@PC1.dat", kMarch);
    w.chosen = folder;
    Click(w.hwnd, OptionsWindow::kChangeFolder);
    EXPECT_EQ(w.files.DataDirectory(), folder);
    EXPECT_EQ(w.window.Directory(), folder);
    EXPECT_EQ(w.Item(OptionsWindow::kDataGroup), folder);
    EXPECT_EQ(w.Item(OptionsWindow::kFileCount), "2");
    EXPECT_EQ(w.Item(OptionsWindow::kFileSize),
              std::to_string(kApril.size() + kOctober.size() + kMarch.size()) + " バイト");
    EXPECT_EQ(w.Item(OptionsWindow::kFirstDay), "2006/03/05");
    EXPECT_EQ(w.Item(OptionsWindow::kLastDay), "2006/10/15");
    EXPECT_EQ(w.Item(OptionsWindow::kMonth), "2006年03月");
    EXPECT_TRUE(w.Enabled(OptionsWindow::kPurge));
    EXPECT_FALSE(w.Enabled(OptionsWindow::kPreviousMonth));  // until the box is checked
    Click(w.hwnd, OptionsWindow::kPurge);
    EXPECT_TRUE(w.Enabled(OptionsWindow::kPreviousMonth));
    EXPECT_TRUE(w.Enabled(OptionsWindow::kPurgeCaption));
    for (int i = 0; i < 3; ++i) {
        Click(w.hwnd, OptionsWindow::kPreviousMonth);
    }
    EXPECT_EQ(w.Item(OptionsWindow::kMonth), "2005年12月");
    for (int i = 0; i < 13; ++i) {
        Click(w.hwnd, OptionsWindow::kNextMonth);
    }
    EXPECT_EQ(w.Item(OptionsWindow::kMonth), "2007年01月");
    EXPECT_EQ(w.window.SelectedMonth(), 2007 * 12 + 1);

    WriteFile(w.other / "plain", "x");
    w.chosen = w.other / "plain";
    Click(w.hwnd, OptionsWindow::kChangeFolder);
    EXPECT_FALSE(w.Enabled(OptionsWindow::kOk));
    EXPECT_FALSE(w.Enabled(OptionsWindow::kPurge));
    EXPECT_EQ(w.files.DataDirectory(), folder);
    ASSERT_EQ(w.sink.Messages().size(), 1u);
    EXPECT_EQ(w.sink.Messages()[0].text, "ディレクトリが正しくない。");
    EXPECT_EQ(w.sink.Messages()[0].caption, "ERROR");
    EXPECT_EQ(w.sink.Messages()[0].flag, 16);
}

// The purge says what it is about to delete and waits for a yes: no deletes nothing and leaves
// the window open; yes deletes the records up to the month and says how many went.
TEST(OptionsWindow, ThePurgeAsksFirstAndReportsWhatItDid) {
    OptionsWorld w;
    std::string many;
    for (int i = 0; i < 1200; ++i) {
        many += kMarch;
    }
    w.File("a", kMarch + "\r\r\n" + kEndOfMarch + kApril);
    w.File("b", kOctober);
    w.File("c", many + kApril);
    w.window.Refresh();
    Click(w.hwnd, OptionsWindow::kPurge);
    Click(w.hwnd, OptionsWindow::kOk);
    ASSERT_EQ(w.questions.size(), 1u);
    EXPECT_EQ(w.questions[0], "2006年03月までの印刷データ 1,202 件を削除します。よろしいですか?");
    EXPECT_EQ(w.window.Ended(), 0);
    EXPECT_EQ(ReadFile(w.data / "PrintData_a.dat"), kMarch + "\r\r\n" + kEndOfMarch + kApril);
    EXPECT_EQ(ReadFile(w.data / "PrintData_c.dat"), many + kApril);
    EXPECT_TRUE(w.sink.Messages().empty());

    w.yes = true;
    Click(w.hwnd, OptionsWindow::kOk);
    EXPECT_EQ(w.window.Ended(), IDOK);
    EXPECT_EQ(ReadFile(w.data / "PrintData_a.dat"), kApril);
    EXPECT_EQ(ReadFile(w.data / "PrintData_b.dat"), kOctober);
    EXPECT_EQ(ReadFile(w.data / "PrintData_c.dat"), kApril);
    ASSERT_EQ(w.sink.Messages().size(), 1u);
    EXPECT_EQ(w.sink.Messages()[0].text, "1,202 件を削除しました。");
    EXPECT_EQ(w.sink.Messages()[0].caption, "Tessaroven");
    EXPECT_EQ(w.sink.Messages()[0].flag, 64);
    EXPECT_EQ(w.Stored(), "");  // the folder did not change, so nothing was stored

    // Shown again the box is clear: OK asks nothing and deletes nothing.
    w.File("c", kMarch);
    w.window.Refresh();
    EXPECT_EQ(w.window.Ended(), 0);
    Click(w.hwnd, OptionsWindow::kOk);
    EXPECT_EQ(w.questions.size(), 2u);  // the no and the yes above
    EXPECT_EQ(w.window.Ended(), IDOK);
    EXPECT_EQ(ReadFile(w.data / "PrintData_c.dat"), kMarch);
}

// Esc after choosing another folder puts the folder from before back and stores nothing; OK
// stores the chosen one.
TEST(OptionsWindow, EscapeRestoresTheDataDirectoryAndOkKeepsTheChosenOne) {
    OptionsWorld w;
    WriteFile(w.other / "PrintData_z.dat", kMarch);
    w.chosen = w.other.Path();
    std::string inUse;
    WhenShown(w.hwnd, [&] {
        Click(w.hwnd, OptionsWindow::kChangeFolder);
        inUse = w.files.DataDirectory();
        Press(w.hwnd, VK_ESCAPE);
    });
    EXPECT_EQ(w.window.Run(nullptr), IDCANCEL);
    EXPECT_EQ(inUse, w.other.Path());
    EXPECT_EQ(w.files.DataDirectory(), w.data.Path());
    EXPECT_EQ(w.Stored(), "");

    WhenShown(w.hwnd, [&] {
        EXPECT_EQ(w.window.Directory(), w.data.Path());
        Click(w.hwnd, OptionsWindow::kChangeFolder);
        Press(w.hwnd, VK_RETURN);
    });
    EXPECT_EQ(w.window.Run(nullptr), IDOK);
    EXPECT_EQ(w.files.DataDirectory(), w.other.Path());
    EXPECT_EQ(w.Stored(), w.other.Path());
}

// The change button opens the system's folder browser over the window, with its title;
// cancelling it changes nothing.
TEST(OptionsWindow, TheSystemsFolderBrowserOpensOverTheWindow) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        PrintDataFixture f;
        OptionsWindow window(f.files, f.reg, f.sink);
        const HWND hwnd = window.Create(nullptr);
        window.Refresh();
        // Looked for until it is up, then cancelled.
        int tries = 0;
        HWND owner = nullptr;
        std::function<void()> cancel = [&] {
            const HWND browser =
                FindWindowW(nullptr, L"データファイル格納ディレクトリを選択してください。");
            if (browser != nullptr) {
                owner = GetWindow(browser, GW_OWNER);
                PostMessageW(browser, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(browser, IDCANCEL)));
            } else if (++tries < 100) {
                pendingStep = cancel;
                SetTimer(nullptr, 0, 100, &RunStep);
            }
        };
        pendingStep = cancel;
        SetTimer(nullptr, 0, 100, &RunStep);
        Click(hwnd, OptionsWindow::kChangeFolder);
        EXPECT_EQ(owner, hwnd);
        EXPECT_EQ(window.Directory(), f.data.Path());
        EXPECT_TRUE(f.sink.Messages().empty());
    }
    CoUninitialize();
}

// Each mode shows its rows, empty, with the focus in the first; what is typed comes back as
// typed. Nothing typed at one showing is there at the next, cancelled or not.
TEST(PasswordWindow, EachModeGivesBackWhatWasTypedAndStartsEmpty) {
    using winui::PasswordWindow;
    PasswordWindow window;
    const HWND hwnd = window.Create(nullptr);
    auto item = [hwnd](int id) { return GetDlgItem(hwnd, id); };
    auto type = [](HWND edit, const std::wstring& text) {
        for (wchar_t c : text) {
            SendMessageW(edit, WM_CHAR, c, 1);
        }
    };
    struct Mode {
        int mode;
        std::string title;
        bool current;
        bool fresh;
    };
    const Mode modes[] = {{1, "パスワードを入力してください。", true, false},
                          {2, "パスワードの変更", true, true},
                          {3, "パスワードの設定", false, true}};
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.mode);
        PasswordEntries entries;
        WhenShown(hwnd, [&] {
            EXPECT_EQ(Text(hwnd), m.title);
            EXPECT_EQ(IsWindowVisible(item(PasswordWindow::kPassword)) != FALSE, m.current);
            EXPECT_EQ(IsWindowVisible(item(PasswordWindow::kNewPassword)) != FALSE, m.fresh);
            EXPECT_EQ(IsWindowVisible(item(PasswordWindow::kRepeatPassword)) != FALSE, m.fresh);
            EXPECT_EQ(GetFocus(),
                      item(m.current ? PasswordWindow::kPassword : PasswordWindow::kNewPassword));
            for (int id : {PasswordWindow::kPassword, PasswordWindow::kNewPassword,
                           PasswordWindow::kRepeatPassword}) {
                EXPECT_EQ(Text(item(id)), "");
                EXPECT_NE(SendMessageW(item(id), EM_GETPASSWORDCHAR, 0, 0), 0);  // masked
            }
            if (m.current) {
                type(item(PasswordWindow::kPassword), L"Kanri 管理");
            }
            if (m.fresh) {
                type(item(PasswordWindow::kNewPassword), L"新しい合言葉");
                type(item(PasswordWindow::kRepeatPassword), L"新しい合言葉!");
            }
            Press(hwnd, VK_RETURN);
        });
        ASSERT_TRUE(window.Ask(nullptr, m.mode, entries));
        EXPECT_EQ(entries.current, m.current ? "Kanri 管理" : "");
        EXPECT_EQ(entries.first, m.fresh ? "新しい合言葉" : "");
        EXPECT_EQ(entries.second, m.fresh ? "新しい合言葉!" : "");
    }
    PasswordEntries untouched{"a", "b", "c"};
    WhenShown(hwnd, [&] {
        type(item(PasswordWindow::kPassword), L"secret");
        type(item(PasswordWindow::kNewPassword), L"new");
        Press(hwnd, VK_ESCAPE);
    });
    EXPECT_FALSE(window.Ask(nullptr, 2, untouched));
    EXPECT_EQ(untouched.current, "a");
    EXPECT_EQ(Text(item(PasswordWindow::kPassword)), "");  // nothing stays behind meanwhile
    std::string left;
    WhenShown(hwnd, [&] {
        left = Text(item(PasswordWindow::kPassword)) + Text(item(PasswordWindow::kNewPassword));
        Press(hwnd, VK_ESCAPE);
    });
    EXPECT_FALSE(window.Ask(nullptr, 2, untouched));
    EXPECT_EQ(left, "");
}

// The version is the one in the running program's version resource (this test program carries
// the build's, as the monitor does); a program without one shows "(未定義)".
TEST(AboutWindow, ShowsTheFileVersionOfTheRunningProgram) {
    using winui::AboutWindow;
    AboutWindow box("");
    const HWND hwnd = box.Create(nullptr);
    auto item = [hwnd](int id) { return GetDlgItem(hwnd, id); };
    EXPECT_EQ(Text(hwnd), "バージョン情報");
    EXPECT_EQ(Text(item(AboutWindow::kVersion)), "1.0.0");  // until it is shown
    box.Refresh();
    EXPECT_EQ(Text(item(AboutWindow::kVersion)), "1.0.4.5");
    EXPECT_EQ(Text(item(AboutWindow::kProductName)), "Tessaroven");
    EXPECT_EQ(Text(item(AboutWindow::kComments)),
              "印刷スプールの状態を監視して印刷枚数を取り出し集計します。");
    EXPECT_EQ(Text(item(AboutWindow::kRights)), AboutWindow::kRightsNotice);
    // No address built in: no enquiry line.
    EXPECT_EQ(GetWindowLongPtrW(item(AboutWindow::kLink), GWL_STYLE) & WS_VISIBLE, 0);
    EXPECT_EQ(GetWindowLongPtrW(item(AboutWindow::kContactCaption), GWL_STYLE) & WS_VISIBLE, 0);
    RECT caption;
    RECT version;
    GetWindowRect(item(AboutWindow::kVersionCaption), &caption);
    GetWindowRect(item(AboutWindow::kVersion), &version);
    EXPECT_EQ(caption.top, version.top);
    EXPECT_LT(caption.right, version.left);

    // A copy of this program with its resources taken out, and a file that is no program.
    TempDir dir;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring copy = Wide(dir / "コピー.exe");
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
    EXPECT_EQ(AboutWindow::FileVersionOf(copy), "1.0.4.5");
    HANDLE update = BeginUpdateResourceW(copy.c_str(), TRUE);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
    EXPECT_EQ(AboutWindow::FileVersionOf(copy), "(未定義)");
    WriteFile(dir / "text.exe", "no program");
    EXPECT_EQ(AboutWindow::FileVersionOf(Wide(dir / "text.exe")), "(未定義)");

    // Given an address, the enquiry line shows it, and a click opens it.
    AboutWindow linked("https://intranet.invalid/help");
    std::string opened;
    linked.openLink = [&](HWND, const std::string& address) {
        opened = address;
        return true;
    };
    const HWND other = linked.Create(nullptr);
    const HWND link = GetDlgItem(other, AboutWindow::kLink);
    EXPECT_NE(GetWindowLongPtrW(link, GWL_STYLE) & WS_VISIBLE, 0);
    EXPECT_EQ(Text(link), "https://intranet.invalid/help");
    EXPECT_FALSE(linked.LinkVisited());
    SendMessageW(other, WM_COMMAND, MAKEWPARAM(AboutWindow::kLink, STN_CLICKED),
                 reinterpret_cast<LPARAM>(link));
    EXPECT_EQ(opened, "https://intranet.invalid/help");
    EXPECT_TRUE(linked.LinkVisited());
}

// With WINUI_HOLD_SECONDS set, each window stays on screen that long with realistic Japanese
// data, to be looked at.
TEST(Screens, HoldTheOptionsWindow) {
    const char* hold = std::getenv("WINUI_HOLD_SECONDS");
    if (hold == nullptr) {
        GTEST_SKIP() << "WINUI_HOLD_SECONDS is not set";
    }
    OptionsWorld w;
    const std::string folder = w.other / "共有データ/経理部/印刷記録";
    ASSERT_TRUE(platform::MakeDirectoryPath(folder));
    const char* printers[] = {"経理部カラーレーザー", "事務室プリンタ", "営業部複合機"};
    const char* users[] = {"山田太郎", "佐藤花子", "高橋一郎", "田中"};
    for (int u = 0; u < 4; ++u) {
        std::string lines;
        for (int i = 0; i < 3000; ++i) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "%d,2025%02d%02d%02d%02d00,%s,\\\\KEIRI-PC%02d,%s,%d,%d\r\r\n", i + 1,
                          4 + i % 9, 1 + i % 28, 8 + i % 10, i % 60, printers[i % 3], u, users[u],
                          1 + i % 7, 1 + i % 7);
            lines += line;
        }
        WriteFile(folder + "/PrintData_" + users[u] + "@KEIRI-PC0" + std::to_string(u) + ".dat",
                  lines);
    }
    w.files.SetDataDirectory(folder);
    w.window.Refresh();
    Click(w.hwnd, OptionsWindow::kPurge);
    Click(w.hwnd, OptionsWindow::kNextMonth);
    winui::CenterOnScreen(w.hwnd);
    ShowWindow(w.hwnd, SW_SHOW);
    PumpMessages(std::atoi(hold) * 1000);
}

TEST(Screens, HoldThePasswordWindow) {
    const char* hold = std::getenv("WINUI_HOLD_SECONDS");
    if (hold == nullptr) {
        GTEST_SKIP() << "WINUI_HOLD_SECONDS is not set";
    }
    winui::PasswordWindow window;
    const HWND hwnd = window.Create(nullptr);
    window.Prepare(2);
    for (wchar_t c : std::wstring(L"kanri")) {
        SendMessageW(GetDlgItem(hwnd, winui::PasswordWindow::kPassword), WM_CHAR, c, 1);
    }
    winui::CenterOnScreen(hwnd);
    ShowWindow(hwnd, SW_SHOW);
    PumpMessages(std::atoi(hold) * 1000);
}

TEST(Screens, HoldTheAboutWindow) {
    const char* hold = std::getenv("WINUI_HOLD_SECONDS");
    if (hold == nullptr) {
        GTEST_SKIP() << "WINUI_HOLD_SECONDS is not set";
    }
    winui::AboutWindow box(std::getenv("WINUI_ADDRESS") != nullptr ? std::getenv("WINUI_ADDRESS")
                                                                   : "");
    const HWND hwnd = box.Create(nullptr);
    box.Refresh();
    winui::CenterOnScreen(hwnd);
    ShowWindow(hwnd, SW_SHOW);
    PumpMessages(std::atoi(hold) * 1000);
}
