#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/Host.h"
#include "storage/PrintDataFiles.h"
#include "storage/PrintDataFixture.h"

using testsupport::CapturingSink;
using testsupport::Ids;
using testsupport::TempDir;

namespace {

struct Fixture : testsupport::PrintDataFixture {
    std::vector<PrintRecord> ReadAll(const std::string& bytes) {
        const std::string path = data / "PrintData_t.dat";
        testsupport::WriteFile(path, bytes);
        return PrintDataFixture::ReadAll(path);
    }
};

}  // namespace

TEST(RecordReader, ReadsBackWhatTheWriterStored) {
    Fixture f;
    const auto records = f.ReadAll("7,20061015123456,P,\\\\PC1,u,6,6\r\r\n");
    ASSERT_EQ(records.size(), 1u);
    const PrintRecord& r = records[0];
    EXPECT_EQ(r.jobId, 7);
    EXPECT_EQ(r.time, (platform::SystemTime{2006, 10, 0, 15, 12, 34, 56, 0}));
    EXPECT_EQ(r.printerName, "P");
    EXPECT_EQ(r.machineName, "\\\\PC1");
    EXPECT_EQ(r.userName, "u");
    EXPECT_EQ(r.totalPagesTimesCopies, 6);
    EXPECT_EQ(r.pagesPrintedTimesCopies, 6);
}

TEST(RecordReader, IncompleteLinesAreConsumedButMarked) {
    Fixture f;
    EXPECT_EQ(Ids(f.ReadAll("\r\r\n0,20061015123456,P,\\\\PC1,u,6,6\r\r\n"
                            "8,20061015123456,P,\\\\PC1,u,6\r\r\n")),
              (std::vector<std::int32_t>{-1, -1, -1}));
    EXPECT_EQ(Ids(f.ReadAll("-3,20061015123456,P,M,u,1,1\n"
                            "x,20061015123456,P,M,u,1,1\n"
                            "12\n"
                            "  5,20061015123456,P,M,u,1,1\n")),
              (std::vector<std::int32_t>{-1, -1, -1, 5}));
    EXPECT_TRUE(f.ReadAll("").empty());
}

TEST(RecordReader, AcceptsEveryLineEndAndAMissingLastOne) {
    Fixture f;
    const std::string line = "9,20200229235959,Q,\\\\H,v,4,2";
    for (const std::string end : {"\n", "\r\n", "\r\r\n"}) {
        const auto records = f.ReadAll(line + end + line + end + line);
        ASSERT_EQ(Ids(records), (std::vector<std::int32_t>{9, 9, 9})) << end.size();
        for (const auto& r : records) {
            EXPECT_EQ(r.userName, "v");
            EXPECT_EQ(r.totalPagesTimesCopies, 4);
            EXPECT_EQ(r.pagesPrintedTimesCopies, 2);
        }
    }
}

// Over-long lines come in pieces of at most 255 characters, each read as a line of its own.
TEST(RecordReader, LongLinesAreReadInPieces) {
    Fixture f;
    const std::string longName(300, 'n');
    const auto records = f.ReadAll("1,20061015123456,P,M," + longName + ",1,1\r\r\n" +
                                   "2,20061015123456,P,M,u,1,1\r\r\n");
    // 322 characters and a line end: 255, then 67 + CR CR LF, then the next record.
    ASSERT_EQ(Ids(records), (std::vector<std::int32_t>{-1, -1, 2}));
    EXPECT_EQ(records[0].machineName, "M");

    // A record that fills the piece exactly is read whole; its line end follows as a blank line.
    const std::string printer(255 - std::string("3,20061015123456,,M,u,1,1").size(), 'p');
    const std::string exact = "3,20061015123456," + printer + ",M,u,1,1";
    ASSERT_EQ(exact.size(), 255u);
    const auto pieces = f.ReadAll(exact + "\r\r\n");
    EXPECT_EQ(Ids(pieces), (std::vector<std::int32_t>{3, -1}));
    EXPECT_EQ(pieces[0].printerName, printer);
}

TEST(RecordReader, FieldsSetBeforeAStepFailedKeepTheirValues) {
    Fixture f;
    const auto records = f.ReadAll(
        "4,20061015123456,P,\\\\PC1,u,6,6\n"
        "5,20071116010203,Q,\\\\PC2\n"
        "6,2008,R\n"
        "7,20091218040506,S,M,u,x,y\n");
    // A last field without digits makes no record: it would carry the previous record's pages.
    ASSERT_EQ(Ids(records), (std::vector<std::int32_t>{4, -1, -1, -1}));
    EXPECT_EQ(records[1].printerName, "Q");
    EXPECT_EQ(records[1].machineName, "\\\\PC1");  // the step for it failed
    EXPECT_EQ(records[1].time, (platform::SystemTime{2007, 11, 0, 16, 1, 2, 3, 0}));
    // Parts past the end of a short line are not there to read.
    EXPECT_EQ(records[2].time, (platform::SystemTime{2008, 11, 0, 16, 1, 2, 3, 0}));
    // Numbers without digits leave the figures as they were.
    EXPECT_EQ(records[3].totalPagesTimesCopies, 6);
    EXPECT_EQ(records[3].pagesPrintedTimesCopies, 6);
    EXPECT_EQ(records[3].userName, "u");
}

