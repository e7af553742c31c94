// Runs the real responder binary on a free loopback port and talks to it with
// a deliberately independent little DNS client, so a shared encoding bug
// cannot hide itself.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stats_file.h"

extern char **environ;

namespace
{

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Labels = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint16_t kA = 1, kPtr = 12, kAaaa = 28;

Labels split(const std::string &dotted)
{
    Labels out;
    std::stringstream in(dotted);
    for (std::string label; std::getline(in, label, '.');)
        out.push_back(label);
    return out;
}

std::string join(const Labels &labels)
{
    std::string out;
    for (const auto &l : labels)
        out += (out.empty() ? "" : ".") + l;
    return out;
}

// The PTR name of an IPv6 address: 32 nibbles, lowest first.
std::string ip6_arpa(const char *address)
{
    in6_addr a{};
    EXPECT_EQ(inet_pton(AF_INET6, address, &a), 1) << address;
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 15; i >= 0; --i)
        out += {hex[a.s6_addr[i] & 0x0f], '.', hex[a.s6_addr[i] >> 4], '.'};
    return out + "ip6.arpa";
}

Bytes make_query(std::uint16_t id, const Labels &name, std::uint16_t type)
{
    Bytes q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    for (const auto &label : name) {
        q.push_back(static_cast<std::uint8_t>(label.size()));
        q.insert(q.end(), label.begin(), label.end());
    }
    q.insert(q.end(), {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    return q;
}

Bytes make_query(std::uint16_t id, const std::string &name, std::uint16_t type)
{
    return make_query(id, split(name), type);
}

struct Answer {
    std::uint16_t type = 0;
    Bytes data;
    Labels target; // PTR only
    // A or AAAA data as text; anything of another size shows as "?".
    std::string address() const
    {
        char text[INET6_ADDRSTRLEN] = "?";
        if (data.size() == 4 || data.size() == 16)
            inet_ntop(data.size() == 4 ? AF_INET : AF_INET6, data.data(), text, sizeof text);
        return text;
    }
};

struct Message {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    Labels qname;
    std::uint16_t qtype = 0;
    std::vector<Answer> answers;
    int rcode() const { return flags & 0x0f; }
    bool tc() const { return (flags & 0x0200) != 0; }
};

std::uint16_t get16(const Bytes &b, std::size_t at)
{
    return static_cast<std::uint16_t>(b.at(at) << 8 | b.at(at + 1));
}

// Follows compression pointers; throws std::out_of_range on anything broken.
Labels read_name(const Bytes &b, std::size_t &pos)
{
    Labels name;
    std::size_t at = pos;
    bool jumped = false;
    for (int hops = 0;; ++hops) {
        if (hops > 64)
            throw std::out_of_range("pointer loop");
        const std::uint8_t len = b.at(at);
        if ((len & 0xc0) == 0xc0) {
            if (!jumped)
                pos = at + 2;
            jumped = true;
            at = static_cast<std::size_t>((len & 0x3f) << 8 | b.at(at + 1));
            continue;
        }
        if (len == 0) {
            if (!jumped)
                pos = at + 1;
            return name;
        }
        if (at + 1 + len > b.size())
            throw std::out_of_range("label past end");
        name.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(at + 1),
                          b.begin() + static_cast<std::ptrdiff_t>(at + 1 + len));
        at += 1 + len;
    }
}

std::optional<Message> parse(const Bytes &b)
{
    try {
        Message m;
        m.id = get16(b, 0);
        m.flags = get16(b, 2);
        std::size_t pos = 12;
        if (get16(b, 4) == 1) {
            m.qname = read_name(b, pos);
            m.qtype = get16(b, pos);
            pos += 4;
        }
        for (int i = 0; i < get16(b, 6); ++i) {
            read_name(b, pos);
            Answer a;
            a.type = get16(b, pos);
            const std::size_t len = get16(b, pos + 8);
            pos += 10;
            if (pos + len > b.size())
                return std::nullopt;
            a.data.assign(b.begin() + static_cast<std::ptrdiff_t>(pos),
                          b.begin() + static_cast<std::ptrdiff_t>(pos + len));
            if (a.type == kPtr) {
                std::size_t p = pos;
                a.target = read_name(b, p);
            }
            pos += len;
            m.answers.push_back(std::move(a));
        }
        return m;
    } catch (const std::out_of_range &) {
        return std::nullopt;
    }
}

class Socket
{
  public:
    Socket(int type, std::uint16_t port) : fd_(socket(AF_INET, type | SOCK_CLOEXEC, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Hundreds of replies can land at once; the default buffer drops some.
        const int buffer = 4 << 20;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            ADD_FAILURE() << "connect: " << std::strerror(errno);
    }
    ~Socket() { close(fd_); }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    void send_bytes(const Bytes &b) const
    {
        ASSERT_EQ(send(fd_, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }

    // One datagram, or nothing within the timeout.
    std::optional<Bytes> receive(int timeout_ms) const
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return std::nullopt;
        Bytes b(65536);
        const auto n = recv(fd_, b.data(), b.size(), 0);
        if (n < 0)
            return std::nullopt;
        b.resize(static_cast<std::size_t>(n));
        return b;
    }

    // Exactly n stream bytes, or nothing within the timeout.
    std::optional<Bytes> receive_exact(std::size_t n, int timeout_ms) const
    {
        Bytes b;
        const auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (b.size() < n) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1)
                return std::nullopt;
            std::uint8_t chunk[4096];
            const auto got = recv(fd_, chunk, std::min(sizeof chunk, n - b.size()), 0);
            if (got <= 0)
                return std::nullopt;
            b.insert(b.end(), chunk, chunk + got);
        }
        return b;
    }

  private:
    int fd_;
};

Bytes framed(const Bytes &message)
{
    // Sized up front: growing from two bytes trips a false array-bounds
    // warning in g++ 12 at -O3.
    Bytes out(message.size() + 2);
    out[0] = static_cast<std::uint8_t>(message.size() >> 8);
    out[1] = static_cast<std::uint8_t>(message.size());
    std::copy(message.begin(), message.end(), out.begin() + 2);
    return out;
}

std::optional<Message> read_tcp_reply(const Socket &s)
{
    const auto len = s.receive_exact(2, 2000);
    if (!len)
        return std::nullopt;
    const auto body = s.receive_exact(get16(*len, 0), 2000);
    if (!body)
        return std::nullopt;
    return parse(*body);
}

// The responder under test: its own temp dir, zone and kernel-chosen port.
class Responder
{
  public:
    explicit Responder(const std::string &zone)
    {
        std::string tmpl = (fs::temp_directory_path() / "tarn-dns-test.XXXXXX").string();
        dir_ = mkdtemp(tmpl.data());
        std::ofstream(dir_ / "zone") << zone;
        stats_ = dir_ / "stats";
        const fs::path ready = dir_ / "ready";
        spawn({"--zone", (dir_ / "zone").string(), "--listen", "127.0.0.1", "--port", "0", "--ready", ready.string(),
               "--stats", stats_.string()});
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!fs::exists(ready)) {
            if (exited() || Clock::now() > deadline)
                return;
            std::this_thread::sleep_for(milliseconds(2));
        }
        std::ifstream in(ready);
        std::string word;
        in >> word >> port_;
    }
    ~Responder()
    {
        if (pid_ > 0)
            stop();
        fs::remove_all(dir_);
    }
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;

    std::uint16_t port() const { return port_; }
    const fs::path &stats_path() const { return stats_; }
    pid_t pid() const { return pid_; }
    std::string error_output() const
    {
        std::ifstream in(dir_ / "stderr");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // True (and the status kept) once the process is gone.
    bool exited()
    {
        if (pid_ <= 0)
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return true;
    }
    int stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return exit_status_;
    }

    std::optional<Message> ask(const Bytes &query, int timeout_ms = 2000) const
    {
        Socket s(SOCK_DGRAM, port_);
        s.send_bytes(query);
        const auto reply = s.receive(timeout_ms);
        return reply ? parse(*reply) : std::nullopt;
    }
    std::optional<Message> ask_tcp(const Bytes &query) const
    {
        Socket s(SOCK_STREAM, port_);
        s.send_bytes(framed(query));
        return read_tcp_reply(s);
    }

  private:
    void spawn(std::vector<std::string> args)
    {
        args.insert(args.begin(), TARN_DNS_RESPONDER);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string err = (dir_ / "stderr").string();
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    fs::path dir_;
    fs::path stats_;
    pid_t pid_ = -1;
    int exit_status_ = -1;
    std::uint16_t port_ = 0;
};

const char *const kZone = R"(# test zone
10.1.2.3    host.example   alias.example
10.1.2.4    host.example
10.1.2.5    Mixed.Example
10.1.2.6    first.example
10.1.2.6    second.example
::1         ip6-only.example
@ptr 10.1.2.9 host.example
)";

