#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the temp folder, removed with everything in it at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
    bool m_inherited = false;  // a child's run of the test: the folder is the first run's
};

namespace detail {
// The folders the running test has made so far, in order.
const std::vector<std::string>& RunningTestFolders();
// In a child's run of a test (Windows), the first run's folders, which its TempDirs take over in
// the same order; empty elsewhere.
const std::vector<std::string>& InheritedFolders();
}  // namespace detail

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// Sets an environment variable of this process, or removes it when value is null.
void SetEnvironment(const char* name, const char* value);

// Runs fn in a child process and returns its exit code (-1 when it died of a signal or
// DieAbruptly). On Windows the child is the test program started again for the running test, and
// replays the test up to this call (see Win32TestSupport.cpp). With
// asNobody, the child first drops to an unprivileged user when it runs as root, so that file
// permissions really refuse what they should.
int RunInChild(const std::function<int()>& fn, bool asNobody = false);

// Ends this process at once, as a crash or a kill would: nothing is flushed or cleaned up.
[[noreturn]] void DieAbruptly();

// Runs fn in a child process as the given user, group and supplementary groups (only when this
// process runs as root; 99 when the rights cannot be dropped).
int RunInChildAs(unsigned uid, unsigned gid, const std::vector<unsigned>& groups,
                 const std::function<int()>& fn);

// A child process that runs setup (taking a lock, opening a transaction) and then holds on to
// what it took until the object goes away.
class ChildHolding {
  public:
    explicit ChildHolding(const std::function<void()>& setup);
    ~ChildHolding();
    ChildHolding(const ChildHolding&) = delete;
    ChildHolding& operator=(const ChildHolding&) = delete;

  private:
    int m_pid = -1;
};

// Whether a child can drop to another user, that is whether refusals can be tested at all.
bool CanTestRefusals();
constexpr const char* kCannotTestRefusals =
    "needs root, to drop to another user: the owner of a file is not refused by its rights";

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program with extra environment variables (NAME=value) and captures its output.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, bool asNobody = false);

// Starts a program in the background with its output sent to logPath; returns its pid.
int SpawnCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& logPath);

// Waits up to timeoutMs for the process to end; its exit code, or -1 when it is still running
// (it is then killed) or died of a signal.
int WaitForExit(int pid, int timeoutMs);

#ifdef _WIN32
// Handles this thread's window messages for a while (windows under test need them to update).
void PumpMessages(int milliseconds);
#endif

}  // namespace testsupport

#include <mutex>

#include "platform/MessageSink.h"
#include "platform/sqlite/SqliteSettingsStore.h"

namespace testsupport {

// Keeps every message the program would have shown.
class CapturingSink final : public platform::MessageSink {
  public:
    struct Message {
        std::string text;
        std::string caption;
        int flag;
    };
    void Show(const std::string& text, const std::string& caption, int flag) override {
        std::lock_guard lock(m_mutex);
        m_messages.push_back({text, caption, flag});
    }
    std::vector<Message> Messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
};

// The two settings roots as real store files in a private folder.
struct Stores {
    TempDir dir;
    platform::SqliteSettingsStore machine{dir / "machine.db"};
    platform::SqliteSettingsStore user{dir / "user.db"};
};

}  // namespace testsupport
