// tarn_dns_responder: an authoritative DNS server for tests and benchmarks.
//
// One thread does everything: it reads UDP datagrams and TCP streams, works
// out each reply at once, and parks replies that must wait in a heap ordered
// by due time. poll() sleeps until the next socket event or the nearest due
// reply, so a slow answer never holds up a quick one and thousands of delayed
// replies can be outstanding without a thread each.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zone.hpp"

namespace tarn_dns
{
namespace
{

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t type_a = 1;
constexpr std::uint16_t type_ptr = 12;
constexpr std::uint16_t type_aaaa = 28;
constexpr std::uint16_t type_opt = 41;
constexpr std::uint16_t type_any = 255;
constexpr std::uint16_t class_in = 1;
constexpr std::uint16_t class_any = 255;

constexpr std::uint8_t rcode_noerror = 0;
constexpr std::uint8_t rcode_servfail = 2;
constexpr std::uint8_t rcode_nxdomain = 3;
constexpr std::uint8_t rcode_notimp = 4;
constexpr std::uint8_t rcode_refused = 5;

constexpr std::uint32_t answer_ttl = 300;
constexpr std::size_t plain_udp_limit = 512;
constexpr std::uint16_t our_edns_size = 1232;

// Bounds that keep memory finite whatever clients do.
constexpr std::size_t max_pending = 65536;
constexpr std::size_t max_connections = 512;
constexpr std::size_t max_connection_output = 1 << 20;
constexpr std::size_t max_distinct_names = 1'000'000;
constexpr auto idle_timeout = std::chrono::seconds(30);

struct Options {
    std::string zone;
    std::string listen = "127.0.0.1";
    int port = 53;
    std::string stats;
    std::string ready;
    std::string pidfile;
    bool log = false;
};

struct Query {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    Labels qname;
    std::uint16_t qtype = 0;
    std::uint16_t qclass = 0;
    Bytes question; // echoed byte for byte, so the client's case survives
    bool edns = false;
    std::uint16_t edns_size = 0;
};

std::uint16_t get16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

void put16(Bytes &out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xff));
}

void put32(Bytes &out, std::uint32_t v)
{
    put16(out, static_cast<std::uint16_t>(v >> 16));
    put16(out, static_cast<std::uint16_t>(v & 0xffff));
}

void set16(Bytes &out, std::size_t at, std::uint16_t v)
{
    out[at] = static_cast<std::uint8_t>(v >> 8);
    out[at + 1] = static_cast<std::uint8_t>(v & 0xff);
}