std::uint16_t next_id()
{
    static std::uint16_t id = 0x1200;
    return ++id;
}

using List = std::vector<std::string>;

// The answers to a query for name of type, as text in the order served:
// PTR targets as names, A and AAAA data as addresses. Each must be of the
// type asked, in an authoritative NOERROR reply; {"<no reply>"} when none
// came.
List answers(const Responder &r, const Labels &name, std::uint16_t type)
{
    const auto m = r.ask(make_query(next_id(), name, type));
    if (!m)
        return {"<no reply>"};
    EXPECT_EQ(m->rcode(), 0) << join(name);
    EXPECT_EQ(m->flags & 0x0400, 0x0400) << join(name) << ": AA";
    List out;
    for (const auto &a : m->answers) {
        EXPECT_EQ(a.type, type) << join(name);
        if (type == kPtr) {
            out.push_back(join(a.target));
        } else {
            EXPECT_EQ(a.data.size(), type == kAaaa ? 16U : 4U) << join(name);
            out.push_back(a.address());
        }
    }
    return out;
}

List answers(const Responder &r, const std::string &name, std::uint16_t type)
{
    return answers(r, split(name), type);
}

TEST(DnsResponderAnswers, PtrAndAFromHostLines)
{
    Responder r(kZone);
    ASSERT_NE(r.port(), 0);

    const auto id = next_id();
    const auto ptr = r.ask(make_query(id, "3.2.1.10.in-addr.arpa", kPtr));
    ASSERT_TRUE(ptr);
    EXPECT_EQ(ptr->id, id);
    EXPECT_EQ(ptr->flags & 0x8000, 0x8000) << "QR";
    EXPECT_EQ(ptr->flags & 0x0400, 0x0400) << "AA";
    EXPECT_EQ(ptr->flags & 0x0100, 0x0100) << "RD copied";
    EXPECT_EQ(ptr->flags & 0x0080, 0x0080) << "RA";
    EXPECT_EQ(ptr->rcode(), 0);
    EXPECT_EQ(join(ptr->qname), "3.2.1.10.in-addr.arpa");
    EXPECT_EQ(ptr->qtype, kPtr);
    ASSERT_EQ(ptr->answers.size(), 1U);
    EXPECT_EQ(join(ptr->answers[0].target), "host.example") << "first name of the line";

    // All addresses of a name, across lines, in file order; aliases resolve too.
    const auto a = r.ask(make_query(next_id(), "HOST.example", kA));
    ASSERT_TRUE(a);
    EXPECT_EQ(join(a->qname), "HOST.example") << "question echoed as asked";
    ASSERT_EQ(a->answers.size(), 2U);
    EXPECT_EQ(a->answers[0].address(), "10.1.2.3");
    EXPECT_EQ(a->answers[1].address(), "10.1.2.4");
    EXPECT_EQ(answers(r, "alias.example", kA), List{"10.1.2.3"});

    // Case-insensitive match; the answer keeps the zone's spelling.
    EXPECT_EQ(answers(r, "5.2.1.10.IN-ADDR.ARPA", kPtr), List{"Mixed.Example"});

    // One address on two lines: one PTR per line.
    EXPECT_EQ(answers(r, "6.2.1.10.in-addr.arpa", kPtr), (List{"first.example", "second.example"}));

    // @ptr: the reverse record alone; the name keeps its own addresses.
    EXPECT_EQ(answers(r, "9.2.1.10.in-addr.arpa", kPtr), List{"host.example"});
}

