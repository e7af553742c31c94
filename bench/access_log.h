// The access log that the harvest benchmarks read, made from a fixed seed
// so that every machine and every run gets the same bytes: Common Log
// Format with referrer and user agent (Combined), 100,000 clients visiting
// in sessions, twelve sessions interleaved at a time, mostly new visitors
// until all have come and then returning ones, regulars most. One user
// agent carries a four-part version after a blank, which the byte scanner
// takes for an address, as it should; the harvest, which reads the client
// field of each line, does not.
//
// AccessLog hands out the lines one at a time and LogTally keeps what they
// hold, so a program can cut the stream into one file or several and still
// know exactly what each file, or any set of them, must yield. FormatCheck
// makes sure that every line is one the harvest reads by its format.
#pragma once

#include "bench_support.h"
#include "lookup_format.h"
#include "lookup_table.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bench::access_log
{

inline constexpr uint64_t LOG_SEED = 0x7461726e6c6f6773ULL;
inline constexpr int CLIENT_COUNT = 100000;

inline uint32_t key_of(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// ---------------------------------------------------------------------------
// The log's contents. All names are made up.

// User agents. The counted one holds a four-part version after a blank
// that is a dotted quad as well, which the scanner reads as an address,
// once per line; versions with a part over 255 are no address.
struct UserAgent {
    const char *text;
    int weight;       // relative share of clients using it
    uint32_t counted; // the address the scanner finds in it; 0 for none
};

const UserAgent USER_AGENTS[] = {
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
     "Safari/537.36",
     30, 0},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
     "Safari/537.36 Edg/120.0.2210.91",
     10, 0},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:121.0) Gecko/20100101 Firefox/121.0", 8, 0},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.1 "
     "Safari/605.1.15",
     8, 0},
    {"Mozilla/5.0 (iPhone; CPU iPhone OS 17_1_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/17.1.2 Mobile/15E148 Safari/604.1",
     12, 0},
    {"Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.6099.144 "
     "Mobile Safari/537.36",
     10, 0},
    {"Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0", 3, 0},
    {"Mozilla/5.0 (compatible; Searchwellbot/2.1; +http://www.searchwell.com/bot.html)", 3, 0},
    {"Mozilla/5.0 (compatible; IndexaBot/7.0; +https://indexa.net/robot)", 2, 0},
    {"Dalvik/2.1.0 (Linux; U; Android 13; SM-S911B Build/TP1A.220624.014)", 2, 0},
    {"curl/7.88.1", 1, 0},
    {"Java/1.8.0_292", 1, 0},
    // Old Windows clients report the build after the version.
    {"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1.2600.0; .NET CLR 1.1.4322)", 3, 0},
    {"Microsoft Office/16.0 (Windows NT 10.0; Microsoft Outlook 16.0.17029.20028; Pro)", 4, 0},
    {"Mozilla/5.0 (compatible; Konqueror/3.5; Linux 2.6.32.5; X11) KHTML/3.5.10 (like Gecko)", 1, key_of(2, 6, 32, 5)},
};
inline constexpr size_t USER_AGENT_COUNT = sizeof USER_AGENTS / sizeof USER_AGENTS[0];

const char *const SECTIONS[] = {"products", "blog", "news", "support", "docs", "shop", "about", "events"};
const char *const WORDS[] = {"harbour", "copper",  "lantern", "meadow", "granite", "willow", "ember",
                             "quartz",  "saffron", "thistle", "marble", "falcon",  "cobalt", "juniper"};
const char *const ASSET_KINDS[] = {"css", "js", "png", "jpg", "webp", "svg", "woff2"};
const char *const SEARCH_SITES[] = {
    "https://www.searchwell.com/search?q=", "https://lookfar.org/?query=", "https://indexa.net/results?s="};
