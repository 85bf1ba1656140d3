#include "platform/AddressNames.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Host.h"

namespace platform {

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr auto kKeepAnswer = std::chrono::hours(1);
// Lookups at once; an address beyond them is recorded as it is (and asked about next time).
constexpr size_t kMaxLookups = 16;

struct CachedName {
    std::string name;
    SteadyClock::time_point until;
};

// Answers, and the lookups under way. Never destroyed: a lookup of a silent name server may
// still run in its own thread when the program ends.
struct Names {
    std::mutex mutex;
    std::condition_variable answered;
    std::map<std::string, CachedName> cache;
    std::map<std::string, SteadyClock::time_point> asking;  // since when
    std::function<std::string(const std::string&)> lookup;  // tests: instead of the network
};

Names& TheNames() {
    static Names* names = new Names;
    return *names;
}

bool IsNumericAddress(const std::string& text, int& family) {
    unsigned char buf[sizeof(in6_addr)];
    std::string bare = text;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') {
        bare = bare.substr(1, bare.size() - 2);
    }
    if (inet_pton(AF_INET, bare.c_str(), buf) == 1) {
        family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, bare.c_str(), buf) == 1) {
        family = AF_INET6;
        return true;
    }
    return false;
}

std::string ReverseDnsName(const std::string& address, int family) {
    sockaddr_storage ss{};
    socklen_t length = 0;
    std::string bare = address;
    if (bare.size() > 2 && bare.front() == '[') {
        bare = bare.substr(1, bare.size() - 2);
    }
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&ss);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, bare.c_str(), &in->sin_addr);
        length = sizeof(sockaddr_in);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, bare.c_str(), &in6->sin6_addr);
        length = sizeof(sockaddr_in6);
    }
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<sockaddr*>(&ss), length, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return {};
    }
    return host;
}

// A node status request for the wildcard name "*" (RFC 1002, 4.2.17).
std::vector<unsigned char> NodeStatusRequest(std::uint16_t id) {
    std::vector<unsigned char> packet = {static_cast<unsigned char>(id >> 8),
                                         static_cast<unsigned char>(id & 0xff),
                                         0x00,
                                         0x00,  // a query, no recursion
                                         0x00,
                                         0x01,  // one question
                                         0x00,
                                         0x00,
                                         0x00,
                                         0x00,
                                         0x00,
                                         0x00,
                                         0x20};  // the encoded name's length
    unsigned char name[16] = {'*'};
    for (unsigned char c : name) {
        packet.push_back(static_cast<unsigned char>('A' + (c >> 4)));
        packet.push_back(static_cast<unsigned char>('A' + (c & 0x0f)));
    }
    packet.insert(packet.end(), {0x00, 0x00, 0x21, 0x00, 0x01});  // NBSTAT, IN
    return packet;
}

// The unique workstation name (suffix 0x00) of a node status answer; empty when the answer is
// not one to our request or holds none.
std::string NameOfNodeStatusAnswer(const unsigned char* p, size_t size, std::uint16_t id) {
    if (size < 12 || p[0] != (id >> 8) || p[1] != (id & 0xff) || (p[2] & 0x80) == 0 ||
        (p[3] & 0x0f) != 0 || ((p[6] << 8) | p[7]) < 1) {
        return {};
    }
    size_t at = 12;
    // The answer's name: labels, or a pointer that ends it.
    while (at < size && p[at] != 0) {
        if ((p[at] & 0xc0) == 0xc0) {
            at += 1;
            break;
        }
        at += 1 + p[at];
    }
    at += 1;
    if (at + 10 > size || ((p[at] << 8) | p[at + 1]) != 0x21) {
        return {};
    }
    const size_t dataLength = (p[at + 8] << 8) | p[at + 9];
    at += 10;
    if (at + dataLength > size || dataLength < 1) {
        return {};
    }
    const size_t names = p[at];
    at += 1;
    for (size_t i = 0; i < names && at + 18 <= size; ++i, at += 18) {
        const bool group = (p[at + 16] & 0x80) != 0;
        if (p[at + 15] == 0x00 && !group) {
            std::string name(reinterpret_cast<const char*>(p + at), 15);
            name.erase(name.find_last_not_of(' ') + 1);
            return name;
        }
    }
    return {};
}

}  // namespace

std::string CleanComputerName(const std::string& name) {
    std::string clean;
    for (char c : name) {
        if (c == '.') {
            break;  // a DNS name: its first label names the computer
        }
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x21 || u > 0x7e || std::strchr("\\/:*?\"<>|,%@", c) != nullptr) {
            continue;
        }
        clean.push_back(c);
        if (clean.size() == 63) {
            break;
        }
    }
    return clean;
}