TEST(DnsResponderAnswers, UnknownNamesAndOtherTypes)
{
    Responder r(kZone);
    ASSERT_NE(r.port(), 0);
    for (const char *unknown : {"nowhere.example", "9.9.9.10.in-addr.arpa", "1.0.0.10.in-addr.arpa"}) {
        const auto m = r.ask(make_query(next_id(), unknown, kPtr));
        ASSERT_TRUE(m) << unknown;
        EXPECT_EQ(m->rcode(), 3) << unknown;
        EXPECT_EQ(m->flags & 0x0400, 0x0400) << unknown << ": NXDOMAIN must be authoritative";
        EXPECT_TRUE(m->answers.empty());
    }
    // Known names, wrong type: empty NOERROR, not NXDOMAIN and not silence.
    // A name with addresses of one family only still exists for the other.
    for (const auto &[name, type] : {std::pair{"host.example", kAaaa}, std::pair{"ip6-only.example", kA},
                                     std::pair{"host.example", kPtr}, std::pair{"3.2.1.10.in-addr.arpa", kA}}) {
        const auto m = r.ask(make_query(next_id(), name, type));
        ASSERT_TRUE(m) << name;
        EXPECT_EQ(m->rcode(), 0) << name;
        EXPECT_TRUE(m->answers.empty()) << name;
    }
}