TEST(RecordReader, BinaryBytesNeverCrash) {
    Fixture f;
    std::string noise;
    for (int i = 0; i < 5000; ++i) {
        noise += static_cast<char>((i * 131 + 7) % 256);
    }
    const std::string withNul = std::string(
        "5,2006101512\0"
        "3456,P,M,u,1,1\n",
        28);
    const auto records = f.ReadAll(noise + "\n" + withNul + "6,20061015123456,P,M,u,1,1\n");
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(records[records.size() - 2].jobId, -1);  // the line ends at its NUL byte
    EXPECT_EQ(records.back().jobId, 6);
}

TEST(RecordReader, OpeningAnotherFileClosesTheOpenCursor) {
    Fixture f;
    testsupport::WriteFile(f.data / "a.dat",
                           "1,20061015123456,A,M,u,1,1\n2,20061015123456,A,M,u,1,1\n");
    testsupport::WriteFile(f.data / "b.dat", "3,20061015123456,B,M,u,1,1\n");
    f.files.AcquireRecordLock();
    ASSERT_TRUE(f.files.ReadPrintRecord(true, f.data / "a.dat"));
    EXPECT_EQ(f.files.LastRead().jobId, 1);
    ASSERT_TRUE(f.files.ReadPrintRecord(true, f.data / "b.dat"));
    EXPECT_EQ(f.files.LastRead().jobId, 3);
    EXPECT_FALSE(f.files.ReadPrintRecord(false, ""));
    // With nothing open, going on reads nothing.
    EXPECT_FALSE(f.files.ReadPrintRecord(false, ""));
    f.files.ReleaseRecordLock();
    EXPECT_TRUE(f.sink.Messages().empty());
}

TEST(RecordReader, AFileThatCannotBeOpenedIsReported) {
    Fixture f;
    f.files.AcquireRecordLock();
    EXPECT_FALSE(f.files.ReadPrintRecord(true, f.data / "missing.dat"));
    EXPECT_FALSE(f.files.ReadPrintRecord(true, f.data.Path()));
    f.files.ReleaseRecordLock();
    const auto messages = f.sink.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, platform::SystemErrorText(ENOENT));
    EXPECT_EQ(messages[0].caption, "Tessaroven Error");
    EXPECT_EQ(messages[0].flag, 16);
    EXPECT_EQ(messages[1].text, platform::SystemErrorText(EISDIR));
}

TEST(RecordReader, LargeFilesAreReadAcrossBufferBoundaries) {
    Fixture f;
    std::string bytes;
    constexpr int kRecords = 60000;  // several times the cursor's buffer
    for (int i = 1; i <= kRecords; ++i) {
        bytes += std::to_string(i) + ",20061015123456,Printer,\\\\PC" + std::to_string(i % 7) +
                 ",user" + std::to_string(i % 13) + "," + std::to_string(i % 50) + ",3\r\r\n";
    }
    const auto records = f.ReadAll(bytes);
    ASSERT_EQ(records.size(), static_cast<size_t>(kRecords));
    for (int i = 1; i <= kRecords; ++i) {
        const auto& r = records[static_cast<size_t>(i - 1)];
        ASSERT_EQ(r.jobId, i);
        ASSERT_EQ(r.machineName, "\\\\PC" + std::to_string(i % 7));
        ASSERT_EQ(r.totalPagesTimesCopies, i % 50);
    }
}

TEST(DataFiles, OnlyPrintDataFilesAreListed) {
    TempDir dir;
    for (const char* name : {"PrintData_a.dat", "PrintData.dat", "printdata_b.DAT",
                             "PrintData_c.txt", "Data_d.dat", "xPrintData_e.dat"}) {
        testsupport::WriteFile(dir / name, "");
    }
    platform::MakeDirectoryPath(dir / "PrintData_dir.dat");
    EXPECT_EQ(ListPrintDataFiles(dir.Path()),
              (std::vector<std::string>{dir / "PrintData.dat", dir / "PrintData_a.dat",
                                        dir / "printdata_b.DAT"}));
    EXPECT_TRUE(ListPrintDataFiles(dir / "nowhere").empty());
}
