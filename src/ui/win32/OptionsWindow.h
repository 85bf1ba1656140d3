#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/MessageSink.h"
#include "storage/PrintDataFiles.h"
#include "storage/Registry.h"

namespace winui {

// Options: move the data directory, see what is stored, delete the records up to a month.
class OptionsWindow {
  public:
    // The controls' command identifiers (GetDlgItem finds them).
    enum Id : int {
        kOk = IDOK,
        kCancel = IDCANCEL,
        kDirectoryCaption = 100,
        kDirectory,  // the folder, shortened in the middle when it does not fit
        kChangeFolder,
        kDataGroup,  // its title is the folder
        kFileCountCaption,
        kFileCount,
        kFileSizeCaption,
        kFileSize,
        kDaysCaption,
        kFirstDay,
        kDaysBetween,
        kLastDay,
        kPurge,  // the check box
        kPreviousMonth,
        kMonth,
        kNextMonth,
        kPurgeCaption,
        kBevel,
    };

    OptionsWindow(PrintDataFiles& files, Registry& registry, platform::MessageSink& sink);
    ~OptionsWindow();
    OptionsWindow(const OptionsWindow&) = delete;
    OptionsWindow& operator=(const OptionsWindow&) = delete;

    // Makes the window, hidden; the same window on later calls.
    HWND Create(HWND owner);
    // Shows the window as Refresh leaves it until OK or キャンセル; IDOK or IDCANCEL.
    int Run(HWND owner);
    // What every showing begins with: the data directory in use, its statistics, no purge.
    void Refresh();

    HWND Window() const { return m_window; }
    // The folder shown, whole (UTF-8).
    const std::string& Directory() const { return m_directory; }
    int SelectedMonth() const { return m_selectedMonth; }
    // IDOK or IDCANCEL once OK or キャンセル ended this showing; 0 while it goes on.
    int Ended() const { return m_ended; }

    // Asks for a folder (owner, title, the folder to start in; UTF-8); empty when cancelled. The
    // system's folder browser unless replaced.
    std::function<std::string(HWND, const std::string&, const std::string&)> chooseFolder;
    // Asks the purge's question with Yes and No, No the default; true for Yes.
    std::function<bool(HWND, const std::string&)> confirmPurge;

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void Command(int id);
    void Layout();
    void DrawArrow(const DRAWITEMSTRUCT& item);

    void ChooseFolder();
    void ShowDirectory(const std::string& dir);  // runs DirectoryChanged when dir is another
    void DirectoryChanged();
    void ShowDataStatistics();
    void ShowFolderInTitle();
    void ShowDirectoryText();
    void UpdateEnabled();
    void StepMonth(int delta);
    void OkClicked();
    bool ConfirmPurge(const std::string& dir);
    void Cancel();
    void End(int result);
    HWND Item(int id) const { return GetDlgItem(m_window, id); }

    PrintDataFiles& m_files;
    Registry& m_registry;
    platform::MessageSink& m_sink;
    HWND m_window = nullptr;
    HWND m_tip = nullptr;
    HWND m_focus = nullptr;  // the control that had the focus when the window was left
    std::string m_directory;
    std::wstring m_tipText;
    std::string m_titleFolder;  // the folder the group's title names
    std::string m_savedDirectory;
    int m_selectedMonth = 0;
    bool m_folderValid = true;  // the folder shown is a directory
    bool m_hasRecords = false;  // the folder holds records that a purge could delete
    int m_ended = 0;
};

}  // namespace winui
