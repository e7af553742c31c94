#include "zone.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace tarn_dns
{

namespace
{

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Splits a zone line into words. Backslash escapes stay in the word for
// parse_name to decode, but an escaped blank or `#` does not end the word or
// start a comment.
std::vector<std::string> split_words(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            word += c;
            if (i + 1 < line.size())
                word += line[++i];
            in_word = true;
        } else if (c == '#') {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            if (in_word)
                words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word)
        words.push_back(std::move(word));
    return words;
}

std::optional<Ipv4> parse_ipv4(const std::string &text)
{
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1)
        return std::nullopt;
    Ipv4 out{};
    std::memcpy(out.data(), &addr.s_addr, 4); // s_addr is in network order
    return out;
}

std::optional<Ipv6> parse_ipv6(const std::string &text)
{
    Ipv6 out{};
    if (inet_pton(AF_INET6, text.c_str(), out.data()) != 1)
        return std::nullopt;
    return out;
}

template <typename T> std::optional<T> parse_number(const std::string &text, T lo, T hi)
{
    T value{};
    const auto *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || value < lo || value > hi)
        return std::nullopt;
    return value;
}

std::optional<Fault> fault_by_directive(std::string_view word)
{
    static constexpr std::pair<std::string_view, Fault> table[] = {
        {"@answer", Fault::none},       {"@silent", Fault::silent},     {"@servfail", Fault::servfail},
        {"@refused", Fault::refused},   {"@nxdomain", Fault::nxdomain}, {"@garbage", Fault::garbage},
        {"@truncate", Fault::truncate}, {"@wrongid", Fault::wrong_id},
    };
    for (const auto &[name, fault] : table)
        if (name == word)
            return fault;
    return std::nullopt;
}

} // namespace

std::size_t wire_length(const Labels &name)
{
    std::size_t n = 1;
    for (const auto &label : name)
        n += label.size() + 1;
    return n;
}

std::string name_key(const Labels &name)
{
    std::string key;
    key.reserve(wire_length(name));
    for (const auto &label : name) {
        key += static_cast<char>(label.size());
        for (char c : label)
            key += ascii_lower(c);
    }
    return key;
}

Labels parse_name(std::string_view text)
{
    if (text == ".")
        throw std::invalid_argument("the root name is not a host name");
    Labels name;
    std::string label;
    bool label_open = false; // distinguishes "a..b" from a final dot
    auto close_label = [&] {
        if (label.empty())
            throw std::invalid_argument("empty label");
        if (label.size() > max_label_length)
            throw std::invalid_argument("label longer than 63 bytes");
        name.push_back(std::move(label));
        label.clear();
        label_open = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            close_label();
            continue;
        }
        label_open = true;
        if (c != '\\') {
            label += c;
            continue;
        }
        if (i + 1 >= text.size())
            throw std::invalid_argument("backslash at end of name");
        const char next = text[i + 1];
        if (next >= '0' && next <= '9') {
            if (i + 3 >= text.size())
                throw std::invalid_argument("\\DDD escape needs three digits");
            int value = 0;
            for (std::size_t k = 1; k <= 3; ++k) {
                const char d = text[i + k];
                if (d < '0' || d > '9')
                    throw std::invalid_argument("\\DDD escape needs three digits");
                value = value * 10 + (d - '0');
            }
            if (value > 255)
                throw std::invalid_argument("\\DDD escape above 255");
            label += static_cast<char>(static_cast<unsigned char>(value));
            i += 3;
        } else {
            label += next;
            i += 1;
        }
    }
    if (label_open)
        close_label();
    if (name.empty())
        throw std::invalid_argument("empty name");
    if (wire_length(name) > max_name_wire_length)
        throw std::invalid_argument("name longer than 255 bytes in wire form");
    return name;
}

std::string name_text(const Labels &name)
{
    std::string out;
    for (const auto &label : name) {
        for (char c : label) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '.' || c == '\\') {
                out += '\\';
                out += c;
            } else if (u <= 32 || u >= 127) {
                char buf[5];
                buf[0] = '\\';
                buf[1] = static_cast<char>('0' + u / 100);
                buf[2] = static_cast<char>('0' + u / 10 % 10);
                buf[3] = static_cast<char>('0' + u % 10);
                buf[4] = '\0';
                out += buf;
            } else {
                out += c;
            }
        }
        out += '.';
    }
    return out;
}

Labels reverse_name(const Ipv4 &address)
{
    Labels name;
    for (int i = 3; i >= 0; --i)
        name.push_back(std::to_string(address[static_cast<std::size_t>(i)]));
    name.emplace_back("in-addr");
    name.emplace_back("arpa");
    return name;
}

Labels reverse_name(const Ipv6 &address)
{
    static constexpr char hex[] = "0123456789abcdef";
    Labels name;
    for (auto byte = address.rbegin(); byte != address.rend(); ++byte) {
        name.emplace_back(1, hex[*byte & 0x0f]);
        name.emplace_back(1, hex[*byte >> 4]);
    }
    name.emplace_back("ip6");
    name.emplace_back("arpa");
    return name;
}

