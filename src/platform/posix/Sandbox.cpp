#include "platform/Sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

void Limit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    setrlimit(resource, &limit);
}

// In the child, between fork and exec: only async-signal-safe calls.
// Who the child runs as when we are root: a document is no reason to run anything with rights.
struct Account {
    bool drop = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

Account Unprivileged() {
    Account account;
    if (geteuid() != 0) {
        return account;
    }
    account.drop = true;
    account.uid = 65534;  // nobody, should the name not be known
    account.gid = 65534;
    passwd entry{};
    passwd* found = nullptr;
    char buf[1024];
    if (getpwnam_r("nobody", &entry, buf, sizeof buf, &found) == 0 && found != nullptr) {
        account.uid = found->pw_uid;
        account.gid = found->pw_gid;
    }
    return account;
}

[[noreturn]] void Exec(char* const* argv, int in, int out, const SandboxLimits& limits,
                       const Account& account) {
    setpgid(0, 0);
    dup2(in, 0);
    dup2(out, 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null >= 0 ? null : out, 2);
    for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
    }
    // A network namespace of its own leaves the child no network. Without the right to make
    // one (an ordinary user, or root with few capabilities as in the system service) it takes
    // a user namespace along, but only after the account is dropped: inside a new user
    // namespace the account could not be changed any more. Where both are refused, the
    // interpreter's own safe mode makes up for it.
    const bool ownNetwork = unshare(CLONE_NEWNET) == 0;
    const auto seconds = static_cast<rlim_t>(limits.time.count() / 1000 + 1);
    Limit(RLIMIT_CPU, seconds);
    Limit(RLIMIT_AS, static_cast<rlim_t>(limits.memoryBytes));
    Limit(RLIMIT_FSIZE, 0);
    Limit(RLIMIT_CORE, 0);
    Limit(RLIMIT_NOFILE, 64);
    if (account.drop &&
        (setgroups(0, nullptr) != 0 || setgid(account.gid) != 0 || setuid(account.uid) != 0)) {
        _exit(126);
    }
    if (!ownNetwork) {
        unshare(CLONE_NEWUSER | CLONE_NEWNET);
    }
    Limit(RLIMIT_NPROC, 0);
    if (nice(10) == -1) {
        // the priority stays; nothing to do about it here
    }
    static char path[] = "PATH=/usr/local/bin:/usr/bin:/bin";
    static char lang[] = "LC_ALL=C";
    // Ghostscript's safe mode lets documents write in the temporary folder: there is none.
    static char tmp[] = "TMPDIR=/dev/null/none";
    static char temp[] = "TEMP=/dev/null/none";
    char* const env[] = {path, lang, tmp, temp, nullptr};
    if (chdir("/") != 0) {
        _exit(127);
    }
    execve(argv[0], argv, env);
    _exit(127);
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    for (const char* dir : {"/usr/local/bin", "/usr/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return {};
}

}  // namespace

SandboxRun RunSandboxed(const std::vector<std::string>& argv, std::string_view input,
                        const SandboxLimits& limits) {
    SandboxRun run;
    if (argv.empty()) {
        return run;
    }
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        return run;
    }
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return run;
    }
    // Looked up here: between fork and exec the child may only make the simplest calls.
    const std::string program = FindProgram(argv[0]);
    if (program.empty()) {
        close(toChild[0]);
        close(toChild[1]);
        close(fromChild[0]);
        close(fromChild[1]);
        return run;
    }
    std::vector<char*> args;
    args.push_back(const_cast<char*>(program.c_str()));
    for (std::size_t i = 1; i < argv.size(); ++i) {
        args.push_back(const_cast<char*>(argv[i].c_str()));
    }
    args.push_back(nullptr);
    const Account account = Unprivileged();
    const pid_t pid = fork();
    if (pid == 0) {
        Exec(args.data(), toChild[0], fromChild[1], limits, account);
    }
    close(toChild[0]);
    close(fromChild[1]);
    if (pid < 0) {
        close(toChild[1]);
        close(fromChild[0]);
        return run;
    }
    run.started = true;
    setpgid(pid, pid);  // also here, so that the kill below reaches it whoever runs first
    fcntl(toChild[1], F_SETFL, O_NONBLOCK);
    fcntl(fromChild[0], F_SETFL, O_NONBLOCK);
    // A child that goes away before reading everything must not kill us with SIGPIPE: writes
    // fail with EPIPE instead (MSG_NOSIGNAL does not work on pipes).
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);

    const auto deadline = std::chrono::steady_clock::now() + limits.time;
    int writeFd = toChild[1];
    int readFd = fromChild[0];
    std::size_t written = 0;
    if (input.empty()) {
        close(writeFd);
        writeFd = -1;
    }
    char buf[65536];
    while (readFd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            break;
        }
        pollfd fds[2];
        int n = 0;
        fds[n++] = {readFd, POLLIN, 0};
        if (writeFd >= 0) {
            fds[n++] = {writeFd, POLLOUT, 0};
        }
        if (poll(fds, static_cast<nfds_t>(n),
                 static_cast<int>(std::min<long long>(left.count(), 1000))) < 0 &&
            errno != EINTR) {
            break;
        }
        if (writeFd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t w = write(writeFd, input.data() + written,
                                    std::min<std::size_t>(input.size() - written, 1 << 16));
            if (w > 0) {
                written += static_cast<std::size_t>(w);
            }
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(writeFd);  // done, or the child stopped reading
                writeFd = -1;
            }
        }
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            const ssize_t r = read(readFd, buf, sizeof buf);
            if (r > 0) {
                if (run.output.size() + static_cast<std::size_t>(r) > limits.maxOutput) {
                    run.outputCut = true;
                    break;
                }
                run.output.append(buf, static_cast<std::size_t>(r));
            } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(readFd);
                readFd = -1;
            }
        }
    }
    if (writeFd >= 0) {
        close(writeFd);
    }
    if (readFd >= 0) {
        close(readFd);
    }
    if (run.timedOut || run.outputCut) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
    }
    int status = 0;
    // The child has closed its output; if it lingers past the deadline it is killed.
    for (;;) {
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR)) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            run.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    // A SIGPIPE raised meanwhile is dropped before the old mask comes back.
    timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace platform
