#include "fault_support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

std::string namespace_link(const char *path)
{
    char buffer[128];
    ssize_t n = readlink(path, buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<size_t>(n));
}

std::string read_fd(int fd)
{
    std::string text;
    if (lseek(fd, 0, SEEK_SET) != 0)
        return text;
    char buffer[65536];
    for (int i = 0; i < 1'000'000; ++i) { // output is far below 64 GiB
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

pid_t parent_of(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t name_end = text.rfind(')');
    int parent = 0;
    if (name_end == std::string::npos || std::sscanf(text.c_str() + name_end + 1, " %*c %d", &parent) != 1)
        return 0;
    return parent;
}

// Whether a process we descend from lives in another network and another
// mount namespace than we do: then ours were made for this run, by
// netns-run. Where a namespace cannot be read, the answer is no (a bare
// comparison with process 1 fails open where its links are unreadable).
bool namespaces_are_private()
{
    const std::string net = namespace_link("/proc/self/ns/net");
    const std::string mnt = namespace_link("/proc/self/ns/mnt");
    if (net.empty() || mnt.empty())
        return false;
    pid_t pid = getppid();
    for (int depth = 0; depth < 32 && pid > 0; ++depth) {
        const std::string base = "/proc/" + std::to_string(pid) + "/ns/";
        const std::string their_net = namespace_link((base + "net").c_str());
        const std::string their_mnt = namespace_link((base + "mnt").c_str());
        if (!their_net.empty() && !their_mnt.empty() && their_net != net && their_mnt != mnt)
            return true;
        if (pid == 1)
            break;
        pid = parent_of(pid);
    }
    return false;
}

// Whether the network namespace has no interface but loopback: nothing a
// lookup sends can leave the machine.
bool only_loopback()
{
    std::ifstream dev("/proc/self/net/dev");
    std::string line;
    int interfaces = 0;
    for (int i = 0; i < 1000 && std::getline(dev, line); ++i) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue; // the two heading lines
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo")
            return false;
        ++interfaces;
    }
    return interfaces == 1;
}

} // namespace

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string namespace_problem(const std::string &zone)
{
    if (std::getenv("TARN_DNS_SERVER") == nullptr)
        return "runs only inside netns-run (tests/dns), never against the machine's resolver";
    if (!namespaces_are_private())
        return "TARN_DNS_SERVER is set, but this process shares its network or mount namespace with its parents";
    if (!only_loopback())
        return "TARN_DNS_SERVER is set, but this network namespace has interfaces other than loopback";
    const char *have = std::getenv("TARN_FAULT_ZONE");
    if (!zone.empty() && (have == nullptr || zone != have))
        return "needs the '" + zone + "' zone (TARN_FAULT_ZONE), not '" + (have ? have : "") + "'";
    if (geteuid() != 0)
        return "needs root inside the namespace (mounts, another user)";
    return {};
}

std::string Outcome::how() const
{
    if (timed_out)
        return "hung (killed after the time limit)";
    if (signal != 0)
        return "signal " + std::to_string(signal);
    return "exit " + std::to_string(status);
}

Launch tarn_in(const std::string &directory, std::vector<std::string> arguments, double timeout_seconds)
{
    Launch launch;
    launch.arguments = std::move(arguments);
    launch.directory = directory;
    launch.timeout_seconds = timeout_seconds;
    return launch;
}