TEST(DnsResponderAnswers, PtrForIpv6LinesInAnyTextForm)
{
    Responder r(std::string(kZone) + "2001:db8::1 six.example six-alias.example\n"
                                     "2001:0db8:0000:0000:0000:0000:0000:0002 Full.Example\n"
                                     "2001:DB8:0:0:0:0:0:1 again.example\n"
                                     "::ffff:10.1.2.3 mapped.example\n");
    ASSERT_NE(r.port(), 0);

    const std::string six = "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa";
    ASSERT_EQ(ip6_arpa("2001:db8::1"), six);
    const auto m = r.ask(make_query(next_id(), six, kPtr));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->rcode(), 0);
    EXPECT_EQ(m->flags & 0x0400, 0x0400) << "AA";
    EXPECT_EQ(join(m->qname), six);
    ASSERT_EQ(m->answers.size(), 2U) << "one per line, however the address is written";
    EXPECT_EQ(join(m->answers[0].target), "six.example");
    EXPECT_EQ(join(m->answers[1].target), "again.example");

    std::string upper = ip6_arpa("2001:db8::2");
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_EQ(answers(r, upper, kPtr), List{"Full.Example"});
    EXPECT_EQ(answers(r, ip6_arpa("::1"), kPtr), List{"ip6-only.example"});

    const auto unknown = r.ask(make_query(next_id(), ip6_arpa("2001:db8::3"), kPtr));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->rcode(), 3);
    EXPECT_EQ(unknown->flags & 0x0400, 0x0400) << "NXDOMAIN must be authoritative";

    // A mapped line is an IPv6 line: it adds nothing to the IPv4 PTR, which is
    // what glibc asks for such an address.
    EXPECT_EQ(answers(r, "3.2.1.10.in-addr.arpa", kPtr), List{"host.example"});
    EXPECT_EQ(answers(r, ip6_arpa("::ffff:10.1.2.3"), kPtr), List{"mapped.example"});
}

