#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/PrintDataFiles.h"

// Field n (from 0) of a display line, where every field, the last included, is closed by a
// comma; empty when the line has fewer closed fields. Text after the last comma never counts.
std::string GetCsvField(std::string_view line, int n);

// "YYYY-MM-DD hh:mm:ss,printer,machine,user,pages," for a record read from a print data file.
std::string FormatDisplayLine(const PrintRecord& record);

// Every record of every print data file of a directory as display lines, oldest first; lines of
// the same second in printer, machine and user order (the user's locale, ignoring case). The
// lines are kept in one block of memory, so a million records stay small.
class PrintLogTable {
  public:
    enum class LoadResult {
        Unreachable,  // the directory cannot be listed (see FolderError)
        NoFiles,      // no print data file in the directory
        NoRecords,    // files, but not one complete record in them
        Loaded,
    };

    // Reads the files of files.DataDirectory() through its record reader, holding the record lock
    // for the whole pass.
    LoadResult Load(PrintDataFiles& files);

    int FolderError() const { return m_folderError; }
    size_t Size() const { return m_rows.size(); }
    // The display line, with its closing comma.
    std::string_view Line(size_t i) const {
        return {m_text.data() + m_rows[i].offset, m_rows[i].length};
    }

  private:
    int m_folderError = 0;
    struct Row {
        std::int64_t time;  // YYYYMMDDhhmmss as a number: orders like the line's fixed-width start
        size_t offset;
        std::uint32_t length;
    };
    void Sort();

    std::vector<char> m_text;
    std::vector<Row> m_rows;
};