Outcome run_tarn(const Launch &launch)
{
    std::vector<std::string> command;
    std::string memory_file;
    if (launch.measure_memory && access("/usr/bin/time", X_OK) == 0) {
        char pattern[] = "/tmp/tarn-fault-rss-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd >= 0) {
            close(fd);
            memory_file = pattern;
            command = {"/usr/bin/time", "-f", "%M", "-o", memory_file};
        }
    }
    if (!launch.environment.empty()) {
        command.push_back("/usr/bin/env");
        command.insert(command.end(), launch.environment.begin(), launch.environment.end());
    }
    if (launch.as_nobody) {
        const std::string groups = launch.nobody_groups.empty() ? "--clear-groups" : "--groups=" + launch.nobody_groups;
        command.insert(command.end(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(NOBODY),
                                       "--regid=" + std::to_string(NOBODY), groups, "--"});
    }
    // After setpriv: the limit counts the tasks of the user tarn runs as.
    if (launch.task_limit > 0)
        command.insert(command.end(), {"/usr/bin/prlimit", "--nproc=" + std::to_string(launch.task_limit), "--"});
    if (launch.address_space_limit > 0)
        command.insert(command.end(), {"/usr/bin/prlimit", "--as=" + std::to_string(launch.address_space_limit), "--"});
    if (launch.file_size_limit > 0)
        command.insert(command.end(), {"/usr/bin/prlimit", "--fsize=" + std::to_string(launch.file_size_limit), "--"});
    command.push_back(launch.program);
    command.insert(command.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char *> argv;
    for (std::string &word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // A memory file rather than a pipe: nothing to drain while we wait, and
    // the output of a killed run is still there. Both streams go to it, in
    // the order written, as a terminal shows them: these tests check what a
    // run says, and the CLI tests which stream it says it on.
    int out_fd = launch.keep_output ? memfd_create("tarn-out", 0) : open("/dev/null", O_WRONLY);
    Outcome outcome;
    if (out_fd < 0) {
        ADD_FAILURE() << "cannot make output files: " << std::strerror(errno);
        return outcome;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const double start = now_seconds();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // so that a hung run goes with everything it started
        int in_fd = open("/dev/null", O_RDONLY);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(out_fd, 2);
        if (!launch.directory.empty() && chdir(launch.directory.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        close(out_fd);
        return outcome;
    }

    int status = 0;
    bool killed = false;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        const double elapsed = now_seconds() - start;
        if (elapsed >= launch.timeout_seconds) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            outcome.timed_out = true;
            break;
        }
        double pause = 0.002;
        if (launch.kill_after_seconds >= 0 && !killed) {
            const double left = launch.kill_after_seconds - elapsed;
            if (left <= 0) {
                kill(-pid, launch.kill_signal);
                killed = true;
                continue;
            }
            pause = std::min(pause, left);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(pause));
    }
    outcome.seconds = now_seconds() - start;
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    if (!memory_file.empty()) {
        // The last line is the peak in KiB; a line before it may say that
        // the command was ended by a signal.
        const std::string text = read_file(memory_file);
        const size_t last = text.find_last_of("\n", text.size() >= 2 ? text.size() - 2 : 0);
        outcome.max_rss_kb = std::atol(text.c_str() + (last == std::string::npos ? 0 : last + 1));
        unlink(memory_file.c_str());
        // time passes on the status; a signal shows as 128 + its number.
        if (outcome.status > 128) {
            outcome.signal = outcome.status - 128;
            outcome.status = -1;
        }
    }
    if (launch.keep_output) {
        outcome.out = read_fd(out_fd);
    }
    close(out_fd);
    return outcome;
}

bool can_run_as_nobody()
{
    if (access("/usr/bin/setpriv", X_OK) != 0)
        return false;
    Launch launch;
    launch.program = "/bin/true";
    launch.as_nobody = true;
    launch.keep_output = false;
    launch.timeout_seconds = 10;
    return run_tarn(launch).status == 0;
}

ScopedMount::ScopedMount(const std::string &type, const std::string &target, const std::string &options)
    : target_(target)
{
    mkdir(target.c_str(), 0755); // or it is there already
    ok_ = mount(type.c_str(), target.c_str(), type.c_str(), 0, options.c_str()) == 0;
    if (!ok_)
        error_ = "mount " + type + " on " + target + ": " + std::strerror(errno);
}

ScopedMount ScopedMount::bind(const std::string &source, const std::string &target, bool read_only)
{
    ScopedMount result;
    result.target_ = target;
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        result.error_ = "bind " + source + " on " + target + ": " + std::strerror(errno);
        return result;
    }
    result.ok_ = true;
    if (read_only && mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        result.error_ = "remount " + target + " read-only: " + std::strerror(errno);
        umount2(target.c_str(), MNT_DETACH);
        result.ok_ = false;
    }
    return result;
}

ScopedMount::ScopedMount(ScopedMount &&other) noexcept
    : target_(std::move(other.target_)), ok_(other.ok_), error_(std::move(other.error_))
{
    other.ok_ = false;
}

ScopedMount::~ScopedMount()
{
    if (ok_)
        umount2(target_.c_str(), MNT_DETACH);
}

uint32_t address_key(const std::string &text)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    return (a << 24) | (b << 16) | (c << 8) | d;
}

std::string dotted(uint32_t key)
{
    return std::to_string(key >> 24) + "." + std::to_string((key >> 16) & 255) + "." +
           std::to_string((key >> 8) & 255) + "." + std::to_string(key & 255);
}