TEST(DnsResponderAnswers, AaaaFromIpv6Lines)
{
    Responder r(std::string(kZone) + "2001:db8::1 six.example six-alias.example\n"
                                     "2001:db8::2 SIX.example\n"
                                     "2001:0DB8:0:0:0:0:0:1 six.example\n"
                                     "2001:db8::3 host.example\n"
                                     "::ffff:10.1.2.3 mapped.example\n");
    ASSERT_NE(r.port(), 0);
    // Across lines, in file order, one address once however it is written.
    EXPECT_EQ(answers(r, "six.example", kAaaa), (List{"2001:db8::1", "2001:db8::2"}));
    EXPECT_EQ(answers(r, "six-alias.example", kAaaa), List{"2001:db8::1"});
    EXPECT_EQ(answers(r, "ip6-only.example", kAaaa), List{"::1"});

    // A name on IPv4 and IPv6 lines: each query type gets its own family.
    EXPECT_EQ(answers(r, "host.example", kA), (List{"10.1.2.3", "10.1.2.4"}));
    EXPECT_EQ(answers(r, "host.example", kAaaa), List{"2001:db8::3"});

    // A mapped line is IPv6 data: the 16 bytes as written, and no A record.
    EXPECT_EQ(answers(r, "mapped.example", kAaaa), List{"::ffff:10.1.2.3"});
    EXPECT_EQ(answers(r, "mapped.example", kA), List{});

    // Over TCP as well, where a record-length slip would show.
    const auto tcp = r.ask_tcp(make_query(next_id(), "six.example", kAaaa));
    ASSERT_TRUE(tcp);
    ASSERT_EQ(tcp->answers.size(), 2U);
    EXPECT_EQ(tcp->answers[1].address(), "2001:db8::2");
}

TEST(DnsResponderAnswers, LongAndOddNames)
{
    // 255 bytes in wire form: three 63-byte labels, one 61-byte label.
    const std::string longest =
        std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(61, 'd');
    const std::string zone = "10.7.0.1 " + longest +
                             "\n"
                             "10.7.0.2 with\\032blank.ctl\\001\\010lf.dot\\.inside.example\n";
    Responder r(zone);
    ASSERT_NE(r.port(), 0);

    EXPECT_EQ(answers(r, "1.0.7.10.in-addr.arpa", kPtr), List{longest});

    // Compared label by label: a dot inside a label must stay inside it.
    const Labels odd = {"with blank", std::string("ctl\x01\x0a") + "lf", "dot.inside", "example"};
    const auto o = r.ask(make_query(next_id(), "2.0.7.10.in-addr.arpa", kPtr));
    ASSERT_TRUE(o);
    ASSERT_EQ(o->answers.size(), 1U);
    EXPECT_EQ(o->answers[0].target, odd);

    EXPECT_EQ(answers(r, odd, kA), List{"10.7.0.2"});
}

TEST(DnsResponderZone, RejectsBadLinesWithTheirLineNumber)
{
    const std::string too_long =
        std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(62, 'd');
    for (const std::string &bad : std::vector<std::string>{
             "10.0.0.1 " + too_long, "10.0.0.1 " + std::string(64, 'x') + ".example", "10.0.0.1 bad\\25escape.example",
             "10.0.0.1 a..b", "10.0.0.256 x.example", "10.0.0.1", "@delay x.example soon", "@explode x.example",
             "@servfail x.example 0", "2001:db8::g x.example", "2001:db8::1", "@servfail 2001:db8::1::2"}) {
        Responder r("# fine\n" + bad + "\n");
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!r.exited() && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(5));
        EXPECT_EQ(r.stop(), 2) << bad;
        EXPECT_NE(r.error_output().find("zone:2: "), std::string::npos) << r.error_output();
    }
}

