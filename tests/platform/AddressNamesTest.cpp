#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/AddressNames.h"

namespace {

// A computer that answers node status queries on a loopback port with the reply its answer
// function makes from the request.
class NodeStatusResponder {
  public:
    using Answer = std::function<std::vector<unsigned char>(const std::vector<unsigned char>&)>;

    explicit NodeStatusResponder(Answer answer) : m_answer(std::move(answer)) {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t length = sizeof addr;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length);
        m_port = ntohs(addr.sin_port);
        timeval wait{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        m_thread = std::thread([this] {
            unsigned char buf[1500];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got =
                recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got <= 0) {
                return;
            }
            m_request.assign(buf, buf + got);
            const auto reply = m_answer(m_request);
            sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   fromLength);
        });
    }
    ~NodeStatusResponder() {
        m_thread.join();
        close(m_fd);
    }
    std::uint16_t Port() const { return m_port; }
    const std::vector<unsigned char>& Request() const { return m_request; }

  private:
    Answer m_answer;
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::vector<unsigned char> m_request;
};

// A node status answer to a request, naming the computer (name entries: 15 characters padded
// with spaces, a suffix, flags).
std::vector<unsigned char> AnswerNaming(const std::vector<unsigned char>& request,
                                        const std::vector<std::pair<std::string, int>>& entries) {
    std::string a;
    a += static_cast<char>(request[0]);
    a += static_cast<char>(request[1]);
    a += std::string("\x84\x00\x00\x00\x00\x01\x00\x00\x00\x00", 10);
    a.append(reinterpret_cast<const char*>(request.data()) + 12, 34);  // the name asked for
    const size_t rdLength = 1 + 18 * entries.size() + 46;
    a += std::string("\x00\x21\x00\x01\x00\x00\x00\x00", 8);
    a += static_cast<char>(rdLength >> 8);
    a += static_cast<char>(rdLength & 0xff);
    a += static_cast<char>(entries.size());
    for (const auto& [name, suffixAndGroup] : entries) {
        std::string padded = name;
        padded.resize(15, ' ');
        a += padded;
        a += static_cast<char>(suffixAndGroup & 0xff);
        a += static_cast<char>(suffixAndGroup > 0xff ? 0x84 : 0x04);  // group bit, active
        a += '\0';
    }
    a.append(46, '\0');  // statistics
    return std::vector<unsigned char>(a.begin(), a.end());
}

constexpr int kGroup = 0x100;

}  // namespace

TEST(AddressNames, TheNodeStatusAnswerNamesTheComputer) {
    {
        // Group names (the workgroup) and other suffixes are passed over.
        NodeStatusResponder pc([](const std::vector<unsigned char>& request) {
            return AnswerNaming(request, {{"OFFICE", 0x00 | kGroup},
                                          {"PC-ALICE", 0x20},
                                          {"PC-ALICE", 0x00},
                                          {"ALICE", 0x03}});
        });
        EXPECT_EQ(platform::NetbiosNameOf("127.0.0.1", pc.Port()), "PC-ALICE");
        // The request: a node status query (type 0x21) for the wildcard name.
        ASSERT_EQ(pc.Request().size(), 50u);
        EXPECT_EQ(pc.Request()[12], 0x20);
        EXPECT_EQ(pc.Request()[13], 'C');
        EXPECT_EQ(pc.Request()[14], 'K');
        EXPECT_EQ(pc.Request()[47], 0x21);
    }
    {
        // An answer to another request, or one cut short, names nobody and breaks nothing.
        NodeStatusResponder forged([](const std::vector<unsigned char>& request) {
            auto a = AnswerNaming(request, {{"MALLORY", 0x00}});
            a[1] ^= 0xff;
            return a;
        });
        EXPECT_EQ(
            platform::NetbiosNameOf("127.0.0.1", forged.Port(), std::chrono::milliseconds(100)),
            "");
    }
    {
        NodeStatusResponder cut([](const std::vector<unsigned char>& request) {
            auto a = AnswerNaming(request, {{"PC-BOB", 0x00}});
            a[56] = 200;  // claims 200 names
            a.resize(60);
            return a;
        });
        EXPECT_EQ(platform::NetbiosNameOf("127.0.0.1", cut.Port(), std::chrono::milliseconds(100)),
                  "");
    }
    // Nobody answers: empty, within the two tries.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::NetbiosNameOf("127.0.0.1", 9, std::chrono::milliseconds(100)), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(AddressNames, NamesFromTheNetworkAreCleanedAndOnlyAddressesLookedUp) {
    EXPECT_EQ(platform::CleanComputerName("pc-alice.office.example.org"), "pc-alice");
    EXPECT_EQ(platform::CleanComputerName("PC\\..\\x"), "PC");
    EXPECT_EQ(platform::CleanComputerName("A,B\r\nC/D:E\x01\xff%41@"), "ABCDE41");
    EXPECT_EQ(platform::CleanComputerName(std::string(100, 'x')), std::string(63, 'x'));
    EXPECT_EQ(platform::CleanComputerName("\\\\"), "");
    // A name stays as it is; loopback has a name in every hosts file.
    EXPECT_EQ(platform::ComputerNameOfAddress("PC-ALICE"), "PC-ALICE");
    EXPECT_EQ(platform::ComputerNameOfAddress("127.0.0.1"), "localhost");
}