void put_name(Bytes &out, const Labels &name)
{
    for (const auto &label : name) {
        out.push_back(static_cast<std::uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
}

std::optional<Query> parse_query(const std::uint8_t *p, std::size_t n)
{
    if (n < 12)
        return std::nullopt;
    Query q;
    q.id = get16(p);
    q.flags = get16(p + 2);
    if (q.flags & 0x8000)
        return std::nullopt; // never answer a response: no loops
    if (get16(p + 4) != 1)
        return std::nullopt;
    std::size_t pos = 12;
    for (;;) {
        if (pos >= n)
            return std::nullopt;
        const std::size_t len = p[pos++];
        if (len == 0)
            break;
        // Compression pointers have nothing to point back to in a question.
        if (len > max_label_length || pos + len > n)
            return std::nullopt;
        q.qname.emplace_back(reinterpret_cast<const char *>(p + pos), len);
        pos += len;
        if (wire_length(q.qname) > max_name_wire_length)
            return std::nullopt;
    }
    if (pos + 4 > n)
        return std::nullopt;
    q.qtype = get16(p + pos);
    q.qclass = get16(p + pos + 2);
    pos += 4;
    q.question.assign(p + 12, p + pos);

    // An OPT record is the only extra data that changes the answer (it raises
    // the UDP size limit). Anything past it is ignored rather than rejected.
    if (get16(p + 6) == 0 && get16(p + 8) == 0 && get16(p + 10) >= 1 && pos + 11 <= n && p[pos] == 0 &&
        get16(p + pos + 1) == type_opt) {
        q.edns = true;
        q.edns_size = get16(p + pos + 3);
    }
    return q;
}

struct Record {
    std::uint16_t type;
    Bytes data;
};

Bytes encode(const Query &q, std::uint8_t rcode, const std::vector<Record> &answers, bool truncated)
{
    Bytes out;
    out.reserve(64 + q.question.size());
    put16(out, q.id);
    std::uint16_t flags = 0x8000; // QR
    flags |= q.flags & 0x7800;    // opcode
    flags |= 0x0400;              // AA
    if (truncated)
        flags |= 0x0200;       // TC
    flags |= q.flags & 0x0100; // RD
    flags |= 0x0080;           // RA
    flags |= q.flags & 0x0010; // CD
    flags |= rcode & 0x0f;
    put16(out, flags);
    put16(out, 1);
    put16(out, static_cast<std::uint16_t>(answers.size()));
    put16(out, 0);
    put16(out, q.edns ? 1 : 0);
    out.insert(out.end(), q.question.begin(), q.question.end());
    for (const auto &rr : answers) {
        put16(out, 0xc00c); // owner: the question name
        put16(out, rr.type);
        put16(out, class_in);
        put32(out, answer_ttl);
        put16(out, static_cast<std::uint16_t>(rr.data.size()));
        out.insert(out.end(), rr.data.begin(), rr.data.end());
    }
    if (q.edns) {
        out.push_back(0);
        put16(out, type_opt);
        put16(out, our_edns_size);
        put32(out, 0);
        put16(out, 0);
    }
    return out;
}

std::string_view type_text(std::uint16_t type)
{
    switch (type) {
    case type_a: return "A";
    case type_ptr: return "PTR";
    case type_aaaa: return "AAAA";
    case type_any: return "ANY";
    default: return "other";
    }
}

std::string_view rcode_text(std::uint8_t rcode)
{
    switch (rcode) {
    case rcode_noerror: return "NOERROR";
    case rcode_servfail: return "SERVFAIL";
    case rcode_nxdomain: return "NXDOMAIN";
    case rcode_notimp: return "NOTIMP";
    case rcode_refused: return "REFUSED";
    default: return "rcode?";
    }
}

struct Stats {
    std::uint64_t queries = 0, queries_udp = 0, queries_tcp = 0;
    std::uint64_t type_a = 0, type_ptr = 0, type_aaaa = 0, type_other = 0;
    std::uint64_t rcode_noerror = 0, rcode_nxdomain = 0, rcode_servfail = 0, rcode_refused = 0, rcode_other = 0;
    std::uint64_t silent = 0, garbage = 0, truncated = 0, wrong_id = 0;
    std::uint64_t replies = 0, malformed = 0, dropped_overload = 0, send_errors = 0;
    std::uint64_t pending_max = 0, tcp_connections = 0;
};

// Signals reach the event loop through a pipe, the one thing a handler may
// safely poke.
int g_signal_write = -1;

extern "C" void on_signal(int sig)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const auto ignored = write(g_signal_write, &byte, 1);
    errno = saved;
}

// Writes through a temporary name so a reader never sees half a file.
bool write_file_atomically(const std::string &path, const std::string &content)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out)
            return false;
        out << content;
        out.flush();
        if (!out)
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