const char *const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Request paths: pages, assets, searches, API calls and a few odd ones.
// Digits and dots abound, but none after a blank, so none is an address:
// "/files/tarnball-1.2.3.4.tar.gz" and "?v=1.2.3.4" stay unreported.
inline int format_path(Rng &rng, char *out, size_t size)
{
    const uint64_t kind = rng.below(100);
    if (kind < 30)
        return std::snprintf(out, size, "/%s/%s-%s-%u.html", rng.pick(SECTIONS), rng.pick(WORDS), rng.pick(WORDS),
                             static_cast<unsigned>(rng.below(5000)));
    if (kind < 55) {
        const char *asset = rng.pick(ASSET_KINDS);
        return std::snprintf(out, size, "/static/%s/%s.%08x.%s?v=1.%u.%u", asset, rng.pick(WORDS),
                             static_cast<unsigned>(rng.next()), asset, static_cast<unsigned>(rng.below(20)),
                             static_cast<unsigned>(rng.below(100)));
    }
    if (kind < 68)
        return std::snprintf(out, size, "/images/photos/%u/%u/IMG_%04u.jpg",
                             2015 + static_cast<unsigned>(rng.below(12)), 1 + static_cast<unsigned>(rng.below(12)),
                             static_cast<unsigned>(rng.below(10000)));
    if (kind < 76)
        return std::snprintf(out, size, "/search?q=%s+%s&page=%u&sort=date", rng.pick(WORDS), rng.pick(WORDS),
                             1 + static_cast<unsigned>(rng.below(9)));
    if (kind < 84)
        return std::snprintf(out, size, "/api/v2/items/%u?fields=name,price,stock&session=%016llx",
                             static_cast<unsigned>(rng.below(100000)), static_cast<unsigned long long>(rng.next()));
    if (kind < 88)
        return std::snprintf(out, size, "/blog/2026/%02u/%02u/%s-and-%s.html", 1 + static_cast<unsigned>(rng.below(12)),
                             1 + static_cast<unsigned>(rng.below(28)), rng.pick(WORDS), rng.pick(WORDS));
    if (kind < 91)
        return std::snprintf(out, size, "/files/tarnball-1.2.3.%u.tar.gz", static_cast<unsigned>(rng.below(10)));
    if (kind < 94)
        return std::snprintf(out, size, "/page.php?x=1&from=10.1.2.%u&lang=en", static_cast<unsigned>(rng.below(256)));
    if (kind < 97)
        return std::snprintf(out, size, "%s", rng.percent(50) ? "/favicon.ico" : "/robots.txt");
    return std::snprintf(out, size, "/");
}

inline int format_referrer(Rng &rng, char *out, size_t size)
{
    const uint64_t kind = rng.below(100);
    if (kind < 40)
        return std::snprintf(out, size, "-");
    if (kind < 70)
        return std::snprintf(out, size, "https://www.tarnwick-shop.example/%s/%s-%u.html", rng.pick(SECTIONS),
                             rng.pick(WORDS), static_cast<unsigned>(rng.below(5000)));
    if (kind < 88)
        return std::snprintf(out, size, "%s%s+%s&ei=%012llx", rng.pick(SEARCH_SITES), rng.pick(WORDS), rng.pick(WORDS),
                             static_cast<unsigned long long>(rng.next() & 0xffffffffffffULL));
    if (kind < 95)
        return std::snprintf(out, size, "https://referrer.example/links/%s/page-%u.html?utm_source=forum",
                             rng.pick(WORDS), static_cast<unsigned>(rng.below(300)));
    return std::snprintf(out, size, "http://198.51.100.%u/bookmarks.html", static_cast<unsigned>(rng.below(256)));
}

// ---------------------------------------------------------------------------
// Clients and sessions

// The 100,000 clients in order of first visit: public addresses, a quarter
// of them in a few busy /8 blocks (large access providers), the rest spread
// over the whole unicast range; no private, loopback or multicast ones.
inline std::vector<uint32_t> make_clients(Rng &rng)
{
    static const unsigned BUSY_BLOCKS[] = {24, 31, 37, 46, 62, 73, 77, 78, 79, 80, 81, 82, 86, 88, 92, 176};
    // A few more draws than needed: the odd repeat is dropped below.
    constexpr size_t DRAWS = CLIENT_COUNT + 1000;
    std::vector<std::pair<uint32_t, uint32_t>> drawn; // key, order of drawing
    drawn.reserve(DRAWS);
    while (drawn.size() < DRAWS) {
        unsigned first = 0;
        if (rng.percent(25)) {
            first = BUSY_BLOCKS[rng.below(sizeof BUSY_BLOCKS / sizeof BUSY_BLOCKS[0])];
        } else {
            do
                first = 1 + static_cast<unsigned>(rng.below(223));
            while (first == 10 || first == 127 || first == 100 || first == 169 || first == 172 || first == 192);
        }
        const uint32_t key = (first << 24) | static_cast<uint32_t>(rng.below(1u << 24));
        if ((key & 0xff) != 0 && (key & 0xff) != 255)
            drawn.emplace_back(key, static_cast<uint32_t>(drawn.size()));
    }
    // Keep the first drawing of each address, then go back to drawing order.
    std::sort(drawn.begin(), drawn.end());
    drawn.erase(std::unique(drawn.begin(), drawn.end(), [](auto &a, auto &b) { return a.first == b.first; }),
                drawn.end());
    std::sort(drawn.begin(), drawn.end(), [](auto &a, auto &b) { return a.second < b.second; });
    if (drawn.size() < static_cast<size_t>(CLIENT_COUNT))
        throw std::runtime_error("too many repeated client addresses");
    std::vector<uint32_t> keys;
    keys.reserve(CLIENT_COUNT);
    for (size_t i = 0; i < static_cast<size_t>(CLIENT_COUNT); ++i)
        keys.push_back(drawn[i].first);
    return keys;
}