// Any answer can claim any name: one the forward lookup confirms is taken first, and none may
// claim to be this computer.
TEST(AddressNames, AConfirmedNameComesFirstAndNoneIsThisComputersOwn) {
    using platform::ChooseComputerName;
    EXPECT_EQ(ChooseComputerName("pc-alice.example.org", "MALLORY", "", "printsrv"), "pc-alice");
    EXPECT_EQ(ChooseComputerName("", "PC-BOB", "ceo-laptop.example.org", "printsrv"), "PC-BOB");
    EXPECT_EQ(ChooseComputerName("", "", "ceo-laptop.example.org", "printsrv"), "ceo-laptop");
    EXPECT_EQ(ChooseComputerName("", "PRINTSRV", "printsrv.example.org", "printsrv"), "");
    EXPECT_EQ(ChooseComputerName("", "\\\\vm", "10.1.2.3", "VM"), "");
}

// A silent name server holds up nobody: the caller waits at most its limit, counted from when
// the lookup began, and has the address then; the name, when it comes, serves later callers.
TEST(AddressNames, ASlowLookupIsWaitedForOnlyAsLongAsAsked) {
    static std::atomic<int> lookups{0};
    platform::UseNameLookupForTests([](const std::string& address) {
        ++lookups;
        std::this_thread::sleep_for(std::chrono::milliseconds(address == "10.0.0.9" ? 600 : 5000));
        return std::string("PC-NINE");
    });
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> callers;
    std::vector<std::string> names(5);
    for (int i = 0; i < 5; ++i) {
        callers.emplace_back([&, i] {
            names[i] = platform::ComputerNameOfAddress("10.0.0." + std::to_string(i + 1),
                                                       std::chrono::milliseconds(300));
        });
    }
    for (auto& t : callers) {
        t.join();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(names[i], "10.0.0." + std::to_string(i + 1));
    }
    // Asked again while its lookup runs: no second lookup, and the wait counts from the first.
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::ComputerNameOfAddress("10.0.0.1", std::chrono::milliseconds(300)),
              "10.0.0.1");
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(200));
    EXPECT_EQ(lookups.load(), 5);

    EXPECT_EQ(platform::ComputerNameOfAddress("10.0.0.9", std::chrono::milliseconds(0)),
              "10.0.0.9");
    EXPECT_EQ(platform::ComputerNameOfAddress("10.0.0.9", std::chrono::milliseconds(2000)),
              "PC-NINE");
    platform::UseNameLookupForTests(nullptr);
}
