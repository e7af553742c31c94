// Zone data and scripted behaviour for the test DNS responder.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarn_dns
{

// A domain name as the raw bytes of its labels, root label left out. Labels
// may hold any byte at all (blanks, control bytes, dots): tests rely on the
// responder handing such names to the resolver untouched.
using Labels = std::vector<std::string>;

inline constexpr std::size_t max_label_length = 63;
inline constexpr std::size_t max_name_wire_length = 255;

using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;

// Length of the name in uncompressed wire form, including the root label.
std::size_t wire_length(const Labels &name);

// Lower-cased wire form: the lookup key, so that matching ignores ASCII case
// the way DNS does, and no two different label splits can collide.
std::string name_key(const Labels &name);

// Master-file style text: `\DDD` decimal escapes and `\X` for a literal X;
// an unescaped dot separates labels, a final dot is optional.
// Throws std::invalid_argument on bad escapes, empty or over-long labels and
// over-long names.
Labels parse_name(std::string_view text);

// Inverse of parse_name, escaping everything outside printable ASCII.
std::string name_text(const Labels &name);

// The PTR owner name: `d.c.b.a.in-addr.arpa`, or for IPv6 the 32 nibbles,
// lowest first, under `ip6.arpa`.
Labels reverse_name(const Ipv4 &address);
Labels reverse_name(const Ipv6 &address);

enum class Fault : std::uint8_t {
    none,   // answer normally (overrides a default fault)
    silent, // send nothing
    servfail,
    refused,
    nxdomain,
    garbage,  // a reply with the right ID whose answer section does not parse
    truncate, // UDP reply with TC set and no answer; TCP answers normally
    wrong_id, // a correct answer carrying another query ID
};

std::string_view fault_name(Fault fault);

struct Rule {
    std::optional<int> delay_ms;
    std::optional<Fault> fault;
    // How many more queries get the fault; negative means no limit. Lets a
    // test make a name fail a few times and then resolve, to exercise retries.
    long long fault_budget = -1;
};

// The addresses of one name, each list in file order without repeats. A name
// with just one kind still exists for the other query type, which then gets
// an empty answer rather than NXDOMAIN.
struct HostAddresses {
    std::vector<Ipv4> v4; // A records
    std::vector<Ipv6> v6; // AAAA records
};

struct Zone {
    std::unordered_map<std::string, HostAddresses> hosts;          // by name_key
    std::unordered_map<std::string, std::vector<Labels>> pointers; // by name_key of the reverse name
    std::unordered_map<std::string, Rule> rules;                   // by name_key
    Rule default_rule;                                             // target `*`
};

class ZoneError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

// Throws ZoneError naming `source` and the line number.
Zone parse_zone(std::istream &in, const std::string &source);

} // namespace tarn_dns