std::string cache_line(uint32_t stamp, uint32_t key, const std::string &name)
{
    return std::to_string(stamp) + " " + dotted(key) + " " + name + "\r\n";
}

namespace
{

// Digits at text[*i] up to the stop byte, as a number of at most max; false
// when they are missing, too many, have a leading zero or exceed max.
bool strict_number(const std::string &text, size_t *i, char stop, uint64_t max, uint64_t *value)
{
    size_t start = *i;
    uint64_t v = 0;
    while (*i < text.size() && text[*i] >= '0' && text[*i] <= '9' && *i - start < 11) {
        v = v * 10 + static_cast<uint64_t>(text[*i] - '0');
        ++*i;
    }
    const size_t digits = *i - start;
    if (digits == 0 || digits > 10 || (digits > 1 && text[start] == '0') || v > max || *i >= text.size() ||
        text[*i] != stop)
        return false;
    ++*i;
    *value = v;
    return true;
}

// A kept line from i: bytes above 32 and exactly two blanks, then the line
// end.
bool kept_line(const std::string &text, const std::string &line_end, size_t *i, std::vector<std::string> *kept)
{
    const size_t end = text.find(line_end, *i);
    if (end == std::string::npos)
        return false;
    const std::string line = text.substr(*i, end - *i);
    if (std::count(line.begin(), line.end(), ' ') != 2 || line.empty() || line[0] == ' ')
        return false;
    for (char c : line) {
        if (c != ' ' && static_cast<unsigned char>(c) <= 32)
            return false;
    }
    kept->push_back(line);
    *i = end + line_end.size();
    return true;
}

// The entry line at *i as the writer formats one: "" with the record and
// *i past the line, or what is wrong with it.
std::string strict_entry(const std::string &text, const std::string &line_end, size_t *i, CacheRecord *record)
{
    uint64_t stamp = 0, octet[4] = {0, 0, 0, 0};
    const size_t line_start = *i;
    if (!strict_number(text, i, ' ', 0xFFFFFFFFu, &stamp))
        return "bad stamp";
    for (int k = 0; k < 4; ++k) {
        if (!strict_number(text, i, k < 3 ? '.' : ' ', 255, &octet[k]))
            return "bad address";
    }
    const size_t start = *i;
    while (*i < text.size() && static_cast<unsigned char>(text[*i]) > 32)
        ++*i;
    const size_t length = *i - start;
    // The longest line Analog reads: 254 characters before the line end.
    if (length == 0 || *i - line_start > 254)
        return "name of " + std::to_string(length) + " bytes";
    if (text.compare(*i, line_end.size(), line_end) != 0)
        return line_end == "\n" ? "no LF right after the name" : "no CR LF right after the name";
    *i += line_end.size();
    const uint32_t key = static_cast<uint32_t>((octet[0] << 24) | (octet[1] << 16) | (octet[2] << 8) | octet[3]);
    *record = {static_cast<uint32_t>(stamp), key, text.substr(start, length)};
    return {};
}

} // namespace

std::string read_cache_strictly(const std::string &text, const std::string &line_end, std::vector<CacheRecord> *records,
                                std::vector<std::string> *kept)
{
    size_t i = 0;
    size_t line = 0;
    uint32_t previous = 0;
    while (i < text.size()) {
        ++line;
        const std::string where = "line " + std::to_string(line) + ": ";
        if (kept != nullptr && !kept->empty()) {
            if (!kept_line(text, line_end, &i, kept))
                return where + "not a kept line after kept lines";
            continue;
        }
        CacheRecord record;
        size_t entry_end = i;
        if (kept != nullptr && !strict_entry(text, line_end, &entry_end, &record).empty() &&
            kept_line(text, line_end, &i, kept))
            continue;
        const std::string problem = strict_entry(text, line_end, &i, &record);
        if (!problem.empty())
            return where + problem;
        if (line > 1 && record.key < previous)
            return where + "out of order";
        previous = record.key;
        if (records != nullptr)
            records->push_back(record);
    }
    return {};
}

std::vector<std::string> directory_names(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool is_save_temporary(const std::string &name, const std::string &cache_name)
{
    const std::string prefix = "." + cache_name + ".tarn-save-";
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

std::string test_name(const char *text)
{
    std::string name;
    for (const char *p = text; *p != '\0'; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}
