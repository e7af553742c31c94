// What the system resolver reports for each kind of DNS trouble, through
// the two calls tarn makes (gethostbyaddr_r for IPv4 and IPv6, getnameinfo
// for comparison). tarn tells "no name" from "failed for now" by these
// codes, so a C library that changed them would change what tarn records:
// the program prints the table and fails when a code is not the one
// expected. Run inside netns-run with resolver-codes.zone.
#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

struct Case {
    const char *address;
    const char *what;
    const char *expected; // h_errno name, or "name:TEXT"
};

const Case CASES[] = {
    {"192.0.2.1", "plain answer", "name:one.codes.example"},
    {"192.0.2.2", "SERVFAIL", "TRY_AGAIN"},
    {"192.0.2.3", "REFUSED", "TRY_AGAIN"},
    {"192.0.2.4", "NXDOMAIN", "HOST_NOT_FOUND"},
    {"192.0.2.5", "no reply (1 s time-out)", "TRY_AGAIN"},
    {"192.0.2.6", "PTR to no valid host name", "NO_RECOVERY"},
    {"192.0.2.7", "PTR to an address text", "name:192.0.2.1"},
    {"192.0.2.8", "three PTR records", "name:first.codes.example"},
    {"192.0.2.9", "not in the zone", "HOST_NOT_FOUND"},
    {"2001:db8::1", "IPv6 plain answer", "name:six.codes.example"},
    {"2001:db8::2", "IPv6 SERVFAIL", "TRY_AGAIN"},
    {"2001:db8::3", "IPv6 REFUSED", "TRY_AGAIN"},
    {"2001:db8::4", "IPv6 NXDOMAIN", "HOST_NOT_FOUND"},
    {"2001:db8::5", "IPv6 no reply", "TRY_AGAIN"},
    {"2001:db8::6", "IPv6 PTR to no valid host name", "NO_RECOVERY"},
    {"::ffff:192.0.2.1", "IPv4-mapped", "name:one.codes.example"},
};

const char *host_error_name(int code)
{
    switch (code) {
    case HOST_NOT_FOUND: return "HOST_NOT_FOUND";
    case TRY_AGAIN: return "TRY_AGAIN";
    case NO_RECOVERY: return "NO_RECOVERY";
    case NO_DATA: return "NO_DATA";
    case NETDB_INTERNAL: return "NETDB_INTERNAL";
    default: return "other";
    }
}

// "name:TEXT [aliases]" or the h_errno name.
std::string by_address(const unsigned char *address, bool ipv6)
{
    hostent storage{};
    hostent *result = nullptr;
    char buffer[16384];
    int host_error = 0;
    gethostbyaddr_r(address, ipv6 ? 16 : 4, ipv6 ? AF_INET6 : AF_INET, &storage, buffer, sizeof buffer, &result,
                    &host_error);
    if (result == nullptr)
        return host_error_name(host_error);
    std::string text = std::string("name:") + result->h_name;
    for (char **alias = result->h_aliases; *alias != nullptr; ++alias)
        text += std::string(" alias:") + *alias;
    return text;
}

std::string by_getnameinfo(const unsigned char *address)
{
    sockaddr_in6 socket_address{};
    socket_address.sin6_family = AF_INET6;
    std::memcpy(&socket_address.sin6_addr, address, 16);
    char host[NI_MAXHOST];
    const int rc = getnameinfo(reinterpret_cast<const sockaddr *>(&socket_address), sizeof socket_address, host,
                               sizeof host, nullptr, 0, NI_NAMEREQD);
    switch (rc) {
    case 0: return std::string("name:") + host;
    case EAI_NONAME: return "EAI_NONAME";
    case EAI_AGAIN: return "EAI_AGAIN";
    case EAI_FAIL: return "EAI_FAIL";
    default: return "EAI " + std::to_string(rc);
    }
}

} // namespace

int main()
{
    int wrong = 0;
    std::printf("| Case | Address | gethostbyaddr_r | getnameinfo | Time |\n|---|---|---|---|---|\n");
    for (const Case &c : CASES) {
        const bool ipv6 = std::strchr(c.address, ':') != nullptr;
        unsigned char address[16];
        inet_pton(ipv6 ? AF_INET6 : AF_INET, c.address, address);
        const auto start = std::chrono::steady_clock::now();
        const std::string got = by_address(address, ipv6);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string folded = ipv6 ? by_getnameinfo(address) : "-";
        std::printf("| %s | %s | %s | %s | %.1f s |\n", c.what, c.address, got.c_str(), folded.c_str(), seconds);
        if (got != c.expected) {
            std::fprintf(stderr, "resolver-codes: %s (%s): got %s, expected %s\n", c.what, c.address, got.c_str(),
                         c.expected);
            ++wrong;
        }
    }
    return wrong == 0 ? 0 : 1;
}
