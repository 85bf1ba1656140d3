#pragma once

#include <windows.h>

#include <string>

#include "reports/PrintLogData.h"
#include "ui/ReportContext.h"

namespace winui {

// The print log: every record of every user's print data file, oldest first, newest selected,
// in a list that asks for a row's cells only when it draws them (a million rows open at once).
class LogWindow {
  public:
    explicit LogWindow(const ReportContext& context);
    ~LogWindow();
    LogWindow(const LogWindow&) = delete;
    LogWindow& operator=(const LogWindow&) = delete;

    // Makes the window, hidden, at its designed size; the same window on later calls.
    HWND Create(HWND owner);
    // Shows the window with the records as they are now, until it is closed.
    int Run(HWND owner);

    // Reads every print data file again and shows what it holds.
    void Load();
    // Writes every row as CSV (for spreadsheet programs); false after telling the user why not.
    bool SaveCsv(const std::wstring& path);
    // Asks where, then saves; nothing without rows.
    void SaveCsvAs();

    HWND Window() const { return m_window; }
    HWND List() const { return m_list; }
    HWND CloseButton() const { return m_closeButton; }
    HWND SaveButton() const { return m_saveButton; }
    HWND EmptyLabel() const { return m_emptyLabel; }  // "印刷データがありません。" in place of rows
    const PrintLogTable& Table() const { return m_table; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK ListProcedure(HWND list, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    LRESULT HandleList(UINT message, WPARAM w, LPARAM l);
    LRESULT Notify(const NMHDR& header, LPARAM l);

    void MakeColumns();
    void Layout();
    void SetColumnWidths();
    void FitNameColumns();
    int FixedRoom() const;  // the list's vertical scroll bar, kept whether it shows or not
    int ButtonWidth() const;
    int PanelHeight() const;
    void ShowContextMenu(LPARAM at);
    void Close(int result);
    std::wstring Cell(size_t row, int column) const;

    ReportContext m_context;
    PrintLogTable m_table;
    HWND m_window = nullptr;
    HWND m_list = nullptr;
    HWND m_closeButton = nullptr;
    HWND m_saveButton = nullptr;
    HWND m_emptyLabel = nullptr;
    HWND m_tip = nullptr;       // a name cut short in its column, whole
    int m_widths[6] = {};       // at least designed, wide enough for every number
    int m_nameMinimum[3] = {};  // the name columns' headings
    int m_minimumListWidth = 0;
    bool m_fitting = false;  // the widths being set here, not by the user
    int m_tipRow = -1;
    int m_tipColumn = -1;
    std::wstring m_tipText;
};

}  // namespace winui