class Server
{
  public:
    Server(Options options, Zone zone, int signal_fd)
        : options_(std::move(options)), zone_(std::move(zone)), signal_fd_(signal_fd)
    {
    }
    ~Server()
    {
        for (auto &[id, conn] : connections_)
            close(conn.fd);
        if (udp_ >= 0)
            close(udp_);
        if (listener_ >= 0)
            close(listener_);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Returns the bound port, or 0 after printing why binding failed.
    int bind_sockets();
    int run();

  private:
    struct Destination {
        bool tcp = false;
        sockaddr_in peer{};
        std::uint64_t connection = 0;
    };
    struct Pending {
        Clock::time_point due;
        std::uint64_t seq;
        Destination to;
        Bytes message;
    };
    // Heap order: earliest first, and first come first served among equals.
    struct Later {
        bool operator()(const Pending &a, const Pending &b) const
        {
            return a.due != b.due ? a.due > b.due : a.seq > b.seq;
        }
    };
    struct Connection {
        int fd = -1;
        Bytes in;
        Bytes out;
        std::size_t out_sent = 0;
        Clock::time_point last_active;
        bool peer_closed = false; // no more queries, but replies may still go out
        bool broken = false;      // close at once, replies or not
        std::size_t awaiting = 0; // delayed replies still to come
    };

    void handle_message(const std::uint8_t *data, std::size_t size, const Destination &from);
    std::optional<Fault> take_fault(Rule *rule);
    void answer(const Query &q, std::uint8_t &rcode, std::vector<Record> &records) const;
    void dispatch(const Destination &to, Bytes message, int delay_ms);
    void deliver(const Destination &to, const Bytes &message);
    void flush_due(Clock::time_point now);
    void read_udp();
    void accept_connections();
    void read_connection(std::uint64_t id, Connection &conn);
    void flush_connection(Connection &conn);
    bool finished(const Connection &conn, Clock::time_point now) const;
    void write_stats();
    void count_rcode(std::uint8_t rcode);

    Options options_;
    Zone zone_;
    int signal_fd_;
    int udp_ = -1;
    int listener_ = -1;
    std::vector<Pending> pending_;
    std::uint64_t next_seq_ = 0;
    std::unordered_map<std::uint64_t, Connection> connections_;
    std::uint64_t next_connection_ = 1;
    std::unordered_set<std::string> distinct_;
    Stats stats_;
};

int Server::bind_sockets()
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, options_.listen.c_str(), &addr.sin_addr) != 1) {
        std::cerr << "tarn_dns_responder: --listen wants an IPv4 address\n";
        return 0;
    }
    // With port 0 the kernel picks the UDP port and TCP must get the same one;
    // another process may hold it on TCP, so try a few.
    const int attempts = options_.port == 0 ? 50 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (udp_ < 0 || listener_ < 0) {
            std::perror("tarn_dns_responder: socket");
            return 0;
        }
        // Benchmarks fire hundreds of queries at once; the default buffers drop some.
        const int buffer = 4 << 20;
        if (setsockopt(udp_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
            setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        if (setsockopt(udp_, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer) != 0)
            setsockopt(udp_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

        addr.sin_port = htons(static_cast<std::uint16_t>(options_.port));
        if (bind(udp_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            std::perror("tarn_dns_responder: bind UDP");
            return 0;
        }
        socklen_t len = sizeof addr;
        getsockname(udp_, reinterpret_cast<sockaddr *>(&addr), &len);
        if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(listener_, 256) == 0)
            return ntohs(addr.sin_port);
        const int err = errno;
        close(udp_);
        close(listener_);
        udp_ = listener_ = -1;
        if (attempt + 1 == attempts || err != EADDRINUSE) {
            std::cerr << "tarn_dns_responder: bind TCP: " << std::strerror(err) << "\n";
            return 0;
        }
        addr.sin_port = 0;
    }
    return 0;
}

std::optional<Fault> Server::take_fault(Rule *rule)
{
    if (rule == nullptr || !rule->fault || rule->fault_budget == 0)
        return std::nullopt;
    if (rule->fault_budget > 0)
        --rule->fault_budget;
    return rule->fault;
}

void Server::answer(const Query &q, std::uint8_t &rcode, std::vector<Record> &records) const
{
    rcode = rcode_noerror;
    if (q.qclass != class_in && q.qclass != class_any) {
        rcode = rcode_refused;
        return;
    }
    const auto key = name_key(q.qname);
    const auto host = zone_.hosts.find(key);
    const auto pointers = zone_.pointers.find(key);
    if (host == zone_.hosts.end() && pointers == zone_.pointers.end()) {
        rcode = rcode_nxdomain;
        return;
    }
    // A type the name has no data for gets an empty NOERROR, which a resolver
    // takes as final at once: getaddrinfo's parallel A or AAAA query must not
    // stall, and a name with addresses of one family only must not look gone.
    if (host != zone_.hosts.end()) {
        if (q.qtype == type_a || q.qtype == type_any)
            for (const auto &a : host->second.v4)
                records.push_back({type_a, Bytes(a.begin(), a.end())});
        if (q.qtype == type_aaaa || q.qtype == type_any)
            for (const auto &a : host->second.v6)
                records.push_back({type_aaaa, Bytes(a.begin(), a.end())});
    }
    if (pointers != zone_.pointers.end() && (q.qtype == type_ptr || q.qtype == type_any))
        for (const auto &target : pointers->second) {
            Record rr{type_ptr, {}};
            put_name(rr.data, target);
            records.push_back(std::move(rr));
        }
}

void Server::count_rcode(std::uint8_t rcode)
{
    switch (rcode) {
    case rcode_noerror: ++stats_.rcode_noerror; break;
    case rcode_nxdomain: ++stats_.rcode_nxdomain; break;
    case rcode_servfail: ++stats_.rcode_servfail; break;
    case rcode_refused: ++stats_.rcode_refused; break;
    default: ++stats_.rcode_other; break;
    }
}

void Server::handle_message(const std::uint8_t *data, std::size_t size, const Destination &from)
{
    auto parsed = parse_query(data, size);
    if (!parsed) {
        ++stats_.malformed;
        return;
    }
    const Query &q = *parsed;
    ++stats_.queries;
    ++(from.tcp ? stats_.queries_tcp : stats_.queries_udp);
    switch (q.qtype) {
    case type_a: ++stats_.type_a; break;
    case type_ptr: ++stats_.type_ptr; break;
    case type_aaaa: ++stats_.type_aaaa; break;
    default: ++stats_.type_other; break;
    }
    const std::string key = name_key(q.qname);
    if (distinct_.size() < max_distinct_names)
        distinct_.insert(key);

    if ((q.flags & 0x7800) != 0) { // only standard queries
        count_rcode(rcode_notimp);
        dispatch(from, encode(q, rcode_notimp, {}, false), 0);
        return;
    }

    const auto rule_it = zone_.rules.find(key);
    Rule *rule = rule_it == zone_.rules.end() ? nullptr : &rule_it->second;
    const int delay = (rule && rule->delay_ms) ? *rule->delay_ms : zone_.default_rule.delay_ms.value_or(0);
    std::optional<Fault> fault = take_fault(rule);
    if (!fault)
        fault = take_fault(&zone_.default_rule);
    const Fault f = fault.value_or(Fault::none);

    std::uint8_t rcode = rcode_noerror;
    std::vector<Record> records;
    Bytes reply;
    std::string_view outcome;
    switch (f) {
    case Fault::silent:
        ++stats_.silent;
        outcome = "silent";
        break;
    case Fault::servfail:
    case Fault::refused:
    case Fault::nxdomain:
        rcode = f == Fault::servfail ? rcode_servfail : f == Fault::refused ? rcode_refused : rcode_nxdomain;
        reply = encode(q, rcode, {}, false);
        break;
    case Fault::garbage: {
        // Header and question check out, so the resolver accepts the reply as
        // ours; the promised answer then points outside the message and stops
        // short of its fixed fields.
        ++stats_.garbage;
        outcome = "garbage";
        reply = encode(q, rcode_noerror, {}, false);
        set16(reply, 6, 1);
        set16(reply, 10, 0);
        if (q.edns)
            reply.resize(reply.size() - 11);
        static constexpr std::uint8_t junk[] = {0xc0, 0xff, 0x00, 0x0c, 0xde, 0xad, 0xbe};
        reply.insert(reply.end(), std::begin(junk), std::end(junk));
        break;
    }
    case Fault::truncate:
        if (!from.tcp) {
            ++stats_.truncated;
            outcome = "truncated";
            reply = encode(q, rcode_noerror, {}, true);
            break;
        }
        [[fallthrough]];
    case Fault::wrong_id:
    case Fault::none:
        answer(q, rcode, records);
        reply = encode(q, rcode, records, false);
        if (f == Fault::wrong_id) {
            ++stats_.wrong_id;
            outcome = "wrong-id";
            set16(reply, 0, static_cast<std::uint16_t>(q.id ^ 0xa5a5));
        }
        break;
    }
    if (!from.tcp && !reply.empty() && f != Fault::garbage) {
        const std::size_t limit =
            q.edns ? std::clamp<std::size_t>(q.edns_size, plain_udp_limit, our_edns_size) : plain_udp_limit;
        if (reply.size() > limit) {
            ++stats_.truncated;
            outcome = "truncated";
            const auto id = get16(reply.data()); // keep a wrong ID wrong
            reply = encode(q, rcode, {}, true);
            set16(reply, 0, id);
        }
    }
    if (f != Fault::silent && f != Fault::garbage)
        count_rcode(rcode);

    if (options_.log) {
        std::fprintf(stderr, "tarn_dns_responder: %s %.*s %s -> %.*s delay=%dms\n", from.tcp ? "tcp" : "udp",
                     static_cast<int>(type_text(q.qtype).size()), type_text(q.qtype).data(), name_text(q.qname).c_str(),
                     static_cast<int>(outcome.empty() ? rcode_text(rcode).size() : outcome.size()),
                     outcome.empty() ? rcode_text(rcode).data() : outcome.data(), delay);
    }
    if (!reply.empty())
        dispatch(from, std::move(reply), delay);
}

void Server::dispatch(const Destination &to, Bytes message, int delay_ms)
{
    if (delay_ms <= 0) {
        deliver(to, message);
        return;
    }
    if (pending_.size() >= max_pending) {
        ++stats_.dropped_overload;
        return;
    }
    if (to.tcp) {
        const auto it = connections_.find(to.connection);
        if (it == connections_.end())
            return;
        ++it->second.awaiting;
    }
    pending_.push_back({Clock::now() + std::chrono::milliseconds(delay_ms), next_seq_++, to, std::move(message)});
    std::push_heap(pending_.begin(), pending_.end(), Later{});
    stats_.pending_max = std::max<std::uint64_t>(stats_.pending_max, pending_.size());
}

void Server::deliver(const Destination &to, const Bytes &message)
{
    if (!to.tcp) {
        const auto sent = sendto(udp_, message.data(), message.size(), 0, reinterpret_cast<const sockaddr *>(&to.peer),
                                 sizeof to.peer);
        if (sent < 0)
            ++stats_.send_errors;
        else
            ++stats_.replies;
        return;
    }
    const auto it = connections_.find(to.connection);
    if (it == connections_.end() || it->second.broken)
        return; // client gave up meanwhile
    Connection &conn = it->second;
    if (conn.out.size() - conn.out_sent + message.size() > max_connection_output) {
        ++stats_.send_errors;
        return;
    }
    put16(conn.out, static_cast<std::uint16_t>(message.size()));
    conn.out.insert(conn.out.end(), message.begin(), message.end());
    ++stats_.replies;
    flush_connection(conn);
}

void Server::flush_due(Clock::time_point now)
{
    while (!pending_.empty() && pending_.front().due <= now) {
        std::pop_heap(pending_.begin(), pending_.end(), Later{});
        Pending item = std::move(pending_.back());
        pending_.pop_back();
        if (item.to.tcp) {
            const auto it = connections_.find(item.to.connection);
            if (it == connections_.end())
                continue;
            --it->second.awaiting;
        }
        deliver(item.to, item.message);
    }
}

void Server::read_udp()
{
    static thread_local std::uint8_t buffer[65536];
    // Bounded so due replies and TCP clients get their turn under a flood.
    for (int i = 0; i < 1024; ++i) {
        Destination from;
        socklen_t len = sizeof from.peer;
        const auto n = recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from.peer), &len);
        if (n < 0)
            return;
        handle_message(buffer, static_cast<std::size_t>(n), from);
    }
}