TEST(DnsResponderFaults, RcodesSilenceAndWrongId)
{
    Responder r(std::string(kZone) + "@servfail 10.1.2.3\n"
                                     "@refused  host.example\n"
                                     "@nxdomain Mixed.example\n"
                                     "@silent   first.example\n"
                                     "@wrongid  second.example\n");
    ASSERT_NE(r.port(), 0);
    auto rcode = [&](const char *name, std::uint16_t type) {
        const auto m = r.ask(make_query(next_id(), name, type));
        return m ? m->rcode() : -1;
    };
    EXPECT_EQ(rcode("3.2.1.10.in-addr.arpa", kPtr), 2);
    EXPECT_EQ(rcode("host.example", kA), 5);
    EXPECT_EQ(rcode("mixed.example", kA), 3) << "directive beats zone data";
    EXPECT_EQ(rcode("alias.example", kA), 0) << "faults go by name, not by address";
    EXPECT_EQ(rcode("host.example", kAaaa), 5) << "and apply to every query type";

    const auto start = Clock::now();
    EXPECT_FALSE(r.ask(make_query(next_id(), "first.example", kA), 300));
    EXPECT_GE(Clock::now() - start, milliseconds(290));

    const auto id = next_id();
    const auto wrong = r.ask(make_query(id, "second.example", kA));
    ASSERT_TRUE(wrong);
    EXPECT_NE(wrong->id, id);
    ASSERT_EQ(wrong->answers.size(), 1U) << "otherwise a proper answer";
    EXPECT_EQ(wrong->answers[0].address(), "10.1.2.6");
}

TEST(DnsResponderFaults, Ipv6TargetsInAnyTextForm)
{
    Responder r(std::string(kZone) + "2001:db8::1 six.example\n"
                                     "2001:db8::2 full.example\n"
                                     "@servfail 2001:0DB8:0:0:0:0:0:1 1\n"
                                     "@refused  *\n"
                                     "@answer   2001:db8:0::0:2\n");
    ASSERT_NE(r.port(), 0);
    auto ask = [&](const std::string &name) { return r.ask(make_query(next_id(), name, kPtr)); };
    const auto first = ask(ip6_arpa("2001:db8::1"));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->rcode(), 2);
    const auto second = ask(ip6_arpa("2001:db8::1"));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->rcode(), 5) << "spent budget falls back to the default fault";
    EXPECT_EQ(answers(r, ip6_arpa("2001:db8::2"), kPtr), List{"full.example"});
    const auto v4 = ask("3.2.1.10.in-addr.arpa");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->rcode(), 5);
}

TEST(DnsResponderFaults, GarbageKeepsIdButDoesNotParse)
{
    Responder r(std::string(kZone) + "@garbage host.example\n");
    ASSERT_NE(r.port(), 0);
    const auto id = next_id();
    Socket s(SOCK_DGRAM, r.port());
    s.send_bytes(make_query(id, "host.example", kA));
    const auto raw = s.receive(2000);
    ASSERT_TRUE(raw);
    ASSERT_GE(raw->size(), 12U);
    EXPECT_EQ(get16(*raw, 0), id);
    EXPECT_FALSE(parse(*raw)) << "must not be a readable answer";
}

TEST(DnsResponderFaults, TruncationSendsClientsToTcp)
{
    std::string zone = std::string(kZone) + "@truncate alias.example\n";
    for (int i = 1; i <= 40; ++i)
        zone += "10.8.0." + std::to_string(i) + " big.example\n";
    Responder r(zone);
    ASSERT_NE(r.port(), 0);

    for (const char *name : {"alias.example", "big.example"}) {
        const auto udp = r.ask(make_query(next_id(), name, kA));
        ASSERT_TRUE(udp) << name;
        EXPECT_TRUE(udp->tc()) << name;
        EXPECT_TRUE(udp->answers.empty()) << name;
    }
    const auto small = r.ask_tcp(make_query(next_id(), "alias.example", kA));
    ASSERT_TRUE(small);
    EXPECT_FALSE(small->tc());
    ASSERT_EQ(small->answers.size(), 1U);

    const auto big = r.ask_tcp(make_query(next_id(), "big.example", kA));
    ASSERT_TRUE(big);
    ASSERT_EQ(big->answers.size(), 40U);
    EXPECT_EQ(big->answers[39].address(), "10.8.0.40");
}

