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
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// Runs fn in a child process and returns its exit code (-1 when it died of a signal). With
// asNobody, the child first drops to an unprivileged user when it runs as root, so that file
// permissions really refuse what they should.
int RunInChild(const std::function<int()>& fn, bool asNobody = false);

// Whether the child can drop privileges, that is whether refusals can be tested at all.
bool CanTestRefusals();

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program with extra environment variables (NAME=value) and captures its output.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, bool asNobody = false);

}  // namespace testsupport