// A client keeps its user agent for the whole log.
inline size_t user_agent_of(uint32_t client_index)
{
    static const std::vector<size_t> table = [] {
        std::vector<size_t> shares;
        for (size_t i = 0; i < USER_AGENT_COUNT; ++i)
            shares.insert(shares.end(), static_cast<size_t>(USER_AGENTS[i].weight), i);
        return shares;
    }();
    uint64_t h = client_index * 0x9e3779b97f4a7c15ULL;
    h ^= h >> 29;
    return table[h % table.size()];
}

struct Session {
    uint32_t client = 0; // index into the client list
    int remaining = 0;   // requests still to come
};

// Picks the client and length of the next session: mostly new visitors
// until every client has come, otherwise returning ones, regulars most.
inline Session new_session(Rng &rng, uint32_t &clients_seen)
{
    Session session;
    if (clients_seen < static_cast<uint32_t>(CLIENT_COUNT) && (clients_seen == 0 || rng.percent(55))) {
        session.client = clients_seen++;
    } else if (rng.percent(50)) {
        // Regulars: the earliest visitors, strongly skewed.
        const double u = static_cast<double>(rng.below(1u << 30)) / static_cast<double>(1u << 30);
        session.client = static_cast<uint32_t>(u * u * u * clients_seen);
    } else {
        session.client = static_cast<uint32_t>(rng.below(clients_seen));
    }
    // A bounce, a short visit, or a page with its assets and a few more.
    const uint64_t kind = rng.below(100);
    session.remaining = kind < 25   ? 1
                        : kind < 70 ? 2 + static_cast<int>(rng.below(8))
                                    : 10 + static_cast<int>(rng.below(50));
    return session;
}

// What a stretch of the log holds: the counts the engine must reproduce.
struct LogTally {
    int64_t bytes = 0;
    int64_t lines = 0;
    int64_t addresses = 0;     // what the byte scanner must find, repeats included
    int64_t client_fields = 0; // what the harvest must count: the client of each line, repeats included
    std::vector<bool> client_used = std::vector<bool>(CLIENT_COUNT);

    // Adds another stretch: the tally of both together.
    void merge(const LogTally &other)
    {
        bytes += other.bytes;
        lines += other.lines;
        addresses += other.addresses;
        client_fields += other.client_fields;
        for (size_t i = 0; i < client_used.size(); ++i) {
            if (other.client_used[i])
                client_used[i] = true;
        }
    }

    // The addresses a table filled from the stretch must hold, ascending,
    // given the clients of the log that made it: its clients, and none of
    // the addresses the byte scanner finds in user agents.
    std::vector<uint32_t> distinct(const std::vector<uint32_t> &client_keys) const
    {
        std::vector<uint32_t> keys;
        for (size_t i = 0; i < client_keys.size(); ++i) {
            if (client_used[i])
                keys.push_back(client_keys[i]);
        }
        std::sort(keys.begin(), keys.end());
        return keys;
    }
};

// The log as an endless stream of lines, from LOG_SEED.
class AccessLog
{
  public:
    AccessLog() : rng_(LOG_SEED), clients_(make_clients(rng_))
    {
        for (Session &s : active_)
            s = new_session(rng_, clients_seen_);
    }

    // The client addresses in order of first visit.
    const std::vector<uint32_t> &clients() const { return clients_; }
    // The client of the line next_line made last.
    uint32_t last_client() const { return last_client_; }

