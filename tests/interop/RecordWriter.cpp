// Appends records through the program's own record writer, a few milliseconds apart, for the test
// in which the Linux and the Windows build write to one data folder while each purges in turn.
//   record_writer DATA_DIR USER COMPUTER FIRST_JOB_ID COUNT

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Host.h"
#include "platform/MessageSink.h"
#include "storage/PrintDataFiles.h"
#include "storage/Registry.h"

namespace {

class StderrSink final : public platform::MessageSink {
  public:
    void Show(const std::string& text, const std::string& caption, int) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: record_writer DATA_DIR USER COMPUTER FIRST_JOB_ID COUNT\n");
        return 2;
    }
    Registry registry;
    StderrSink sink;
    PrintDataFiles files(registry, sink);
    files.SetNames(args[3], args[2]);
    files.SetDataDirectory(args[1]);
    const int first = std::atoi(args[4].c_str());
    const int count = std::atoi(args[5].c_str());
    for (int i = 0; i < count; ++i) {
        files.AcquireRecordLock();
        CompletedJob& job = files.completedJob;
        job = {};
        job.jobId = first + i;
        job.time = platform::SystemClock::Instance().Now();
        job.printerName = "経理プリンタ";
        job.machineName = std::string("\\\\") + args[3];
        job.userName = args[2];
        job.totalPages = 1;
        job.pagesPrinted = 1;
        job.copies = 1;
        files.WritePrintRecord();
        files.ReleaseRecordLock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Stays as the monitor would: a purge that replaced the file just after our last writes
    // is noticed by the comparison the writer makes when it stops, which then writes them again.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // A record that could not be written waits in memory only: that is a loss here.
    return files.PendingRecordCount() == 0 ? 0 : 1;
}
