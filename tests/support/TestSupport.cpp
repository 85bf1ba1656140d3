#include "support/TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

[[noreturn]] void Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    for (const auto& e : env) {
        putenv(strdup(e.c_str()));
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

bool DropToNobody() {
    if (geteuid() != 0) {
        return true;
    }
    const passwd* pw = getpwnam("nobody");
    const uid_t uid = pw != nullptr ? pw->pw_uid : 65534;
    const gid_t gid = pw != nullptr ? pw->pw_gid : 65534;
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// Both pipes at once: a command that writes much to either (a filter chain's debug lines)
// must not block on the one not being read.
void DrainBoth(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* into[2] = {&out, &err};
    char buf[65536];
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                into[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

const std::vector<std::string>& detail::InheritedFolders() {
    // A forked child has the folders themselves.
    static const std::vector<std::string> none;
    return none;
}

void DieAbruptly() {
    raise(SIGKILL);
    _exit(137);
}

int RunInChild(const std::function<int()>& fn, bool asNobody) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (asNobody && !DropToNobody()) {
            _exit(99);
        }
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInChildAs(unsigned uid, unsigned gid, const std::vector<unsigned>& groups,
                 const std::function<int()>& fn) {
    return RunInChild([&] {
        const std::vector<gid_t> list(groups.begin(), groups.end());
        if (setgroups(list.size(), list.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            return 99;
        }
        return fn();
    });
}

ChildHolding::ChildHolding(const std::function<void()>& setup) {
    int ready[2];
    if (pipe(ready) != 0) {
        throw std::runtime_error("pipe failed");
    }
    m_pid = fork();
    if (m_pid == 0) {
        setup();
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    close(ready[1]);
}

ChildHolding::~ChildHolding() {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
}

bool CanTestRefusals() {
    // Without root the child stays the owner of the files, whose rights then refuse nothing.
    return geteuid() == 0 && RunInChild([] { return geteuid() != 0 ? 0 : 1; }, true) == 0;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         bool asNobody) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        // Only 1 and 2 may hold the pipes: a daemon the command leaves behind must not keep
        // them open, or we would wait for its end.
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (asNobody && !DropToNobody()) {
            _exit(99);
        }
        Exec(argv, env);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    CommandResult r;
    DrainBoth(outPipe[0], errPipe[0], r.out, r.err);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

int SpawnCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& logPath) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log, 1);
        dup2(log, 2);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        Exec(argv, env);
    }
    return pid;
}

int WaitForExit(int pid, int timeoutMs) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (waited >= timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
}

}  // namespace testsupport