void Server::accept_connections()
{
    while (connections_.size() < max_connections) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        Connection conn;
        conn.fd = fd;
        conn.last_active = Clock::now();
        connections_.emplace(next_connection_++, std::move(conn));
        ++stats_.tcp_connections;
    }
}

void Server::read_connection(std::uint64_t id, Connection &conn)
{
    std::uint8_t buffer[16384];
    while (!conn.broken) {
        const auto n = read(conn.fd, buffer, sizeof buffer);
        if (n == 0) {
            conn.peer_closed = true;
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                conn.broken = true;
            return;
        }
        conn.in.insert(conn.in.end(), buffer, buffer + n);
        conn.last_active = Clock::now();
        std::size_t at = 0;
        while (conn.in.size() - at >= 2) {
            const std::size_t len = get16(conn.in.data() + at);
            if (conn.in.size() - at - 2 < len)
                break;
            Destination from;
            from.tcp = true;
            from.connection = id;
            // handle_message may append to conn.out but never touches conn.in.
            handle_message(conn.in.data() + at + 2, len, from);
            at += 2 + len;
        }
        conn.in.erase(conn.in.begin(), conn.in.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

void Server::flush_connection(Connection &conn)
{
    while (conn.out_sent < conn.out.size()) {
        const auto n = send(conn.fd, conn.out.data() + conn.out_sent, conn.out.size() - conn.out_sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                conn.broken = true;
            return;
        }
        conn.out_sent += static_cast<std::size_t>(n);
    }
    conn.out.clear();
    conn.out_sent = 0;
}

bool Server::finished(const Connection &conn, Clock::time_point now) const
{
    if (conn.broken)
        return true;
    const bool drained = conn.out_sent >= conn.out.size();
    if (conn.peer_closed && drained && conn.awaiting == 0)
        return true;
    return conn.awaiting == 0 && now - conn.last_active > idle_timeout;
}

void Server::write_stats()
{
    if (options_.stats.empty())
        return;
    const std::pair<const char *, std::uint64_t> rows[] = {
        {"queries", stats_.queries},
        {"queries_udp", stats_.queries_udp},
        {"queries_tcp", stats_.queries_tcp},
        {"type_a", stats_.type_a},
        {"type_ptr", stats_.type_ptr},
        {"type_aaaa", stats_.type_aaaa},
        {"type_other", stats_.type_other},
        {"rcode_noerror", stats_.rcode_noerror},
        {"rcode_nxdomain", stats_.rcode_nxdomain},
        {"rcode_servfail", stats_.rcode_servfail},
        {"rcode_refused", stats_.rcode_refused},
        {"rcode_other", stats_.rcode_other},
        {"silent", stats_.silent},
        {"garbage", stats_.garbage},
        {"truncated", stats_.truncated},
        {"wrong_id", stats_.wrong_id},
        {"replies", stats_.replies},
        {"malformed", stats_.malformed},
        {"dropped_overload", stats_.dropped_overload},
        {"send_errors", stats_.send_errors},
        {"pending_max", stats_.pending_max},
        {"tcp_connections", stats_.tcp_connections},
        {"distinct_names", distinct_.size()},
    };
    std::string text;
    for (const auto &[key, value] : rows)
        text += std::string(key) + " " + std::to_string(value) + "\n";
    if (!write_file_atomically(options_.stats, text))
        std::cerr << "tarn_dns_responder: cannot write " << options_.stats << "\n";
}

int Server::run()
{
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (;;) {
        auto now = Clock::now();
        flush_due(now);

        for (auto it = connections_.begin(); it != connections_.end();) {
            if (finished(it->second, now)) {
                close(it->second.fd);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }

        fds.clear();
        ids.clear();
        fds.push_back({signal_fd_, POLLIN, 0});
        fds.push_back({udp_, POLLIN, 0});
        fds.push_back({listener_, static_cast<short>(connections_.size() < max_connections ? POLLIN : 0), 0});
        for (const auto &[id, conn] : connections_) {
            short events = conn.peer_closed ? 0 : POLLIN;
            if (conn.out_sent < conn.out.size())
                events |= POLLOUT;
            // A closed peer keeps reporting HUP; only watch it when there is output.
            fds.push_back({events == 0 ? -1 : conn.fd, events, 0});
            ids.push_back(id);
        }

        int timeout_ms = 1000;
        if (!pending_.empty()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(pending_.front().due - now).count();
            timeout_ms = static_cast<int>(std::clamp<long long>(wait, 0, 1000));
        }
        if (poll(fds.data(), fds.size(), timeout_ms) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("tarn_dns_responder: poll");
            return 1;
        }

        if (fds[0].revents & POLLIN) {
            unsigned char signals[64];
            const auto n = read(signal_fd_, signals, sizeof signals);
            bool stop = false;
            for (ssize_t i = 0; i < n; ++i) {
                if (signals[i] == SIGUSR1)
                    write_stats();
                else
                    stop = true;
            }
            if (stop) {
                write_stats();
                return 0;
            }
        }
        if (fds[1].revents & POLLIN)
            read_udp();
        if (fds[2].revents & POLLIN)
            accept_connections();
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const short revents = fds[i + 3].revents;
            if (revents == 0)
                continue;
            const auto it = connections_.find(ids[i]);
            if (it == connections_.end())
                continue;
            if (revents & (POLLIN | POLLHUP | POLLERR))
                read_connection(ids[i], it->second);
            if (revents & POLLOUT)
                flush_connection(it->second);
        }
    }
}

[[noreturn]] void usage(int status)
{
    (status == 0 ? std::cout : std::cerr)
        << "usage: tarn_dns_responder [--zone FILE] [--listen IPV4] [--port N] [--stats FILE]\n"
           "                          [--ready FILE] [--pidfile FILE] [--log]\n"
           "Serves A, AAAA and PTR data from a hosts-format zone file with scripted faults.\n"
           "--port 0 picks a free port; the ready file then says which (\"port N\").\n"
           "SIGUSR1 writes the stats file; SIGTERM and SIGINT write it and exit.\n";
    std::exit(status);
}

Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            has_value = true;
        }
        auto take = [&]() -> std::string {
            if (has_value)
                return value;
            if (i + 1 >= argc) {
                std::cerr << "tarn_dns_responder: " << arg << " needs a value\n";
                usage(2);
            }
            return argv[++i];
        };
        if (arg == "--zone") {
            o.zone = take();
        } else if (arg == "--listen") {
            o.listen = take();
        } else if (arg == "--port") {
            const std::string text = take();
            int port = -1;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
            if (ec != std::errc{} || end != text.data() + text.size() || port < 0 || port > 65535) {
                std::cerr << "tarn_dns_responder: bad port '" << text << "'\n";
                usage(2);
            }
            o.port = port;
        } else if (arg == "--stats") {
            o.stats = take();
        } else if (arg == "--ready") {
            o.ready = take();
        } else if (arg == "--pidfile") {
            o.pidfile = take();
        } else if (arg == "--log" && !has_value) {
            o.log = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(0);
        } else {
            std::cerr << "tarn_dns_responder: unknown argument '" << argv[i] << "'\n";
            usage(2);
        }
    }
    return o;
}

