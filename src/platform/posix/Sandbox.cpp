#include "platform/Sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace platform {

namespace {

void Limit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    setrlimit(resource, &limit);
}

// The system-call architecture the kernel reports for this program's own calls (the build
// target's AUDIT_ARCH). A call made through another one (the 32-bit entry of a 64-bit kernel)
// has other numbers, which the filter below does not describe: it kills the child.
#if defined(__x86_64__) && !defined(__ILP32__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_I386;
#elif defined(__aarch64__) && !defined(__AARCH64EB__) && !defined(__ILP32__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && !defined(__ARMEB__) && defined(__ARM_EABI__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_ARM;
#elif defined(__riscv) && __riscv_xlen == 64
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_RISCV64;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_PPC64LE;
#elif defined(__s390x__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_S390X;
#else
#define TESSAROVEN_NO_SECCOMP_ARCH 1  // no filter: the child needs a network namespace to run
#endif

#ifndef SECCOMP_RET_KILL_PROCESS
#define SECCOMP_RET_KILL_PROCESS SECCOMP_RET_KILL  // older kernels kill the thread, the only one
#endif

// A seccomp filter that leaves the child no way to a network: creating a socket (or a socket
// pair) fails with EACCES whatever its family (Ghostscript needs none; even a Unix socket reaches
// services of the computer, and abstract ones those of its network namespace), and so do the ways
// around socket(2): socketcall(2) where it exists, io_uring (which opens sockets itself), taking a
// descriptor from another process (pidfd_getfd) or driving one (ptrace, process_vm_writev).
// A call of another architecture, or of the x32 ABI on x86-64, kills the child. Built before
// fork: the child only hands it to the kernel.
class NetworkFilter {
  public:
    NetworkFilter() {
#ifndef TESSAROVEN_NO_SECCOMP_ARCH
        // clang-format off
        const std::uint32_t denied[] = {
            __NR_socket,
            __NR_socketpair,
#ifdef __NR_socketcall
            __NR_socketcall,
#endif
#ifdef __NR_io_uring_setup
            __NR_io_uring_setup,
#endif
#ifdef __NR_pidfd_getfd
            __NR_pidfd_getfd,
#endif
            __NR_ptrace,
            __NR_process_vm_writev,
        };
        // clang-format on
        constexpr std::size_t n = std::size(denied);
        static_assert(n + 8 <= sizeof m_code / sizeof m_code[0], "room for the whole filter");
        Add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
        Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0));
        Add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
        Add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
        Add(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u /* __X32_SYSCALL_BIT */, 0, 1));
        Add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
        for (std::size_t i = 0; i < n; ++i) {
            // past the remaining comparisons and the "allow" to the "deny"
            Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, denied[i],
                         static_cast<std::uint8_t>(n - 1 - i + 1), 0));
        }
        Add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        Add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)));
        m_program.len = static_cast<unsigned short>(m_size);
        m_program.filter = m_code;
#endif
    }
    NetworkFilter(const NetworkFilter&) = delete;
    NetworkFilter& operator=(const NetworkFilter&) = delete;

    // In the child: async-signal-safe (two system calls). Whether the filter is in place.
    bool Install() const {
        if (m_size == 0) {
            return false;
        }
        // Without CAP_SYS_ADMIN the kernel takes a filter only from a process that can gain no
        // privileges any more; the child runs nothing set-user-id anyway.
        return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
               prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &m_program, 0, 0) == 0;
    }

  private:
    void Add(sock_filter instruction) {
        m_code[m_size++] = instruction;
    }

    sock_filter m_code[32] = {};
    std::size_t m_size = 0;
    sock_fprog m_program{};
};

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

// Processes the account nobody may have at once, counted over the whole computer, when a child
// may start programs: room for a counter and its interpreter beside what else runs as nobody,
// and still a bound should a document take the counter over.
constexpr rlim_t kNobodyProcesses = 64;

[[noreturn]] void Exec(char* const* argv, int program, int in, int out, const SandboxLimits& limits,
                       const Account& account, const NetworkFilter& filter, pid_t parent) {
    setpgid(0, 0);
    dup2(in, 0);
    dup2(out, 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null >= 0 ? null : out, 2);
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != program) {
            close(fd);
        }
    }
    // No network: the seccomp filter installed last refuses every socket. A network namespace
    // of its own comes on top where the kernel lets us make one. Without the right to make it
    // (an ordinary user, or root with few capabilities) it takes a user namespace along, but
    // only after the account is dropped: inside a new user namespace the account could not be
    // changed any more. Under the service's unit (RestrictNamespaces=yes) both are refused and
    // the filter alone holds.
    bool ownNetwork = limits.networkNamespace && unshare(CLONE_NEWNET) == 0;
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
    // Dies with the thread that started it. Set only now: a change of the account clears it.
    // A parent that ended before that leaves the child to another one.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || getppid() != parent) {
        _exit(126);
    }
    if (limits.networkNamespace && !ownNetwork) {
        ownNetwork = unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
    }
    if (!limits.startsPrograms) {
        Limit(RLIMIT_NPROC, 0);
    } else if (account.drop) {
        Limit(RLIMIT_NPROC, kNobodyProcesses);
    }
    if (nice(10) == -1) {
        // the priority stays; nothing to do about it here
    }
    // Last, as the calls above need none of what it refuses. A child that would keep the
    // network does not run.
    if (!filter.Install() && !ownNetwork) {
        _exit(126);
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
    // Through the descriptor opened before the account was dropped: nobody may not be able to
    // reach the program's folder (a build under /root), only to run the program itself.
    if (program >= 0) {
        syscall(SYS_execveat, program, "", argv, env, AT_EMPTY_PATH);
    }
    execve(argv[0], argv, env);
    _exit(127);
}

bool Cancelled(const SandboxLimits& limits) {
    return limits.cancel != nullptr && limits.cancel->load();
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
    if (limits.inputFile >= 0) {
        // The file itself is the child's input: nothing to write.
        toChild[0] = fcntl(limits.inputFile, F_DUPFD_CLOEXEC, 3);
        toChild[1] = -1;
        if (toChild[0] < 0) {
            return run;
        }
        input = {};
    } else if (pipe2(toChild, O_CLOEXEC) != 0) {
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
    const NetworkFilter filter;
    const pid_t parent = getpid();
    const int programFd = open(program.c_str(), O_PATH | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        Exec(args.data(), programFd, toChild[0], fromChild[1], limits, account, filter, parent);
    }
    if (programFd >= 0) {
        close(programFd);
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
        if (left.count() <= 0 || Cancelled(limits)) {
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
                 static_cast<int>(std::min<long long>(
                     left.count(), limits.cancel != nullptr ? 100 : 1000))) < 0 &&
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
        if (std::chrono::steady_clock::now() > deadline || Cancelled(limits)) {
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