std::string_view fault_name(Fault fault)
{
    switch (fault) {
    case Fault::none: return "answer";
    case Fault::silent: return "silent";
    case Fault::servfail: return "servfail";
    case Fault::refused: return "refused";
    case Fault::nxdomain: return "nxdomain";
    case Fault::garbage: return "garbage";
    case Fault::truncate: return "truncate";
    case Fault::wrong_id: return "wrongid";
    }
    return "?";
}

Zone parse_zone(std::istream &in, const std::string &source)
{
    Zone zone;
    std::string line;
    std::size_t line_no = 0;
    auto fail = [&](const std::string &why) -> ZoneError {
        return ZoneError(source + ":" + std::to_string(line_no) + ": " + why);
    };
    auto name_of = [&](const std::string &word) {
        try {
            return parse_name(word);
        } catch (const std::invalid_argument &e) {
            throw fail("bad name '" + word + "': " + e.what());
        }
    };
    // A colon means an IPv6 address, as in a hosts file; a name that really
    // holds one can spell it `\058`. Going through the binary address makes
    // every text form of it (`::`, leading zeros, upper case) the same key.
    auto reverse_of = [&](const std::string &word) -> std::optional<Labels> {
        if (word.find(':') != std::string::npos) {
            const auto address = parse_ipv6(word);
            if (!address)
                throw fail("not an IPv6 address: '" + word + "'");
            return reverse_name(*address);
        }
        if (const auto address = parse_ipv4(word))
            return reverse_name(*address);
        return std::nullopt;
    };
    auto rule_for = [&](const std::string &target) -> Rule & {
        if (target == "*")
            return zone.default_rule;
        if (const auto reverse = reverse_of(target))
            return zone.rules[name_key(*reverse)];
        return zone.rules[name_key(name_of(target))];
    };

    while (std::getline(in, line)) {
        ++line_no;
        const auto words = split_words(line);
        if (words.empty())
            continue;
        const std::string &head = words[0];

        if (head == "@delay") {
            if (words.size() != 3)
                throw fail("usage: @delay TARGET MILLISECONDS");
            const auto ms = parse_number<int>(words[2], 0, 600000);
            if (!ms)
                throw fail("delay must be 0..600000 milliseconds");
            rule_for(words[1]).delay_ms = *ms;
            continue;
        }
        // A reverse record alone: the address claims a name whose own
        // addresses (if any) are others, as a forged reverse zone does.
        if (head == "@ptr") {
            if (words.size() != 3)
                throw fail("usage: @ptr ADDRESS NAME");
            const auto reverse = reverse_of(words[1]);
            if (!reverse)
                throw fail("not an address: '" + words[1] + "'");
            zone.pointers[name_key(*reverse)].push_back(name_of(words[2]));
            continue;
        }
        if (!head.empty() && head[0] == '@') {
            const auto fault = fault_by_directive(head);
            if (!fault)
                throw fail("unknown directive " + head);
            if (words.size() != 2 && words.size() != 3)
                throw fail("usage: " + head + " TARGET [COUNT]");
            long long budget = -1;
            if (words.size() == 3) {
                const auto count = parse_number<long long>(words[2], 1, std::numeric_limits<int>::max());
                if (!count)
                    throw fail("count must be a positive number");
                budget = *count;
            }
            Rule &rule = rule_for(words[1]);
            rule.fault = *fault;
            rule.fault_budget = budget;
            continue;
        }

        // Host line.
        const auto reverse = reverse_of(head);
        if (!reverse)
            throw fail("not an IPv4 address: '" + head + "'");
        if (words.size() < 2)
            throw fail("address without a name");

        std::vector<Labels> names;
        for (std::size_t i = 1; i < words.size(); ++i)
            names.push_back(name_of(words[i]));

        // Every name of the line gets the address, as A or AAAA by its family.
        // An IPv4-mapped address stays an IPv6 one here, served as written: a
        // client that asked for AAAA wants those 16 bytes back.
        auto add_to = [](auto &list, const auto &address) {
            if (std::find(list.begin(), list.end(), address) == list.end())
                list.push_back(address);
        };
        if (const auto v4 = parse_ipv4(head))
            for (const auto &name : names)
                add_to(zone.hosts[name_key(name)].v4, *v4);
        else if (const auto v6 = parse_ipv6(head))
            for (const auto &name : names)
                add_to(zone.hosts[name_key(name)].v6, *v6);
        auto &targets = zone.pointers[name_key(*reverse)];
        const auto first_key = name_key(names.front());
        const bool seen =
            std::any_of(targets.begin(), targets.end(), [&](const Labels &t) { return name_key(t) == first_key; });
        if (!seen)
            targets.push_back(names.front());
    }
    if (in.bad())
        throw ZoneError(source + ": read error");
    return zone;
}

} // namespace tarn_dns