std::string NetbiosNameOf(const std::string& ipv4Address, std::uint16_t port,
                          std::chrono::milliseconds timeout) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, ipv4Address.c_str(), &to.sin_addr) != 1) {
        return {};
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    std::random_device random;
    const auto id = static_cast<std::uint16_t>(random());
    const auto request = NodeStatusRequest(id);
    std::string name;
    for (int attempt = 0; attempt < 2 && name.empty(); ++attempt) {
        if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) < 0) {
            break;
        }
        const auto deadline = SteadyClock::now() + timeout;
        while (name.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - SteadyClock::now());
            pollfd pfd{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            unsigned char answer[1500];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = recvfrom(fd, answer, sizeof answer, 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            // Only the computer asked may name itself.
            if (got > 0 && from.sin_addr.s_addr == to.sin_addr.s_addr) {
                name = NameOfNodeStatusAnswer(answer, static_cast<size_t>(got), id);
            }
        }
    }
    close(fd);
    return name;
}

std::string ChooseComputerName(const std::string& confirmedDnsName, const std::string& netbiosName,
                               const std::string& dnsName, const std::string& ownName) {
    for (const std::string& candidate : {confirmedDnsName, netbiosName, dnsName}) {
        const std::string name = CleanComputerName(candidate);
        int family = 0;
        // Any answer can claim any name; the one name it never gets is this computer's own.
        if (!name.empty() && !IsNumericAddress(candidate, family) &&
            !IsNumericAddress(name, family) &&
            strcasecmp(name.c_str(), CleanComputerName(ownName).c_str()) != 0) {
            return name;
        }
    }
    return {};
}

namespace {

// Whether the name's own addresses include the address it was given for.
bool ForwardConfirms(const std::string& name, const std::string& address, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    std::string bare = address;
    if (bare.size() > 2 && bare.front() == '[') {
        bare = bare.substr(1, bare.size() - 2);
    }
    unsigned char want[sizeof(in6_addr)] = {};
    inet_pton(family, bare.c_str(), want);
    bool confirmed = false;
    for (addrinfo* a = found; a != nullptr && !confirmed; a = a->ai_next) {
        if (a->ai_family == AF_INET && family == AF_INET) {
            confirmed = std::memcmp(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, want,
                                    sizeof(in_addr)) == 0;
        } else if (a->ai_family == AF_INET6 && family == AF_INET6) {
            confirmed = std::memcmp(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, want,
                                    sizeof(in6_addr)) == 0;
        }
    }
    freeaddrinfo(found);
    return confirmed;
}

std::string LookUp(const std::string& address, int family) {
    const std::string dnsName = ReverseDnsName(address, family);
    const bool confirmed = !dnsName.empty() && ForwardConfirms(dnsName, address, family);
    const std::string netbiosName =
        !confirmed && family == AF_INET ? NetbiosNameOf(address) : std::string();
    return ChooseComputerName(confirmed ? dnsName : "", netbiosName, confirmed ? "" : dnsName,
                              ComputerName());
}

}  // namespace

namespace {

void StartLookup(const std::string& address, int family,
                 std::function<std::string(const std::string&)> lookup) {
    std::thread([address, family, lookup = std::move(lookup)] {
        std::string name = lookup ? lookup(address) : LookUp(address, family);
        if (name.empty()) {
            name = address;
        }
        Names& names = TheNames();
        {
            std::lock_guard lock(names.mutex);
            names.cache[address] = CachedName{name, SteadyClock::now() + kKeepAnswer};
            names.asking.erase(address);
        }
        names.answered.notify_all();
    }).detach();
}

}  // namespace

std::string ComputerNameOfAddress(const std::string& address, std::chrono::milliseconds wait) {
    int family = 0;
    if (!IsNumericAddress(address, family)) {
        return address;
    }
    Names& names = TheNames();
    std::unique_lock lock(names.mutex);
    const auto known = [&] {
        const auto it = names.cache.find(address);
        return it != names.cache.end() && SteadyClock::now() < it->second.until;
    };
    if (known()) {
        return names.cache[address].name;
    }
    auto asked = names.asking.find(address);
    if (asked == names.asking.end()) {
        if (names.asking.size() >= kMaxLookups) {
            return address;
        }
        // Asked on a thread of its own: a silent name server holds up nobody else, and the
        // callers wait only as long as they chose, counted from when the lookup began (jobs
        // from many new addresses at once wait for them together).
        asked = names.asking.emplace(address, SteadyClock::now()).first;
        try {
            StartLookup(address, family, names.lookup);
        } catch (const std::system_error&) {
            names.asking.erase(asked);  // no thread to be had: the address stands
            return address;
        }
    }
    const auto deadline = asked->second + wait;  // the entry goes when the answer comes
    names.answered.wait_until(lock, deadline, known);
    return known() ? names.cache[address].name : address;
}

void UseNameLookupForTests(std::function<std::string(const std::string&)> lookup) {
    Names& names = TheNames();
    std::lock_guard lock(names.mutex);
    names.lookup = std::move(lookup);
    names.cache.clear();
}

void ForgetAddressNames() {
    Names& names = TheNames();
    std::lock_guard lock(names.mutex);
    names.cache.clear();
}

}  // namespace platform
