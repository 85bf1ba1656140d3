// Run inside the page counter's sandbox by the sandbox tests: tries what would reach a network
// and prints what came of each, one "what=result" per line ("ok", or the errno's number).
//   sandbox_probe sockets    a socket of each family, io_uring, socketpair
//   sandbox_probe int80      (x86-64) getpid through the kernel's 32-bit entry, int 0x80
//   sandbox_probe x32        (x86-64) getpid through the x32 ABI
// The last two print "start" first: the filter kills the probe at the call.
#include <linux/io_uring.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void Report(const char* what, long result) {
    if (result >= 0) {
        std::printf("%s=ok\n", what);
    } else {
        std::printf("%s=%d\n", what, errno);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "sockets";
    if (std::strcmp(mode, "sockets") == 0) {
        Report("unix", socket(AF_UNIX, SOCK_STREAM, 0));
        Report("inet", socket(AF_INET, SOCK_STREAM, 0));
        Report("inet-udp", socket(AF_INET, SOCK_DGRAM, 0));
        Report("inet6", socket(AF_INET6, SOCK_STREAM, 0));
        Report("packet", socket(AF_PACKET, SOCK_DGRAM, 0));
        Report("netlink", socket(AF_NETLINK, SOCK_RAW, 0));
        io_uring_params params{};
        Report("io_uring", syscall(__NR_io_uring_setup, 1, &params));
        int pair[2];
        Report("socketpair", socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        return 0;
    }
#if defined(__x86_64__)
    if (std::strcmp(mode, "int80") == 0) {
        std::printf("start\n");
        std::fflush(stdout);
        long result = 20;  // getpid in the 32-bit table
        asm volatile("int $0x80" : "+a"(result) : : "memory", "r8", "r9", "r10", "r11");
        std::printf("int80=%s\n", result > 0 ? "ok" : "failed");
        return 0;
    }
    if (std::strcmp(mode, "x32") == 0) {
        std::printf("start\n");
        std::fflush(stdout);
        Report("x32", syscall(0x40000000L | 39 /* getpid in the x32 table */));
        return 0;
    }
#endif
    return 2;
}
