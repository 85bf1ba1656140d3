#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pagecount/Isolated.h"
#include "pagecount/PrinterDocuments.h"
#include "platform/MappedFile.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

pagecount::Limits Limits(std::chrono::seconds time = 30s) {
    pagecount::Limits limits;
    limits.deadline = std::chrono::steady_clock::now() + time;
    limits.interpreterTime = 20s;
    limits.interpreterMemory = 512ull * 1024 * 1024;
    return limits;
}

// Points the counting program elsewhere for the scope.
class CountProgramAs {
  public:
    explicit CountProgramAs(const std::string& path) : m_old(pagecount::CountProgram()) {
        setenv("TESSAROVEN_COUNT_PROGRAM", path.c_str(), 1);
    }
    ~CountProgramAs() { setenv("TESSAROVEN_COUNT_PROGRAM", m_old.c_str(), 1); }

  private:
    std::string m_old;
};

std::string Script(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir / name;
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
    return path;
}

// A one-page PDF whose page tree sits in an object stream that inflates to `mib` MiB: qpdf
// must inflate all of it to find the page.
std::string ObjectStreamBomb(int mib) {
    const std::string objects =
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>\n"
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>\n";
    const std::string offsets = "2 0 3 42\n";
    std::string packed(1 << 20, '\0');
    std::string stream;
    z_stream z{};
    deflateInit(&z, 9);
    const std::string head = offsets + objects;
    const std::string pad(1 << 20, ' ');
    for (int i = 0; i <= mib; ++i) {
        const std::string& in = i == 0 ? head : pad;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = static_cast<uInt>(in.size());
        int flush = i == mib ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(packed.data());
            z.avail_out = static_cast<uInt>(packed.size());
            deflate(&z, flush);
            stream.append(packed.data(), packed.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    std::string pdf = "%PDF-1.5\n";
    const std::size_t catalog = pdf.size();
    pdf += "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
    const std::size_t objStm = pdf.size();
    pdf += "4 0 obj\n<< /Type /ObjStm /N 2 /First " + std::to_string(offsets.size()) + " /Length " +
           std::to_string(stream.size()) + " /Filter /FlateDecode >>\nstream\n" + stream +
           "\nendstream\nendobj\n";
    const std::size_t xref = pdf.size();
    std::string rows;
    const auto row = [&](int type, std::size_t field, int index) {
        rows += static_cast<char>(type);
        for (int shift = 24; shift >= 0; shift -= 8) {
            rows += static_cast<char>((field >> shift) & 0xff);
        }
        rows += static_cast<char>(index >> 8);
        rows += static_cast<char>(index & 0xff);
    };
    row(0, 0, 0xffff);
    row(1, catalog, 0);
    row(2, 4, 0);
    row(2, 4, 1);
    row(1, objStm, 0);
    row(1, xref, 0);
    pdf += "5 0 obj\n<< /Type /XRef /Size 6 /W [1 4 2] /Root 1 0 R /Length " +
           std::to_string(rows.size()) + " >>\nstream\n" + rows +
           "\nendstream\nendobj\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

std::int64_t StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) {
            return std::atoll(line.c_str() + std::strlen(field));
        }
    }
    return -1;
}

// The processes whose parent is `parent`.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("PPid:", 0) == 0 && std::atoi(line.c_str() + 5) == parent) {
                children.push_back(std::atoi(name.c_str()));
            }
        }
    }
    return children;
}

// Gone, or a zombie nobody has reaped yet: either way it runs no more.
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto name = text.rfind(')');
    return text.empty() || (name != std::string::npos && text.substr(name + 2, 1) == "Z");
}

}  // namespace