TEST(DnsResponderFaults, CountedFaultThenAnswers)
{
    Responder r(std::string(kZone) + "@servfail host.example 2\n"
                                     "@refused *\n"
                                     "@answer alias.example\n");
    ASSERT_NE(r.port(), 0);
    auto rcode = [&](const char *name) {
        const auto m = r.ask(make_query(next_id(), name, kA));
        return m ? m->rcode() : -1;
    };
    EXPECT_EQ(rcode("host.example"), 2);
    EXPECT_EQ(rcode("host.example"), 2);
    EXPECT_EQ(rcode("host.example"), 5) << "spent budget falls back to the default fault";
    EXPECT_EQ(rcode("alias.example"), 0);
    EXPECT_EQ(rcode("first.example"), 5);
}

TEST(DnsResponderTiming, DelayedAnswerDoesNotHoldUpOthers)
{
    Responder r(std::string(kZone) + "@delay 10.1.2.3 300\n");
    ASSERT_NE(r.port(), 0);
    Socket s(SOCK_DGRAM, r.port());
    const auto start = Clock::now();
    const auto slow_id = next_id();
    const auto fast_id = next_id();
    s.send_bytes(make_query(slow_id, "3.2.1.10.in-addr.arpa", kPtr));
    s.send_bytes(make_query(fast_id, "4.2.1.10.in-addr.arpa", kPtr));

    const auto first = s.receive(2000);
    ASSERT_TRUE(first);
    EXPECT_EQ(get16(*first, 0), fast_id);
    EXPECT_LT(Clock::now() - start, milliseconds(150));

    const auto second = s.receive(2000);
    ASSERT_TRUE(second);
    EXPECT_EQ(get16(*second, 0), slow_id);
    EXPECT_GE(Clock::now() - start, milliseconds(295));
}

TEST(DnsResponderTiming, HundredsInFlightAtOnce)
{
    // Every answer waits 100 ms; served one after another 500 would take 50 s.
    std::string zone = "@delay * 100\n@delay fast.example 0\n10.99.0.1 fast.example\n";
    Responder r(zone);
    ASSERT_NE(r.port(), 0);
    Socket s(SOCK_DGRAM, r.port());
    const auto start = Clock::now();
    constexpr int kCount = 500;
    for (int i = 0; i < kCount; ++i)
        s.send_bytes(make_query(static_cast<std::uint16_t>(i),
                                std::to_string(i % 250) + "." + std::to_string(i / 250) + ".9.10.in-addr.arpa", kPtr));
    const auto fast = r.ask(make_query(next_id(), "fast.example", kA));
    ASSERT_TRUE(fast);
    EXPECT_LT(Clock::now() - start, milliseconds(90)) << "a per-name 0 overrides the default";

    int got = 0;
    while (got < kCount && s.receive(2000))
        ++got;
    EXPECT_EQ(got, kCount);
    EXPECT_GE(Clock::now() - start, milliseconds(95));
    EXPECT_LT(Clock::now() - start, milliseconds(1500));

    ASSERT_EQ(r.stop(), 0);
    auto stats = read_stats_file(r.stats_path());
    EXPECT_EQ(stats["queries"], kCount + 1);
    EXPECT_EQ(stats["distinct_names"], kCount + 1);
    EXPECT_GE(stats["pending_max"], 400);
    EXPECT_EQ(stats["rcode_nxdomain"], kCount);
}