    // Makes the next line, line feed included, and counts it into tally.
    // The text stays valid until the next call.
    std::string_view next_line(LogTally &tally)
    {
        // Visitors browsing at the same time; requests of one session
        // mostly follow each other, the others come in between.
        if (!rng_.percent(60))
            current_ = static_cast<int>(rng_.below(CONCURRENT));
        Session &session = active_[current_];
        const uint32_t client = clients_[session.client];
        last_client_ = client;
        const size_t agent = user_agent_of(session.client);
        tally.client_used[session.client] = true;

        if (rng_.percent(4))
            ++second_;
        const unsigned day = 7 + static_cast<unsigned>((second_ / 86400) % 24);
        const unsigned hms = static_cast<unsigned>(second_ % 86400);
        const uint64_t method = rng_.below(100);
        const uint64_t outcome = rng_.below(100);
        const unsigned status = outcome < 78   ? 200
                                : outcome < 88 ? 304
                                : outcome < 93 ? 404
                                : outcome < 95 ? 301
                                : outcome < 97 ? 302
                                : outcome < 99 ? 206
                                               : 500;
        format_path(rng_, path_, sizeof path_);
        format_referrer(rng_, referrer_, sizeof referrer_);
        char size_text[24];
        if (status == 304)
            std::snprintf(size_text, sizeof size_text, "-");
        else
            std::snprintf(size_text, sizeof size_text, "%u", 120 + static_cast<unsigned>(rng_.below(250000)));
        const int length = std::snprintf(
            line_, sizeof line_,
            "%u.%u.%u.%u - - [%02u/%s/2026:%02u:%02u:%02u +0000] \"%s %s HTTP/1.1\" %u %s \"%s\" \"%s\"\n",
            client >> 24, (client >> 16) & 0xff, (client >> 8) & 0xff, client & 0xff, day, MONTHS[11], hms / 3600,
            hms / 60 % 60, hms % 60,
            method < 88   ? "GET"
            : method < 97 ? "POST"
                          : "HEAD",
            path_, status, size_text, referrer_, USER_AGENTS[agent].text);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof line_)
            throw std::runtime_error("log line too long");
        tally.bytes += length;
        ++tally.lines;
        ++tally.client_fields;
        ++tally.addresses;
        if (USER_AGENTS[agent].counted != 0)
            ++tally.addresses;
        if (--session.remaining == 0)
            session = new_session(rng_, clients_seen_);
        return {line_, static_cast<size_t>(length)};
    }

  private:
    static constexpr int CONCURRENT = 12;

    Rng rng_;
    std::vector<uint32_t> clients_;
    uint32_t clients_seen_ = 0;
    Session active_[CONCURRENT];
    int current_ = 0;
    uint32_t last_client_ = 0;
    uint64_t second_ = 10 * 3600; // from 10:00 on the first day
    char path_[256];
    char referrer_[256];
    char line_[1024];
};

// Whether every line of a file is one the harvest reads by its format: the
// file's first line shows the Combined format, and every line fits it
// whole, its client the host field. The harvest counts the line of a client
// it has met before after reading only up to the client field, so its count
// alone would not show a line that stops fitting further on. Each file the
// harvest reads needs its own check, as each shows its own format.
class FormatCheck
{
  public:
    FormatCheck()
    {
        format_.count = 0;
        format_.header_kind = HEADER_NONE;
        format_.name = "";
    }

    // Checks a line as next_line made it (line feed included), whose client
    // is client.
    void check(std::string_view line, uint32_t client)
    {
        if (!line.empty() && line.back() == '\n')
            line.remove_suffix(1);
        if (!started_) {
            started_ = true;
            combined_ =
                format_detect(line.data(), line.size(), format_) == 1 && std::strcmp(format_.name, "combined") == 0;
        }
        char text[16];
        const int length = std::snprintf(text, sizeof text, "%u.%u.%u.%u", client >> 24, (client >> 16) & 0xff,
                                         (client >> 8) & 0xff, client & 0xff);
        LineHost host{};
        if (combined_ && format_match(format_, line.data(), line.size(), &host) == LINE_HOST &&
            host.length == static_cast<size_t>(length) && std::memcmp(line.data() + host.start, text, host.length) == 0)
            return;
        if (unfit_ == 0)
            first_unfit_ = line;
        ++unfit_;
    }

    // Lines that did not fit, and what is wrong, for a report ("" when
    // every line fits).
    int64_t unfit() const { return unfit_; }
    std::string problem() const
    {
        if (unfit_ == 0)
            return {};
        return std::to_string(unfit_) + " lines are no Combined line with their client first (the first line " +
               (combined_ ? "shows" : "does not show") + " the Combined format); the first: " + first_unfit_;
    }

  private:
    LogFormat format_;
    bool started_ = false;
    bool combined_ = false;
    int64_t unfit_ = 0;
    std::string first_unfit_;
};

// Whether the process's table holds exactly the expected addresses, in
// order, each unresolved and never looked up.
inline bool table_matches(const std::vector<uint32_t> &expected)
{
    size_t at = 0;
    for (int list = 0; list < HOST_LIST_COUNT; ++list) {
        for (const HostEntry *entry = host_table()->lists[list]; entry != nullptr; entry = entry->next) {
            if (at == expected.size() || entry->address_key != expected[at] || entry->address[0] != list ||
                entry->time_stamp != 0 || std::strcmp(entry->name, UNRESOLVED_MARKER) != 0)
                return false;
            ++at;
        }
    }
    return at == expected.size();
}

} // namespace bench::access_log