// The count in the child is the count in-process, whether the document comes as its file or
// through a pipe; what the child cannot do or says wrongly is not believed.
TEST(IsolatedCount, CountsAsInProcessAndRefusesWhatItCannotTrust) {
    if (!Exists("/usr/bin/gs")) {
        GTEST_SKIP() << "needs Ghostscript (install-deps.sh)";
    }
    TempDir dir;
    const std::string source = PlainPostScript(4);
    const std::string pcl = GhostscriptDocument(dir, "ljet4", source, {"-dNumCopies=2"});
    const std::string pxl = GhostscriptDocument(dir, "pxlmono", source);
    const std::vector<std::string> documents = {GhostscriptDocument(dir, "pdfwrite", source), pcl,
                                                source /* the interpreter */,
                                                pxl + pcl /* a job of two */};
    int serial = 0;
    for (const std::string& doc : documents) {
        ASSERT_FALSE(doc.empty());
        const pagecount::Result inProcess = pagecount::CountDocument(doc, Limits());
        ASSERT_TRUE(inProcess.counted) << inProcess.error;
        const std::string path = dir / ("doc" + std::to_string(++serial));
        WriteFile(path, doc);
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        for (const int file : {-1, fd}) {
            const pagecount::Result isolated =
                pagecount::CountDocumentIsolated(doc, file, Limits());
            EXPECT_TRUE(isolated.counted) << isolated.error;
            EXPECT_EQ(isolated.pages, inProcess.pages) << inProcess.counter;
            EXPECT_EQ(isolated.documentPages, inProcess.documentPages) << inProcess.counter;
            EXPECT_EQ(isolated.counter, inProcess.counter);
        }
        close(fd);
    }
    const std::string copies = "%!PS\n<< /NumCopies 3 >> setpagedevice\n" + source;
    EXPECT_EQ(pagecount::PostScriptCopiesIsolated(copies, -1, Limits()), 3);

    // A large document reaches the child as a descriptor it can only read.
    const std::string large = source + std::string(platform::MappedFile::kDescriptorFrom, '\n');
    WriteFile(dir / "large", large);
    const platform::MappedFile mapped(open((dir / "large").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_GE(mapped.ReadOnlyDescriptor(), 0);
    EXPECT_EQ(fcntl(mapped.ReadOnlyDescriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(pagecount::CountDocumentIsolated(mapped.Data(), mapped.ReadOnlyDescriptor(), Limits())
                  .pages,
              4);

    // A PDF whose page tree needs more memory than the child may have: refused, and none of
    // it was ever in this process.
    const std::string bomb = ObjectStreamBomb(512);
    pagecount::Limits small = Limits();
    small.counterMemory = 256ull * 1024 * 1024;
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const std::int64_t before = StatusKiB("VmRSS:");
    const pagecount::Result refused = pagecount::CountDocumentIsolated(bomb, -1, small);
    EXPECT_FALSE(refused.counted);
    EXPECT_EQ(refused.error, "the document needs more memory than allowed to be counted");
    EXPECT_LT(StatusKiB("VmHWM:") - before, 32 * 1024);

    // A child that outlives the deadline is killed.
    const auto start = std::chrono::steady_clock::now();
    {
        CountProgramAs slow(Script(dir, "slow", "exec sleep 30"));
        const pagecount::Result late = pagecount::CountDocumentIsolated(source, -1, Limits(1s));
        EXPECT_EQ(late.error, "counting took too long");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    // Answers it cannot have given are not believed.
    const std::string header = "printf 'tessaroven-count 1\\n";
    for (const std::string& forged :
         {header + "counted 1\\npages 99999999999999\\ndocument-pages 1\\ncounter PDF\\nerror \\n'",
          header + "counted 1\\npages 4\\ndocument-pages 4\\ncounter PDF\\nerror \\nmore\\n'",
          header + "counted 1\\npages 4\\ndocument-pages 4\\ncounter PDF\\nerror \\n'; exit 1",
          header + "counted 1\\npages -4\\ndocument-pages 4\\ncounter PDF\\nerror \\n'"}) {
        CountProgramAs fake(Script(dir, "fake", forged));
        const pagecount::Result result = pagecount::CountDocumentIsolated(source, -1, Limits());
        EXPECT_FALSE(result.counted) << forged;
        EXPECT_EQ(result.error, "the page counter failed") << forged;
    }
    {
        CountProgramAs fake(Script(dir, "fake", header + "copies 40000\\n'"));
        EXPECT_EQ(pagecount::PostScriptCopiesIsolated(copies, -1, Limits()), 0);
    }
    if (geteuid() == 0) {
        // Run as nobody, from a folder nobody may enter (a build under /root): still started.
        TempDir closed;
        chmod(closed.Path().c_str(), 0700);
        const std::string copy = closed / "tessaroven-count";
        WriteFile(copy, ReadFile(pagecount::CountProgram()));
        chmod(copy.c_str(), 0755);
        CountProgramAs hidden(copy);
        EXPECT_TRUE(pagecount::CountDocumentIsolated(source, -1, Limits()).counted);
    }
    {
        CountProgramAs missing(dir / "missing");
        EXPECT_EQ(pagecount::CountDocumentIsolated(source, -1, Limits()).error,
                  "the page counter program tessaroven-count was not found");
    }
}

// Killed while the counter runs the interpreter, a parent leaves neither of them running.
TEST(IsolatedCount, TheCounterAndItsInterpreterDieWithTheirParent) {
    if (!Exists("/usr/bin/gs")) {
        GTEST_SKIP() << "needs Ghostscript (install-deps.sh)";
    }
    const pid_t parent = fork();
    if (parent == 0) {
        pagecount::CountDocumentIsolated("%!PS\n{} loop\n", -1, Limits(60s));
        _exit(0);
    }
    ASSERT_GT(parent, 0);
    std::vector<pid_t> counter, interpreter;
    for (int i = 0; i < 500 && interpreter.empty(); ++i) {
        std::this_thread::sleep_for(20ms);
        counter = ChildrenOf(parent);
        interpreter = counter.empty() ? counter : ChildrenOf(counter.front());
    }
    ASSERT_EQ(counter.size(), 1u);
    ASSERT_EQ(interpreter.size(), 1u);
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    for (int i = 0; i < 250 && !(Ended(counter.front()) && Ended(interpreter.front())); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(Ended(counter.front()));
    EXPECT_TRUE(Ended(interpreter.front()));
}