int main_impl(int argc, char **argv)
{
    Options options = parse_options(argc, argv);
    Zone zone;
    if (!options.zone.empty()) {
        std::ifstream in(options.zone);
        if (!in) {
            std::cerr << "tarn_dns_responder: cannot open zone " << options.zone << "\n";
            return 2;
        }
        try {
            zone = parse_zone(in, options.zone);
        } catch (const ZoneError &e) {
            std::cerr << "tarn_dns_responder: " << e.what() << "\n";
            return 2;
        }
    }

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("tarn_dns_responder: pipe");
        return 1;
    }
    struct PipeCloser {
        int read_end, write_end;
        ~PipeCloser()
        {
            close(read_end);
            close(write_end);
        }
    } closer{pipe_fds[0], pipe_fds[1]};
    g_signal_write = pipe_fds[1];
    struct sigaction action {
    };
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGUSR1})
        sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::string pidfile = options.pidfile;
    const std::string ready = options.ready;
    Server server(std::move(options), std::move(zone), pipe_fds[0]);
    const int port = server.bind_sockets();
    if (port == 0)
        return 1;
    if (!pidfile.empty() && !write_file_atomically(pidfile, std::to_string(getpid()) + "\n")) {
        std::cerr << "tarn_dns_responder: cannot write " << pidfile << "\n";
        return 1;
    }
    // Written last: whoever waits for it may query at once.
    if (!ready.empty() && !write_file_atomically(ready, "port " + std::to_string(port) + "\n")) {
        std::cerr << "tarn_dns_responder: cannot write " << ready << "\n";
        return 1;
    }
    return server.run();
}

} // namespace
} // namespace tarn_dns

int main(int argc, char **argv)
{
    return tarn_dns::main_impl(argc, argv);
}