TEST(DnsResponderRobustness, IgnoresMalformedQueriesAndKeepsServing)
{
    Responder r(kZone);
    ASSERT_NE(r.port(), 0);
    Socket s(SOCK_DGRAM, r.port());
    Bytes response = make_query(1, "host.example", kA);
    response[2] |= 0x80;
    Bytes pointer = make_query(2, "host.example", kA);
    pointer[12] = 0xc0;
    pointer[13] = 0x0c; // question name pointing at itself
    Bytes cut = make_query(3, "host.example", kA);
    cut.resize(cut.size() - 3);
    Bytes two_questions = make_query(4, "host.example", kA);
    two_questions[5] = 2;
    const std::vector<Bytes> junk = {{},      {0x12}, Bytes(11, 0xff), response,
                                     pointer, cut,    two_questions,   Bytes(600, 0x3f)};
    for (const auto &j : junk)
        s.send_bytes(j);
    EXPECT_FALSE(s.receive(100)) << "malformed input gets no reply";

    { // a stream that claims more than it sends, then hangs up
        Socket t(SOCK_STREAM, r.port());
        t.send_bytes({0x40, 0x00, 1, 2, 3});
    }
    const auto ok = r.ask(make_query(next_id(), "host.example", kA));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->answers.size(), 2U);
    ASSERT_EQ(r.stop(), 0);
    EXPECT_EQ(read_stats_file(r.stats_path())["malformed"], static_cast<long>(junk.size()));
}

TEST(DnsResponderTcp, PipelinedQueriesOnOneConnection)
{
    Responder r(std::string(kZone) + "@delay host.example 100\n");
    ASSERT_NE(r.port(), 0);
    Socket s(SOCK_STREAM, r.port());
    const auto slow = next_id();
    const auto quick = next_id();
    Bytes both = framed(make_query(slow, "host.example", kA));
    const Bytes second = framed(make_query(quick, "3.2.1.10.in-addr.arpa", kPtr));
    both.insert(both.end(), second.begin(), second.end());
    s.send_bytes(both);
    const auto a = read_tcp_reply(s);
    const auto b = read_tcp_reply(s);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->id, quick);
    EXPECT_EQ(b->id, slow);
    EXPECT_EQ(b->answers.size(), 2U);
}

TEST(DnsResponderStats, WrittenOnUsr1AndOnTerm)
{
    Responder r(std::string(kZone) + "@silent nowhere.example\n");
    ASSERT_NE(r.port(), 0);
    ASSERT_TRUE(r.ask(make_query(next_id(), "3.2.1.10.in-addr.arpa", kPtr)));
    ASSERT_TRUE(r.ask(make_query(next_id(), "4.2.1.10.in-addr.arpa", kPtr)));
    ASSERT_TRUE(r.ask(make_query(next_id(), "host.example", kA)));
    ASSERT_TRUE(r.ask(make_query(next_id(), "host.example", kAaaa)));
    ASSERT_TRUE(r.ask_tcp(make_query(next_id(), "host.example", kA)));
    EXPECT_FALSE(r.ask(make_query(next_id(), "nowhere.example", kA), 50));

    kill(r.pid(), SIGUSR1);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!fs::exists(r.stats_path()) && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    auto stats = read_stats_file(r.stats_path());
    EXPECT_FALSE(r.exited()) << "SIGUSR1 must not stop the server";
    EXPECT_EQ(stats["queries"], 6);
    EXPECT_EQ(stats["queries_udp"], 5);
    EXPECT_EQ(stats["queries_tcp"], 1);
    EXPECT_EQ(stats["type_ptr"], 2);
    EXPECT_EQ(stats["type_a"], 3);
    EXPECT_EQ(stats["type_aaaa"], 1);
    EXPECT_EQ(stats["silent"], 1);
    EXPECT_EQ(stats["replies"], 5);

    ASSERT_TRUE(r.ask(make_query(next_id(), "host.example", kA)));
    EXPECT_EQ(r.stop(), 0);
    stats = read_stats_file(r.stats_path());
    EXPECT_EQ(stats["queries"], 7);
    EXPECT_EQ(stats["type_a"], 4);
}

} // namespace
