#include "test_support.h"

#include "basalt-core.h"
#include "dns/stats_file.h"
#include "lookup.h"
#include "platform.h"

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tarn-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    // Tests may take write permission away; give it back so removal works.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string random_bytes(std::mt19937 &random, size_t size, const std::string &alphabet)
{
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = alphabet.empty() ? static_cast<char>(random() & 0xFF) : alphabet[random() % alphabet.size()];
    return bytes;
}

namespace
{

// Reads both pipes until the child closes them, then reaps it.
RunResult collect_child(pid_t pid, int out_fd, int err_fd)
{
    RunResult result;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            } else {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Forks with standard output and error going to two pipes; in the child it
// runs child_body, which must not return.
RunResult fork_and_collect(const std::function<void()> &child_body)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        child_body();
        _exit(0);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return collect_child(pid, out_pipe[0], err_pipe[0]);
}

} // namespace

void PrintTo(const RunResult &result, std::ostream *os)
{
    *os << "status " << result.status << ", out " << testing::PrintToString(result.out) << ", err "
        << testing::PrintToString(result.err);
}

RunResult run_in_child(const std::function<void()> &body)
{
    return fork_and_collect([&body] {
        body();
        std::fflush(stdout);
        _exit(0);
    });
}

RunResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                      const std::string &working_directory, const std::string &input_file)
{
    return fork_and_collect([&] {
        if (!working_directory.empty() && chdir(working_directory.c_str()) != 0)
            _exit(126);
        if (!input_file.empty()) {
            const int input = open(input_file.c_str(), O_RDONLY);
            if (input < 0 || dup2(input, STDIN_FILENO) < 0)
                _exit(125);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    });
}

namespace
{

// Length of a "[ 1234.5678 secs]" time at text[i], or 0 when none starts there.
size_t step_time_length(const std::string &text, size_t i)
{
    if (text.compare(i, 1, "[") != 0)
        return 0;
    size_t j = i + 1;
    while (j < text.size() && text[j] == ' ')
        ++j;
    size_t digits = j;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])))
        ++j;
    if (j == digits || text.compare(j, 1, ".") != 0)
        return 0;
    for (int k = 1; k <= 4; ++k) {
        if (j + static_cast<size_t>(k) >= text.size() ||
            !std::isdigit(static_cast<unsigned char>(text[j + static_cast<size_t>(k)])))
            return 0;
    }
    j += 5;
    return text.compare(j, 6, " secs]") == 0 ? j + 6 - i : 0;
}

} // namespace

std::string printed_lines(const std::string &out)
{
    std::string kept;
    size_t line_start = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r') {
            line_start = i + 1; // a progress line: dropped
        } else if (out[i] == '\n') {
            kept += out.substr(line_start, i + 1 - line_start);
            line_start = i + 1;
        }
    }
    kept += out.substr(line_start);
    std::string masked;
    for (size_t i = 0; i < kept.size();) {
        size_t length = step_time_length(kept, i);
        if (length > 0) {
            masked += "[T]";
            i += length;
        } else {
            masked += kept[i++];
        }
    }
    return masked;
}

std::string stamps_as_now(const std::string &cache, uint32_t from, uint32_t to)
{
    std::string out;
    size_t start = 0;
    while (start < cache.size()) {
        const size_t end = cache.find('\n', start);
        std::string line = cache.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
        start = end == std::string::npos ? cache.size() : end + 1;
        const size_t blank = line.find(' ');
        const unsigned long stamp = std::strtoul(line.c_str(), nullptr, 10);
        if (blank != std::string::npos && stamp >= from && stamp <= to)
            line = "NOW" + line.substr(blank);
        out += line;
    }
    return out;
}

std::map<std::string, long> server_stats()
{
    const char *pid = std::getenv("TARN_DNS_PID");
    const char *file = std::getenv("TARN_DNS_STATS");
    if (pid == nullptr || file == nullptr || *file == '\0')
        return {};
    std::filesystem::remove(file);
    kill(static_cast<pid_t>(std::atol(pid)), SIGUSR1);
    for (int i = 0; i < 200 && !std::filesystem::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return read_stats_file(file);
}

void start_core_for_test(int flags, const char *program_path)
{
    const char *argv[] = {program_path};
    platform_set_command_line(1, argv);
    core_startup("debug.log", flags);
}

void EngineTest::SetUp()
{
    start_core_for_test(OUT_CONSOLE);
    memory_init(0);
    host_table_create();
    entry_count = 0;
    log_address_count = 0;
    lookups_started = 0;
    unresolved_seen = 0;
    resolved_count = 0;
}

void EngineTest::TearDown()
{
    host_table_clear();
    host_table_destroy();
    EXPECT_EQ(0, memory_counters().live_blocks);
}
